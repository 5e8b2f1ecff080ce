#include "app/browserpage.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/downloadspanel.h"
#include "app/pagewidgets.h"
#include "browser/watchhistory.h"
#include "browser/webbrowser.h"
#include "platform/pump.h"
#include "widgets/speedlabel.h"
#include "widgets/statuslabel.h"

namespace larkvale::app {

using browser::IsWatchAddress;
using browser::WatchHistory;

BrowserPage::BrowserPage(const platform::Services& services, const SharedState& state, DownloadsPanel& downloads,
                         QWidget* parent)
    : QWidget(parent), services_(services), state_(state), downloads_(downloads) {
  setObjectName(QStringLiteral("mxTaskPanePagebrowser"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(buildBar());
  // Middle: the embedded browser.
  auto* host = new QWidget(this);
  host->setObjectName(QStringLiteral("BrowserHost"));
  auto* hostLayout = new QVBoxLayout(host);
  hostLayout->setContentsMargins(0, 0, 0, 0);
  column->addWidget(host, 1);
  // Bottom: the download list and its bar.
  column->addWidget(&downloads_);
  buildBrowser(host);
  hostLayout->addWidget(web_);

  connect(address_->lineEdit(), &QLineEdit::returnPressed, this, &BrowserPage::navigateToAddress);
  // Chosen in the list by mouse or arrow keys; the box already shows it.
  connect(address_, &QComboBox::activated, this, &BrowserPage::navigateToAddress);
  connect(browse_, &QPushButton::clicked, this, &BrowserPage::navigateToAddress);
  connect(back_, &QToolButton::clicked, this, &BrowserPage::navigateBack);
  connect(forward_, &QToolButton::clicked, this, &BrowserPage::navigateForward);
  connect(home_, &QToolButton::clicked, this, &BrowserPage::navigateHome);
  connect(stop_, &QPushButton::clicked, this, &BrowserPage::stop);

  buildTabOrder();
  connect(web_, &QWebEngineView::loadFinished, this, &BrowserPage::buildTabOrder);
}

QWidget* BrowserPage::buildBar() {
  // Top strip: address box and its commands, status, downloads switch,
  // home and the large Download button.
  const DownloadsPanel::BarControls controls = downloads_.barControls();
  QWidget* bar = Strip(this, 92);
  auto* barRow = new QHBoxLayout(bar);
  barRow->setContentsMargins(8, 6, 8, 6);
  auto* left = new QVBoxLayout;
  left->addLayout(buildAddressRow(bar));
  auto* statusRow = new QHBoxLayout;
  home_ = new widgets::ImageButton(AppIcon("home"), tr("Home"), QSize(32, 32), bar);
  home_->setObjectName(QStringLiteral("mxImageButton1"));
  statusRow->addWidget(controls.status, 1);
  statusRow->addWidget(controls.speed);
  statusRow->addWidget(controls.downloadsSwitch);
  statusRow->addWidget(home_);
  left->addLayout(statusRow);
  barRow->addLayout(left, 1);
  barRow->addWidget(controls.download);
  return bar;
}

QHBoxLayout* BrowserPage::buildAddressRow(QWidget* bar) {
  auto* addressRow = new QHBoxLayout;
  back_ = IconButton(tr("Back"), QStringLiteral("mxMSButton5"), QStringLiteral("back"), bar);
  forward_ = IconButton(tr("Forward"), QStringLiteral("mxMSButton4"), QStringLiteral("forward"), bar);
  back_->setEnabled(false);
  forward_->setEnabled(false);
  address_ = new QComboBox(bar);
  address_->setObjectName(QStringLiteral("URLs"));
  address_->setEditable(true);
  address_->setInsertPolicy(QComboBox::NoInsert);
  address_->setAccessibleName(tr("Address"));
  // On Linux a combo box is read by its text; the field inside carries the name.
  address_->lineEdit()->setAccessibleName(tr("Address"));
  address_->setMinimumWidth(300);
  address_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  browse_ = TextButton(tr("Browse"), QStringLiteral("mxTPButton4"), bar, QStringLiteral("go"));
  stop_ = TextButton(tr("Stop"), QStringLiteral("mxTPButton3"), bar, QStringLiteral("stop"));
  addressRow->addWidget(back_);
  addressRow->addWidget(forward_);
  addressRow->addWidget(address_, 1);
  addressRow->addWidget(browse_);
  addressRow->addWidget(stop_);
  // Shown once the page has asked for media; Space or Enter opens its list.
  found_ = new QToolButton(bar);
  found_->setObjectName(QStringLiteral("FoundMediaButton"));
  found_->setIcon(AppIcon("download"));
  found_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  found_->setPopupMode(QToolButton::InstantPopup);
  found_->setFocusPolicy(Qt::StrongFocus);
  foundMenu_ = new QMenu(found_);
  foundMenu_->setObjectName(QStringLiteral("FoundMediaMenu"));
  foundMenu_->setAccessibleName(tr("Videos found on this page"));
  found_->setMenu(foundMenu_);
  found_->setVisible(false);
  addressRow->addWidget(found_);
  return addressRow;
}

void BrowserPage::buildBrowser(QWidget* host) {
  web_ = new browser::TWebBrowser(host);
  web_->setObjectName(QStringLiteral("WebBrowser1"));
  web_->setAccessibleName(tr("Web page"));
  web_->OnBeforeNavigate2 = [this](const QString& url) { beforeNavigate(url); };
  web_->OnDocumentComplete = [this](const QString& url) { documentComplete(url); };
  web_->OnProgressChange = [this](int, int) { progressChange(); };
  web_->OnFoundMediaChanged = [this] { showFoundMedia(); };
  showFoundMedia();
  connect(foundMenu_, &QMenu::aboutToShow, this, &BrowserPage::fillFoundMediaMenu);
}

void BrowserPage::buildTabOrder() {
  // Tab goes down the page: the bar, the web page, the list and its input
  // row, the bar under it. The web page takes focus through the widget it
  // shows the page in, which comes with the first navigation and may be
  // replaced: the order is set again then and at every load.
  const DownloadsPanel::BarControls controls = downloads_.barControls();
  QList<QWidget*> order = {back_, forward_, address_, browse_, stop_, found_, controls.downloadsSwitch,
                           home_, controls.download, web_};
  order << downloads_.focusOrder();
  QWidget* previous = nullptr;
  for (QWidget* w : order) {
    if (QWidget* proxy = w->focusProxy()) w = proxy;
    if (w->focusPolicy() == Qt::NoFocus) continue;
    if (previous) setTabOrder(previous, w);
    previous = w;
  }
}

QString BrowserPage::address() const { return address_->currentText(); }

std::optional<browser::BrowsedPage> BrowserPage::browsedPageAt(const QString& address) const {
  // The box may hold a typed address the browser never went to: only the
  // page it shows has finds and a session to lend.
  const QUrl shown = web_->url();
  if (address.trimmed().isEmpty() || shown.isEmpty()) return std::nullopt;
  const QUrl asked = QUrl::fromUserInput(address.trimmed());
  if (asked.adjusted(QUrl::RemoveFragment) != shown.adjusted(QUrl::RemoveFragment)) return std::nullopt;
  return web_->CurrentPage();
}

QStringList BrowserPage::foundMedia() const { return web_->Found().Addresses(); }

void BrowserPage::showFoundMedia() {
  const int n = web_->Found().Count();
  const QString text = n == 1 ? tr("1 video") : tr("%1 videos").arg(n);
  found_->setText(text);
  found_->setAccessibleName(tr("%1 found on this page").arg(text));
  found_->setToolTip(tr("Videos this page asked for: list them, download one or all"));
  found_->setVisible(n > 0);
  if (n == 0 && foundMenu_->isVisible()) foundMenu_->close();
}

void BrowserPage::fillFoundMediaMenu() {
  foundMenu_->clear();
  const browser::BrowsedPage page = web_->CurrentPage();
  for (const std::string& link : page.media) {
    const QUrl url(QString::fromStdString(link));
    QString name = url.fileName().isEmpty() ? url.host() : url.fileName() + QStringLiteral(" (") + url.host() + ')';
    name.replace('&', QStringLiteral("&&"));  // shown as it is, no mnemonics
    QAction* one = foundMenu_->addAction(name);
    one->setToolTip(QString::fromStdString(link));
    one->setStatusTip(QString::fromStdString(link));
    connect(one, &QAction::triggered, this, [this, link, page] { downloads_.queueFound({link}, page); });
  }
  if (page.media.size() > 1) {
    foundMenu_->addSeparator();
    QAction* all = foundMenu_->addAction(tr("Download all %1").arg(page.media.size()));
    all->setObjectName(QStringLiteral("DownloadAllFound"));
    connect(all, &QAction::triggered, this, [this, page] { downloads_.queueFound(page.media, page); });
  }
  foundMenu_->setToolTipsVisible(true);
}

void BrowserPage::showAddress(const QString& address) { address_->setEditText(address); }

void BrowserPage::typeAddress(const QString& address) {
  firstDocumentPending_ = false;
  address_->setEditText(address);
}

void BrowserPage::focusAddress() {
  address_->setFocus(Qt::ShortcutFocusReason);
  address_->lineEdit()->selectAll();
}

void BrowserPage::setStopAlso(std::function<void()> alsoStop) { alsoStop_ = std::move(alsoStop); }

void BrowserPage::navigateStartPage() {
  addressNavigation_ = false;
  web_->Navigate(QString::fromStdString(state_.sites.startPage));
  buildTabOrder();  // the web page's view exists once the first navigation started
}

void BrowserPage::navigateToAddress() {
  Guarded(services_, [this] {
    addressNavigation_ = true;
    web_->Navigate(address_->currentText());
  });
}

void BrowserPage::beforeNavigate(const QString& url) {
  Guarded(services_, [&] {
    if (!IsWatchAddress(url)) return;
    address_->setEditText(url);
    WatchHistory history(history_, historyIndex_);
    history.Visit(url);
    if (addressNavigation_) {
      addressNavigation_ = false;
      QStringList typed;
      for (int i = 0; i < address_->count(); ++i) typed << address_->itemText(i);
      browser::MoveToTop(typed, url);
      address_->clear();
      address_->addItems(typed);
    }
    address_->setEditText(url);
    back_->setEnabled(history.BackEnabled());
    forward_->setEnabled(history.ForwardEnabled());
  });
}

void BrowserPage::documentComplete(const QString& url) {
  Guarded(services_, [&] {
    if (IsWatchAddress(url)) address_->setEditText(url);
    if (firstDocumentPending_) {
      firstDocumentPending_ = false;
      address_->setEditText(QString::fromStdString(state_.sites.sampleWatch));
    }
  });
}

void BrowserPage::progressChange() {
  // Progress events already arrive from the event loop; pumping here only
  // lets other handlers in sooner, and must never nest into itself.
  static bool pumping = false;
  if (pumping) return;
  pumping = true;
  Guarded(services_, [] { platform::ProcessMessages(); });
  pumping = false;
}

void BrowserPage::navigateBack() {
  Guarded(services_, [this] {
    const QString target = WatchHistory(history_, historyIndex_).BackTarget();
    if (target.isEmpty()) return;
    // Grey as soon as the target is the first entry; the position itself
    // moves when the navigation reports the address.
    back_->setEnabled(historyIndex_ != 1);
    address_->setEditText(target);
    navigateToAddress();
  });
}

void BrowserPage::navigateForward() {
  Guarded(services_, [this] {
    const QString target = WatchHistory(history_, historyIndex_).ForwardTarget();
    if (target.isEmpty()) return;
    address_->setEditText(target);
    navigateToAddress();
  });
}

void BrowserPage::navigateHome() {
  Guarded(services_, [this] { web_->Navigate(QString::fromStdString(state_.sites.homePage)); });
}

void BrowserPage::stop() {
  Guarded(services_, [this] {
    // Cuts a running page fetch of the Download action (connected or not, the
    // status line ends at "Disconnected.") and ends a running conversion (and
    // the preview); the queue runner's client is left alone.
    if (alsoStop_) alsoStop_();
    web_->Stop();
  });
}

}  // namespace larkvale::app
