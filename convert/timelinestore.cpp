#include "convert/timelinestore.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace larkvale::convert {
namespace {

constexpr int kVersion = 1;

}  // namespace

QString TimelineFilePath(const QString& dataHome) { return dataHome + "/Larkvale_HD/timeline.json"; }

QByteArray SerializeTimeline(const TimelineModel& timeline) {
  QJsonArray entries;
  for (int i = 0; i < timeline.Count(); ++i)
    entries.append(QJsonObject{{"file", timeline.Path(i)}, {"start", timeline.Start(i)}, {"end", timeline.End(i)}});
  return QJsonDocument(QJsonObject{{"version", kVersion}, {"entries", entries}}).toJson(QJsonDocument::Indented);
}

bool ParseTimeline(const QByteArray& bytes, TimelineModel& timeline, QString* why) {
  auto fail = [why](const QString& reason) {
    if (why) *why = reason;
    return false;
  };
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError)
    return fail(QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset));
  if (!doc.isObject() || doc.object().value("version").toInt(-1) != kVersion ||
      !doc.object().value("entries").isArray())
    return fail(QStringLiteral("not a Timeline"));
  const QJsonArray entries = doc.object().value("entries").toArray();
  for (const QJsonValue& v : entries)
    if (!v.isObject() || !v.toObject().value("file").isString())
      return fail(QStringLiteral("an entry without a file"));
  for (const QJsonValue& v : entries) {
    const QJsonObject o = v.toObject();
    const QString path = o.value("file").toString();
    if (!QFileInfo(path).isFile()) continue;
    timeline.AppendSaved(path, o.value("start").toString(QStringLiteral("0")), o.value("end").toString(QStringLiteral("0")));
  }
  return true;
}

TimelineStore::TimelineStore(TimelineModel& timeline, QString filePath, QObject* parent)
    : QObject(parent),
      file_(timeline, std::move(filePath), kSaveDelayMs,
            {QStringLiteral("Timeline"), QStringLiteral("the Timeline starts empty")},
            [&timeline] { return SerializeTimeline(timeline); },
            [&timeline](const QByteArray& bytes, QString* why) { return ParseTimeline(bytes, timeline, why); }) {}

// Flushes before the members go, while `this` is still a whole store.
TimelineStore::~TimelineStore() { Flush(); }

bool TimelineStore::Load() { return file_.Load(); }
bool TimelineStore::Save() { return file_.Save(); }
void TimelineStore::Flush() { file_.Flush(); }

}  // namespace larkvale::convert
