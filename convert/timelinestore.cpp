#include "convert/timelinestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstdio>

namespace larkvale::convert {
namespace {

constexpr int kVersion = 1;

void SayOnStderr(const QString& line) {
  std::fprintf(stderr, "Larkvale_HD: %s\n", line.toLocal8Bit().constData());
  std::fflush(stderr);
}

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
    : QObject(parent), timeline_(&timeline), filePath_(std::move(filePath)) {
  timer_.setSingleShot(true);
  timer_.setInterval(kSaveDelayMs);
  connect(&timer_, &QTimer::timeout, this, &TimelineStore::Save);
  connect(timeline_.data(), &QAbstractItemModel::dataChanged, this, &TimelineStore::Changed);
  connect(timeline_.data(), &QAbstractItemModel::rowsInserted, this, &TimelineStore::Changed);
  connect(timeline_.data(), &QAbstractItemModel::rowsRemoved, this, &TimelineStore::Changed);
  connect(timeline_.data(), &QAbstractItemModel::layoutChanged, this, &TimelineStore::Changed);
  connect(timeline_.data(), &QAbstractItemModel::modelReset, this, &TimelineStore::Changed);
}

TimelineStore::~TimelineStore() { Flush(); }

void TimelineStore::Changed() {
  if (!loading_ && !timer_.isActive()) timer_.start();
}

bool TimelineStore::Load() {
  if (!timeline_) return false;
  QFile file(filePath_);
  if (!file.exists()) {
    SayOnStderr(QStringLiteral("no saved Timeline at %1; the Timeline starts empty.").arg(filePath_));
    return false;
  }
  if (!file.open(QIODevice::ReadOnly)) {
    SayOnStderr(QStringLiteral("cannot read the Timeline %1 (%2); the Timeline starts empty.")
                    .arg(filePath_, file.errorString()));
    return false;
  }
  const QByteArray bytes = file.readAll();
  file.close();
  QString why;
  loading_ = true;
  const bool ok = ParseTimeline(bytes, *timeline_, &why);
  loading_ = false;
  if (ok) return true;
  const QString aside = filePath_ + QStringLiteral(".bad");
  QFile::remove(aside);
  const bool moved = QFile::rename(filePath_, aside);
  SayOnStderr(QStringLiteral("the Timeline %1 is damaged (%2); the Timeline starts empty%3.")
                  .arg(filePath_, why, moved ? QStringLiteral(", the file is kept as ") + aside : QString()));
  return false;
}

bool TimelineStore::Save() {
  timer_.stop();
  if (!timeline_) return false;
  const QByteArray bytes = SerializeTimeline(*timeline_);
  QSaveFile file(filePath_);
  const bool ok = QDir().mkpath(QFileInfo(filePath_).absolutePath()) && file.open(QIODevice::WriteOnly) &&
                  file.write(bytes) == bytes.size() && file.commit();
  if (!ok) {
    if (!lastSaveFailed_)
      SayOnStderr(QStringLiteral("cannot save the Timeline to %1 (%2).").arg(filePath_, file.errorString()));
    file.cancelWriting();
  }
  lastSaveFailed_ = !ok;
  return ok;
}

void TimelineStore::Flush() {
  if (timer_.isActive()) Save();
}

}  // namespace larkvale::convert
