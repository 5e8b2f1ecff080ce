#include "queue/liststore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <optional>

namespace larkvale::queue {
namespace {

constexpr int kVersion = 1;

const char* StateName(RowState state) {
  switch (state) {
    case RowState::Waiting: return "waiting";
    case RowState::Downloading: return "downloading";
    case RowState::Stopped: return "stopped";
    case RowState::Failed: return "failed";
    case RowState::Done: return "done";
  }
  return "waiting";
}

RowState StateOf(const QString& name) {
  for (RowState s : {RowState::Downloading, RowState::Stopped, RowState::Failed, RowState::Done})
    if (name == QLatin1String(StateName(s))) return s;
  return RowState::Waiting;
}

QJsonObject SessionObject(const browser::PageSession& session) {
  QJsonObject o;
  o["referer"] = QString::fromStdString(session.referer);
  o["userAgent"] = QString::fromStdString(session.userAgent);
  QJsonArray cookies;
  for (const browser::BrowserCookie& c : session.cookies) {
    QJsonObject cookie;
    cookie["name"] = QString::fromStdString(c.name);
    cookie["value"] = QString::fromStdString(c.value);
    cookie["domain"] = QString::fromStdString(c.domain);
    cookie["path"] = QString::fromStdString(c.path);
    cookie["secure"] = c.secure;
    cookies.append(cookie);
  }
  o["cookies"] = cookies;
  return o;
}

// What is not text, or a cookie without a name or a domain, is left out.
browser::PageSession SessionOf(const QJsonObject& o) {
  browser::PageSession session;
  session.referer = o.value("referer").toString().toStdString();
  session.userAgent = o.value("userAgent").toString().toStdString();
  for (const QJsonValue& v : o.value("cookies").toArray()) {
    const QJsonObject c = v.toObject();
    browser::BrowserCookie cookie;
    cookie.name = c.value("name").toString().toStdString();
    cookie.value = c.value("value").toString().toStdString();
    cookie.domain = c.value("domain").toString().toStdString();
    cookie.path = c.value("path").toString(QStringLiteral("/")).toStdString();
    cookie.secure = c.value("secure").toBool();
    if (!cookie.name.empty() && !cookie.domain.empty()) session.cookies.push_back(std::move(cookie));
  }
  return session;
}

}  // namespace

QString DownloadListFilePath(const QString& dataHome) { return dataHome + "/Larkvale_HD/downloads.json"; }

namespace {

// One row as the file holds it, on one line.
QByteArray RowBytes(const DownloadList::Record& record) {
  QJsonObject row;
  row["url"] = record.url;
  row["size"] = record.size ? QJsonValue(*record.size) : QJsonValue(QJsonValue::Null);
  row["progress"] = record.progress ? QJsonValue(*record.progress) : QJsonValue(QJsonValue::Null);
  row["file"] = record.file;
  row["state"] = QString::fromLatin1(StateName(record.state));
  row["error"] = record.error;
  // Only rows from a browsed page have one; files without it still load.
  if (!record.session.Empty()) row["session"] = SessionObject(record.session);
  // Only a stream its address does not name; files without it still load.
  if (record.stream) row["stream"] = true;
  if (record.foundOnPage) row["found"] = true;
  return QJsonDocument(row).toJson(QJsonDocument::Compact);
}

// The rows, one to a line, in the file's frame.
QByteArray Frame(const std::vector<QByteArray>& rows) {
  qsizetype size = 64;
  for (const QByteArray& row : rows) size += row.size() + 10;
  QByteArray bytes;
  bytes.reserve(size);
  bytes += "{\n    \"rows\": [";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    bytes += i == 0 ? "\n        " : ",\n        ";
    bytes += rows[i];
  }
  bytes += rows.empty() ? "]" : "\n    ]";
  bytes += ",\n    \"version\": " + QByteArray::number(kVersion) + "\n}\n";
  return bytes;
}

}  // namespace

QByteArray SerializeDownloadList(const DownloadList& list) {
  std::vector<QByteArray> rows;
  rows.reserve(list.RowCount());
  for (int r = 0; r < list.RowCount(); ++r) rows.push_back(RowBytes(list.RecordOf(r)));
  return Frame(rows);
}

