#include "cli/downloadjobs.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "cli/commandline.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "queue/queuerunner.h"
#include "queue/retrypolicy.h"
#include "queue/sessionscope.h"

namespace larkvale::cli {
namespace {

constexpr int kSliceMs = 20;

std::string HostOf(const QString& link) {
  try {
    return queue::OriginOf(link.toStdString());
  } catch (const std::exception&) {
    return {};  // no host: the transfer fails at once and says why
  }
}

}  // namespace

struct DownloadJobs::Job : queue::RowProgress {
  enum class Stage { Waiting, Running, Pausing, Ended };

  QString shown, link, part;
  bool stream = false, foundOnPage = false, claimed = false;
  std::string host;
  Stage stage = Stage::Waiting;
  int retry = 0;
  std::int64_t dueMs = 0;
  std::unique_ptr<ProgressLine> line;
  std::unique_ptr<http::TNetHTTP> client;
  std::unique_ptr<queue::RowDownload> download;
  std::thread thread;
  std::atomic<bool> finished{false};
  queue::RowResult result;

  // Written by the worker, read by the caller's thread.
  std::mutex lock;
  bool begun = false;
  std::int64_t base = 0, have = 0, expected = -1;  // `base`: there before this run's reply

  ~Job() override {
    if (download) download->Stop();
    if (thread.joinable()) thread.join();
  }
  void Began(std::int64_t resumed, std::int64_t whole) override {
    const std::lock_guard<std::mutex> hold(lock);
    begun = true;
    base = resumed;
    expected = whole;
  }
  void Moved(std::int64_t now, std::int64_t whole, std::int64_t, double) override {
    const std::lock_guard<std::mutex> hold(lock);
    have = now;
    if (whole >= 0) expected = whole;
  }
  void Status(const QString&) override {}
  void Idle() override {}
};

DownloadJobs::DownloadJobs(Settings settings) : settings_(std::move(settings)) {}

DownloadJobs::~DownloadJobs() = default;

void DownloadJobs::Add(const QString& shown, const QString& link, const QString& part, bool stream,
                       bool foundOnPage, bool claimed) {
  auto job = std::make_unique<Job>();
  job->shown = shown;
  job->link = link;
  job->part = part;
  job->stream = stream;
  job->foundOnPage = foundOnPage;
  job->claimed = claimed;
  job->host = HostOf(link);
  jobs_.push_back(std::move(job));
}

int DownloadJobs::Running() const {
  return static_cast<int>(
      std::count_if(jobs_.begin(), jobs_.end(), [](const auto& j) { return j->stage == Job::Stage::Running; }));
}

bool DownloadJobs::Startable(const Job& job, int running) const {
  if (running >= settings_.parallel) return false;
  // A stream runs alone, as in the window: its pieces take the connections.
  if (job.stream && running > 0) return false;
  int sameHost = 0;
  for (const auto& other : jobs_) {
    if (other->stage != Job::Stage::Running) continue;
    if (other->stream) return false;
    if (other->host == job.host) ++sameHost;
  }
  return sameHost < settings_.perHost;
}

void DownloadJobs::Start(Job& job) {
  job.client = std::make_unique<http::TNetHTTP>();
  http::ApplyWindowConfiguration(*job.client);
  job.client->IdleLimitMs = settings_.idleLimitMs;
  job.client->HeadLimitMs = settings_.idleLimitMs;
  queue::RowOptions options = settings_.row;
  options.stream = job.stream;
  options.refusePages = job.foundOnPage;
  options.recordOrigin = true;  // how a later run finds the .part of a link
  job.download = std::make_unique<queue::RowDownload>(*job.client, std::move(options));
  if (!job.line) {
    // With several at once, no bar is redrawn: each file has its one line.
    const bool bar = settings_.terminal && settings_.parallel == 1;
    job.line = std::make_unique<ProgressLine>(QFileInfo(job.part.chopped(5)).fileName(), ProgressLine::Unit::Bytes, bar);
  }
  job.finished = false;
  job.stage = Job::Stage::Running;
  Job* raw = &job;
  job.thread = std::thread([raw] {
    raw->result = raw->download->Run(raw->link, raw->part, *raw);
    raw->finished = true;
  });
}

void DownloadJobs::End(Job& job) {
  job.thread.join();
  const queue::RowResult& r = job.result;
  const QString fileName = QFileInfo(job.part.chopped(5)).fileName();
  job.download.reset();
  job.client.reset();
  if (r.transient && job.retry < settings_.retries && !Interrupted()) {
    // Past the table, its last pause.
    const std::size_t step = std::min<std::size_t>(std::size_t(job.retry), queue::kRetryPausesMs.size() - 1);
    const std::int64_t waitMs = r.retryAfterMs >= 0 ? r.retryAfterMs : queue::kRetryPausesMs[step];
    ++job.retry;
    if (settings_.terminal && settings_.parallel == 1) std::fputc('\n', stderr);
    ReportError(fileName, queue::RetryText(waitMs, r.reason));
    job.dueMs = platform::TickCountMs() + waitMs;
    job.stage = Job::Stage::Pausing;
    return;
  }
  job.stage = Job::Stage::Ended;
  ProgressLine& line = *job.line;
  const QString kept = job.stream ? QStringLiteral("pieces downloaded are") : QStringLiteral("part downloaded is");
  // The amount shown is what is on disk (a compressed reply counts more or
  // fewer bytes on the wire, a stream's pieces more than its file).
  if (r.complete) {
    line.SetDone(double(std::max<std::int64_t>(r.fileBytes, 0)));
    line.Finish(QStringLiteral("done"));
    std::printf("%s\n", job.part.chopped(5).toLocal8Bit().constData());
    std::fflush(stdout);
    // A live recording that went idle says why it ended there.
    if (!r.note.isEmpty()) ReportError(job.shown, r.note);
    return;
  }
  const bool keptSome = job.stream ? r.keptPieces : r.have > 0;
  if (!job.stream) line.SetDone(double(std::max<std::int64_t>(r.have, 0)));
  if (r.stopped) {
    line.Finish(QStringLiteral("stopped; the %1 kept").arg(kept));
    stopped_ = true;
    return;
  }
  line.Finish(keptSome ? QStringLiteral("failed; the %1 kept").arg(kept) : QStringLiteral("failed"));
  ReportError(job.shown, r.error);
  failed_ = true;
}

void DownloadJobs::Step() {
  platform::ProcessMessages();
  const bool interrupted = Interrupted();
  for (auto& owned : jobs_) {
    Job& job = *owned;
    if (job.stage == Job::Stage::Running) {
      // Read first: the counts are then final for a job that has finished.
      const bool finished = job.finished;
      {
        const std::lock_guard<std::mutex> hold(job.lock);
        if (job.begun) {
          job.begun = false;
          job.line->SetStart(double(job.base));
        }
        job.line->SetTotal(double(job.expected));
        job.line->SetDone(double(job.have));
      }
      if (finished) {
        End(job);
        continue;
      }
      if (interrupted) job.download->Stop();
    } else if (job.stage == Job::Stage::Pausing && interrupted) {
      // Ctrl+C during the wait: what arrived stays.
      job.stage = Job::Stage::Ended;
      job.line->Finish(QStringLiteral("stopped; the %1 kept")
                           .arg(job.stream ? QStringLiteral("pieces downloaded are")
                                           : QStringLiteral("part downloaded is")));
      stopped_ = true;
    }
  }
  if (interrupted) return;
  // Rows start in the order they were added; one that waits for its host
  // lets the next host's go first.
  int running = Running();
  const std::int64_t now = platform::TickCountMs();
  for (auto& owned : jobs_) {
    Job& job = *owned;
    const bool due = job.stage == Job::Stage::Waiting || (job.stage == Job::Stage::Pausing && job.dueMs <= now);
    if (!due || !Startable(job, running)) continue;
    Start(job);
    ++running;
  }
}

void DownloadJobs::WaitForRoom() {
  for (;;) {
    Step();
    const bool pending = std::any_of(jobs_.begin(), jobs_.end(), [](const auto& j) {
      return j->stage == Job::Stage::Waiting || j->stage == Job::Stage::Pausing;
    });
    if (Interrupted() ? Running() == 0 : !pending && Running() < settings_.parallel) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
}

void DownloadJobs::WaitForAll() {
  for (;;) {
    Step();
    const bool open = std::any_of(jobs_.begin(), jobs_.end(), [](const auto& j) { return j->stage != Job::Stage::Ended; });
    if (!open || (Interrupted() && Running() == 0)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  // Names claimed for rows that never started (Ctrl+C) hold nothing: no
  // empty file is left behind.
  for (const auto& job : jobs_)
    if (job->stage == Job::Stage::Waiting && job->claimed && QFileInfo(job->part).size() == 0) QFile::remove(job->part);
}

}  // namespace larkvale::cli
