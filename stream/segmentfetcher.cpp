#include "stream/segmentfetcher.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "http/exceptions.h"
#include "http/retryafter.h"
#include "http/textutil.h"
#include "http/uri.h"
#include "stream/textutil.h"

namespace larkvale::stream {
namespace {

namespace fs = std::filesystem;

std::string Capitalised(std::string s) {
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw StreamError("Cannot write " + temp + ".");
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) throw StreamError("Cannot write " + path + ": " + ec.message());
}

// A body in memory, refused beyond `limit` bytes: a hostile server could
// otherwise fill the memory with one "segment". It is kept in slices, so
// that growing never holds the body twice, and handed over slice by slice
// into one string: a large playlist costs about its own size.
class CappedSink : public http::TNetStream {
 public:
  explicit CappedSink(std::int64_t limit) : limit_(limit) {}
  std::size_t Read(void* buffer, std::size_t n) override {
    if (position_ >= size_) return 0;
    const auto k = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), size_ - position_));
    auto* out = static_cast<char*>(buffer);
    for (std::size_t done = 0; done < k;) {
      const auto at = static_cast<std::size_t>(position_) + done;
      const std::size_t index = at / kSlice, within = at % kSlice;
      const std::size_t m = std::min(k - done, kSlice - within);
      if (index < slices_.size() && !slices_[index].empty()) std::memcpy(out + done, slices_[index].data() + within, m);
      else std::memset(out + done, 0, m);
      done += m;
    }
    position_ += static_cast<std::int64_t>(k);
    return k;
  }
  void Write(const void* buffer, std::size_t n) override {
    if (n == 0) return;
    if (position_ + static_cast<std::int64_t>(n) > limit_) throw TooLarge();
    const auto* in = static_cast<const char*>(buffer);
    for (std::size_t done = 0; done < n;) {
      const auto at = static_cast<std::size_t>(position_) + done;
      const std::size_t index = at / kSlice, within = at % kSlice;
      const std::size_t m = std::min(n - done, kSlice - within);
      if (slices_.size() <= index) slices_.resize(index + 1);
      if (slices_[index].empty()) slices_[index].assign(kSlice, '\0');
      std::memcpy(slices_[index].data() + within, in + done, m);
      done += m;
    }
    position_ += static_cast<std::int64_t>(n);
    size_ = std::max(size_, position_);
  }
  void Seek(std::int64_t position) override { position_ = position; }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return size_; }
  void SetSize(std::int64_t size) override {
    if (size > limit_) throw TooLarge();
    size_ = std::max<std::int64_t>(size, 0);
    const auto keep = static_cast<std::size_t>((size_ + static_cast<std::int64_t>(kSlice) - 1) / static_cast<std::int64_t>(kSlice));
    if (slices_.size() > keep) slices_.resize(keep);
    // Bytes cut off read as zeros if the stream grows again.
    const auto tail = static_cast<std::size_t>(size_ % static_cast<std::int64_t>(kSlice));
    if (tail && keep == slices_.size() && !slices_.back().empty())
      std::memset(slices_.back().data() + tail, 0, kSlice - tail);
  }
  // The body as one string; the sink is empty afterwards.
  std::string Take() {
    std::string out;
    out.reserve(static_cast<std::size_t>(size_));
    for (std::size_t i = 0; i < slices_.size() && out.size() < static_cast<std::size_t>(size_); ++i) {
      const std::size_t m = std::min(kSlice, static_cast<std::size_t>(size_) - out.size());
      if (slices_[i].empty()) out.append(m, '\0');
      else out.append(slices_[i], 0, m);
      std::string().swap(slices_[i]);
    }
    out.resize(static_cast<std::size_t>(size_));
    slices_.clear();
    position_ = size_ = 0;
    return out;
  }
  struct TooLarge {};

 private:
  static constexpr std::size_t kSlice = 256 << 10;
  std::int64_t limit_;
  std::vector<std::string> slices_;
  std::int64_t size_ = 0, position_ = 0;
};

