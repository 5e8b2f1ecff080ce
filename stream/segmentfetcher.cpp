#include "stream/segmentfetcher.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "http/exceptions.h"
#include "stream/textutil.h"

namespace larkvale::stream {
namespace {

namespace fs = std::filesystem;

std::string Capitalised(std::string s) {
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// Delta-seconds only; an HTTP date falls back to our own backoff.
int RetryAfterMs(const std::string& value) {
  const auto seconds = ParseCount(value);
  if (!seconds) return -1;
  return static_cast<int>(std::min<std::int64_t>(*seconds, 60) * 1000);
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

// What a decrypted piece may start with: a transport stream packet, an ID3
// tag (packed audio), an ADTS frame, or an MP4 box. Anything else means the
// key was wrong even when the padding happened to fit.
bool PlausibleMedia(const std::string& bytes) {
  if (bytes.empty()) return false;
  const auto c = static_cast<unsigned char>(bytes[0]);
  if (c == 0x47 || c == 0xFF || bytes.rfind("ID3", 0) == 0) return true;
  return bytes.size() >= 8 && bytes[0] == 0 && bytes[1] == 0;
}

// A body in memory, refused beyond `limit` bytes: a hostile server could
// otherwise fill the memory with one "segment".
class CappedSink : public http::TNetMemoryStream {
 public:
  explicit CappedSink(std::int64_t limit) : limit_(limit) {}
  void Write(const void* buffer, std::size_t n) override {
    if (Position() + static_cast<std::int64_t>(n) > limit_) throw TooLarge();
    http::TNetMemoryStream::Write(buffer, n);
  }
  void SetSize(std::int64_t size) override {
    if (size > limit_) throw TooLarge();
    http::TNetMemoryStream::SetSize(size);
  }
  struct TooLarge {};

 private:
  std::int64_t limit_;
};

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
  auto connected = raw->OnConnected;
  raw->OnConnected = [this, connected](http::TNetComponent* s) {
    ++connects_;
    if (connected) connected(s);
  };
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

std::optional<std::string> SegmentFetcher::Fetch(http::TNetHTTP& c, const Resource& where, const std::string& name,
                                                 std::int64_t limit, const std::string& toFile) {
  const bool ranged = where.length >= 0 || where.offset > 0;
  const std::string temp = toFile + ".tmp";
  // Whatever ends a try without the whole piece leaves no temporary file.
  struct Temporary {
    const std::string& path;
    bool keep = false;
    ~Temporary() {
      std::error_code ec;
      if (!keep && !path.empty()) fs::remove(path, ec);
    }
  };
  for (int attempt = 0;; ++attempt) {
    std::string why;
    int waitMs = options_.backoffMs << attempt;
    bool retryable = true;
    try {
      c.Request.ContentRangeStart = ranged ? where.offset : 0;
      c.Request.ContentRangeEnd = where.length > 0 ? where.offset + where.length - 1 : 0;
      if (where.length > limit) throw CappedSink::TooLarge();
      if (!toFile.empty()) {
        Temporary guard{temp};
        {
          CappedFile sink(temp, limit);
          c.Get(where.url, sink);
          if (stop_) return std::nullopt;
          sink.Flush();
        }
        std::error_code ec;
        fs::rename(temp, toFile, ec);
        if (ec) throw StreamError("Cannot write " + toFile + ": " + ec.message());
        guard.keep = true;
        return std::string();
      }
      CappedSink sink(ranged && where.length < 0 ? limit + where.offset : limit);
      c.Get(where.url, sink);
      if (stop_) return std::nullopt;
      std::string body = sink.Bytes();
      if (ranged) {
        if (c.Response.StatusCode() == 206) {
          if (c.Response.ContentRangeStart != where.offset)
            throw StreamError("the server sent bytes from " + std::to_string(c.Response.ContentRangeStart) +
                              " instead of " + std::to_string(where.offset));
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
      return body;
    } catch (const CappedSink::TooLarge&) {
      throw StreamError(Capitalised(name) + " (" + where.url + ") is larger than " + std::to_string(limit >> 20) +
                        " MB and is not fetched.");
    } catch (const http::ENetHTTPProtocolException& e) {
      if (stop_) return std::nullopt;
      const int code = e.ReplyCode;
      why = e.what();
      retryable = code >= 500 || code == 408 || code == 429;
      if (const int ms = RetryAfterMs(c.Response.HeaderLines.ValueOf("Retry-After")); ms >= 0) waitMs = ms;
    } catch (const StreamError& e) {
      if (stop_) return std::nullopt;
      why = e.what();
    } catch (const std::exception& e) {
      if (stop_) return std::nullopt;
      why = e.what();
    }
    if (!retryable || attempt >= options_.retries)
      throw StreamError(Capitalised(name) + " could not be fetched (" + where.url + "): " + why +
                        (retryable ? " (after " + std::to_string(attempt + 1) + " tries)" : ""));
    for (int waited = 0; waited < waitMs; waited += 20) {
      if (stop_) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

std::string SegmentFetcher::FetchBytes(const Resource& where, const std::string& name, std::string* finalUrl,
                                       std::string* contentType) {
  if (!callerClient_) callerClient_ = NewClient(true);
  auto body = Fetch(*callerClient_, where, name, kMaxTextBytes);
  if (!body) throw StreamError("Stopped.");
  if (finalUrl) {
    const http::TNetURI& u = callerClient_->CurrentUrl;
    *finalUrl = u.Scheme + "://" + u.Host +
                ((u.Scheme == "http" && u.Port == "80") || (u.Scheme == "https" && u.Port == "443") ? "" : ":" + u.Port) +
                u.Directory + u.Resource + u.Query;
  }
  if (contentType) *contentType = callerClient_->Response.ContentType;
  return *body;
}

bool SegmentFetcher::FetchAll(const std::vector<FetchJob>& jobs,
                              const std::function<void(const FetchProgress&)>& between) {
  std::mutex lock;
  std::condition_variable changed;
  FetchProgress progress;
  progress.total = jobs.size();
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    std::error_code ec;
    const auto size = fs::file_size(jobs[i].path, ec);
    if (ec) {
      missing.push_back(i);
    } else {
      ++progress.done;
      progress.bytesOnDisk += static_cast<std::int64_t>(size);
      progress.secondsDone += jobs[i].duration;
    }
  }
  std::size_t next = 0;
  int running = 0;
  std::string failure;
  std::size_t failedAt = jobs.size();

  auto worker = [&]() {
    std::unique_ptr<http::TNetHTTP> client;
    try {
      client = NewClient(false);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(lock);
      if (failure.empty()) failure = e.what();
    }
    for (;;) {
      std::size_t index;
      {
        std::lock_guard<std::mutex> g(lock);
        if (!client || stop_ || next >= missing.size()) break;
        index = missing[next++];
      }
      const FetchJob& job = jobs[index];
      try {
        // A clear, whole body goes straight to its file; a range (the server
        // may send more) and a piece to decrypt go through memory.
        const bool direct = !job.key && job.where.offset == 0 && job.where.length < 0;
        auto body = Fetch(*client, job.where, job.name, kMaxPieceBytes, direct ? job.path : std::string());
        if (!body) break;
        std::int64_t size = static_cast<std::int64_t>(body->size());
        if (direct) {
          std::error_code ec;
          size = static_cast<std::int64_t>(fs::file_size(job.path, ec));
        } else if (job.key) {
          std::string plain;
          try {
            plain = DecryptAes128Cbc(*body, *job.key, job.iv);
          } catch (const StreamError&) {
          }
          if (!PlausibleMedia(plain))
            throw StreamError("The AES-128 key does not decrypt " + job.name + " (" + job.where.url +
                              "): the key is wrong or the segment is damaged.");
          body = std::move(plain);
          size = static_cast<std::int64_t>(body->size());
        }
        if (!direct) WriteWhole(job.path, *body);
        std::lock_guard<std::mutex> g(lock);
        progress.bytes += size;
        progress.bytesOnDisk += size;
        progress.secondsDone += job.duration;
        ++progress.done;
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> g(lock);
        // The earliest failing piece is the one to name.
        if (failure.empty() || index < failedAt) {
          failure = e.what();
          failedAt = index;
        }
        stop_ = true;
        break;
      }
    }
    std::lock_guard<std::mutex> g(lock);
    --running;
    changed.notify_all();
  };

  const bool stoppedBefore = stop_;
  std::vector<std::thread> threads;
  const int count = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(options_.connections), missing.size()));
  running = count;
  for (int i = 0; i < count; ++i) threads.emplace_back(worker);
  for (;;) {
    FetchProgress snapshot;
    {
      std::unique_lock<std::mutex> g(lock);
      changed.wait_for(g, std::chrono::milliseconds(40), [&] { return running == 0; });
      if (running == 0) break;
      snapshot = progress;
    }
    if (between) between(snapshot);
  }
  for (auto& t : threads) t.join();
  if (between) between(progress);
  if (!failure.empty()) throw StreamError(failure);
  return !(stop_ || stoppedBefore) && progress.done == progress.total;
}

}  // namespace larkvale::stream
