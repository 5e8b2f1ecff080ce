#pragma once
// What the queue runner needs from the window it runs in, and what it
// tells it: one small interface in place of a bag of callbacks. The window
// implements it; tests implement it with a recorder.

#include <QString>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include "http/httpclient.h"
#include "stream/segmentfetcher.h"

namespace larkvale::queue {

// Read when rows are about to start, so a change applies from the next row.
struct RunnerSettings {
  QString folder;       // the download folder, with a trailing "/"
  int atOnce = 1;       // "Downloads at once": 1 downloads one row after the other
  int perHost = 2;      // rows at once from one host and port (servers and CDNs throttle or refuse more)
  int connections = 0;  // a file's parts, a stream's connections; 0: one for a file, the stream's default
  int maxHeight = 0;    // a stream's tallest picture; 0 the best
};

class RunnerHost {
 public:
  virtual ~RunnerHost() = default;

  // --- The surroundings ---------------------------------------------------
  virtual bool Stopped() = 0;  // "Stop downloads"
  virtual RunnerSettings Settings() = 0;
  virtual void PumpMessages() = 0;
  // No nested pump runs (a page fetch, a save, a modal dialog): a pass may
  // start.
  virtual bool AtTopLevel() { return true; }
  // A row's HTTP client, configured as the window's (proxy, time-outs).
  virtual std::unique_ptr<http::TNetHTTP> NewClient();
  // Whether a file is there (the runner asks nothing else of the disk
  // while it chooses rows).
  virtual bool FileExists(const QString& path);
  // The rows on screen, first to last; none by default.
  virtual std::pair<int, int> ShownRows() { return {0, -1}; }
  // Each connection of a stream row (to carry a browser session); empty:
  // the stream downloader's own.
  virtual stream::ClientFactory StreamClients() { return {}; }

  // --- What happened ------------------------------------------------------
  virtual void Status(const QString& text) = 0;  // the status line
  virtual void RowDone(const QString& file) = 0;  // a whole file, for the Timeline
  // A row failed (for the log and the desktop); `file` is the name it would
  // have had when whole.
  virtual void RowFailed(const QString& link, const QString& file, const QString& error) {}
  // The disk is full: downloads stop as "Stop downloads" stops them, so
  // that "Start downloads" resumes once there is room.
  virtual void DiskFull() {}
  // A pass failed unexpectedly; the loop has ended.
  virtual void PassFailed(std::exception_ptr error) = 0;
  // Bytes received by the running rows together in this pass, for the
  // speed label: 0 when the first starts, -1 when the pass ends.
  virtual void Received(std::int64_t bytes) {}
  // A body of the one running row began, with the bytes it announces (0
  // unknown), for the time left beside the speed.
  virtual void BodyBegan(std::int64_t announced) {}
};

}  // namespace larkvale::queue