// Bytes of a file for the media check; fewer at its end.
std::string ReadAt(std::ifstream& in, std::int64_t offset, std::size_t n) {
  in.clear();
  in.seekg(offset);
  std::string out(n, '\0');
  in.read(out.data(), static_cast<std::streamsize>(n));
  out.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return out;
}

// A body straight into a file, refused beyond `limit` bytes like
// CappedSink: a whole piece needs no copy in memory and no write of its own
// after its last byte, so the connection can go on to the next at once.
class CappedFile : public http::TNetFileStream {
 public:
  CappedFile(const std::string& path, std::int64_t limit) : http::TNetFileStream(path), limit_(limit) {
    SetSize(0);  // a piece cut by an earlier try or run
  }
  void Write(const void* buffer, std::size_t n) override {
    if (Position() + static_cast<std::int64_t>(n) > limit_) throw CappedSink::TooLarge();
    http::TNetFileStream::Write(buffer, n);
  }
  void SetSize(std::int64_t size) override {
    if (size > limit_) throw CappedSink::TooLarge();
    http::TNetFileStream::SetSize(size);
  }

 private:
  std::int64_t limit_;
};

}  // namespace

std::unique_ptr<http::TNetHTTP> DefaultStreamClient() {
  auto c = std::make_unique<http::TNetHTTP>();
  c->ProtocolVersion = http::pv1_1;
  c->HandleRedirects = true;
  c->RedirectMaximum = 15;
  c->ReadTimeout = 30000;
  c->Request.Accept = "*/*";
  c->Request.UserAgent = "Mozilla/5.0 (X11; Linux x86_64)";
  c->Request.ContentType.clear();
  return c;
}

SegmentFetcher::SegmentFetcher(Options options) : options_(std::move(options)) {
  if (options_.connections < 1) options_.connections = 1;
  if (options_.connections > 16) options_.connections = 16;
  if (!options_.makeClient) options_.makeClient = DefaultStreamClient;
}

SegmentFetcher::~SegmentFetcher() = default;

std::unique_ptr<http::TNetHTTP> SegmentFetcher::NewClient(bool callerThread) {
  auto client = options_.makeClient();
  http::TNetHTTP* raw = client.get();
  // A stop ends the transfer at its next block, or at once while it waits.
  auto work = raw->OnWork;
  raw->OnWork = [this, raw, work](http::TNetComponent* s, http::TWorkMode m, std::int64_t n) {
    if (work) work(s, m, n);
    if (stop_) raw->Disconnect();
  };
  auto waiting = raw->OnWaiting;
  raw->OnWaiting = [this, raw, waiting, callerThread](http::TNetComponent* s) {
    if (waiting) waiting(s);
    if (callerThread && callerWaiting) callerWaiting();
    if (stop_) raw->Disconnect();
  };
  return client;
}

namespace {

// Why a body may not count as the piece asked for; empty when it may.
std::string Refusal(SegmentFetcher::Check check, PieceRole role, const std::string& contentType, std::int64_t size,
                    const PieceRead& read) {
  if (check == SegmentFetcher::Check::kNone) return {};
  if (IsPageType(contentType))
    return "the server sent a web page (" + Printable(contentType.substr(0, contentType.find(';')), 60) +
           ") instead of media";
  if (check == SegmentFetcher::Check::kCipher) {
    if (size <= 0) return "the server sent an empty body";
    if (size % 16 != 0)
      return "the server sent " + std::to_string(size) + " bytes, which is not a whole number of AES-128 blocks";
    return {};
  }
  const std::string why = WhyNotMedia(size, read, role);
  return why.empty() ? why : "the server sent " + why;
}

}  // namespace

bool SegmentFetcher::Pause(std::int64_t ms) {
  if (options_.pause) return options_.pause(ms) && !stop_;
  for (std::int64_t waited = 0; waited < ms; waited += 20) {
    if (stop_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::int64_t>(20, ms - waited)));
  }
  return !stop_;
}

