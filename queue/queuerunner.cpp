#include "queue/queuerunner.h"

#include <QFile>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/filesystem.h"
#include "platform/rounding.h"
#include "queue/sessionscope.h"
#include "queue/rowqueue.h"

namespace larkvale::queue {
namespace {

using platform::RoundHalfEven;
using platform::TickCountMs;

// How often a pass looks again for rows to start when nothing told it that
// the list changed (a retry fell due, a row was retried or stopped).
constexpr std::int64_t kRescanMs = 250;
constexpr std::size_t kIdleClients = QueueRunner::kMaxAtOnce;

QString BytesText(std::int64_t count, std::int64_t size);

// "host:port" of a link, for the limit per host.
std::string HostKey(const QString& link) {
  std::string origin;
  try {
    origin = OriginOf(link.toStdString());
  } catch (const std::exception&) {
    return {};  // no host: the transfer fails at once and says why
  }
  const std::size_t scheme = origin.find("://");
  return scheme == std::string::npos ? origin : origin.substr(scheme + 3);
}

}  // namespace

bool RunnerHost::FileExists(const QString& path) { return !path.isEmpty() && platform::FileExists(path); }

std::unique_ptr<http::TNetHTTP> RunnerHost::NewClient() {
  auto client = std::make_unique<http::TNetHTTP>();
  http::ApplyWindowConfiguration(*client);
  return client;
}

QueueRunner::QueueRunner(DownloadList& list, RunnerHost& host, int& currentDownloadRow,
                         std::vector<int> retryPausesMs, QObject* parent)
    : QObject(parent),
      list_(list),
      host_(host),
      currentDownloadRow_(currentDownloadRow),
      retryPausesMs_(std::move(retryPausesMs)) {
  pause_.setSingleShot(true);
  // The pass runs from a posted call, not inside the timer's own event: a
  // pass processes messages for as long as its downloads last, and the
  // timer machinery is not meant to be re-entered that deeply.
  connect(&pause_, &QTimer::timeout, this, &QueueRunner::Step, Qt::QueuedConnection);
  retryTick_.setInterval(kRetryTickMs);
  connect(&retryTick_, &QTimer::timeout, this, &QueueRunner::TickRetries);
  // Delete on a row being downloaded stops its transfer as Stop would (its
  // .part file stays); the pass then goes on with the next row.
  connect(&list_, &QAbstractItemModel::rowsRemoved, this, [this] {
    StopDeletedJobs();
    // A deleted row's name is free again once its transfer has ended.
    names_.KeepOnly([this](quint64 id) { return IsRunning(id) || list_.RowOfId(id) >= 0; });
    queue_.Moved();
  });
  connect(&list_, &QAbstractItemModel::layoutChanged, this, [this] { queue_.Moved(); });
  // Rows added wait, and may start beside the running ones; so may a row
  // that waits again.
  connect(&list_, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
    // Looked at when rows start: a loaded list fills its rows' cells and
    // states after adding them, and its done rows never join the queue.
    for (int r = first; r <= last; ++r) added_.push_back(list_.RowId(r));
    rescan_ = true;
  });
  connect(&list_, &DownloadList::rowWaiting, this, [this](quint64 id) {
    queue_.Add(list_.RowOfId(id), id);
    rescan_ = true;
  });
  // The list as it was loaded: its waiting rows, once.
  for (int r = 0; r < list_.RowCount(); ++r) added_.push_back(list_.RowId(r));
}

void QueueRunner::QueueAdded() {
  for (const quint64 id : added_) {
    const int r = list_.RowOfId(id);
    if (r >= 0 && (list_.State(r) == RowState::Waiting || list_.State(r) == RowState::Downloading)) queue_.Add(r, id);
  }
  added_.clear();
}

void QueueRunner::CheckShown(int first, int last) {
  first = std::max(first, 0);
  last = std::min(last, list_.RowCount() - 1);
  for (int r = first; r <= last; ++r) {
    if (list_.State(r) != RowState::Done || IsRunning(list_.RowId(r))) continue;
    // A deleted download is fetched again.
    const QString file = list_.CellText(colFile, r);
    if (!host_.FileExists(file)) {
      queue_.Add(r, list_.RowId(r));
      rescan_ = true;
    }
  }
}

QueueRunner::~QueueRunner() {
  StopTransfer();
  jobs_.clear();  // each waits for its thread
}

void QueueRunner::Start() {
  if (host_.Stopped()) return;
  for (int r = 0; r < list_.RowCount(); ++r)
    if (list_.State(r) == RowState::Stopped) list_.MakeWaiting(r);
  if (active_) return;
  active_ = true;
  Step();
}

