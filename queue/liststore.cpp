#include "queue/liststore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

QJsonValue NumberCell(const DownloadList& list, int column, int row) {
  if (list.CellEmpty(column, row)) return QJsonValue::Null;
  return list.CellText(column, row).toDouble();
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

QByteArray SerializeDownloadList(const DownloadList& list) {
  QJsonArray rows;
  for (int r = 0; r < list.RowCount(); ++r) {
    QJsonObject row;
    row["url"] = list.CellText(colUrl, r);
    row["size"] = NumberCell(list, colSize, r);
    row["progress"] = NumberCell(list, colProgress, r);
    row["file"] = list.CellText(colFile, r);
    row["state"] = QString::fromLatin1(StateName(list.State(r)));
    row["error"] = list.ErrorText(r);
    // Only rows from a browsed page have one; files without it still load.
    if (!list.Session(r).Empty()) row["session"] = SessionObject(list.Session(r));
    // Only a stream its address does not name; files without it still load.
    if (list.IsMarkedStream(r)) row["stream"] = true;
    if (list.IsFoundOnPage(r)) row["found"] = true;
    rows.append(row);
  }
  QJsonObject root;
  root["version"] = kVersion;
  root["rows"] = rows;
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
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
  for (const QJsonValue& v : rows) {
    const QJsonObject o = v.toObject();
    const int r = list.RowCount();
    list.AddRows(1);
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
  }
  list.EndUpdate();
  return true;
}

DownloadListStore::DownloadListStore(DownloadList& list, QString filePath, QObject* parent)
    : QObject(parent),
      file_(list, std::move(filePath), kSaveDelayMs,
            {QStringLiteral("download list"), QStringLiteral("the list starts empty")},
            [&list] { return SerializeDownloadList(list); },
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