namespace {

// A range asked for: an offset, a length, or both.
bool IsRanged(const Resource& where) { return where.length >= 0 || where.offset > 0; }

// Whatever ends a try without the whole piece leaves no temporary file.
struct TemporaryFile {
  const std::string& path;
  bool keep = false;
  ~TemporaryFile() {
    std::error_code ec;
    if (!keep && !path.empty()) fs::remove(path, ec);
  }
};

// The bytes of `where` out of the reply to a ranged request: the server may
// have ignored the range and sent the whole file.
void KeepRange(const http::TNetHTTPResponse& reply, const Resource& where, std::string& body) {
  if (reply.StatusCode() == 206) {
    if (reply.ContentRangeStart != where.offset)
      throw StreamError("the server sent bytes from " + std::to_string(reply.ContentRangeStart) + " instead of " +
                        std::to_string(where.offset));
  } else {
    // The server ignored the range and sent the whole file.
    if (static_cast<std::int64_t>(body.size()) < where.offset) body.clear();
    else body.erase(0, static_cast<std::size_t>(where.offset));
    if (where.length >= 0 && static_cast<std::int64_t>(body.size()) > where.length)
      body.resize(static_cast<std::size_t>(where.length));
  }
  if (where.length >= 0 && static_cast<std::int64_t>(body.size()) != where.length)
    throw StreamError("got " + std::to_string(body.size()) + " of " + std::to_string(where.length) + " bytes");
}

}  // namespace

std::optional<std::string> SegmentFetcher::FetchIntoFile(http::TNetHTTP& c, const Resource& where, std::int64_t limit,
                                                         Check check, PieceRole role, const std::string& toFile) {
  const std::string temp = toFile + ".tmp";
  TemporaryFile guard{temp};
  {
    CappedFile sink(temp, limit);
    c.Get(where.url, sink);
    if (stop_) return std::nullopt;
    sink.Flush();
  }
  // Checked before it takes the piece's name: a file there is a piece.
  std::error_code ec;
  const auto size = static_cast<std::int64_t>(fs::file_size(temp, ec));
  if (ec) throw StreamError("Cannot read " + temp + ": " + ec.message());
  std::ifstream in(temp, std::ios::binary);
  const std::string refused = Refusal(check, role, c.Response.ContentType, size,
                                      [&in](std::int64_t offset, std::size_t n) { return ReadAt(in, offset, n); });
  if (!refused.empty()) throw StreamError(refused);
  fs::rename(temp, toFile, ec);
  if (ec) throw StreamError("Cannot write " + toFile + ": " + ec.message());
  guard.keep = true;
  return std::string();
}

std::optional<std::string> SegmentFetcher::FetchIntoMemory(http::TNetHTTP& c, const Resource& where,
                                                           std::int64_t limit, Check check, PieceRole role) {
  const bool ranged = IsRanged(where);
  CappedSink sink(ranged && where.length < 0 ? limit + where.offset : limit);
  c.Get(where.url, sink);
  if (stop_) return std::nullopt;
  std::string body = sink.Take();
  if (ranged) KeepRange(c.Response, where, body);
  const std::string refused =
      Refusal(check, role, c.Response.ContentType, static_cast<std::int64_t>(body.size()),
              [&body](std::int64_t offset, std::size_t n) {
                if (offset >= static_cast<std::int64_t>(body.size())) return std::string();
                return body.substr(static_cast<std::size_t>(offset), n);
              });
  if (!refused.empty()) throw StreamError(refused);
  return body;
}

std::optional<std::string> SegmentFetcher::FetchOnce(http::TNetHTTP& c, const Resource& where, std::int64_t limit,
                                                     Check check, PieceRole role, const std::string& toFile) {
  c.Request.ContentRangeStart = IsRanged(where) ? where.offset : 0;
  c.Request.ContentRangeEnd = where.length > 0 ? where.offset + where.length - 1 : 0;
  if (where.length > limit) throw CappedSink::TooLarge();
  if (!toFile.empty()) return FetchIntoFile(c, where, limit, check, role, toFile);
  return FetchIntoMemory(c, where, limit, check, role);
}

