#pragma once
// The program's log: one line per start, error report, failed download and
// failed conversion, each with its UTC time, in
// $XDG_STATE_HOME/Larkvale_HD/Larkvale_HD.log (default ~/.local/state/...).
// When the file would grow past its limit it becomes Larkvale_HD.log.1, the
// older ones move up to .2, .3, ... and the oldest beyond the kept count is
// removed. Writing never throws: a log that cannot be written must not stop
// the program, and the answer is only there for tests.

#include <QString>
#include <mutex>

namespace larkvale::platform {

class AppLog {
 public:
  static constexpr qint64 kDefaultMaxBytes = 256 * 1024;
  static constexpr int kDefaultKeptFiles = 3;

  explicit AppLog(QString dir, qint64 maxBytes = kDefaultMaxBytes, int keptFiles = kDefaultKeptFiles);

  QString FilePath() const;

  // Appends "<time> <kind>: <text>". Line breaks in `text` become spaces so
  // that every event stays one line. False when the file could not be
  // written.
  bool Append(const QString& kind, const QString& text);

 private:
  void RotateFor(qint64 incomingBytes);

  QString dir_;
  qint64 maxBytes_;
  int keptFiles_;
  std::mutex mutex_;  // the runner and the engine may report from their threads
};

// $XDG_STATE_HOME/Larkvale_HD, or $HOME/.local/state/Larkvale_HD.
QString DefaultLogDir();

// The process-wide log that the error report and the functions below write
// to. It stays closed until the program opens it, so tests and tools never
// write into the user's log.
void OpenProcessLog(const QString& dir);
void CloseProcessLog();
bool ProcessLogIsOpen();

// Opens the process log in DefaultLogDir() and writes the start line, which
// names the version and the data folder the program found.
void StartProcessLog(const QString& dataDir);

void LogErrorReport(const QString& title, const QString& message);
void LogFailedDownload(const QString& url, const QString& reason);
void LogFailedConversion(const QString& file, const QString& reason);

}  // namespace larkvale::platform
