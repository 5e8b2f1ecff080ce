#include "queue/queuerunner.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <vector>

#include "extract/mediatypes.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/filesystem.h"
#include "platform/rounding.h"
#include "queue/rowjob.h"
#include "queue/sessionscope.h"
#include "stream/streamdownload.h"

namespace larkvale::queue {
namespace {

using platform::FileExists;
using platform::RoundHalfEven;
using platform::TickCountMs;

QString BytesText(std::int64_t count, std::int64_t size);

}  // namespace

QueueRunner::QueueRunner(DownloadList& list, http::TNetHTTP& client, int& currentDownloadRow, RunnerHooks hooks,
                         QObject* parent)
    : QObject(parent),
      list_(list),
      client_(client),
      currentDownloadRow_(currentDownloadRow),
      hooks_(std::move(hooks)) {
  pause_.setSingleShot(true);
  // The pass runs from a posted call, not inside the timer's own event: a
  // pass processes messages for as long as its download lasts, and the timer
  // machinery is not meant to be re-entered that deeply.
  connect(&pause_, &QTimer::timeout, this, &QueueRunner::Step, Qt::QueuedConnection);
  retryTick_.setInterval(kRetryTickMs);
  connect(&retryTick_, &QTimer::timeout, this, &QueueRunner::TickRetries);
  // Delete on the row being downloaded stops its transfer as Stop would (its
  // .part file stays); the pass then goes on with the next row.
  connect(&list_, &QAbstractItemModel::rowsRemoved, this, [this] {
    if (downloadingId_ != 0 && list_.RowOfId(downloadingId_) < 0) StopTransfer();
    StopDeletedJobs();
    // A deleted row's name is free again once its transfer has ended.
    names_.KeepOnly([this](quint64 id) { return IsRunning(id) || list_.RowOfId(id) >= 0; });
  });
  // Rows running together: a row added may start beside them.
  connect(&list_, &QAbstractItemModel::rowsInserted, this, [this] { rescan_ = true; });

}

QString QueueRunner::PartForRow(quint64 id, const QString& file, int& n, const QString& extension) {
  // A row with a partial file continues it.
  if (IsPartFileName(file) && FileExists(file) && names_.Hold(id, file.chopped(5))) return file;
  // The name it was given before (it waited for its host, or is asked
  // again), unless something else now stands under it.
  if (const QString held = names_.NameOf(id);
      !held.isEmpty() && held.endsWith(extension) && !FileExists(held) && !FileExists(PartFileName(held)))
    return PartFileName(held);
  return PartFileName(names_.Take(id, hooks_.flvDir(), n, extension));
}

QString QueueRunner::ClaimForRow(quint64 id, const QString& file, const QString& part, int& n,
                                 const QString& extension) {
  // Its own .part goes on; a new one is made only where nothing is, so a
  // file made meanwhile (by another program) is never written into.
  if (part == file && FileExists(part)) return part;
  QString next = part;
  for (int tries = 0; tries < 1000; ++tries) {
    if (ClaimPart(next)) return next;
    // A folder it cannot be made in is the transfer's to report.
    if (!FileExists(next)) return next;
    next = PartFileName(names_.Take(id, hooks_.flvDir(), n, extension));
  }
  return next;
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
    StopWaits();
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
  // The pause ends when the whole-second count has moved on by three, or
  // when a retry falls due before that.
  const std::int64_t now = TickCountMs();
  std::int64_t end = (now / 1000 + 3) * 1000;
  if (const std::int64_t due = NextRetryMs(); due >= 0) end = std::min(end, due);
  pause_.start(static_cast<int>(std::max<std::int64_t>(end - now, 0)));
}

void QueueRunner::RunPass() {
  if (AtOnce() > 1) {
    RunRowsTogether();
    return;
  }
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
      if (RetryNotDue(row)) return false;
      break;
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
  if (IsPartFileName(file) && !FileExists(file) && FileExists(file.chopped(5)) &&
      !names_.HeldByOther(list_.RowId(row), file.chopped(5))) {
    list_.BeginUpdate();
    list_.SetCellText(colFile, row, file.chopped(5));
    list_.SetState(row, RowState::Done);
    list_.EndUpdate();
    return false;
  }
  return true;
}

bool QueueRunner::IsStreamRow(int row, const QString& link, const QString& file) const {
  return RowDownload::IsStream(link, list_.IsMarkedStream(row), file);
}

void QueueRunner::DownloadStreamRow(int row, const QString& link, QString part, int& n) {
  const quint64 rowId = list_.RowId(row);
  part = ClaimForRow(rowId, part, PartForRow(rowId, part, n, QStringLiteral(".mp4")), n, QStringLiteral(".mp4"));
  const QString name = part.chopped(5);
  // An empty .part holds the name while the pieces arrive, and lets a later
  // pass (or a restart) find them through the row's File cell.
  if (!FileExists(part)) CreateEmptyFile(part);

  hooks_.status(QStringLiteral("Downloading video"));
  downloadingId_ = list_.RowId(row);
  lastBlockMs_ = TickCountMs();
  list_.BeginUpdate();
  list_.SetState(row, RowState::Downloading);
  list_.SetCellText(colFile, row, part);
  list_.SetCellInt(colProgress, row, 0);
  list_.EndUpdate();

  RowOptions options;
  options.stream = true;
  options.maxHeight = hooks_.maxHeight ? hooks_.maxHeight() : 0;
  options.connections = hooks_.connections ? hooks_.connections() : 0;
  options.streamClient = hooks_.streamClient;
  // A row found on a browsed page carries the browser's session to every
  // request of the stream (to its own server only, as for files).
  options.session = list_.Session(row);
  RowDownload download(client_, std::move(options));
  // The stream's reports, on this thread: onto the row and the status line.
  struct Progress : RowProgress {
    QueueRunner& runner;
    RowDownload& download;
    Progress(QueueRunner& r, RowDownload& d) : runner(r), download(d) {}
    void Began(std::int64_t, std::int64_t) override {}
    void Moved(std::int64_t have, std::int64_t expected, std::int64_t received, double fraction) override {
      const int now = runner.CurrentRow();
      if (now >= 0) {
        DownloadList& list = runner.list_;
        list.BeginUpdate();
        if (expected > 0) list.SetCellInt(colSize, now, expected);
        const qint64 percent = RoundHalfEven(fraction * 100.0);
        if (list.CellInt(colProgress, now) != percent) list.SetCellInt(colProgress, now, percent);
        list.EndUpdate();
        runner.hooks_.status(BytesText(have, expected));
      }
      if (runner.hooks_.streamBytes) runner.hooks_.streamBytes(received);
    }
    void Status(const QString& text) override { runner.hooks_.status(text); }
    void Idle() override {
      runner.hooks_.processMessages();
      // Stop, or the row deleted: the pieces stay for a later run.
      if (runner.hooks_.stopped() || runner.CurrentRow() < 0) download.Stop();
    }
  } progress(*this, download);
  stopCurrent_ = [&download] { download.Stop(); };
  if (hooks_.streamBytes) hooks_.streamBytes(0);
  const RowResult result = download.Run(link, part, progress);
  stopCurrent_ = nullptr;
  if (hooks_.streamBytes) hooks_.streamBytes(-1);

  const int now = CurrentRow();
  downloadingId_ = 0;
  if (result.complete) {
    names_.Release(rowId);  // the file holds it now
    // A live recording that the stream let go idle says why it ended.
    hooks_.status(result.note.isEmpty() ? QStringLiteral("Done") : result.note);
    hooks_.addToTimeline(name);
    list_.BeginUpdate();
    list_.SetCellInt(colProgress, now, 100);
    list_.SetCellText(colFile, now, name);
    list_.SetState(now, RowState::Done);
    list_.EndUpdate();
    return;
  }
  if (result.stopped) {
    list_.SetState(now, RowState::Stopped);
    return;
  }
  const QString error = platform::ErrorReportText(result.error);
  list_.BeginUpdate();
  // Retry keeps what arrived; with nothing fetched, nothing holds the name
  // on disk (the download has removed the empty .part).
  if (!result.keptPieces) list_.SetCellText(colFile, now, QString());
  list_.SetState(now, RowState::Failed, error);
  list_.EndUpdate();
  hooks_.status(error);
  if (hooks_.rowFailed) hooks_.rowFailed(link, name, error);
}

void QueueRunner::DownloadRow(int row, int& n) {
  const QString link = list_.CellText(colUrl, row);
  if (IsStreamRow(row, link, list_.CellText(colFile, row))) {
    DownloadStreamRow(row, link, list_.CellText(colFile, row), n);
    return;
  }
  // A row with a partial file continues it; any other takes the first free
  // name, where a name whose .part exists is taken too.
  const quint64 rowId = list_.RowId(row);
  const QString file = list_.CellText(colFile, row), extension = ExtensionFor(link);
  const QString part = ClaimForRow(rowId, file, PartForRow(rowId, file, n, extension), n, extension);
  const QString name = part.chopped(5);

  hooks_.status(QStringLiteral("Downloading video"));
  downloadingId_ = list_.RowId(row);
  lastBlockMs_ = TickCountMs();
  list_.BeginUpdate();
  list_.SetState(row, RowState::Downloading);
  list_.SetCellText(colFile, row, part);  // a kill from here on leaves a stopped row with this file
  list_.EndUpdate();

  RowOptions options;
  // A large file from a server that takes ranges comes over several connections.
  options.connections = hooks_.connections ? hooks_.connections() : 1;
  options.refusePages = list_.IsFoundOnPage(row);
  // A row from a browsed page goes out with the browser's session.
  options.session = list_.Session(row);
  RowDownload download(client_, std::move(options));
  // The file's reports, on this thread: onto the row, the status line and
  // the speed.
  struct Progress : RowProgress {
    QueueRunner& runner;
    RowDownload& download;
    bool moved = false;
    Progress(QueueRunner& r, RowDownload& d) : runner(r), download(d) {}
    void Began(std::int64_t resumed, std::int64_t expected) override {
      runner.lastBlockMs_ = TickCountMs();
      const int row = runner.CurrentRow();
      runner.list_.BeginUpdate();
      if (expected > 0) {
        runner.hooks_.status(QStringLiteral("Transfering: ") + QString::number(expected));
        runner.list_.SetCellInt(colSize, row, expected);
        runner.list_.SetCellInt(colProgress, row,
                                RoundHalfEven(static_cast<double>(resumed) / static_cast<double>(expected) * 100.0));
      } else {
        runner.list_.SetCellInt(colProgress, row, 0);
      }
      runner.list_.EndUpdate();
      // The row shows where it starts before the speed and the taskbar do.
      if (runner.hooks_.bodyBegan) runner.hooks_.bodyBegan(expected > 0 ? expected - resumed : 0);
    }
    void Moved(std::int64_t have, std::int64_t, std::int64_t received, double) override {
      runner.lastBlockMs_ = TickCountMs();
      moved = true;
      const int row = runner.CurrentRow();
      const qint64 size = runner.list_.CellInt(colSize, row);
      runner.hooks_.status(BytesText(have, size < 1 ? 0 : size));
      if (size >= 1) {
        // The percentage moves once in about a hundred blocks of a large
        // file; writing the same value again would only announce a change
        // that is none.
        const qint64 percent = RoundHalfEven(static_cast<double>(have) / static_cast<double>(size) * 100.0);
        if (runner.list_.CellEmpty(colProgress, row) || runner.list_.CellInt(colProgress, row) != percent)
          runner.list_.SetCellInt(colProgress, row, percent);
      }
      // (0 would start the speed afresh.)
      if (runner.hooks_.rowsBytes && received > 0) runner.hooks_.rowsBytes(received);
    }
    void Status(const QString& text) override { runner.hooks_.status(text); }
    void Idle() override {
      const bool block = moved;
      moved = false;
      runner.hooks_.processMessages();
      // Stop at the next block; a stalled transfer ends the way a Stop at
      // its next block would, once it has been silent a moment.
      if (runner.hooks_.stopped() &&
          (block || TickCountMs() - runner.lastBlockMs_ >= kStalledStopMs))
        download.Stop();
    }
  } progress(*this, download);
  stopCurrent_ = [&download] { download.Stop(); };
  if (hooks_.rowsBytes) hooks_.rowsBytes(0);
  const RowResult result = download.Run(link, part, progress);
  stopCurrent_ = nullptr;
  if (hooks_.rowsBytes) hooks_.rowsBytes(-1);

  const int now = CurrentRow();
  const quint64 id = downloadingId_;
  downloadingId_ = 0;
  if (result.complete) hooks_.status(QStringLiteral("Done"));
  FinishRow(now, id, link, name, result);
}

void QueueRunner::FinishRow(int now, quint64 id, const QString& link, const QString& name,
                            const RowResult& result) {
  const std::int64_t have = result.have;
  if (now < 0) names_.Release(id);  // deleted while it ran
  if (result.transient && now >= 0 && ScheduleRetry(now, result)) return;
  retries_.erase(id);
  if (result.complete) {
    names_.Release(id);  // the file holds it now
    hooks_.addToTimeline(name);
    list_.BeginUpdate();
    list_.SetCellText(colFile, now, name);
    list_.SetState(now, RowState::Done);
    list_.EndUpdate();
    return;
  }
  if (result.stopped) {
    list_.SetState(now, RowState::Stopped);
    return;
  }
  if (result.diskFull) {
    list_.BeginUpdate();
    if (have <= 0) list_.SetCellText(colFile, now, QString());
    list_.SetState(now, RowState::Stopped);
    list_.SetNote(now, result.error);
    list_.EndUpdate();
    hooks_.status(result.error);
    if (hooks_.pauseQueue) hooks_.pauseQueue();
    return;
  }
  const QString error = platform::ErrorReportText(result.error);
  list_.BeginUpdate();
  if (have <= 0) list_.SetCellText(colFile, now, QString());
  list_.SetState(now, RowState::Failed, error);
  list_.EndUpdate();
  hooks_.status(error);
  if (hooks_.rowFailed) hooks_.rowFailed(link, name, error);
}


bool QueueRunner::ScheduleRetry(int row, const RowResult& result) {
  const quint64 id = list_.RowId(row);
  Retry& retry = retries_[id];
  if (retry.attempts >= static_cast<int>(retryPausesMs_.size())) {
    retries_.erase(id);
    return false;
  }
  const std::int64_t wait = result.retryAfterMs >= 0 ? result.retryAfterMs : retryPausesMs_[retry.attempts];
  ++retry.attempts;
  retry.dueMs = TickCountMs() + wait;
  retry.reason = result.reason;
  const QString text = RetryText(wait, retry.reason);
  list_.BeginUpdate();
  // Bytes that arrived stay for the resume; with none, nothing holds the name.
  if (result.have <= 0) list_.SetCellText(colFile, row, QString());
  list_.SetState(row, RowState::Waiting);
  list_.SetNote(row, text);
  list_.EndUpdate();
  hooks_.status(text);
  if (!retryTick_.isActive()) retryTick_.start();
  return true;
}

bool QueueRunner::RetryNotDue(int row) {
  const auto it = retries_.find(list_.RowId(row));
  return it != retries_.end() && it->second.dueMs > TickCountMs();
}

std::int64_t QueueRunner::NextRetryMs() const {
  std::int64_t next = -1;
  for (const auto& [id, retry] : retries_)
    if (next < 0 || retry.dueMs < next) next = retry.dueMs;
  return next;
}

void QueueRunner::TickRetries() {
  if (hooks_.stopped()) {
    StopWaits();
    return;
  }
  const std::int64_t now = TickCountMs();
  for (auto it = retries_.begin(); it != retries_.end();) {
    // Being asked again right now: its count of attempts still holds.
    if (IsRunning(it->first)) {
      ++it;
      continue;
    }
    // Deleted, or no longer waiting: nothing to count down.
    const int row = list_.RowOfId(it->first);
    if (row < 0 || list_.State(row) != RowState::Waiting) {
      it = retries_.erase(it);
      continue;
    }
    if (it->second.dueMs > now) {
      const QString text = RetryText(it->second.dueMs - now, it->second.reason);
      list_.SetNote(row, text);
    }
    ++it;
  }
  if (retries_.empty()) retryTick_.stop();
}

void QueueRunner::StopWaits() {
  for (const auto& [id, retry] : retries_) {
    const int row = list_.RowOfId(id);
    if (row >= 0 && !IsRunning(id) && list_.State(row) == RowState::Waiting) list_.SetState(row, RowState::Stopped);
  }
  retries_.clear();
  retryTick_.stop();
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

namespace {

// "N bytes." or "N bytes of M bytes.", built in one piece: this runs for
// every 1024-byte block.
QString BytesText(std::int64_t count, std::int64_t size) {
  char text[64];
  char* end = std::to_chars(text, text + 20, count).ptr;
  if (size < 1) {
    std::memcpy(end, " bytes.", 7);
    end += 7;
  } else {
    std::memcpy(end, " bytes of ", 10);
    end = std::to_chars(end + 10, end + 30, size).ptr;
    std::memcpy(end, " bytes.", 7);
    end += 7;
  }
  return QString::fromLatin1(text, end - text);
}

}  // namespace

void QueueRunner::StopTransfer() {
  StopJobs();
  if (downloadingId_ != 0 && stopCurrent_) stopCurrent_();
}

}  // namespace larkvale::queue