std::optional<std::string> SegmentFetcher::Fetch(http::TNetHTTP& c, const Resource& where, const std::string& name,
                                                 std::int64_t limit, Check check, PieceRole role,
                                                 const std::string& toFile) {
  for (int attempt = 0;; ++attempt) {
    std::string why;
    std::int64_t waitMs = static_cast<std::int64_t>(options_.backoffMs) << attempt;
    bool retryable = true;
    try {
      return FetchOnce(c, where, limit, check, role, toFile);
    } catch (const CappedSink::TooLarge&) {
      throw StreamError(Capitalised(name) + " (" + where.url + ") is larger than " + std::to_string(limit >> 20) +
                        " MB and is not fetched.");
    } catch (const http::ENetHTTPProtocolException& e) {
      if (stop_) return std::nullopt;
      const int code = e.ReplyCode;
      why = e.what();
      // Only a server's trouble or its asking to wait may pass on a retry.
      retryable = code >= 500 || code == 408 || code == 429;
      if (const std::int64_t ms = http::RetryAfterMs(c.Response.HeaderLines.ValueOf("Retry-After")); ms >= 0)
        waitMs = ms;
    } catch (const StreamError& e) {
      if (stop_) return std::nullopt;
      why = e.what();
    } catch (const std::exception& e) {
      if (stop_) return std::nullopt;
      why = e.what();
    }
    if (!retryable || attempt >= options_.retries)
      throw StreamError(Capitalised(name) + " could not be fetched (" +
                        http::EscapedText(http::AddressWithoutCredentials(where.url), 2048) + "): " + why +
                        (retryable ? " (after " + std::to_string(attempt + 1) + " tries)" : ""));
    if (!Pause(waitMs)) return std::nullopt;
  }
}

std::string SegmentFetcher::FetchBytes(const Resource& where, const std::string& name, std::string* finalUrl,
                                       std::string* contentType) {
  if (!callerClient_) callerClient_ = NewClient(true);
  auto body = Fetch(*callerClient_, where, name, kMaxTextBytes, Check::kNone, PieceRole::kSegment);
  if (!body) throw StreamError("Stopped.");
  if (finalUrl) {
    const http::TNetURI& u = callerClient_->CurrentUrl;
    *finalUrl = u.Scheme + "://" + u.Host +
                ((u.Scheme == "http" && u.Port == "80") || (u.Scheme == "https" && u.Port == "443") ? "" : ":" + u.Port) +
                u.Directory + u.Resource + u.Query;
  }
  if (contentType) *contentType = callerClient_->Response.ContentType;
  return std::move(*body);
}

// What one `FetchAll` shares between the caller's thread and the workers;
// all but `jobs` and `whole` under `lock`.
struct SegmentFetcher::Run {
  Run(SegmentFetcher& fetcher, const std::vector<FetchJob>& jobs, const std::function<void(const FetchJob&)>& whole)
      : fetcher(fetcher), jobs(jobs), whole(whole), failedAt(jobs.size()) {
    progress.total = jobs.size();
  }

  // Counts the jobs whose file is whole from an earlier run; the others are
  // the ones to fetch.
  void FindMissing() {
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      std::error_code ec;
      const auto size = fs::file_size(jobs[i].path, ec);
      if (ec) {
        missing.push_back(i);
      } else {
        ++progress.done;
        progress.bytesOnDisk += static_cast<std::int64_t>(size);
        progress.secondsDone += jobs[i].duration;
        if (whole) whole(jobs[i]);
      }
    }
  }

  // The next job for a worker; false when none is left or a stop came.
  bool Take(std::size_t& index) {
    std::lock_guard<std::mutex> g(lock);
    if (fetcher.stop_ || next >= missing.size()) return false;
    index = missing[next++];
    return true;
  }

  void Landed(const FetchJob& job, std::int64_t size) {
    std::lock_guard<std::mutex> g(lock);
    progress.bytes += size;
    progress.bytesOnDisk += size;
    progress.secondsDone += job.duration;
    ++progress.done;
  }

  void NoClient(const std::string& why) {
    std::lock_guard<std::mutex> g(lock);
    if (failure.empty()) failure = why;
  }

  // A piece failed for good: the run stops, naming the earliest that failed.
  void Failed(std::size_t index, const std::string& why) {
    std::lock_guard<std::mutex> g(lock);
    if (failure.empty() || index < failedAt) {
      failure = why;
      failedAt = index;
    }
    fetcher.stop_ = true;
  }

  void WorkerEnded() {
    std::lock_guard<std::mutex> g(lock);
    --running;
    changed.notify_all();
  }

  // Runs `between` with the progress every few milliseconds until every
  // worker has ended.
  void WaitForWorkers(const std::function<void(const FetchProgress&)>& between) {
    for (;;) {
      FetchProgress snapshot;
      {
        std::unique_lock<std::mutex> g(lock);
        changed.wait_for(g, std::chrono::milliseconds(40), [&] { return running == 0; });
        if (running == 0) return;
        snapshot = progress;
      }
      if (between) between(snapshot);
    }
  }

  SegmentFetcher& fetcher;
  const std::vector<FetchJob>& jobs;
  const std::function<void(const FetchJob&)>& whole;
  std::mutex lock;
  std::condition_variable changed;
  FetchProgress progress;
  std::vector<std::size_t> missing;  // indexes into `jobs`
  std::size_t next = 0;              // into `missing`
  int running = 0;
  std::string failure;
  std::size_t failedAt;
};