void QueueRunner::Step() {
  if (!host_.AtTopLevel()) {
    pause_.start(kTopLevelRetryMs);
    return;
  }
  // Seeing the stop flag at the start of a pass ends the loop.
  if (host_.Stopped()) {
    StopWaits();
    active_ = false;
    return;
  }
  try {
    RunPass();
    host_.PumpMessages();
  } catch (...) {
    active_ = false;
    host_.PassFailed(std::current_exception());
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
  const int n = list_.RowCount();
  if (n == 0) return;  // CurrentDownloadRow keeps its value
  const auto [shownFirst, shownLast] = host_.ShownRows();
  CheckShown(shownFirst, shownLast);
  currentDownloadRow_ = -1;
  fileCounter_ = 0;
  queue_.Rewind();
  bool began = false;
  jobsBytes_ = 0;
  rescan_ = true;
  try {
    RunRows(began);
  } catch (...) {
    // The pass fails as a whole (the loop reports it): nothing may go on
    // running behind it, and the rows it ran stay stopped with their .part.
    StopTransfer();
    for (auto& job : jobs_) list_.SetState(list_.RowOfId(job->Id()), RowState::Stopped);
    jobs_.clear();  // each waits for its thread, which ends at its next slice
    runningPerHost_.clear();
    if (began) host_.Received(-1);
    throw;
  }
  percent_ = -1;
  if (began) host_.Received(-1);
  currentDownloadRow_ = std::max(n, list_.RowCount());
}

void QueueRunner::RunRows(bool& began) {
  std::int64_t lastScan = 0;
  for (;;) {
    if (host_.Stopped()) {
      StopTransfer();
      rescan_ = false;
    } else if (rescan_ || TickCountMs() - lastScan >= kRescanMs) {
      rescan_ = false;
      lastScan = TickCountMs();
      StartRows();
    }
    if (!jobs_.empty() && !began) {
      began = true;
      host_.Received(0);
    }
    FollowJobs();
    if (jobs_.empty() && (!rescan_ || host_.Stopped())) break;
    host_.PumpMessages();
    if (!jobs_.empty()) wake_.Wait(kSliceMs);
  }
}

RowQueue::Look QueueRunner::LookAt(int row) {
  using Look = RowQueue::Look;
  const QString file = list_.CellText(colFile, row);
  switch (list_.State(row)) {
    case RowState::Failed:
    case RowState::Stopped:
      return Look::Gone;  // until Retry or "Start downloads"
    case RowState::Done:
      if (host_.FileExists(file)) return Look::Gone;
      break;  // a deleted download is fetched again
    case RowState::Waiting:
      if (RetryNotDue(row)) return Look::NotYet;
      break;
    case RowState::Downloading:
      break;
  }
  if (file.isEmpty()) return Look::Ready;
  // A row whose File cell names a whole file (typed into the input row) is
  // done already.
  if (!IsPartFileName(file) && host_.FileExists(file)) {
    list_.SetState(row, RowState::Done);
    return Look::Gone;
  }
  // The program ended after the rename, before the list was saved again:
  // only a complete download gets its final name.
  if (IsPartFileName(file) && !host_.FileExists(file) && host_.FileExists(file.chopped(5)) &&
      !names_.HeldByOther(list_.RowId(row), file.chopped(5))) {
    list_.BeginUpdate();
    list_.SetCellText(colFile, row, file.chopped(5));
    list_.SetState(row, RowState::Done);
    list_.EndUpdate();
    return Look::Gone;
  }
  return Look::Ready;
}

void QueueRunner::StartRows() {
  QueueAdded();
  if (queue_.Size() == 0) return;
  // The settings as they are now, once for the rows this look starts.
  settings_ = host_.Settings();
  settings_.atOnce = std::clamp(settings_.atOnce, 1, kMaxAtOnce);
  settings_.perHost = std::clamp(settings_.perHost, 1, kMaxAtOnce);
  const auto rowOf = [this](quint64 id) { return list_.RowOfId(id); };
  const auto look = [this](const RowQueue::Entry& e) { return LookAt(e.row); };
  const auto kindOf = [this](const RowQueue::Entry& e) {
    const QString link = list_.CellText(colUrl, e.row);
    return RowQueue::Kind{HostKey(link), IsStreamRow(e.row, link, list_.CellText(colFile, e.row))};
  };
  const auto hostFree = [this](const std::string& host) {
    const auto it = runningPerHost_.find(host);
    return it == runningPerHost_.end() || it->second < settings_.perHost;
  };
  // Later rows must not take names before the one that waits for a place:
  // nothing starts while every place is taken.
  while (static_cast<int>(jobs_.size()) < settings_.atOnce && !StreamRunning()) {
    const std::optional<RowQueue::Choice> choice = queue_.Next(rowOf, look, kindOf, hostFree, !jobs_.empty());
    if (!choice) return;
    // Names go out in row order, as one row at a time would give them: the
    // rows before this one that wait for their host take theirs first.
    for (const RowQueue::Entry& e : queue_.Before(choice->entry, look)) {
      const QString link = list_.CellText(colUrl, e.row);
      PartForRow(e.id, list_.CellText(colFile, e.row), IsStreamRow(e.row, link, list_.CellText(colFile, e.row))
                                                            ? QStringLiteral(".mp4")
                                                            : ExtensionFor(link));
    }
    const int r = choice->entry.row;
    const quint64 id = choice->entry.id;
    queue_.Remove(id);
    const QString link = list_.CellText(colUrl, r);
    const QString file = list_.CellText(colFile, r);
    const bool stream = choice->kind.stream;
    const QString extension = stream ? QStringLiteral(".mp4") : ExtensionFor(link);
    const QString part = ClaimForRow(id, file, PartForRow(id, file, extension), extension);
    StartJob(r, link, part, stream, choice->kind.host);
  }
}

bool QueueRunner::StreamRunning() const {
  return std::any_of(jobs_.begin(), jobs_.end(), [](const auto& job) { return job->IsStream(); });
}

QString QueueRunner::PartForRow(quint64 id, const QString& file, const QString& extension) {
  // A row with a partial file continues it.
  if (IsPartFileName(file) && host_.FileExists(file) && names_.Hold(id, file.chopped(5))) return file;
  // The name it was given before (it waited for its host, or is asked
  // again), unless something else now stands under it.
  if (const QString held = names_.NameOf(id);
      !held.isEmpty() && held.endsWith(extension) && !host_.FileExists(held) && !host_.FileExists(PartFileName(held)))
    return PartFileName(held);
  return PartFileName(names_.Take(id, settings_.folder, fileCounter_, extension));
}

QString QueueRunner::ClaimForRow(quint64 id, const QString& file, const QString& part, const QString& extension) {
  // Its own .part goes on; a new one is made only where nothing is, so a
  // file made meanwhile (by another program) is never written into.
  if (part == file && host_.FileExists(part)) return part;
  QString next = part;
  for (int tries = 0; tries < 1000; ++tries) {
    if (ClaimPart(next)) return next;
    // A folder it cannot be made in is the transfer's to report.
    if (!host_.FileExists(next)) return next;
    next = PartFileName(names_.Take(id, settings_.folder, fileCounter_, extension));
  }
  return next;
}

bool QueueRunner::IsStreamRow(int row, const QString& link, const QString& file) const {
  return RowDownload::IsStream(link, list_.IsMarkedStream(row), file);
}

void QueueRunner::StartJob(int row, const QString& link, const QString& part, bool stream, const std::string& host) {
  host_.Status(QStringLiteral("Downloading video"));
  list_.BeginUpdate();
  list_.SetState(row, RowState::Downloading);
  list_.SetCellText(colFile, row, part);  // a kill from here on leaves a stopped row with this file
  if (stream) list_.SetCellInt(colProgress, row, 0);
  list_.EndUpdate();

  RowJob::Start start;
  start.id = list_.RowId(row);
  start.link = link;
  start.part = part;
  start.host = host;
  start.options.stream = stream;
  if (!stream) ++runningPerHost_[host];
  // A large file from a server that takes ranges comes over several
  // connections; a stream's pieces come over several.
  start.options.connections = settings_.connections > 0 ? settings_.connections : (stream ? 0 : 1);
  start.options.maxHeight = settings_.maxHeight;
  start.options.refusePages = !stream && list_.IsFoundOnPage(row);
  // A row from a browsed page goes out with the browser's session (a
  // stream's to every request, to its own server only, as for files).
  start.options.session = list_.Session(row);
  if (stream) start.options.streamClient = host_.StreamClients();
  std::unique_ptr<http::TNetHTTP> client;
  if (idleClients_.empty()) {
    client = host_.NewClient();
  } else {
    client = std::move(idleClients_.back());
    idleClients_.pop_back();
  }
  jobs_.push_back(std::make_unique<RowJob>(std::move(start), std::move(client), wake_));
}

void QueueRunner::FollowJobs() {
  const bool alone = jobs_.size() == 1;
  std::int64_t bytes = jobsBytes_, have = 0, size = 0;
  bool sized = true;
  std::vector<std::unique_ptr<RowJob>> ended;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    RowJob& job = **it;
    const bool finished = job.Finished();  // read first: the counts shown below are then final
    const int row = list_.RowOfId(job.Id());
    const RowJob::Shown shown = job.Show(list_, row);
    bytes += shown.received;
    if (alone && row >= 0) {
      // One row running: the status line follows its steps and bytes.
      if (!shown.status.isEmpty()) host_.Status(shown.status);
      if (shown.began) {
        if (shown.size > 0 && !job.IsStream()) host_.Status(QStringLiteral("Transfering: ") + QString::number(shown.size));
        host_.BodyBegan(shown.announced);
      }
      if (shown.moved) host_.Status(BytesText(shown.have, shown.size));
    }
    // The rows that end now count too: the last percentage says they are whole.
    have += job.ShownHave();
    size += job.ShownSize();
    sized = sized && job.ShownSize() >= 1;
    if (finished) {
      jobsBytes_ += shown.received;
      if (!job.IsStream() && --runningPerHost_[job.Host()] <= 0) runningPerHost_.erase(job.Host());
      ended.push_back(std::move(*it));
      it = jobs_.erase(it);
      continue;
    }
    ++it;
  }
  percent_ = ended.empty() && jobs_.empty() ? -1
             : sized && size > 0
                 ? static_cast<int>(RoundHalfEven(static_cast<double>(have) / static_cast<double>(size) * 100.0))
                 : -1;
  if (jobs_.size() > 1) {
    std::int64_t running = 0, length = 0;
    bool known = true;
    for (const auto& job : jobs_) {
      running += job->ShownHave();
      length += job->ShownSize();
      known = known && job->ShownSize() >= 1;
    }
    host_.Status(QStringLiteral("%1 downloads: %2").arg(jobs_.size()).arg(BytesText(running, known ? length : 0)));
  }
  // The rows that ended, in the order they ended; the list only now.
  for (auto& job : ended) {
    const RowResult result = job->Result();
    if (idleClients_.size() < kIdleClients) idleClients_.push_back(job->TakeClient());
    FinishRow(list_.RowOfId(job->Id()), *job, result);
    rescan_ = true;
  }
  // Told last: whoever acts on the count finds the rows that ended finished.
  if (!jobs_.empty() || !ended.empty()) host_.Received(bytes);
}

