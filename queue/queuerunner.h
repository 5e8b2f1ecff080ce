#pragma once
// The queue runner: downloads every pending row of the download list into
// the download folder, one after the other, then pauses and passes over the
// list again, until downloads are stopped.
//
// It is driven by a timer, not by a nested loop: a pass runs synchronously
// (its transfer processes window messages from the work events), and the
// pause between passes is a single-shot timer that ends on the whole-second
// boundary three seconds on, so that it lasts between two and three
// seconds. So the call stack never grows from pass to pass and at most one
// loop exists; a start request while a loop is active only leaves the stop
// flag cleared.
//
// A pass starts only from the top-level event loop. When the pause ends (or
// a start comes) while a nested pump runs (a page fetch, a save, a modal
// dialog), the pass would run inside that action and hold it up for as long
// as its downloads last; it waits instead until control is back at the top,
// checking again every kTopLevelRetryMs.
//
// The runner follows the row it downloads by the row's id: when rows are
// deleted or re-sorted meanwhile, progress goes to the row wherever it moved
// and nowhere when it is gone. Nothing is ever written outside the list.
// Deleting the row being downloaded stops its transfer, as Stop would, and
// the pass goes on with the next row.
//
// A download goes to its final name plus ".part" and is renamed when it is
// complete, so a file under a final name is always whole. A failed row is
// marked with its error and the pass goes on; a row cut by Stop (or by a
// peer closing early) keeps its ".part" file, and a later download of the
// row resumes it with a Range request. Only complete files reach the
// Timeline.
//
// A fault that passes (a connection reset, a time-out, 408, 429, 500, 502,
// 503, 504) does not fail the row at once: the row waits again, reading
// "Retrying in 4 s (503 Service Unavailable)", and is asked again after a
// growing pause (or the server's Retry-After), up to three times. The wait
// holds nothing: the row is simply not due, the pass goes on, and the pause
// between passes ends early when a retry falls due. "Stop downloads" stops
// the waiting rows at once.
//
// A write that finds no space left stops the row with "Disk full: 12 MB
// free in <folder>", its .part kept, and pauses the queue: the next row
// would only meet the same full disk.
//
// A row whose link is an HLS playlist or a DASH manifest (by its extension,
// or marked so by the Download action) is downloaded by the stream
// downloader into one "flv" + N + "video.mp4": its pieces are kept beside
// the .part in a folder of their own, so Stop, a kill or a Retry continue
// at the first piece missing.
//
// With "Downloads at once" above 1 a pass runs several rows together, each
// on a worker thread with a client of its own, at most kPerHost to one host
// and port (servers and CDNs throttle or refuse more). The pass's thread
// only starts rows, follows their progress and finishes them, waiting in
// short slices that run the message pump; the list is touched only there.
// Names are still taken in row order as rows start, and a .part holds each
// name from then on, so rows finishing out of order take nothing from each
// other. While rows run, the pass keeps starting rows that became pending
// (added, retried, due again), so a long file does not hold up short ones
// that come after it. Stream rows run alone: one waits for the running rows
// to end, and the rows after it wait for it.

#include <QObject>
#include <QString>
#include <QTimer>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "http/httpclient.h"
#include "queue/downloadlist.h"
#include "queue/filenames.h"
#include "queue/retrypolicy.h"
#include "queue/rowdownload.h"
#include "queue/parttransfer.h"
#include "stream/segmentfetcher.h"

namespace larkvale::queue {

struct RunnerHooks {
  std::function<bool()> stopped;                       // DownloadsStopped
  std::function<QString()> flvDir;                     // with a trailing "/"
  std::function<void(const QString&)> status;          // the status line
  std::function<void(const QString&)> addToTimeline;   // a finished file
  std::function<void()> processMessages;               // the message pump
  std::function<void(std::exception_ptr)> reportError; // a pass that failed
  std::function<bool()> atTopLevel;                    // no nested pump; unset = always
  // optional: a row failed (for the log and the desktop); `file` is the name it
  // would have had when whole
  std::function<void(const QString& link, const QString& file, const QString& error)> rowFailed;
  // optional, for HLS and DASH rows: the tallest picture wanted (0 = the
  // best), the parallel connections (unset: 4; for a file, the connections
  // it may be split over, unset: 1), and the bytes received so
  // far as they arrive (0 when the row starts, -1 when it ends), for the
  // speed label
  std::function<int()> maxHeight;
  std::function<int()> connections;
  std::function<void(std::int64_t bytes)> streamBytes;
  // optional: makes the HTTP client of each of a stream row's connections
  // (to carry a browser session's cookies, Referer and User-Agent); unset,
  // the stream downloader's own
  stream::ClientFactory streamClient;
  // optional: the disk is full; downloads stop as "Stop downloads" stops
  // them, so that "Start downloads" resumes once there is room
  std::function<void()> pauseQueue;
  // optional: how many rows download at once (unset: 1, one after the
  // other); read at every pass, and while a pass of several runs.
  std::function<int()> downloadsAtOnce;
  // optional: makes the client of a row that runs beside others, configured
  // as the window's own (proxy, time-outs); unset, a plain window client
  std::function<std::unique_ptr<http::TNetHTTP>()> rowClient;
  // optional: bytes received by all the rows running together, as
  // `streamBytes` counts a stream's (0 when they start, -1 when the last
  // ends), for the speed label
  std::function<void(std::int64_t bytes)> rowsBytes;
  // optional: a body of the row downloading one at a time began, with the
  // bytes it announces (0 unknown), for the time left beside the speed
  std::function<void(std::int64_t announced)> bodyBegan;
};

struct RowJob;

class QueueRunner : public QObject {
  Q_OBJECT
 public:
  // `currentDownloadRow` is the window's CurrentDownloadRow.
  QueueRunner(DownloadList& list, http::TNetHTTP& client, int& currentDownloadRow, RunnerHooks hooks,
              QObject* parent = nullptr);
  ~QueueRunner() override;