std::function<QByteArray()> DownloadListStore::Snapshot() {
  // A save comes every few hundred milliseconds while rows change, most of
  // them long done: only the rows that changed since the last save are
  // copied here, and only they are written anew, on the writer's thread.
  struct Item {
    quint64 id;
    quint64 version;
    std::optional<DownloadList::Record> record;  // none: as saved last time
  };
  auto items = std::make_shared<std::vector<Item>>();
  items->reserve(list_.RowCount());
  std::unordered_map<quint64, quint64> sent;
  sent.reserve(list_.RowCount());
  for (int r = 0; r < list_.RowCount(); ++r) {
    const quint64 id = list_.RowId(r), version = list_.RowVersion(r);
    const auto it = sent_.find(id);
    const bool known = it != sent_.end() && it->second == version;
    items->push_back(Item{id, version, known ? std::nullopt : std::optional(list_.RecordOf(r))});
    sent.emplace(id, version);
  }
  sent_ = std::move(sent);
  // Saves are made in the order they were taken, each on the one before.
  return [this, items] {
    std::vector<QByteArray> rows;
    rows.reserve(items->size());
    std::unordered_map<quint64, QByteArray> saved;
    saved.reserve(items->size());
    for (const Item& item : *items) {
      QByteArray bytes = item.record ? RowBytes(*item.record) : saved_[item.id];
      rows.push_back(bytes);
      saved.emplace(item.id, std::move(bytes));
    }
    saved_ = std::move(saved);
    return Frame(rows);
  };
}

bool ParseDownloadList(const QByteArray& bytes, DownloadList& list, QString* why) {
  auto fail = [why](const QString& reason) {
    if (why) *why = reason;
    return false;
  };
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError)
    return fail(QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset));
  if (!doc.isObject()) return fail(QStringLiteral("not a download list"));
  const QJsonObject root = doc.object();
  if (root.value("version").toInt(-1) != kVersion) return fail(QStringLiteral("unknown version"));
  if (!root.value("rows").isArray()) return fail(QStringLiteral("no rows"));
  const QJsonArray rows = root.value("rows").toArray();
  for (const QJsonValue& v : rows)
    if (!v.isObject()) return fail(QStringLiteral("a row that is not an object"));

  list.BeginUpdate();
  // Added at once: a view announced 100,000 single rows redraws 100,000 times.
  int r = list.RowCount();
  list.AddRows(int(rows.size()));
  for (const QJsonValue& v : rows) {
    const QJsonObject o = v.toObject();
    list.SetCellText(colUrl, r, o.value("url").toString());
    for (auto [column, key] : {std::pair{colSize, "size"}, std::pair{colProgress, "progress"}})
      if (o.value(key).isDouble()) list.SetCellText(column, r, QString::number(o.value(key).toDouble(), 'g', 17));
    list.SetCellText(colFile, r, o.value("file").toString());
    RowState state = StateOf(o.value("state").toString());
    // It was downloading when the program ended: its transfer is gone.
    if (state == RowState::Downloading) state = RowState::Stopped;
    list.SetState(r, state, o.value("error").toString());
    if (o.value("session").isObject()) list.SetSession(r, SessionOf(o.value("session").toObject()));
    if (o.value("stream").toBool(false)) list.MarkStream(r);
    if (o.value("found").toBool(false)) list.MarkFoundOnPage(r);
    ++r;
  }
  list.EndUpdate();
  return true;
}

DownloadListStore::DownloadListStore(DownloadList& list, QString filePath, QObject* parent)
    : QObject(parent),
      list_(list),
      file_(list, std::move(filePath), kSaveDelayMs,
            {QStringLiteral("download list"), QStringLiteral("the list starts empty")},
            [this] { return Snapshot(); },
            [&list](const QByteArray& bytes, QString* why) { return ParseDownloadList(bytes, list, why); },
            // Browser cookies may open someone's account: such a list is the user's alone.
            [&list] {
              for (int r = 0; r < list.RowCount(); ++r)
                if (!list.Session(r).cookies.empty()) return true;
              return false;
            }) {}

// Flushes before the members go, while `this` is still a whole store.
DownloadListStore::~DownloadListStore() { Flush(); }

bool DownloadListStore::Load() { return file_.Load(); }
bool DownloadListStore::Save() { return file_.Save(); }
void DownloadListStore::Flush() { file_.Flush(); }

}  // namespace larkvale::queue
