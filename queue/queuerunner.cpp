#include "queue/queuerunner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "extract/mediatypes.h"

namespace larkvale::queue {
namespace {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A file opened for writing from its start, closed on every way out.
class OpenFile {
 public:
  explicit OpenFile(const QString& path) {
    fd_ = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0)
      throw std::runtime_error(
          QStringLiteral("Cannot open file \"%1\". %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))).toStdString());
  }
  ~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A file (not a folder) of that path exists.
bool FileExists(const QString& path) {
  struct stat st {};
  return !path.isEmpty() && ::stat(path.toLocal8Bit().constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

void CreateEmptyFile(const QString& path) {
  const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    throw std::runtime_error(
        QStringLiteral("Cannot create file \"%1\". %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))).toStdString());
  ::close(fd);
}

QueueRunner::QueueRunner(DownloadList& list, http::TNetHTTP& client, int& currentDownloadRow, RunnerHooks hooks,
                         QObject* parent)
    : QObject(parent), list_(list), client_(client), currentDownloadRow_(currentDownloadRow), hooks_(std::move(hooks)) {
  pause_.setSingleShot(true);
  // The pass runs from a posted call, not inside the timer's own event: a
  // pass processes messages for as long as its download lasts, and the timer
  // machinery is not meant to be re-entered that deeply.
  connect(&pause_, &QTimer::timeout, this, &QueueRunner::Step, Qt::QueuedConnection);
}

QString QueueRunner::FileName(const QString& flvDir, int n, const QString& extension) {
  return flvDir + QStringLiteral("flv") + QString::number(n) + QStringLiteral("video") + extension;
}

QString QueueRunner::ExtensionFor(const QString& link) {
  if (link.contains(QStringLiteral("fmt="))) return QStringLiteral(".avi");
  // A link to a file (found on an ordinary page) keeps that file's own kind.
  const std::string own = extract::MediaExtension(link.toStdString());
  return own.empty() ? QStringLiteral(".flv") : QString::fromStdString(own);
}

void QueueRunner::Start() {
  if (hooks_.stopped() || active_) return;
  active_ = true;
  Step();
}

void QueueRunner::Step() {
  // Seeing the stop flag at the start of a pass ends the loop.
  if (hooks_.stopped()) {
    active_ = false;
    return;
  }
  try {
    RunPass();
    hooks_.processMessages();
  } catch (...) {
    active_ = false;
    downloadingId_ = 0;
    hooks_.reportError(std::current_exception());
    return;
  }
  // The pause ends when the whole-second count has moved on by three.
  const std::int64_t now = NowMs();
  const std::int64_t end = (now / 1000 + 3) * 1000;
  pause_.start(static_cast<int>(end - now));
}

void QueueRunner::RunPass() {
  const int n = list_.RowCount();
  if (n == 0) return;  // CurrentDownloadRow keeps its value
  currentDownloadRow_ = 0;
  int fileCounter = 0;
  for (int r = 0; r < n; ++r) {
    // Rows deleted during the pass are simply gone: never read past the list.
    if (r >= list_.RowCount()) break;
    currentDownloadRow_ = r;
    const QString file = list_.CellText(colFile, r);
    if (FileExists(file)) continue;
    if (hooks_.stopped()) break;  // the remaining rows are left alone
    DownloadRow(r, fileCounter);
  }
  currentDownloadRow_ = n;
}

void QueueRunner::DownloadRow(int row, int& n) {
  const QString link = list_.CellText(colUrl, row);
  const QString extension = ExtensionFor(link);
  QString name = FileName(hooks_.flvDir(), n, extension);
  while (FileExists(name)) name = FileName(hooks_.flvDir(), ++n, extension);

  hooks_.status(QStringLiteral("Downloading video"));
  CreateEmptyFile(name);
  downloadingId_ = list_.RowId(row);
  {
    OpenFile file(name);
    http::TNetFileStream sink(file.Fd(), false);
    try {
      client_.Get(link.toStdString(), sink);
      sink.Flush();
    } catch (...) {
      try {
        sink.Flush();  // keep what arrived before the failure
      } catch (...) {
      }
      downloadingId_ = 0;
      throw;
    }
  }
  hooks_.addToTimeline(name);
  const int now = CurrentRow();
  downloadingId_ = 0;
  list_.BeginUpdate();
  list_.SetCellText(colFile, now, name);
  list_.EndUpdate();
}

int QueueRunner::CurrentRow() {
  if (downloadingId_ == 0) return -1;
  // Called for every received block: look where the row was last time before
  // searching the list.
  const int row = list_.RowId(currentDownloadRow_) == downloadingId_ ? currentDownloadRow_
                                                                      : list_.RowOfId(downloadingId_);
  // Keep the blue row on the row being downloaded, wherever it moved.
  if (row >= 0) currentDownloadRow_ = row;
  return row;
}

void QueueRunner::WorkBegin(std::int64_t announced) {
  const int row = CurrentRow();
  list_.BeginUpdate();
  list_.SetCellInt(colProgress, row, 0);
  if (announced > 0) {
    hooks_.status(QStringLiteral("Transfering: ") + QString::number(announced));
    list_.SetCellInt(colSize, row, announced);
  }
  list_.EndUpdate();
}

void QueueRunner::Work(std::int64_t count) {
  hooks_.processMessages();
  const int row = CurrentRow();
  const qint64 size = list_.CellInt(colSize, row);
  if (size < 1) {
    hooks_.status(QString::number(count) + QStringLiteral(" bytes."));
  } else {
    hooks_.status(QString::number(count) + QStringLiteral(" bytes of ") + QString::number(size) +
                  QStringLiteral(" bytes."));
    list_.BeginUpdate();
    list_.SetCellInt(colProgress, row, RoundHalfEven(static_cast<double>(count) / static_cast<double>(size) * 100.0));
    list_.EndUpdate();
  }
  if (hooks_.stopped()) client_.Disconnect();
}

void QueueRunner::WorkEnd() { hooks_.status(QStringLiteral("Done")); }

}  // namespace larkvale::queue
