#include "platform/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "platform/errors.h"

namespace larkvale::platform {
namespace {

QString SectionLine(const QString& key) { return "[" + key + "]"; }

bool IsSection(const QString& line) {
  const QString t = line.trimmed();
  return t.startsWith('[') && t.endsWith(']');
}

QString Quote(const QString& text) {
  QString out = "\"";
  for (const QChar c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Reads a quoted text starting at `from`; false when it is not one.
bool Unquote(const QString& line, int from, QString& text, int& end) {
  if (from >= line.size() || line[from] != '"') return false;
  text.clear();
  for (int i = from + 1; i < line.size(); ++i) {
    const QChar c = line[i];
    if (c == '\\') {
      if (++i >= line.size()) return false;
      text += line[i];
    } else if (c == '"') {
      end = i + 1;
      return true;
    } else {
      text += c;
    }
  }
  return false;
}

// Splits `"name"=rest`; false when the line is not a value line.
bool SplitValueLine(const QString& line, QString& name, QString& rest) {
  int end = 0;
  if (!Unquote(line, 0, name, end) || end >= line.size() || line[end] != '=') return false;
  rest = line.mid(end + 1);
  return true;
}

// Index range [begin, end) of the lines of section `key`; begin == -1 when absent.
std::pair<int, int> SectionRange(const QStringList& lines, const QString& key) {
  const QString header = SectionLine(key);
  int begin = -1;
  for (int i = 0; i < lines.size(); ++i) {
    if (begin < 0) {
      if (lines[i].trimmed().compare(header, Qt::CaseInsensitive) == 0) begin = i + 1;
    } else if (IsSection(lines[i])) {
      return {begin, i};
    }
  }
  return {begin, static_cast<int>(lines.size())};
}

}  // namespace

QString SettingsFilePath(const QString& configHome) { return configHome + "/Larkvale_HD/settings.ini"; }

SettingsAccessor::SettingsAccessor(QString filePath) : filePath_(std::move(filePath)) {}

bool SettingsAccessor::Load(QStringList& lines) const {
  QFile file(filePath_);
  if (!file.exists()) {
    lines.clear();
    return true;
  }
  if (!file.open(QIODevice::ReadOnly)) return false;
  // Lines are kept byte for byte (a CR before the LF included), so that a
  // rewrite changes nothing but the value it writes.
  const QString text = QString::fromUtf8(file.readAll());
  lines = text.split('\n');
  if (text.endsWith('\n') || text.isEmpty()) lines.removeLast();
  return true;
}

bool SettingsAccessor::Save(const QStringList& lines) const {
  if (!QDir().mkpath(QFileInfo(filePath_).absolutePath())) return false;
  QSaveFile file(filePath_);
  if (!file.open(QIODevice::WriteOnly)) return false;
  const QByteArray data = (lines.join('\n') + '\n').toUtf8();
  if (file.write(data) != data.size()) {
    file.cancelWriting();
    return false;
  }
  return file.commit();  // flushes and renames over the old file
}

void SettingsAccessor::CreateKey(const QString& key) {
  QStringList lines;
  bool ok = Load(lines);
  if (ok && SectionRange(lines, key).first < 0) {
    lines << SectionLine(key);
    ok = Save(lines);
  }
  if (!ok) throw ESettingsError(QString("Failed to create key %1").arg(key).toStdString());
  openKey_ = key;
}

bool SettingsAccessor::OpenKey(const QString& key, bool canCreate) {
  if (canCreate) {
    CreateKey(key);
    return true;
  }
  QStringList lines;
  if (!Load(lines) || SectionRange(lines, key).first < 0) return false;
  openKey_ = key;
  return true;
}

SettingsAccessor::Value SettingsAccessor::Find(const QString& name) const {
  Value v;
  if (openKey_.isEmpty()) return v;
  QStringList lines;
  if (!Load(lines)) return v;
  const auto [begin, end] = SectionRange(lines, openKey_);
  if (begin < 0) return v;
  for (int i = begin; i < end; ++i) {
    QString n, rest;
    if (!SplitValueLine(lines[i], n, rest) || n.compare(name, Qt::CaseInsensitive) != 0) continue;
    v.found = true;
    int stop = 0;
    v.isString = Unquote(rest, 0, v.text, stop) && rest.mid(stop).trimmed().isEmpty();
  }
  return v;
}

bool SettingsAccessor::ValueExists(const QString& name) const { return Find(name).found; }

QString SettingsAccessor::ReadString(const QString& name) const {
  const Value v = Find(name);
  if (!v.found) return {};
  if (!v.isString) throw ESettingsError(QString("Invalid data type for '%1'").arg(name).toStdString());
  return v.text;
}

void SettingsAccessor::WriteString(const QString& name, const QString& value) { WriteStrings({{name, value}}); }

void SettingsAccessor::WriteStrings(const QList<QPair<QString, QString>>& values) {
  if (values.isEmpty()) return;
  auto fail = [&] {
    throw ESettingsError(QString("Failed to set data for '%1'").arg(values.first().first).toStdString());
  };
  if (openKey_.isEmpty()) fail();
  QStringList lines;
  if (!Load(lines)) fail();
  for (const auto& [name, value] : values) {
    auto [begin, end] = SectionRange(lines, openKey_);
    if (begin < 0) {  // the key vanished since it was opened
      lines << SectionLine(openKey_);
      begin = end = static_cast<int>(lines.size());
    }
    const QString line = Quote(name) + "=" + Quote(value);
    bool replaced = false;
    for (int i = end - 1; i >= begin; --i) {
      QString n, rest;
      if (!SplitValueLine(lines[i], n, rest) || n.compare(name, Qt::CaseInsensitive) != 0) continue;
      if (replaced) {
        lines.removeAt(i);  // a duplicate of the value just replaced
      } else {
        lines[i] = line;
        replaced = true;
      }
    }
    if (!replaced) lines.insert(end, line);
  }
  if (!Save(lines)) fail();
}

}  // namespace larkvale::platform
