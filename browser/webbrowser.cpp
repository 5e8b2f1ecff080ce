#include "browser/webbrowser.h"

#include <QHostAddress>
#include <QNetworkCookie>
#include <QTimer>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <stdexcept>

namespace larkvale::browser {
namespace {

// Addresses are reported encoded, as they go over the wire: the Download
// action fetches the address box's text as it stands.
QString AddressText(const QUrl& url) { return QString::fromLatin1(url.toEncoded()); }

BrowserCookie FromStore(const QNetworkCookie& c) {
  BrowserCookie out;
  out.name = c.name().toStdString();
  out.value = c.value().toStdString();
  out.domain = c.domain().toStdString();
  // A cookie of an address (which has no hosts below it) may come with a
  // leading dot; it belongs to that address alone.
  if (out.domain.size() > 1 && out.domain.front() == '.' &&
      !QHostAddress(QString::fromStdString(out.domain.substr(1))).isNull())
    out.domain.erase(0, 1);
  out.path = c.path().isEmpty() ? std::string("/") : c.path().toStdString();
  out.secure = c.isSecure();
  return out;
}

bool SameCookie(const BrowserCookie& a, const BrowserCookie& b) {
  return a.name == b.name && a.domain == b.domain && a.path == b.path;
}

}  // namespace

// Sees every request of the profile's pages, frames included, before it
// goes out. The engine may call it on a thread of its own: the request's
// address and kind are posted to the user-interface thread, in the order
// they came, and judged there.
class TWebBrowser::RequestWatcher : public QWebEngineUrlRequestInterceptor {
 public:
  explicit RequestWatcher(QObject* parent) : QWebEngineUrlRequestInterceptor(parent) {}

  // Set and cleared on the user-interface thread only.
  std::function<void(const QUrl&, bool mainFrame, bool mediaResource)> onRequest;

  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    const QUrl url = info.requestUrl();
    const auto type = info.resourceType();
    const bool mainFrame = type == QWebEngineUrlRequestInfo::ResourceTypeMainFrame;
    const bool media = type == QWebEngineUrlRequestInfo::ResourceTypeMedia;
    // Posted to this object, which lives on the user-interface thread as
    // long as the profile does; a call still queued when it goes is dropped.
    QMetaObject::invokeMethod(
        this,
        [this, url, mainFrame, media] {
          if (onRequest) onRequest(url, mainFrame, media);
        },
        Qt::QueuedConnection);
  }
};

// Reports every navigation request of the page and accepts it.
class TWebBrowser::Page : public QWebEnginePage {
 public:
  Page(QWebEngineProfile* profile, TWebBrowser* browser) : QWebEnginePage(profile, browser), browser_(browser) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
    if (browser_->OnBeforeNavigate2) browser_->OnBeforeNavigate2(AddressText(url));
    return true;
  }
  QWebEnginePage* createWindow(WebWindowType type) override;

 private:
  TWebBrowser* browser_;
};

// A page that only exists to learn where a new window would go: the address
// is loaded in the browser itself, so links that ask for a new window stay in
// the one view and pass through the usual navigation events.
class TWebBrowser::PopupCatcher : public QWebEnginePage {
 public:
  PopupCatcher(QWebEngineProfile* profile, TWebBrowser* browser)
      : QWebEnginePage(profile, browser), browser_(browser) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
    if (!caught_ && isMainFrame) {
      caught_ = true;
      // Later, once the engine is done with the window it asked for.
      QTimer::singleShot(0, browser_, [browser = browser_, url] { browser->load(url); });
      deleteLater();
    }
    return false;
  }

 private:
  TWebBrowser* browser_;
  bool caught_ = false;
};

QWebEnginePage* TWebBrowser::Page::createWindow(WebWindowType) { return new PopupCatcher(profile(), browser_); }

TWebBrowser::TWebBrowser(QWidget* parent) : QWebEngineView(parent) {
  // Off the record, like the engine's default profile: nothing is kept on disk.
  profile_ = new QWebEngineProfile(this);
  watcher_ = new RequestWatcher(profile_);
  watcher_->onRequest = [this](const QUrl& url, bool mainFrame, bool media) { RequestSeen(url, mainFrame, media); };
  profile_->setUrlRequestInterceptor(watcher_);
  QWebEngineCookieStore* store = profile_->cookieStore();
  connect(store, &QWebEngineCookieStore::cookieAdded, this,
          [this](const QNetworkCookie& c) { CookieAdded(FromStore(c)); });
  connect(store, &QWebEngineCookieStore::cookieRemoved, this,
          [this](const QNetworkCookie& c) { CookieRemoved(FromStore(c)); });
  store->loadAllCookies();

  auto* page = new Page(profile_, this);
  // Scripts may not open windows on their own; links the user follows may.
  page->settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
  setPage(page);
  connect(page, &QWebEnginePage::loadProgress, this, [this](int progress) {
    if (OnProgressChange) OnProgressChange(progress, 100);
  });
  connect(page, &QWebEnginePage::loadFinished, this, [this](bool) {
    if (OnDocumentComplete) OnDocumentComplete(AddressText(url()));
  });
}

TWebBrowser::~TWebBrowser() {
  // The page outlives this part of the view; its last events reach no one.
  OnBeforeNavigate2 = nullptr;
  OnDocumentComplete = nullptr;
  OnProgressChange = nullptr;
  OnFoundMediaChanged = nullptr;
  watcher_->onRequest = nullptr;
  profile_->setUrlRequestInterceptor(nullptr);
  // A profile must outlive its pages: the shown one and any popup catcher
  // still waiting for its deferred delete.
  for (QWebEnginePage* p : findChildren<QWebEnginePage*>(Qt::FindDirectChildrenOnly)) delete p;
}

void TWebBrowser::RequestSeen(const QUrl& url, bool mainFrame, bool mediaResource) {
  bool changed = false;
  if (mainFrame && found_.Count() > 0) {
    // Another page (or this one again): what the last one asked for goes.
    found_.Forget();
    changed = true;
  }
  changed = found_.Record(url, mediaResource) || changed;
  if (changed && OnFoundMediaChanged) OnFoundMediaChanged();
}

void TWebBrowser::CookieAdded(const BrowserCookie& cookie) {
  for (BrowserCookie& c : cookies_)
    if (SameCookie(c, cookie)) {
      c = cookie;
      return;
    }
  cookies_.push_back(cookie);
}

void TWebBrowser::CookieRemoved(const BrowserCookie& cookie) {
  std::erase_if(cookies_, [&](const BrowserCookie& c) { return SameCookie(c, cookie); });
}

BrowsedPage TWebBrowser::CurrentPage() const {
  BrowsedPage page;
  page.address = AddressText(url()).toStdString();
  for (const QString& a : found_.Addresses()) page.media.push_back(a.toStdString());
  page.cookies = cookies_;
  page.userAgent = profile_->httpUserAgent().toStdString();
  return page;
}

void TWebBrowser::Navigate(const QString& address) {
  if (address.trimmed().isEmpty()) return;
  const QUrl url = QUrl::fromUserInput(address);
  if (!url.isValid()) throw std::invalid_argument(("Not a valid address: " + address).toStdString());
  load(url);
}

void TWebBrowser::Stop() { stop(); }

}  // namespace larkvale::browser
