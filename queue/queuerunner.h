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
// Every row downloads the same way: on a worker thread of its own, with a
// client of its own, while the pass's thread (the window's) starts rows,
// shows their progress and finishes them, waiting in short slices that run
// the message pump; the list is touched only there. "Downloads at once"
// sets how many rows run together (1: one after the other), at most
// kPerHost to one host and port (servers and CDNs throttle or refuse more).
// Names are taken in row order as rows start, and a .part holds each name
// from then on, so rows finishing out of order take nothing from each
// other. While rows run, the pass keeps starting rows that became pending
// (added, retried, due again), so a long file does not hold up short ones
// that come after it. Stream rows run alone: one waits for the running rows
// to end, and the rows after it wait for it.

#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

#include "http/httpclient.h"
#include "queue/downloadlist.h"
#include "queue/filenames.h"
#include "queue/retrypolicy.h"
#include "queue/rowdownload.h"
#include "queue/rowjob.h"
#include "queue/rowqueue.h"
#include "queue/runnerhost.h"

namespace larkvale::queue {

class QueueRunner : public QObject {
  Q_OBJECT
 public:
  // `currentDownloadRow` is the window's CurrentDownloadRow (-1 while a
  // pass runs: the running rows are drawn by their state). `retryPausesMs`:
  // the pauses before the first, second, ... retry of a row, one entry per
  // retry allowed; a server's Retry-After replaces the pause.
  QueueRunner(DownloadList& list, RunnerHost& host, int& currentDownloadRow,
              std::vector<int> retryPausesMs = {kRetryPausesMs.begin(), kRetryPausesMs.end()},
              QObject* parent = nullptr);
  ~QueueRunner() override;

  // Starts the loop with a pass now; returns at once when downloads are
  // stopped or a loop is active. Stopped rows wait again first, so "Start
  // downloads" resumes them (also in a loop that is already active). A row
  // that fails is marked failed and the pass goes on; only an unexpected
  // failure of the pass itself ends the loop through `PassFailed`.
  void Start();
  bool Active() const { return active_; }
  // A row's transfer runs (for the question on closing the window).
  bool Downloading() const { return !jobs_.empty(); }
  // "Stop downloads", or a handler nested in the pass: the running rows end
  // at their next block or wait slice, wherever the window's thread is, are
  // stopped and keep their .part files. (A server that has gone silent
  // sends no next block.)
  void StopTransfer();
  // The row's own Stop: a running row ends now and keeps its .part, a
  // waiting one is stopped before it starts; the pass goes on with the
  // others. False for a row that neither runs nor waits.
  bool StopRow(int row);
  // The running rows' progress taken together, in percent, as the last look
  // at them found it (rows that ended then count as whole); -1 when none
  // runs or a length is unknown.
  int RunningPercent() const;
  // The pause timer (for tests that want to move the loop on).
  QTimer& PauseTimer() { return pause_; }
  // "Stop downloads": rows waiting for a retry are stopped now (a later
  // "Start downloads" asks at once), rather than at the next pass.
  void StopWaits();
  // Rows on screen: a done one whose file is gone is fetched again. (Done
  // rows are not looked at otherwise: a long list costs nothing while idle.)
  void CheckShown(int first, int last);

  static constexpr int kTopLevelRetryMs = 20;
  static constexpr int kRetryTickMs = 1000;  // the countdown's step
  static constexpr int kPerHost = 2;          // rows at once from one host and port, by default
  static constexpr int kMaxAtOnce = 8;
  static constexpr int kSliceMs = 10;         // the pass's wait while rows run

 private:
  void Step();
  void RunPass();
  void RunRows(bool& began);
  // Whether a queued row may start: not done (its file exists), failed or
  // stopped; not waiting for a retry that is not due.
  RowQueue::Look LookAt(int row);
  // Starts the queued rows that may start now, in row order.
  void StartRows();
  // Rows added since the last look join the queue when they wait.
  void QueueAdded();
  bool StreamRunning() const;
  // The .part a row downloads into: the one it has, else the name held for
  // it, else the next free name, held for it from now on. (`file`: its
  // File cell.)
  QString PartForRow(quint64 id, const QString& file, const QString& extension);
  // `part` made on disk, empty, before its transfer starts (unless it is
  // the row's own .part): when something is there already, the row takes
  // the next free name instead.
  QString ClaimForRow(quint64 id, const QString& file, const QString& part, const QString& extension);
  void StartJob(int row, const QString& link, const QString& part, bool stream, const std::string& host);
  // Progress of the running rows onto the list; finishes those that ended.
  void FollowJobs();
  // What a row's transfer ended in, on its row (`now`, -1 when it is gone).
  void FinishRow(int now, const RowJob& job, const RowResult& result);
  bool IsRunning(quint64 id) const;
  void StopDeletedJobs();
  // A row's link is a stream: see the note above.
  bool IsStreamRow(int row, const QString& link, const QString& file) const;
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
  RunnerHost& host_;
  int& currentDownloadRow_;
  QTimer pause_;
  bool active_ = false;
  struct Retry {
    int attempts = 0;
    std::int64_t dueMs = 0;
    QString reason;
  };
  std::map<quint64, Retry> retries_;  // by row id
  std::vector<int> retryPausesMs_;
  QTimer retryTick_;
  JobWake wake_;
  RowQueue queue_;                             // the rows that may start
  std::vector<quint64> added_;                 // rows added, not yet looked at
  std::vector<std::unique_ptr<RowJob>> jobs_;  // the rows running
  std::map<std::string, int> runningPerHost_;  // file rows running, by host
  // Clients of rows that ended, for the next rows: a server's cookies stay
  // with the runner as they did with one client.
  std::vector<std::unique_ptr<http::TNetHTTP>> idleClients_;
  bool rescan_ = false;                         // the list changed: look for rows to start
  RunnerSettings settings_;                     // as read when the pass looked last
  int fileCounter_ = 0;                         // where this pass's search for a free name starts
  NameBook names_;                              // each row's final name, its own until the row goes
  std::int64_t jobsBytes_ = 0;
  int percent_ = -1;                            // see RunningPercent                  // received by jobs already finished this pass
};

}  // namespace larkvale::queue
