#pragma once
// One row downloading on a worker thread: its client, its download, and
// the counts the runner shows on the row. The worker writes the counts
// under a lock and wakes the runner when a body begins or the row ends; the
// runner's thread alone reads them onto the list, between its waits.

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/httpclient.h"
#include "queue/downloadlist.h"
#include "queue/ratemeter.h"
#include "queue/rowdownload.h"

namespace larkvale::queue {

// How the runner's thread waits for its jobs: a slice at most, less when a
// job has news.
class JobWake {
 public:
  void Notify();
  // Returns after `ms`, or at once when notified since the last wait.
  void Wait(int ms);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool notified_ = false;
};

class RowJob final : private RowProgress {
 public:
  struct Start {
    quint64 id = 0;
    QString link;
    QString part;
    std::string host;  // "host:port", for the limit per host
    RowOptions options;
  };
  RowJob(Start start, std::unique_ptr<http::TNetHTTP> client, JobWake& wake);
  ~RowJob() override;  // stops the download and waits for its thread
  RowJob(const RowJob&) = delete;
  RowJob& operator=(const RowJob&) = delete;

  quint64 Id() const { return start_.id; }
  const QString& Link() const { return start_.link; }
  const QString& Part() const { return start_.part; }
  const std::string& Host() const { return start_.host; }
  bool IsStream() const { return start_.options.stream; }
  void Stop() {
    if (download_) download_->Stop();
  }
  bool Finished() const { return finished_; }

  // What changed since the last look, on `row` (the runner's thread only):
  // its size and progress cells and its speed. `alone` (the only row
  // running): the status line and the body's begin go to `host` as well.
  struct Shown {
    std::int64_t received = 0;  // bytes from the network in this run
    std::int64_t have = 0;      // the file's bytes so far
    std::int64_t size = 0;      // its length, 0 unknown
    bool began = false;         // a body began since the last look
    std::int64_t announced = 0; // its bytes still to come (0 unknown)
    QString status;             // a step to show, when one came
    bool moved = false;         // the bytes moved since the last look
  };
  Shown Show(DownloadList& list, int row);
  // The file's bytes and length as last shown (0 before).
  std::int64_t ShownHave() const { return haveShown_ < 0 ? 0 : haveShown_; }
  std::int64_t ShownSize() const { return sizeShown_; }

  // After `Finished`: the thread joined, its result; the client is the
  // runner's again (for the next row to the same host).
  RowResult Result();
  std::unique_ptr<http::TNetHTTP> TakeClient();

 private:
  void Began(std::int64_t resumed, std::int64_t expected) override;
  void Moved(std::int64_t have, std::int64_t expected, std::int64_t received, double fraction) override;
  void Status(const QString& text) override;
  void Idle() override {}

  Start start_;
  JobWake& wake_;
  // Declared in the order they are made: the download goes before the
  // client it uses.
  std::unique_ptr<http::TNetHTTP> client_;
  std::unique_ptr<RowDownload> download_;
  std::thread thread_;
  std::atomic<bool> finished_{false};

  std::mutex lock_;  // guards the worker's counts
  struct Counts {
    std::uint64_t bodies = 0;    // bodies of the file begun so far
    std::int64_t resumed = 0;    // the last body's start
    std::int64_t expected = -1;  // the file's whole length
    std::int64_t have = 0;
    std::int64_t received = 0;
    double fraction = -1;        // a stream's own measure of how far it is
    std::uint64_t statuses = 0;
    QString status;
  } counts_;
  RowResult result_;

  // The runner's thread only: what the row shows.
  std::uint64_t bodiesShown_ = 0;
  std::uint64_t statusesShown_ = 0;
  std::int64_t haveShown_ = -1;
  std::int64_t sizeShown_ = 0;
  RateMeter meter_;
  std::int64_t bodyStart_ = 0;  // `received` when this body began, for the meter
  std::int64_t speedShownMs_ = 0;
};

}  // namespace larkvale::queue
