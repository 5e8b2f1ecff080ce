#pragma once
// The command line's downloads: each row found for an address runs as one
// `queue::RowDownload` on a worker thread of its own, up to `parallel` at
// once and at most `perHost` to one host, in the order the
// rows were added. A fault that passes is asked again after the runner's
// pauses (or the server's Retry-After) while the others go on. Each file
// ends with one line on standard error; a whole file's path goes to
// standard output.
//
// The caller's thread adds rows and calls `WaitForRoom` / `WaitForAll`,
// which draw progress and look for Ctrl+C between short sleeps.

#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "queue/rowdownload.h"

namespace larkvale::cli {

class DownloadJobs {
 public:
  struct Settings {
    int parallel = 1;
    int perHost = 2;         // at once from one host and port
    int retries = 3;         // asks again after a passing fault, at most
    bool terminal = false;   // standard error is a terminal: one redrawn bar (with one at a time)
    queue::RowOptions row;   // what every row shares (connections, max height, ...)
    int idleLimitMs = 60000; // the clients' silence limits
  };
  explicit DownloadJobs(Settings settings);
  ~DownloadJobs();

  // Queues `link` into `part`. `shown` names the address in messages;
  // `claimed`: the .part was made empty for it here, so a row that never
  // starts (Ctrl+C) takes it away again.
  void Add(const QString& shown, const QString& link, const QString& part, bool stream, bool foundOnPage,
           bool claimed);
  // Runs until a new row could start at once (a place is free), or Ctrl+C.
  void WaitForRoom();
  // Runs until every row has ended, or Ctrl+C (which stops the running
  // ones, keeping what they fetched).
  void WaitForAll();
  bool Failed() const { return failed_; }
  bool Stopped() const { return stopped_; }

 private:
  struct Job;
  void Step();
  bool Startable(const Job& job, int running) const;
  void Start(Job& job);
  void End(Job& job);
  int Running() const;

  Settings settings_;
  std::vector<std::unique_ptr<Job>> jobs_;  // in the order they were added
  bool failed_ = false;
  bool stopped_ = false;
};

}  // namespace larkvale::cli
