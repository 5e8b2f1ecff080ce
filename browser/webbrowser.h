#pragma once
// The embedded web browser `TWebBrowser`: a web view that navigates, stops,
// and reports before each navigation its target address, each completed
// document with its address, and loading progress. All events arrive on the
// user-interface thread, from the event loop.

#include <QWebEngineView>
#include <functional>
#include <vector>

#include "browser/foundmedia.h"
#include "browser/pagesession.h"

class QWebEngineProfile;

namespace larkvale::browser {

class TWebBrowser : public QWebEngineView {
 public:
  explicit TWebBrowser(QWidget* parent = nullptr);
  ~TWebBrowser() override;

  // Before every navigation, frames included, with the target address as
  // text. Navigations are never refused.
  std::function<void(const QString& url)> OnBeforeNavigate2;
  // When the top document has finished loading, also when it failed (the
  // engine then shows its own error page).
  std::function<void(const QString& url)> OnDocumentComplete;
  std::function<void(int progress, int progressMax)> OnProgressChange;

  // Loads the page at `address`, taken as the user would type it (a missing
  // scheme means http). Blank text does nothing; text that is no address
  // throws std::invalid_argument.
  void Navigate(const QString& address);
  // Stops loading.
  void Stop();

  // The media the shown page asked for (see FoundMedia), frames included,
  // forgotten when the browser goes to another page.
  const FoundMedia& Found() const { return found_; }
  // After every change of `Found()`, on the user-interface thread.
  std::function<void()> OnFoundMediaChanged;

  // The page shown, its finds, the cookies of the browser's store and its
  // User-Agent, for a download that comes from this page.
  BrowsedPage CurrentPage() const;
  // Every cookie of the browser's store, as last reported by the store.
  const std::vector<BrowserCookie>& Cookies() const { return cookies_; }

 private:
  class Page;
  class PopupCatcher;
  class RequestWatcher;

  void RequestSeen(const QUrl& url, bool mainFrame, bool mediaResource);
  void CookieAdded(const BrowserCookie& cookie);
  void CookieRemoved(const BrowserCookie& cookie);

  // The browser's own profile: its cookie store and its request watcher
  // belong to this view alone.
  QWebEngineProfile* profile_ = nullptr;
  RequestWatcher* watcher_ = nullptr;
  FoundMedia found_;
  std::vector<BrowserCookie> cookies_;
};

}  // namespace larkvale::browser
