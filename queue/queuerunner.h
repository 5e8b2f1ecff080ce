#pragma once
// The queue runner: downloads every pending row of the download list into
// the download folder, one after the other, then pauses and passes over the
// list again, until downloads are stopped.
//
// It is driven by a timer, not by a nested loop: a pass runs synchronously
// (its transfer processes window messages from the work events), and the
// pause between passes is a single-shot timer that ends on the whole-second
// boundary three seconds on, as a three-second `WaitSeconds` would. So the
// call stack never grows from pass to pass and at most one loop exists; a
// start request while a loop is active only leaves the stop flag cleared.
//
// The runner follows the row it downloads by the row's id: when rows are
// deleted or re-sorted meanwhile, progress goes to the row wherever it moved
// and nowhere when it is gone. Nothing is ever written outside the list.

#include <QObject>
#include <QString>
#include <QTimer>
#include <exception>
#include <functional>

#include "http/httpclient.h"
#include "queue/downloadlist.h"

namespace larkvale::queue {

struct RunnerHooks {
  std::function<bool()> stopped;                       // DownloadsStopped
  std::function<QString()> flvDir;                     // with a trailing "/"
  std::function<void(const QString&)> status;          // the status line
  std::function<void(const QString&)> addToTimeline;   // a finished file
  std::function<void()> processMessages;               // the message pump
  std::function<void(std::exception_ptr)> reportError; // a pass that failed
};

class QueueRunner : public QObject {
  Q_OBJECT
 public:
  // `currentDownloadRow` is the window's CurrentDownloadRow.
  QueueRunner(DownloadList& list, http::TNetHTTP& client, int& currentDownloadRow, RunnerHooks hooks,
              QObject* parent = nullptr);

  // Starts the loop with a pass now; returns at once when downloads are
  // stopped or a loop is active. A failing pass ends the loop through
  // `reportError`.
  void Start();
  bool Active() const { return active_; }
  // The pause timer (for tests that want to move the loop on).
  QTimer& PauseTimer() { return pause_; }

  // The transfer's work events, for the row being downloaded.
  void WorkBegin(std::int64_t announced);
  void Work(std::int64_t count);
  void WorkEnd();

  // "flv" + N + "video" + extension in the download folder.
  static QString FileName(const QString& flvDir, int n, const QString& extension);
  // ".avi" for links carrying "fmt="; else the media extension of the
  // link's path (".mp4", ".webm", ...); else ".flv".
  static QString ExtensionFor(const QString& link);

 private:
  void Step();
  void RunPass();
  void DownloadRow(int row, int& n);
  // The index of the row being downloaded now, -1 when it is gone.
  int CurrentRow();

  DownloadList& list_;
  http::TNetHTTP& client_;
  int& currentDownloadRow_;
  RunnerHooks hooks_;
  QTimer pause_;
  bool active_ = false;
  quint64 downloadingId_ = 0;  // 0 while no row downloads
};

// Creates `path` as an empty file, or raises "Cannot create file "%s". %s".
void CreateEmptyFile(const QString& path);

}  // namespace larkvale::queue
