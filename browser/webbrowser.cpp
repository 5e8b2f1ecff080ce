#include "browser/webbrowser.h"

#include <QWebEnginePage>
#include <QTimer>
#include <QWebEngineSettings>
#include <stdexcept>

namespace larkvale::browser {
namespace {

// Addresses are reported encoded, as they go over the wire: the Download
// action fetches the address box's text as it stands.
QString AddressText(const QUrl& url) { return QString::fromLatin1(url.toEncoded()); }

}  // namespace

// Reports every navigation request of the page and accepts it.
class TWebBrowser::Page : public QWebEnginePage {
 public:
  Page(TWebBrowser* browser) : QWebEnginePage(browser), browser_(browser) {}

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
  PopupCatcher(TWebBrowser* browser) : QWebEnginePage(browser), browser_(browser) {}

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

QWebEnginePage* TWebBrowser::Page::createWindow(WebWindowType) { return new PopupCatcher(browser_); }

TWebBrowser::TWebBrowser(QWidget* parent) : QWebEngineView(parent) {
  auto* page = new Page(this);
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
}

void TWebBrowser::Navigate(const QString& address) {
  if (address.trimmed().isEmpty()) return;
  const QUrl url = QUrl::fromUserInput(address);
  if (!url.isValid()) throw std::invalid_argument(("Not a valid address: " + address).toStdString());
  load(url);
}

void TWebBrowser::Stop() { stop(); }

}  // namespace larkvale::browser
