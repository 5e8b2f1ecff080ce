#include "platform/jsonfilestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cstdio>

namespace larkvale::platform {
namespace {

void SayOnStderr(const QString& line) {
  std::fprintf(stderr, "Larkvale_HD: %s\n", line.toLocal8Bit().constData());
  std::fflush(stderr);
}

}  // namespace

JsonFileStore::JsonFileStore(QAbstractItemModel& model, QString filePath, int delayMs, Texts texts,
                             Serialize serialize, Parse parse, OwnerOnly ownerOnly)
    : JsonFileStore(
          model, std::move(filePath), delayMs, std::move(texts),
          [serialize = std::move(serialize)]() -> std::function<QByteArray()> {
            return [bytes = serialize()] { return bytes; };
          },
          std::move(parse), std::move(ownerOnly)) {}

JsonFileStore::JsonFileStore(QAbstractItemModel& model, QString filePath, int delayMs, Texts texts,
                             Snapshot snapshot, Parse parse, OwnerOnly ownerOnly)
    : model_(&model),
      filePath_(std::move(filePath)),
      texts_(std::move(texts)),
      snapshot_(std::move(snapshot)),
      parse_(std::move(parse)),
      ownerOnly_(std::move(ownerOnly)) {
  timer_.setSingleShot(true);
  timer_.setInterval(delayMs);
  // The timer is the receiver, so nothing reaches a store that is gone.
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { SaveInBackground(); });
  const auto changed = [this] { Changed(); };
  QObject::connect(&model, &QAbstractItemModel::dataChanged, &timer_, changed);
  QObject::connect(&model, &QAbstractItemModel::rowsInserted, &timer_, changed);
  QObject::connect(&model, &QAbstractItemModel::rowsRemoved, &timer_, changed);
  QObject::connect(&model, &QAbstractItemModel::layoutChanged, &timer_, changed);
  QObject::connect(&model, &QAbstractItemModel::modelReset, &timer_, changed);
}

JsonFileStore::~JsonFileStore() {
  Flush();
  if (writer_.joinable()) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      quit_ = true;
    }
    changed_.notify_all();
    writer_.join();
  }
}

void JsonFileStore::Changed() {
  // The first change starts the clock; later ones ride on the same save.
  if (!loading_ && !timer_.isActive()) timer_.start();
}

bool JsonFileStore::Load() {
  if (!model_) return false;
  QFile file(filePath_);
  if (!file.exists()) {
    SayOnStderr(QStringLiteral("no saved %1 at %2; %3.").arg(texts_.noun, filePath_, texts_.startsEmpty));
    return false;
  }
  if (!file.open(QIODevice::ReadOnly)) {
    SayOnStderr(QStringLiteral("cannot read the %1 %2 (%3); %4.")
                    .arg(texts_.noun, filePath_, file.errorString(), texts_.startsEmpty));
    return false;
  }
  const QByteArray bytes = file.readAll();
  file.close();
  QString why;
  loading_ = true;
  const bool ok = parse_(bytes, &why);
  loading_ = false;
  if (ok) return true;
  const QString aside = filePath_ + QStringLiteral(".bad");
  QFile::remove(aside);
  const bool moved = QFile::rename(filePath_, aside);
  SayOnStderr(QStringLiteral("the %1 %2 is damaged (%3); %4%5.")
                  .arg(texts_.noun, filePath_, why, texts_.startsEmpty,
                       moved ? QStringLiteral(", the file is kept as ") + aside : QString()));
  return false;
}

bool JsonFileStore::Save() {
  timer_.stop();
  if (!model_) return false;
  // Saves given to the writer go first: this one may build on them.
  WaitForWriter();
  const std::function<QByteArray()> make = snapshot_();
  return Write(make(), ownerOnly_ && ownerOnly_());
}

void JsonFileStore::SaveInBackground() {
  timer_.stop();
  if (!model_) return;
  Pending pending{snapshot_(), ownerOnly_ && ownerOnly_()};
  {
    const std::lock_guard<std::mutex> hold(lock_);
    queue_.push_back(std::move(pending));
  }
  if (!writer_.joinable()) writer_ = std::thread([this] { WriterLoop(); });
  changed_.notify_all();
}

void JsonFileStore::WriterLoop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return quit_ || !queue_.empty(); });
    if (queue_.empty()) return;  // quit, nothing left
    const Pending pending = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    hold.unlock();
    Write(pending.make(), pending.ownerOnly);
    hold.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

void JsonFileStore::WaitForWriter() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return !writing_ && queue_.empty(); });
}

bool JsonFileStore::Write(const QByteArray& bytes, bool ownerOnly) {
  QSaveFile file(filePath_);
  const bool ok = QDir().mkpath(QFileInfo(filePath_).absolutePath()) && file.open(QIODevice::WriteOnly) &&
                  (!ownerOnly || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) &&
                  file.write(bytes) == bytes.size() && file.commit();
  if (!ok) {
    if (!lastSaveFailed_)
      SayOnStderr(QStringLiteral("cannot save the %1 to %2 (%3).").arg(texts_.noun, filePath_, file.errorString()));
    file.cancelWriting();
  }
  lastSaveFailed_ = !ok;
  return ok;
}

void JsonFileStore::Flush() {
  if (timer_.isActive())
    Save();
  else
    WaitForWriter();
}

}  // namespace larkvale::platform