namespace {

// The clear bytes of an encrypted piece, refused unless they are media.
std::string Decrypted(const FetchJob& job, const std::string& body) {
  std::string plain;
  try {
    plain = DecryptAes128Cbc(body, *job.key, job.iv);
  } catch (const StreamError&) {
  }
  // A key that does not fit may still leave padding that does.
  if (plain.empty() || !WhyNotMedia(plain, job.role).empty())
    throw StreamError("The AES-128 key does not decrypt " + job.name + " (" + job.where.url +
                      "): the key is wrong or the segment is damaged.");
  return plain;
}

}  // namespace

std::optional<std::int64_t> SegmentFetcher::FetchPiece(http::TNetHTTP& client, const FetchJob& job) {
  // A clear, whole body goes straight to its file; a range (the server
  // may send more) and a piece to decrypt go through memory.
  const bool direct = !job.key && job.where.offset == 0 && job.where.length < 0;
  auto body = Fetch(client, job.where, job.name, kMaxPieceBytes, job.key ? Check::kCipher : Check::kMedia, job.role,
                    direct ? job.path : std::string());
  if (!body) return std::nullopt;
  if (direct) {
    std::error_code ec;
    return static_cast<std::int64_t>(fs::file_size(job.path, ec));
  }
  if (job.key) body = Decrypted(job, *body);
  WriteWhole(job.path, *body);
  return static_cast<std::int64_t>(body->size());
}

void SegmentFetcher::Work(Run& run) {
  std::unique_ptr<http::TNetHTTP> client;
  try {
    client = NewClient(false);
  } catch (const std::exception& e) {
    run.NoClient(e.what());
  }
  std::size_t index;
  while (client && run.Take(index)) {
    const FetchJob& job = run.jobs[index];
    try {
      const auto size = FetchPiece(*client, job);
      if (!size) break;
      if (run.whole) run.whole(job);
      run.Landed(job, *size);
    } catch (const std::exception& e) {
      run.Failed(index, e.what());
      break;
    }
  }
  run.WorkerEnded();
}

bool SegmentFetcher::FetchAll(const std::vector<FetchJob>& jobs,
                              const std::function<void(const FetchProgress&)>& between,
                              const std::function<void(const FetchJob&)>& whole) {
  Run run(*this, jobs, whole);
  run.FindMissing();
  const bool stoppedBefore = stop_;
  std::vector<std::thread> threads;
  const int count =
      static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(options_.connections), run.missing.size()));
  run.running = count;
  for (int i = 0; i < count; ++i) threads.emplace_back([this, &run] { Work(run); });
  run.WaitForWorkers(between);
  for (auto& t : threads) t.join();
  if (between) between(run.progress);
  if (!run.failure.empty()) throw StreamError(run.failure);
  return !(stop_ || stoppedBefore) && run.progress.done == run.progress.total;
}

}  // namespace larkvale::stream