  // Starts the loop with a pass now; returns at once when downloads are
  // stopped or a loop is active. Stopped rows wait again first, so "Start
  // downloads" resumes them (also in a loop that is already active). A row
  // that fails is marked failed and the pass goes on; only an unexpected
  // failure of the pass itself ends the loop through `reportError`.
  void Start();
  bool Active() const { return active_; }
  // A row's transfer runs (for the question on closing the window).
  bool Downloading() const { return downloadingId_ != 0 || !jobs_.empty(); }
  // Ends the running transfers now, from a handler nested in them, as Stop
  // does at the next block: the rows are stopped and keep their .part files.
  // (A server that has gone silent sends no next block.)
  void StopTransfer();
  // The row's own Stop: a running row ends now and keeps its .part, a
  // waiting one is stopped before it starts; the pass goes on with the
  // others. False for a row that neither runs nor waits.
  bool StopRow(int row);
  // "Stop downloads" for the rows running together: each ends at its next
  // block or wait slice, wherever the window's thread is. (One row at a time
  // is cut by its own next work event.)
  void StopJobs();
  // The running rows' progress taken together, in percent; -1 when none
  // runs or a length is unknown.
  int RunningPercent() const;
  // The pause timer (for tests that want to move the loop on).
  QTimer& PauseTimer() { return pause_; }
  // The pauses before the first, second, ... retry of a row; one entry per
  // retry allowed. A server's Retry-After replaces the pause.
  void SetRetryPauses(std::vector<int> pausesMs) { retryPausesMs_ = std::move(pausesMs); }
  // "Stop downloads": rows waiting for a retry are stopped now (a later
  // "Start downloads" asks at once), rather than at the next pass.
  void StopWaits();

  static constexpr int kTopLevelRetryMs = 20;
  static constexpr int kStalledStopMs = 100;
  static constexpr int kRetryTickMs = 1000;  // the countdown's step
  static constexpr int kPerHost = 2;          // rows at once from one host and port
  static constexpr int kMaxAtOnce = 8;
  static constexpr int kSliceMs = 10;         // the pass's wait while rows run

 private:
  void Step();
  void RunPass();
  // False for rows the pass leaves alone: done (their file exists), failed,
  // stopped.
  bool Pending(int row);
  void DownloadRow(int row, int& n);
  // What a row's transfer ended in, on its row (`now`, -1 when it is gone).
  void FinishRow(int now, quint64 id, const QString& link, const QString& name, const RowResult& result);
  // Several rows at once: see the note above.
  int AtOnce() const;
  void RunRowsTogether();
  void RunRows(int& n, bool& began);
  // Starts the pending rows that may start now, in row order; false when a
  // row waits for a place (so the pass must go on waiting).
  bool StartRows(int limit, int& n);
  // The .part a row downloads into: the one it has, else the name held for
  // it, else the next free name from `n`, held for it from now on.
  // (`file`: its File cell.)
  QString PartForRow(quint64 id, const QString& file, int& n, const QString& extension);
  // `part` made on disk, empty, before its transfer starts (unless it is
  // the row's own .part): when something is there already, the row takes
  // the next free name instead.
  QString ClaimForRow(quint64 id, const QString& file, const QString& part, int& n, const QString& extension);
  void StartJob(int row, const QString& link, const QString& part);
  // Progress of the running rows onto the list; finishes those that ended.
  void FollowJobs();
  bool IsRunning(quint64 id) const;
  void StopDeletedJobs();
  // "host:port" of a link, for the limit per host.
  static std::string HostKey(const QString& link);
  // A stream row: see the note above.
  bool IsStreamRow(int row, const QString& link, const QString& file) const;
  void DownloadStreamRow(int row, const QString& link, QString part, int& n);
  // The index of the row being downloaded now, -1 when it is gone.
  int CurrentRow();
  // A transient failure of `row`: true when it waits for a retry, false
  // when its retries are spent.
  bool ScheduleRetry(int row, const RowResult& result);
  bool RetryNotDue(int row);
  // The countdown: refreshes the waiting rows' texts, forgets rows that are
  // gone or no longer waiting.
  void TickRetries();
  // The earliest moment a retry falls due; -1 when none waits.
  std::int64_t NextRetryMs() const;

  DownloadList& list_;
  http::TNetHTTP& client_;
  int& currentDownloadRow_;
  RunnerHooks hooks_;
  QTimer pause_;
  bool active_ = false;
  quint64 downloadingId_ = 0;  // 0 while no row downloads
  std::int64_t lastBlockMs_ = 0;  // when the transfer last moved
  std::function<void()> stopCurrent_;  // ends the row being downloaded, one at a time
  struct Retry {
    int attempts = 0;
    std::int64_t dueMs = 0;
    QString reason;
  };
  std::map<quint64, Retry> retries_;  // by row id
  std::vector<int> retryPausesMs_{kRetryPausesMs.begin(), kRetryPausesMs.end()};
  QTimer retryTick_;
  std::vector<std::unique_ptr<RowJob>> jobs_;  // rows running together
  bool rescan_ = false;                         // the list changed: look for rows to start
  NameBook names_;                              // each row's final name, its own until the row goes
  std::int64_t jobsBytes_ = 0;                  // received by jobs already finished this pass
};

}  // namespace larkvale::queue
