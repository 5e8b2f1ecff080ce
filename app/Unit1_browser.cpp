// The embedded browser: navigation, the address box and watch-page history.
#include <QLayout>
#include <QLineEdit>

#include "app/Unit1_p.h"
#include "browser/watchhistory.h"
#include "browser/webbrowser.h"
#include "http/httpclient.h"
#include "platform/pump.h"

namespace larkvale::app {

using browser::IsWatchAddress;
using browser::WatchHistory;

void TForm1::BuildBrowserRegion() {
  WebBrowser1 = new browser::TWebBrowser(BrowserHost);
  WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
  WebBrowser1->setAccessibleName(tr("Web page"));
  BrowserHost->layout()->addWidget(WebBrowser1);
  WebBrowser1->OnBeforeNavigate2 = [this](const QString& url) { WebBrowser1BeforeNavigate2(url); };
  WebBrowser1->OnDocumentComplete = [this](const QString& url) { WebBrowser1DocumentComplete(url); };
  WebBrowser1->OnProgressChange = [this](int progress, int max) { WebBrowser1ProgressChange(progress, max); };

  connect(URLs->lineEdit(), &QLineEdit::returnPressed, this, [this] { URLsKeyDown(Qt::Key_Return); });
  // Chosen in the list by mouse or arrow keys; the box already shows it.
  connect(URLs, &QComboBox::activated, this, [this] { URLsClick(); });
  connect(mxTPButton4, &QPushButton::clicked, this, [this] { mxMSButton9Click(); });
  connect(mxMSButton5, &QToolButton::clicked, this, [this] { mxMSButton5Click(); });
  connect(mxMSButton4, &QToolButton::clicked, this, [this] { mxMSButton4Click(); });
  connect(mxImageButton1, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
  connect(mxTPButton3, &QPushButton::clicked, this, [this] { mxTPButton3Click(); });
}

void TForm1::NavigateStartPage() {
  AddressNavigation = false;
  WebBrowser1->Navigate(QString::fromStdString(Sites.startPage));
}

void TForm1::NavigateToAddress() {
  AddressNavigation = true;
  WebBrowser1->Navigate(URLs->currentText());
}

void TForm1::WebBrowser1BeforeNavigate2(const QString& URL) {
  Guard([&] {
    if (!IsWatchAddress(URL)) return;
    URLs->setEditText(URL);
    WatchHistory history(BrowserHistory, HistoryIndex);
    history.Visit(URL);
    if (AddressNavigation) {
      AddressNavigation = false;
      QStringList typed;
      for (int i = 0; i < URLs->count(); ++i) typed << URLs->itemText(i);
      browser::MoveToTop(typed, URL);
      URLs->clear();
      URLs->addItems(typed);
    }
    URLs->setEditText(URL);
    mxMSButton5->setEnabled(history.BackEnabled());
    mxMSButton4->setEnabled(history.ForwardEnabled());
  });
}

void TForm1::WebBrowser1DocumentComplete(const QString& URL) {
  Guard([&] {
    if (IsWatchAddress(URL)) URLs->setEditText(URL);
    if (FirstDocumentPending) {
      FirstDocumentPending = false;
      URLs->setEditText(QString::fromStdString(Sites.sampleWatch));
    }
  });
}

void TForm1::WebBrowser1ProgressChange(int Progress, int ProgressMax) {
  // Progress events already arrive from the event loop; pumping here only
  // lets other handlers in sooner, and must never nest into itself.
  static bool pumping = false;
  if (pumping) return;
  pumping = true;
  Guard([] { platform::ProcessMessages(); });
  pumping = false;
}

void TForm1::URLsKeyDown(int Key) {
  if (Key != Qt::Key_Return && Key != Qt::Key_Enter) return;
  Guard([this] { NavigateToAddress(); });
}

void TForm1::URLsClick() {
  Guard([this] { NavigateToAddress(); });
}

void TForm1::mxMSButton9Click() {
  Guard([this] { NavigateToAddress(); });
}

void TForm1::mxMSButton5Click() {
  Guard([this] {
    const QString target = WatchHistory(BrowserHistory, HistoryIndex).BackTarget();
    if (target.isEmpty()) return;
    // Grey as soon as the target is the first entry; the position itself
    // moves when the navigation reports the address.
    mxMSButton5->setEnabled(HistoryIndex != 1);
    URLs->setEditText(target);
    NavigateToAddress();
  });
}

void TForm1::mxMSButton4Click() {
  Guard([this] {
    const QString target = WatchHistory(BrowserHistory, HistoryIndex).ForwardTarget();
    if (target.isEmpty()) return;
    URLs->setEditText(target);
    NavigateToAddress();
  });
}

void TForm1::SpeedButton2Click() {
  Guard([this] { WebBrowser1->Navigate(QString::fromStdString(Sites.homePage)); });
}

void TForm1::mxTPButton3Click() {
  Guard([this] {
    // Cuts a running page fetch of the Download action (connected or not, the
    // status line ends at "Disconnected."); the queue runner's client is left
    // alone.
    HTTP1->Disconnect();
    // Ends a running conversion (and the preview) as well.
    VideoEngine1->Abort();
    WebBrowser1->Stop();
  });
}

}  // namespace larkvale::app
