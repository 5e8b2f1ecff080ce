#include "queue/queuerunner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "extract/mediatypes.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/filesystem.h"
#include "platform/rounding.h"

namespace larkvale::queue {
namespace {

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

using platform::FileExists;
using platform::RoundHalfEven;
using platform::TickCountMs;

// The length of the file, -1 when there is none.
std::int64_t FileLength(const QString& path) {
  struct stat st {};
  if (path.isEmpty() || ::stat(path.toLocal8Bit().constData(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

// A .part file grows only by what arrives. The client gives a file its
// announced length up front; here that would leave a killed download's file
// full length with zeros at the end, indistinguishable from a whole one, and
// its length could no longer say where to resume.
class PartFile : public http::TNetStream {
 public:
  explicit PartFile(int fd) : file_(fd, false) {}
  std::size_t Read(void* buffer, std::size_t n) override { return file_.Read(buffer, n); }
  void Write(const void* buffer, std::size_t n) override { file_.Write(buffer, n); }
  void Seek(std::int64_t position) override { file_.Seek(position); }
  std::int64_t Position() const override { return file_.Position(); }
  std::int64_t Size() const override { return file_.Size(); }
  // Cuts (a redirect, a restart); never grows.
  void SetSize(std::int64_t size) override {
    if (size < file_.Size()) file_.SetSize(size);
  }
  void Flush() { file_.Flush(); }

 private:
  http::TNetFileStream file_;
};

}  // namespace

void CreateEmptyFile(const QString& path) {
  const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw platform::EFCreateError(path, QString::fromLocal8Bit(std::strerror(errno)));
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
  // Delete on the row being downloaded stops its transfer as Stop would (its
  // .part file stays); the pass then goes on with the next row.
  connect(&list_, &QAbstractItemModel::rowsRemoved, this, [this] {
    if (downloadingId_ != 0 && list_.RowOfId(downloadingId_) < 0) StopTransfer();
  });
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
  if (hooks_.stopped()) return;
  for (int r = 0; r < list_.RowCount(); ++r)
    if (list_.State(r) == RowState::Stopped) list_.MakeWaiting(r);
  if (active_) return;
  active_ = true;
  Step();
}

void QueueRunner::Step() {
  if (hooks_.atTopLevel && !hooks_.atTopLevel()) {
    pause_.start(kTopLevelRetryMs);
    return;
  }
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
  const std::int64_t now = TickCountMs();
  const std::int64_t end = (now / 1000 + 3) * 1000;
  pause_.start(static_cast<int>(end - now));
}

void QueueRunner::RunPass() {
  const int n = list_.RowCount();
  if (n == 0) return;  // CurrentDownloadRow keeps its value
  currentDownloadRow_ = 0;
  int fileCounter = 0;
  // The pass visits the rows it began with by their ids: one deleted or
  // re-sorted during a download neither makes it skip the next row nor
  // visit one twice, and a deleted one is simply gone.
  std::vector<quint64> ids(n);
  for (int r = 0; r < n; ++r) ids[r] = list_.RowId(r);
  int r = -1;
  for (const quint64 id : ids) {
    r = list_.RowId(r + 1) == id ? r + 1 : list_.RowOfId(id);
    if (r < 0) continue;
    currentDownloadRow_ = r;
    if (!Pending(r)) continue;
    if (hooks_.stopped()) break;  // the remaining rows are left alone
    DownloadRow(r, fileCounter);
  }
  currentDownloadRow_ = n;
}

bool QueueRunner::Pending(int row) {
  const QString file = list_.CellText(colFile, row);
  switch (list_.State(row)) {
    case RowState::Failed:
    case RowState::Stopped:
      return false;  // until Retry or "Start downloads"
    case RowState::Done:
      return !FileExists(file);  // a deleted download is fetched again
    case RowState::Waiting:
    case RowState::Downloading:
      break;
  }
  // A row whose File cell names a whole file (typed into the input row) is
  // done already.
  if (FileExists(file) && !IsPartFileName(file)) {
    list_.SetState(row, RowState::Done);
    return false;
  }
  // The program ended after the rename, before the list was saved again:
  // only a complete download gets its final name.
  if (IsPartFileName(file) && !FileExists(file) && FileExists(file.chopped(5))) {
    list_.BeginUpdate();
    list_.SetCellText(colFile, row, file.chopped(5));
    list_.SetState(row, RowState::Done);
    list_.EndUpdate();
    return false;
  }
  return true;
}

void QueueRunner::DownloadRow(int row, int& n) {
  const QString link = list_.CellText(colUrl, row);
  // A row with a partial file continues it; any other takes the first free
  // name, where a name whose .part exists is taken too.
  QString part = list_.CellText(colFile, row);
  const std::int64_t offset = IsPartFileName(part) ? FileLength(part) : -1;
  if (offset < 0) {
    const QString extension = ExtensionFor(link);
    QString name = FileName(hooks_.flvDir(), n, extension);
    while (FileExists(name) || FileExists(PartFileName(name))) name = FileName(hooks_.flvDir(), ++n, extension);
    part = PartFileName(name);
  }
  const QString name = part.chopped(5);

  hooks_.status(QStringLiteral("Downloading video"));
  downloadingId_ = list_.RowId(row);
  lastBlockMs_ = TickCountMs();
  list_.BeginUpdate();
  list_.SetState(row, RowState::Downloading);
  list_.SetCellText(colFile, row, part);  // a kill from here on leaves a stopped row with this file
  list_.EndUpdate();

  QString error;
  try {
    Transfer(link, part, std::max<std::int64_t>(offset, 0));
  } catch (const std::exception& e) {
    error = QString::fromUtf8(e.what());
    if (error.isEmpty()) error = QStringLiteral("Unknown error");
  } catch (...) {
    error = QStringLiteral("Unknown error");
  }
  if (error.isEmpty()) error = rangeError_;
  const std::int64_t have = FileLength(part);
  // A Stop that came with the last block still leaves a whole file.
  const bool whole = error.isEmpty() && (expected_ >= 0 ? have >= expected_ : !cutByStop_);
  if (error.isEmpty() && !whole && !cutByStop_)
    error = QStringLiteral("Connection closed after %1 of %2 bytes.").arg(have).arg(expected_);
  if (whole && std::rename(part.toLocal8Bit().constData(), name.toLocal8Bit().constData()) != 0)
    error = QStringLiteral("Cannot rename \"%1\". %2").arg(part, QString::fromLocal8Bit(std::strerror(errno)));

  const int now = CurrentRow();
  downloadingId_ = 0;
  if (whole && error.isEmpty()) {
    hooks_.addToTimeline(name);
    list_.BeginUpdate();
    list_.SetCellText(colFile, now, name);
    list_.SetState(now, RowState::Done);
    list_.EndUpdate();
    return;
  }
  if (cutByStop_) {
    list_.SetState(now, RowState::Stopped);
    return;
  }
  // A failure leaves no empty file behind; received bytes stay for a retry.
  if (have == 0) ::unlink(part.toLocal8Bit().constData());
  error = platform::ErrorReportText(error);
  list_.BeginUpdate();
  if (have <= 0) list_.SetCellText(colFile, now, QString());
  list_.SetState(now, RowState::Failed, error);
  list_.EndUpdate();
  hooks_.status(error);
  if (hooks_.rowFailed) hooks_.rowFailed(link, error);
}

void QueueRunner::Transfer(const QString& link, const QString& part, std::int64_t offset) {
  if (offset == 0) CreateEmptyFile(part);
  OpenFile file(part);
  PartFile sink(file.Fd());
  sink.Seek(offset);
  sink_ = &sink;
  resumeFrom_ = offset;
  base_ = 0;
  expected_ = -1;
  counting_ = false;
  cutByStop_ = false;
  rangeError_.clear();
  // "Range: bytes=N-" asks for the rest; the request record keeps its fields
  // from call to call, so they go back to 0 on every way out.
  client_.Request.ContentRangeStart = offset;
  client_.Request.ContentRangeEnd = 0;
  struct Restore {
    QueueRunner& r;
    ~Restore() {
      r.client_.Request.ContentRangeStart = 0;
      r.sink_ = nullptr;
      r.counting_ = false;
    }
  } restore{*this};
  try {
    client_.Get(link.toStdString(), sink);
  } catch (...) {
    try {
      sink.Flush();  // keep what arrived before the failure
    } catch (...) {
    }
    throw;
  }
  sink.Flush();
  // The bytes that came with a refused reply's head were written all the same.
  if (!rangeError_.isEmpty()) sink.SetSize(offset);
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
  lastBlockMs_ = TickCountMs();
  // Only the body of a 2xx reply is the file's: a redirect's or an error's
  // body leaves Size and Progress alone.
  const int code = client_.Response.StatusCode();
  counting_ = sink_ && code / 100 == 2;
  if (!counting_) return;
  base_ = 0;
  if (resumeFrom_ > 0) {
    const std::int64_t start = client_.Response.ContentRangeStart;
    if (code == 206 && start > resumeFrom_) {
      // A gap would follow; nothing is written. (No exception here: it
      // would leave the client's work bracket open.)
      rangeError_ = QStringLiteral("The server resumed at byte %1, not at byte %2.").arg(start).arg(resumeFrom_);
      counting_ = false;
      client_.Disconnect();
      return;
    }
    // 206 appends to what is there (from where the server starts); any other
    // reply is the whole file again.
    base_ = code == 206 ? start : 0;
    sink_->SetSize(base_);
    sink_->Seek(base_);
  }
  expected_ = announced > 0 ? base_ + announced : -1;
  const int row = CurrentRow();
  list_.BeginUpdate();
  if (expected_ > 0) {
    hooks_.status(QStringLiteral("Transfering: ") + QString::number(expected_));
    list_.SetCellInt(colSize, row, expected_);
    list_.SetCellInt(colProgress, row,
                     RoundHalfEven(static_cast<double>(base_) / static_cast<double>(expected_) * 100.0));
  } else {
    list_.SetCellInt(colProgress, row, 0);
  }
  list_.EndUpdate();
}

void QueueRunner::Work(std::int64_t count) {
  lastBlockMs_ = TickCountMs();
  hooks_.processMessages();
  if (counting_) {
    // Counts cover the whole file, also when this body resumes it.
    const std::int64_t whole = base_ + count;
    const int row = CurrentRow();
    const qint64 size = list_.CellInt(colSize, row);
    if (size < 1) {
      hooks_.status(QString::number(whole) + QStringLiteral(" bytes."));
    } else {
      hooks_.status(QString::number(whole) + QStringLiteral(" bytes of ") + QString::number(size) +
                    QStringLiteral(" bytes."));
      list_.BeginUpdate();
      list_.SetCellInt(colProgress, row, RoundHalfEven(static_cast<double>(whole) / static_cast<double>(size) * 100.0));
      list_.EndUpdate();
    }
  }
  if (hooks_.stopped()) {
    cutByStop_ = true;
    client_.Disconnect();
  }
}

void QueueRunner::StopTransfer() {
  if (downloadingId_ == 0) return;
  cutByStop_ = true;
  client_.Disconnect();
}

void QueueRunner::WorkEnd() { hooks_.status(QStringLiteral("Done")); }

void QueueRunner::Waiting() {
  hooks_.processMessages();
  // A stalled transfer ends the way a Stop at its next block would.
  if (hooks_.stopped() && TickCountMs() - lastBlockMs_ >= kStalledStopMs) StopTransfer();
}

}  // namespace larkvale::queue
