#pragma once
// The saving half of a model kept in a JSON file across runs. Every change
// of the watched model schedules a save; saves are coalesced to one per
// delay and replace the file atomically, so a kill leaves the previous or
// the new file, never half of one. Loading reads the file once, moves a
// damaged one aside (name + ".bad") so the next save does not destroy what
// it held, and says what happened in one line on standard error.

#include <QAbstractItemModel>
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

namespace larkvale::platform {

class JsonFileStore {
 public:
  struct Texts {
    QString noun;         // "Timeline", "download list"
    QString startsEmpty;  // "the Timeline starts empty"
  };
  using Serialize = std::function<QByteArray()>;
  // Fills the model from the bytes; false (and `why`) when they are not such a file.
  using Parse = std::function<bool(const QByteArray& bytes, QString* why)>;
  // True when the file must be readable by its owner only (it holds secrets).
  using OwnerOnly = std::function<bool()>;

  // Watches `model` from now on. The callbacks run only while it lives: a
  // store whose model is gone saves nothing, rather than reading freed rows.
  JsonFileStore(QAbstractItemModel& model, QString filePath, int delayMs, Texts texts, Serialize serialize,
                Parse parse, OwnerOnly ownerOnly = {});
  // Saves a pending change.
  ~JsonFileStore();
  JsonFileStore(const JsonFileStore&) = delete;
  JsonFileStore& operator=(const JsonFileStore&) = delete;

  bool Load();
  // Writes the file now; false (and one line per run of failures) when it could not.
  bool Save();
  void Flush();
  bool SavePending() const { return timer_.isActive(); }
  const QString& FilePath() const { return filePath_; }

 private:
  void Changed();

  QPointer<QAbstractItemModel> model_;
  QString filePath_;
  Texts texts_;
  Serialize serialize_;
  Parse parse_;
  OwnerOnly ownerOnly_;
  QTimer timer_;
  bool loading_ = false;
  bool lastSaveFailed_ = false;
};

}  // namespace larkvale::platform
