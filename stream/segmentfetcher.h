#pragma once
// Fetches the pieces of a stream over our HTTP client: several connections
// at once, each a client of its own on a worker thread that keeps its
// connection alive from piece to piece, so a hundred pieces from one host
// take no more connections than there are workers. Each piece is written to
// its own file, under a temporary name first, so a file that exists is a
// whole piece and a later run fetches only what is missing.
//
// A piece that fails is tried again (three times, waiting 0.5, 1 and 2 s, or
// as long as the server's Retry-After says, up to five minutes) before the
// run fails naming it. Errors that no retry mends (404, 403, ...) fail at
// once. A piece counts only once it is media of its kind (see piececheck.h):
// a page, an empty body or foreign bytes under a 200 fail like a piece cut
// short.
//
// The caller's thread waits in slices: between them it runs the caller's
// `between` hook (the window's message pump and progress), and a stop
// request ends every transfer at its next block.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "stream/aes128.h"
#include "stream/piececheck.h"
#include "stream/streamplan.h"

namespace larkvale::stream {

// Makes the client of one connection. The caller configures it (its
// session's cookies, Referer, User-Agent); the fetcher only sets the range.
using ClientFactory = std::function<std::unique_ptr<http::TNetHTTP>()>;

// The client the fetcher makes when the caller gives no factory: HTTP/1.1
// with keep-alive, redirects followed, a 30-second read timeout.
std::unique_ptr<http::TNetHTTP> DefaultStreamClient();

struct FetchJob {
  Resource where;
  std::string path;              // where the whole piece goes
  std::string name;              // how errors call it ("segment 12")
  std::optional<Key128> key;     // AES-128 key when the piece is encrypted
  Key128 iv{};
  double duration = 0;
  PieceRole role = PieceRole::kSegment;
};

struct FetchProgress {
  std::int64_t bytes = 0;        // bytes of pieces received in this run
  std::int64_t bytesOnDisk = 0;  // bytes of whole pieces, also from earlier runs
  std::size_t done = 0;          // whole pieces, also from earlier runs
  std::size_t total = 0;
  double secondsDone = 0;        // media seconds of the whole pieces
};

class SegmentFetcher {
 public:
  struct Options {
    int connections = 4;
    int retries = 3;
    // The first wait before a retry; it doubles each time.
    int backoffMs = 500;
    ClientFactory makeClient;
    // Waits `ms` before a retry, on the fetching thread; false when a stop
    // came meanwhile. Unset: sleeps in slices, ending early on a stop.
    std::function<bool(std::int64_t ms)> pause;
  };

  // What a body must be before it counts: anything (a playlist, a key, an
  // index), media for its role, or an encrypted piece (whole AES blocks;
  // its media is checked once it is decrypted).
  enum class Check { kNone, kMedia, kCipher };

  explicit SegmentFetcher(Options options);
  ~SegmentFetcher();

  // One resource into memory on the caller's thread (playlists, keys, an
  // index), with the same retries. `finalUrl` gets the address after
  // redirects, `contentType` the reply's type.
  std::string FetchBytes(const Resource& where, const std::string& name, std::string* finalUrl = nullptr,
                         std::string* contentType = nullptr);

  // Every job whose file does not exist yet. `between` runs on the caller's
  // thread every few milliseconds with the progress so far. Returns false
  // when stopped (by `Stop`, from `between`); raises StreamError when a piece
  // failed for good; the pieces already whole stay on disk either way.
  // `whole` hears of each job whose file is whole: those found so from an
  // earlier run at once, the others as they land (on the fetching threads).
  bool FetchAll(const std::vector<FetchJob>& jobs, const std::function<void(const FetchProgress&)>& between,
                const std::function<void(const FetchJob&)>& whole = nullptr);

  // From `between` (or any thread): ends the run at the next block.
  void Stop() { stop_ = true; }
  bool Stopped() const { return stop_; }

  // Runs while `FetchBytes` waits for the network (on the caller's thread):
  // the window's message pump.
  std::function<void()> callerWaiting;

  // Largest playlist, key or index, and largest piece, held in memory.
  static constexpr std::int64_t kMaxTextBytes = 64ll << 20;
  static constexpr std::int64_t kMaxPieceBytes = 512ll << 20;

 private:
  std::unique_ptr<http::TNetHTTP> NewClient(bool callerThread);
  // One try-and-retry loop on `client`; the body comes back whole or it
  // raises StreamError (nothing when stopped: then it returns nullopt).
  // With `toFile` (for whole bodies only, not ranges), the body goes into
  // that file instead, which exists only once it is whole, and an empty
  // string comes back.
  //
  // `check` says what the body must be before it counts (see Check).
  std::optional<std::string> Fetch(http::TNetHTTP& client, const Resource& where, const std::string& name,
                                   std::int64_t limit, Check check, PieceRole role, const std::string& toFile = {});
  // One try of `Fetch`, into `toFile` or into memory; nullopt when a stop
  // came, an exception for what ended the try.
  std::optional<std::string> FetchOnce(http::TNetHTTP& client, const Resource& where, std::int64_t limit, Check check,
                                       PieceRole role, const std::string& toFile);
  std::optional<std::string> FetchIntoFile(http::TNetHTTP& client, const Resource& where, std::int64_t limit,
                                           Check check, PieceRole role, const std::string& toFile);
  std::optional<std::string> FetchIntoMemory(http::TNetHTTP& client, const Resource& where, std::int64_t limit,
                                             Check check, PieceRole role);
  bool Pause(std::int64_t ms);

  // What one `FetchAll` shares with its workers.
  struct Run;
  // One worker thread of `FetchAll`: pieces until none is left, a stop or a
  // failure.
  void Work(Run& run);
  // One job's piece into its file (decrypted when it has a key); the bytes
  // it holds, or nullopt when a stop came.
  std::optional<std::int64_t> FetchPiece(http::TNetHTTP& client, const FetchJob& job);

  Options options_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<http::TNetHTTP> callerClient_;
};

}  // namespace larkvale::stream
