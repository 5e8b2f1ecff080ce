#pragma once
// The Download action: fetches a watch page with the page client, keeps a
// copy of it as "temp.txt" in the scratch folder, scans it for the video's
// link and appends the link as a new row of the download list.
//
// A page without the watch-page markers is searched for ordinary videos
// (<video>, og:video, links to video files); each one found becomes a row,
// in page order. An address that is itself a video (so its reply head says)
// is queued as it stands, without reading its body.
//
// The fetch processes window messages from the client's work events (see
// `Work`), so any handler may run nested inside `Run`. A second `Run` during
// the fetch is refused by the client itself, which never mixes two requests
// on one connection; the first fetch goes on.
//
// The page is never held whole: it goes into "temp.txt" and through the
// searches as it arrives, so a page of any size costs bounded memory. Only
// its first kMaxPageBytes are fetched and searched; the status line says so
// when a page is longer.
//
// No widgets: what the action has to say goes out through its events, and a
// failing fetch or copy leaves `Run` as the exception it is, for the caller's
// error report.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>

#include "browser/pagesession.h"
#include "extract/siteaddresses.h"
#include "http/httpclient.h"
#include "queue/downloadlist.h"

namespace larkvale::queue {

// How much of a page is fetched and searched.
inline constexpr std::int64_t kMaxPageBytes = std::int64_t(64) << 20;

class DownloadAction {
 public:
  // Stopped: `Stop` ended the search after the page had come; nothing queued.
  enum class Outcome { Queued, NoVideo, Stopped };

  // `processMessages` is the message pump, run by every work event.
  DownloadAction(http::TNetHTTP& client, DownloadList& list, std::function<void()> processMessages);

  // Fetches `url` (as it stands), saves the page's lines into
  // `tempDir` + "temp.txt" and queues the link found with the addresses of
  // `sites` (or the videos found on an ordinary page, or `url` itself when
  // it is a video; then the copy is empty). Raises the fetch's error, or "Cannot create file ..." when the
  // copy cannot be written; no row is added then.
  // `browsed`: the browser's state when `url` is the page it shows; null for
  // a typed or pasted address, whose requests stay as they always were.
  Outcome Run(const std::string& url, const QString& tempDir, const extract::SiteAddresses& sites,
              const browser::BrowsedPage* browsed = nullptr);
  // Queues `links` found by the browser on `page`, each a row with its
  // session, without fetching anything.
  void QueueFound(const std::vector<std::string>& links, const browser::BrowsedPage& page);

  // Stop (the browser bar's, Ctrl+C, closing the window): ends the fetch, and
  // the search of a page that has come, at once. Safe from any handler that
  // runs nested in `Run`.
  void Stop();
  // Whether the last page was longer than kMaxPageBytes.
  bool PageCut() const { return pageCut_; }
  // The status line's text for a page that was cut.
  static QString PageCutText();

  // The client's events during the fetch.
  void Status(const std::string& text);
  void WorkBegin(std::int64_t announced);  // 0 when the size is not announced
  void Work(std::int64_t count);           // bytes so far
  void WorkEnd();

  // The fetch's announced size and bytes so far; 0 between fetches.
  std::int64_t AnnouncedBytes() const { return announced_; }
  std::int64_t BytesSoFar() const { return bytesSoFar_; }

  // Each may be empty.
  std::function<void(const QString&)> OnStatus;  // the status line's text
  std::function<void(int)> OnQueued;             // the new row, before "Done"
  std::function<void()> OnNoVideo;               // no link on the page, before "Done"
  // The height setting ("Best" is 0): it chooses among a <video>'s sources
  // of several qualities, as it does among a stream's. Unset: the tallest.
  std::function<int()> MaxHeight;

 private:
  void SetStatus(const QString& text);
  void QueueRow(const std::string& link, const browser::PageSession& session = {});

  http::TNetHTTP& client_;
  DownloadList& list_;
  std::function<void()> processMessages_;
  bool running_ = false;
  bool stopRequested_ = false;
  bool pageCut_ = false;
  std::int64_t announced_ = 0;
  std::int64_t bytesSoFar_ = 0;
};

}  // namespace larkvale::queue
