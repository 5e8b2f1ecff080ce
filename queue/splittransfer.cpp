#include "queue/splittransfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "http/exceptions.h"

namespace larkvale::queue {
namespace {

// One range's bytes written at their offsets; bytes past the range's end
// (a server sending more than asked) are dropped. Never resizes the file:
// the other parts' bytes lie beyond.
class RangeSink : public http::TNetStream {
 public:
  RangeSink(int fd, std::int64_t at, std::int64_t end, std::atomic<std::int64_t>& have)
      : fd_(fd), at_(at), end_(end), have_(have) {}
  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void* buffer, std::size_t n) override {
    if (!accepting) return;
    const std::int64_t take = std::min<std::int64_t>(std::int64_t(n), end_ - at_);
    const char* bytes = static_cast<const char*>(buffer);
    for (std::int64_t done = 0; done < take;) {
      const ssize_t k = ::pwrite(fd_, bytes + done, std::size_t(take - done), off_t(at_ + done));
      if (k < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "Cannot write the .part file");
      }
      done += k;
      // Counted only once on disk: the state never claims more than that.
      have_.fetch_add(k, std::memory_order_relaxed);
    }
    at_ += std::max<std::int64_t>(take, 0);
  }
  void Seek(std::int64_t) override {}
  std::int64_t Position() const override { return at_; }
  std::int64_t Size() const override { return at_; }
  void SetSize(std::int64_t) override {}
  bool Full() const { return at_ >= end_; }
  bool accepting = false;  // set once the reply is the range asked for

 private:
  int fd_;
  std::int64_t at_, end_;
  std::atomic<std::int64_t>& have_;
};

bool StrongETag(const std::string& etag) { return !etag.empty() && etag.rfind("W/", 0) != 0; }
bool Differ(const std::string& kept, const std::string& now) { return !kept.empty() && !now.empty() && kept != now; }

}  // namespace

std::vector<PartState::Range> SplitRanges(std::int64_t total, int connections) {
  std::vector<PartState::Range> ranges;
  const int n = int(std::clamp<std::int64_t>(connections, 1, std::max<std::int64_t>(total, 1)));
  for (int i = 0; i < n; ++i) ranges.push_back({total * i / n, total * (i + 1) / n, 0});
  return ranges;
}

SplitTransfer::SplitTransfer(std::function<std::unique_ptr<http::TNetHTTP>()> makeClient, std::string address,
                             QString part, PartState& state)
    : makeClient_(std::move(makeClient)), address_(std::move(address)), part_(std::move(part)), state_(state) {}

// What the parts' threads share with the waiting thread.
struct SplitTransfer::Parts {
  explicit Parts(const PartState& state) : have(state.ranges.size()), failedAt(state.ranges.size()) {
    for (std::size_t i = 0; i < have.size(); ++i) have[i] = state.ranges[i].have;
  }
  std::int64_t Total() const {
    std::int64_t sum = 0;
    for (const auto& h : have) sum += h.load(std::memory_order_relaxed);
    return sum;
  }

  std::vector<std::atomic<std::int64_t>> have;  // each range's bytes on disk
  std::mutex lock;  // guards what follows
  std::condition_variable changed;
  int running = 0;
  std::size_t failedAt;  // the earliest part that failed for good
  Outcome outcome;
};

SplitTransfer::Outcome SplitTransfer::Run(const std::function<void(std::int64_t have)>& between) {
  const int fd = ::open(part_.toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    Outcome outcome;
    outcome.failure.error =
        QStringLiteral("Cannot open file \"%1\". %2").arg(part_, QString::fromLocal8Bit(std::strerror(errno)));
    return outcome;
  }
  Parts parts(state_);
  std::vector<std::thread> threads;
  {
    const std::lock_guard<std::mutex> hold(parts.lock);
    for (std::size_t i = 0; i < state_.ranges.size(); ++i) {
      if (parts.have[i].load() >= state_.ranges[i].end - state_.ranges[i].start) continue;
      ++parts.running;
      threads.emplace_back([this, i, fd, &parts] { FetchPart(i, fd, parts); });
    }
  }
  WaitForParts(parts, between);
  for (auto& t : threads) t.join();
  ::close(fd);
  Keep(parts);
  Outcome outcome = parts.outcome;
  outcome.whole = true;
  for (const PartState::Range& range : state_.ranges)
    outcome.whole = outcome.whole && range.have >= range.end - range.start;
  if (between) between(parts.Total());
  return outcome;
}

