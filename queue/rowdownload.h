#pragma once
// One row's download, file or stream: the one unit that the window's runner
// (each row, one at a time or several together) and the command line run.
//
// Given the link, the .part it writes (its name already held for the row),
// the row's session and options, it configures its client for the row,
// wires the client's events (the body's begin included) to the .part
// transfer or runs the stream downloader, honours Stop from any thread, and
// returns one result. It reports through `RowProgress` on the thread that
// runs it; retries, order and the limits per host are the caller's.

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>

#include "browser/pagesession.h"
#include "http/httpclient.h"
#include "queue/parttransfer.h"
#include "stream/segmentfetcher.h"
#include "stream/streamdownload.h"

namespace larkvale::queue {

struct RowOptions {
  bool stream = false;       // an HLS playlist or a DASH manifest
  int connections = 1;       // a file's parts (1: one connection); a stream's pieces
  int maxHeight = 0;         // a stream's tallest picture; 0 the best
  bool refusePages = false;  // found on a page: a web page in place of the video fails
  bool recordOrigin = false; // the .part records its link (how the command line finds it again)
  browser::PageSession session;        // a row from a browsed page: its requests carry it
  stream::ClientFactory streamClient;  // optional: each of a stream's connections
};

// What the download says while it runs, on the thread that runs it.
class RowProgress {
 public:
  virtual ~RowProgress() = default;
  // A body of the file began (a chunked one announces each chunk):
  // `resumed` bytes were there before this reply (a resume; they count in
  // the amount, not in the speed), `expected` is the whole file's length
  // (-1 unknown).
  virtual void Began(std::int64_t resumed, std::int64_t expected) = 0;
  // The file's bytes so far and its whole length (-1 unknown); `received`
  // counts this run's bytes from the network, for the speed; `fraction` is
  // how far it is, 0 to 1 (a stream counts by pieces where sizes are not
  // known), -1 when only the bytes say.
  virtual void Moved(std::int64_t have, std::int64_t expected, std::int64_t received, double fraction) = 0;
  // A text for the status line (the stream's steps).
  virtual void Status(const QString& text) = 0;
  // Between blocks and while the network is silent: the caller's turn (its
  // pump, its stop). Stop ends the download from here too.
  virtual void Idle() = 0;
};

struct RowResult {
  bool complete = false;  // whole, under the final name
  bool stopped = false;   // Stop ended it; what arrived is kept
  QString error;          // why it is not complete (empty when stopped)
  std::int64_t have = -1; // bytes kept in the .part; -1 when there is none
  // A fault that passes (a reset, a time-out, a busy server): worth asking
  // again. `reason` is what to show meanwhile, `retryAfterMs` the server's
  // Retry-After (-1 without one).
  bool transient = false;
  QString reason;
  std::int64_t retryAfterMs = -1;
  bool diskFull = false;  // the error reads "Disk full: ..."
  // A stream: what was fetched stays beside the .part for the next run.
  bool keptPieces = false;
  std::int64_t fileBytes = -1;  // with `complete`: the file's size on disk
  QString note;                 // with `complete`: why a live recording ended by itself
};

// A .part transfer's result as a row's.
RowResult ResultOf(const PartTransfer::Result& transfer);

class RowDownload {
 public:
  // `client` is the row's (configured as the caller's clients are); its
  // events belong to the download while it runs and are put back after.
  RowDownload(http::TNetHTTP& client, RowOptions options);
  RowDownload(const RowDownload&) = delete;
  RowDownload& operator=(const RowDownload&) = delete;

  // Downloads `link` into `part` (a name ending in ".part"), on this thread.
  // Raises nothing.
  RowResult Run(const QString& link, const QString& part, RowProgress& progress);
  // Ends the running download at its next block or wait slice; from any
  // thread, or from `progress`.
  void Stop();
  bool Stopping() const { return stop_; }

  // A stream download of `finalName` keeps pieces fetched beside it.
  static bool PiecesKept(const QString& finalName);
  // A row's link is a stream by its extension, or by its mark, or (after a
  // restart) by the pieces kept beside its .part.
  static bool IsStream(const QString& link, bool marked, const QString& file);

 private:
  RowResult RunFile(const QString& link, const QString& part, RowProgress& progress);
  RowResult RunStream(const QString& link, const QString& part, RowProgress& progress);

  http::TNetHTTP& client_;
  RowOptions options_;
  std::atomic<bool> stop_{false};
  PartTransfer transfer_;
};

}  // namespace larkvale::queue