void QueueRunner::FinishRow(int now, const RowJob& job, const RowResult& result) {
  const quint64 id = job.Id();
  const QString name = job.Part().chopped(5);
  if (now < 0) names_.Release(id);  // deleted while it ran
  if (result.transient && now >= 0 && ScheduleRetry(now, result)) return;
  retries_.erase(id);
  if (result.complete) {
    names_.Release(id);  // the file holds it now
    // A live recording that the stream let go idle says why it ended.
    if (!result.note.isEmpty())
      host_.Status(result.note);
    else if (jobs_.empty())
      host_.Status(QStringLiteral("Done"));
    host_.RowDone(name);
    list_.BeginUpdate();
    if (job.IsStream()) list_.SetCellInt(colProgress, now, 100);
    list_.SetCellText(colFile, now, name);
    list_.SetState(now, RowState::Done);
    list_.EndUpdate();
    return;
  }
  if (result.stopped) {
    list_.SetState(now, RowState::Stopped);
    return;
  }
  // Retry keeps what arrived; with nothing, nothing holds the name on disk
  // (the download has removed the empty .part).
  const bool nothingKept = job.IsStream() ? !result.keptPieces : result.have <= 0;
  if (result.diskFull) {
    list_.BeginUpdate();
    if (nothingKept) list_.SetCellText(colFile, now, QString());
    list_.SetState(now, RowState::Stopped);
    list_.SetNote(now, result.error);
    list_.EndUpdate();
    host_.Status(result.error);
    host_.DiskFull();
    return;
  }
  const QString error = platform::ErrorReportText(result.error);
  list_.BeginUpdate();
  if (nothingKept) list_.SetCellText(colFile, now, QString());
  list_.SetState(now, RowState::Failed, error);
  list_.EndUpdate();
  host_.Status(error);
  host_.RowFailed(job.Link(), name, error);
}

bool QueueRunner::IsRunning(quint64 id) const {
  return std::any_of(jobs_.begin(), jobs_.end(), [id](const auto& job) { return job->Id() == id; });
}

void QueueRunner::StopTransfer() {
  for (auto& job : jobs_) job->Stop();
}

void QueueRunner::StopDeletedJobs() {
  for (auto& job : jobs_)
    if (list_.RowOfId(job->Id()) < 0) job->Stop();
}

bool QueueRunner::StopRow(int row) {
  if (row < 0 || row >= list_.RowCount()) return false;
  const quint64 id = list_.RowId(row);
  for (auto& job : jobs_) {
    if (job->Id() == id) {
      job->Stop();
      return true;
    }
  }
  if (list_.State(row) == RowState::Waiting) {
    retries_.erase(id);
    list_.SetState(row, RowState::Stopped);
    return true;
  }
  return false;
}

int QueueRunner::RunningPercent() const { return percent_; }

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
  host_.Status(text);
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
  if (host_.Stopped()) {
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

}  // namespace larkvale::queue
