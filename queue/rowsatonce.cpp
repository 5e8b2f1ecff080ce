// Several rows at once: the queue runner's pass when "Downloads at once" is
// above 1 (see the note in queuerunner.h).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/rounding.h"
#include "queue/queuerunner.h"
#include "queue/rowjob.h"
#include "queue/sessionscope.h"

namespace larkvale::queue {
namespace {

using platform::FileExists;
using platform::RoundHalfEven;
using platform::TickCountMs;

// How often a pass of several rows looks again for rows to start when
// nothing told it that the list changed (a retry fell due, a row was
// retried or stopped).
constexpr std::int64_t kRescanMs = 250;
constexpr std::int64_t kSpeedRefreshMs = 500;

std::unique_ptr<http::TNetHTTP> PlainClient() {
  auto client = std::make_unique<http::TNetHTTP>();
  http::ApplyWindowConfiguration(*client);
  return client;
}

QString BytesOf(std::int64_t count, std::int64_t size) {
  return size < 1 ? QStringLiteral("%1 bytes.").arg(count) : QStringLiteral("%1 bytes of %2 bytes.").arg(count).arg(size);
}

}  // namespace

QueueRunner::~QueueRunner() {
  StopJobs();
  jobs_.clear();  // each waits for its thread
}

int QueueRunner::AtOnce() const {
  return hooks_.downloadsAtOnce ? std::clamp(hooks_.downloadsAtOnce(), 1, kMaxAtOnce) : 1;
}

bool QueueRunner::IsRunning(quint64 id) const {
  if (id != 0 && id == downloadingId_) return true;
  return std::any_of(jobs_.begin(), jobs_.end(), [id](const auto& job) { return job->id == id; });
}

void QueueRunner::StopJobs() {
  for (auto& job : jobs_) job->download->Stop();
}

void QueueRunner::StopDeletedJobs() {
  for (auto& job : jobs_)
    if (list_.RowOfId(job->id) < 0) job->download->Stop();
}

bool QueueRunner::StopRow(int row) {
  if (row < 0 || row >= list_.RowCount()) return false;
  const quint64 id = list_.RowId(row);
  if (id == downloadingId_) {
    StopTransfer();
    return true;
  }
  for (auto& job : jobs_) {
    if (job->id == id) {
      job->download->Stop();
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

int QueueRunner::RunningPercent() const {
  if (jobs_.empty()) return -1;
  std::int64_t whole = 0, size = 0;
  for (const auto& job : jobs_) {
    if (job->size < 1) return -1;
    whole += job->whole;
    size += job->size;
  }
  return static_cast<int>(RoundHalfEven(static_cast<double>(whole) / static_cast<double>(size) * 100.0));
}

std::string QueueRunner::HostKey(const QString& link) {
  std::string origin;
  try {
    origin = OriginOf(link.toStdString());
  } catch (const std::exception&) {
    return {};  // no host: the transfer fails at once and says why
  }
  const std::size_t scheme = origin.find("://");
  return scheme == std::string::npos ? origin : origin.substr(scheme + 3);
}

void QueueRunner::RunRowsTogether() {
  const int n = list_.RowCount();
  if (n == 0) return;  // CurrentDownloadRow keeps its value
  // No single row is the pass's: the running ones are drawn by their state.
  currentDownloadRow_ = -1;
  int fileCounter = 0;
  bool began = false;
  jobsBytes_ = 0;
  rescan_ = true;
  try {
    RunRows(fileCounter, began);
  } catch (...) {
    // The pass fails as a whole (the loop reports it): nothing may go on
    // running behind it, and the rows it ran stay stopped with their .part.
    StopJobs();
    for (auto& job : jobs_) list_.SetState(list_.RowOfId(job->id), RowState::Stopped);
    jobs_.clear();  // each waits for its thread, which ends at its next slice
    if (began && hooks_.rowsBytes) hooks_.rowsBytes(-1);
    throw;
  }
  if (began && hooks_.rowsBytes) hooks_.rowsBytes(-1);
  currentDownloadRow_ = std::max(n, list_.RowCount());
}

void QueueRunner::RunRows(int& fileCounter, bool& began) {
  std::int64_t lastScan = 0;
  for (;;) {
    if (hooks_.stopped()) {
      StopJobs();
      rescan_ = false;
    } else if (rescan_ || TickCountMs() - lastScan >= kRescanMs) {
      rescan_ = false;
      lastScan = TickCountMs();
      StartRows(AtOnce(), fileCounter);
    }
    if (!jobs_.empty() && !began) {
      began = true;
      if (hooks_.rowsBytes) hooks_.rowsBytes(0);
    }
    FollowJobs();
    if (jobs_.empty() && (!rescan_ || hooks_.stopped())) break;
    hooks_.processMessages();
    if (!jobs_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
}

bool QueueRunner::StartRows(int limit, int& n) {
  std::map<std::string, int> perHost;
  for (const auto& job : jobs_) ++perHost[job->host];
  bool blocked = false;
  for (int r = 0; r < list_.RowCount(); ++r) {
    const quint64 id = list_.RowId(r);
    if (IsRunning(id)) continue;
    if (!Pending(r)) continue;
    // Later rows must not take names before this one: they wait too.
    if (static_cast<int>(jobs_.size()) >= limit) return false;
    const QString link = list_.CellText(colUrl, r);
    const QString file = list_.CellText(colFile, r);
    if (IsStreamRow(r, link, file)) {
      if (!jobs_.empty()) return false;  // it runs alone, and the rows after it wait for it
      currentDownloadRow_ = r;
      DownloadStreamRow(r, link, file, n);
      currentDownloadRow_ = -1;
      rescan_ = true;  // the list may have changed meanwhile
      return true;
    }
    // Names go out in row order, as one row at a time would give them: a
    // row that waits for its host keeps the name it was given.
    const QString extension = ExtensionFor(link);
    QString part = PartForRow(id, file, n, extension);
    const std::string host = HostKey(link);
    if (perHost[host] >= kPerHost) {
      blocked = true;
      continue;
    }
    part = ClaimForRow(id, file, part, n, extension);
    StartJob(r, link, part);
    ++perHost[host];
  }
  return !blocked;
}

void QueueRunner::StartJob(int row, const QString& link, const QString& part) {
  hooks_.status(QStringLiteral("Downloading video"));
  list_.BeginUpdate();
  list_.SetState(row, RowState::Downloading);
  list_.SetCellText(colFile, row, part);  // a kill from here on leaves a stopped row with this file
  list_.EndUpdate();

  auto job = std::make_unique<RowJob>();
  RowJob* raw = job.get();
  job->id = list_.RowId(row);
  job->link = link;
  job->part = part;
  job->host = HostKey(link);
  job->client = hooks_.rowClient ? hooks_.rowClient() : PlainClient();
  RowOptions options;
  // A large file from a server that takes ranges comes over several connections.
  options.connections = hooks_.connections ? hooks_.connections() : 1;
  options.refusePages = list_.IsFoundOnPage(row);
  // A row from a browsed page goes out with the browser's session.
  options.session = list_.Session(row);
  job->download = std::make_unique<RowDownload>(*job->client, std::move(options));
  job->thread = std::thread([raw] {
    RowResult result = raw->download->Run(raw->link, raw->part, *raw);
    {
      const std::lock_guard<std::mutex> hold(raw->lock);
      raw->result = std::move(result);
    }
    raw->finished = true;
  });
  jobs_.push_back(std::move(job));
}

void QueueRunner::FollowJobs() {
  std::int64_t bytes = jobsBytes_, have = 0, size = 0;
  bool sized = true;
  std::vector<std::unique_ptr<RowJob>> ended;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    RowJob& job = **it;
    const bool finished = job.finished;  // read first: the counts below are then final
    std::uint64_t bodies;
    bool counting;
    std::int64_t expected, have, received;
    {
      const std::lock_guard<std::mutex> hold(job.lock);
      bodies = job.bodies;
      counting = job.counting;
      expected = job.expected;
      have = job.have;
      received = job.received;
    }
    bytes += received;
    const int row = list_.RowOfId(job.id);
    if (row >= 0 && bodies != job.bodiesShown) {
      // A body of the file began: as the work-begin of one row at a time.
      job.bodiesShown = bodies;
      job.bodyStart = received;
      job.meter.Start(expected > 0 ? expected - have : 0);
      list_.BeginUpdate();
      if (expected > 0) {
        list_.SetCellInt(colSize, row, expected);
        list_.SetCellInt(colProgress, row,
                         RoundHalfEven(static_cast<double>(have) / static_cast<double>(expected) * 100.0));
      } else {
        list_.SetCellInt(colProgress, row, 0);
      }
      list_.EndUpdate();
    }
    if (row >= 0 && counting) {
      // The row's own speed, refreshed twice a second as the speed label is.
      job.meter.Update(received - job.bodyStart);
      if (const std::int64_t now = TickCountMs(); now - job.speedShownMs >= kSpeedRefreshMs) {
        job.speedShownMs = now;
        list_.SetSpeedText(row, job.meter.Text());
      }
      job.whole = have;
      job.size = std::max<qint64>(list_.CellInt(colSize, row), 0);
      if (job.size >= 1) {
        const qint64 percent =
            RoundHalfEven(static_cast<double>(job.whole) / static_cast<double>(job.size) * 100.0);
        if (list_.CellEmpty(colProgress, row) || list_.CellInt(colProgress, row) != percent) {
          list_.BeginUpdate();
          list_.SetCellInt(colProgress, row, percent);
          list_.EndUpdate();
        }
      }
    }
    if (finished) {
      job.thread.join();
      jobsBytes_ += received;
      ended.push_back(std::move(*it));
      it = jobs_.erase(it);
      continue;
    }
    have += job.whole;
    size += job.size;
    sized = sized && job.size >= 1;
    ++it;
  }
  if (hooks_.rowsBytes && (!jobs_.empty() || !ended.empty())) hooks_.rowsBytes(bytes);
  if (!jobs_.empty()) {
    const QString text = BytesOf(have, sized ? size : 0);
    hooks_.status(jobs_.size() == 1 ? text : QStringLiteral("%1 downloads: %2").arg(jobs_.size()).arg(text));
  }
  // The rows that ended, in the order they ended; the list only now.
  for (auto& job : ended) {
    RowResult result;
    {
      const std::lock_guard<std::mutex> hold(job->lock);
      result = job->result;
    }
    job->download.reset();
    const int row = list_.RowOfId(job->id);
    if (result.complete && jobs_.empty()) hooks_.status(QStringLiteral("Done"));
    FinishRow(row, job->id, job->link, job->part.chopped(5), result);
    rescan_ = true;
  }
}

}  // namespace larkvale::queue