void SplitTransfer::WaitForParts(Parts& parts, const std::function<void(std::int64_t have)>& between) {
  QElapsedTimer sinceSave;
  sinceSave.start();
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(parts.lock);
      parts.changed.wait_for(hold, std::chrono::milliseconds(20), [&] { return parts.running == 0; });
      if (parts.running == 0) return;
    }
    if (between) between(parts.Total());
    if (sinceSave.elapsed() >= kStateSaveMs) {
      Keep(parts);
      sinceSave.restart();
    }
  }
}

void SplitTransfer::Keep(const Parts& parts) {
  for (std::size_t i = 0; i < state_.ranges.size(); ++i)
    state_.ranges[i].have = parts.have[i].load(std::memory_order_relaxed);
  state_.Save(part_);
}

void SplitTransfer::FetchPart(std::size_t index, int fd, Parts& parts) {
  const PartState::Range range = state_.ranges[index];
  std::atomic<std::int64_t>& have = parts.have[index];
  const std::int64_t from = range.start + have.load();
  Failure failure;
  bool restart = false;
  std::unique_ptr<http::TNetHTTP> client;
  try {
    client = makeClient_();
    http::TNetHTTP* raw = client.get();
    RangeSink sink(fd, from, range.end, have);
    raw->OnWorkBegin = [&, raw](http::TNetComponent*, http::TWorkMode mode, std::int64_t) {
      if (mode != http::wmRead) return;
      const int code = raw->Response.StatusCode();
      if (code / 100 != 2) return;  // a redirect's body
      sink.accepting = SameFile(raw->Response, from);
      if (!sink.accepting) {
        restart = true;
        stop_ = true;
        raw->Disconnect();
      }
    };
    raw->OnWork = [this, raw, &sink](http::TNetComponent*, http::TWorkMode, std::int64_t) {
      if (stop_ || sink.Full()) raw->Disconnect();
    };
    raw->OnWaiting = [this, raw](http::TNetComponent*) {
      if (stop_) raw->Disconnect();
    };
    AskForRange(*raw, from, range.end);
    if (from < range.end) raw->Get(address_, sink);
    if (!restart && !stop_ && have.load() < range.end - range.start)
      failure.error =
          QStringLiteral("Connection closed after %1 of %2 bytes.").arg(range.start + have.load()).arg(range.end);
  } catch (...) {
    if (!stop_ && !restart) failure = DescribeFailure(std::current_exception(), client.get(), part_);
  }
  const std::lock_guard<std::mutex> hold(parts.lock);
  if (restart) parts.outcome.restart = true;
  // The earliest failing part is the one to name.
  if (!failure.error.isEmpty() && index < parts.failedAt) {
    parts.failedAt = index;
    parts.outcome.failure = failure;
    stop_ = true;
  }
  --parts.running;
  parts.changed.notify_all();
}

bool SplitTransfer::SameFile(const http::TNetHTTPResponse& reply, std::int64_t from) const {
  return reply.StatusCode() == 206 && reply.HeaderLines.IndexOfHeader("Content-Range") >= 0 &&
         reply.ContentRangeStart == from && reply.ContentRangeTotal == state_.total &&
         !Differ(state_.etag, reply.HeaderLines.ValueOf("ETag")) &&
         !Differ(state_.lastModified, reply.HeaderLines.ValueOf("Last-Modified"));
}

void SplitTransfer::AskForRange(http::TNetHTTP& client, std::int64_t from, std::int64_t end) const {
  const std::string validator = StrongETag(state_.etag) ? state_.etag : state_.lastModified;
  client.Request.ContentRangeStart = from;
  client.Request.ContentRangeEnd = end - 1;
  client.Request.CustomHeaders.SetHeader("If-Range", "");
  client.Request.CustomHeaders.SetHeader("Range", "");
  if (!validator.empty()) client.Request.CustomHeaders.Add("If-Range: " + validator);
}

}  // namespace larkvale::queue
