#pragma once
// The saving half of a model kept in a JSON file across runs. Every change
// of the watched model schedules a save; saves are coalesced to one per
// delay and replace the file atomically, so a kill leaves the previous or
// the new file, never half of one. Loading reads the file once, moves a
// damaged one aside (name + ".bad") so the next save does not destroy what
// it held, and says what happened in one line on standard error. The bytes
// are made on the caller's thread; a save the timer brings is written to
// the disk on a thread of the store's own, so a long list never holds the
// window while the disk works.

#include <QAbstractItemModel>
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <deque>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace larkvale::platform {

class JsonFileStore {
 public:
  struct Texts {
    QString noun;         // "Timeline", "download list"
    QString startsEmpty;  // "the Timeline starts empty"
  };
  using Serialize = std::function<QByteArray()>;
  // Takes what a save needs from the model now (on the model's thread) and
  // returns what makes the bytes from it (on the writer's thread).
  using Snapshot = std::function<std::function<QByteArray()>()>;
  // Fills the model from the bytes; false (and `why`) when they are not such a file.
  using Parse = std::function<bool(const QByteArray& bytes, QString* why)>;
  // True when the file must be readable by its owner only (it holds secrets).
  using OwnerOnly = std::function<bool()>;

  // Watches `model` from now on. The callbacks run only while it lives: a
  // store whose model is gone saves nothing, rather than reading freed rows.
  JsonFileStore(QAbstractItemModel& model, QString filePath, int delayMs, Texts texts, Serialize serialize,
                Parse parse, OwnerOnly ownerOnly = {});
  JsonFileStore(QAbstractItemModel& model, QString filePath, int delayMs, Texts texts, Snapshot snapshot,
                Parse parse, OwnerOnly ownerOnly = {});
  // Saves a pending change.
  ~JsonFileStore();
  JsonFileStore(const JsonFileStore&) = delete;
  JsonFileStore& operator=(const JsonFileStore&) = delete;

  bool Load();
  // Writes the file now; false (and one line per run of failures) when it could not.
  bool Save();
  // Saves a pending change now, and waits for a save being written.
  void Flush();
  bool SavePending() const { return timer_.isActive(); }
  const QString& FilePath() const { return filePath_; }

 private:
  void Changed();
  // The timer's save: made now, written by the writer thread.
  void SaveInBackground();
  bool Write(const QByteArray& bytes, bool ownerOnly);
  void WriterLoop();
  // Until the writer has written every save it was given.
  void WaitForWriter();

  QPointer<QAbstractItemModel> model_;
  QString filePath_;
  Texts texts_;
  Snapshot snapshot_;
  Parse parse_;
  OwnerOnly ownerOnly_;
  QTimer timer_;
  bool loading_ = false;
  std::atomic<bool> lastSaveFailed_{false};

  struct Pending {
    std::function<QByteArray()> make;
    bool ownerOnly = false;
  };
  std::mutex lock_;  // guards what follows
  std::condition_variable changed_;
  // Saves not yet begun, in order: each may build on the one before.
  std::deque<Pending> queue_;
  bool writing_ = false;
  bool quit_ = false;
  std::thread writer_;
};

}  // namespace larkvale::platform
