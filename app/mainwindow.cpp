#include "app/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

#include "app/browserpage.h"
#include "app/clipboardpickup.h"
#include "app/converterpage.h"
#include "app/desktopintegration.h"
#include "app/downloadspanel.h"
#include "app/explorerpage.h"
#include "app/outputchoiceskeeper.h"
#include "app/pagewidgets.h"
#include "app/proxydialog.h"
#include "app/sharedstate.h"
#include "app/theme.h"
#include "app/topbar.h"
#include "browser/watchhistory.h"
#include "convert/timelinestore.h"
#include "platform/clipboard.h"
#include "platform/composition.h"
#include "platform/dialogs.h"
#include "platform/help.h"
#include "platform/settings.h"
#include "platform/shell.h"
#include "platform/singleinstance.h"
#include "platform/version.h"
#include "queue/downloadlist.h"
#include "queue/liststore.h"
#include "widgets/accessiblebutton.h"
#include "widgets/accessiblelabel.h"
#include "widgets/statuslabel.h"
#include "widgets/taskpane.h"

namespace larkvale::app {

namespace {

constexpr int kEmailHelpTopic = 223;

}  // namespace

MainWindow::MainWindow(const platform::Services& services, QWidget* parent) : QMainWindow(parent), services_(services) {
  // Before the browser's view exists: it fixes how the window is composed.
  platform::ChooseWindowComposition();
  // Before the first label or tool button exists: interfaces are made once
  // per widget.
  widgets::InstallAccessibleLabels();
  widgets::InstallAccessibleButtons();
  setObjectName(QStringLiteral("Form1"));
  QFont font = QApplication::font();
  font.setPointSize(8);
  setFont(font);
  resize(1086, 769);
  setWindowIcon(AppIcon(QStringLiteral("app")));

  state_.downloadList = new queue::DownloadList(this);

  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("Central"));
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto* topBar = new TopBar(central);
  column->addWidget(topBar);

  pages_ = new widgets::TaskPane(central);
  pages_->setObjectName(QStringLiteral("mxTaskPanePro1"));
  downloads_ = new DownloadsPanel(services_, state_);
  browser_ = new BrowserPage(services_, state_, *downloads_);
  converter_ = new ConverterPage(services_, state_);
  explorer_ = new ExplorerPage(services_);
  pages_->AddPage(browser_, tr("Browser"));
  pages_->AddPage(converter_, tr("Video Converter"));
  pages_->AddPage(explorer_, tr("Explorer"));
  column->addWidget(pages_, 1);
  setCentralWidget(central);

  const Page keys[] = {pgBrowser, pgConverter, pgExplorer};
  for (int i = 0; i < 3; ++i) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + i)), this);
    const Page page = keys[i];
    connect(shortcut, &QShortcut::activated, this, [this, page] { showPage(page); });
  }
  // The address box from anywhere, as in web browsers.
  for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::Key_L), QKeySequence(Qt::Key_F6)}) {
    auto* shortcut = new QShortcut(keys, this);
    connect(shortcut, &QShortcut::activated, this, [this] {
      showPage(pgBrowser);
      browser_->focusAddress();
    });
  }
  desktop_ = new DesktopIntegration(this);
  connect(topBar, &TopBar::pageRequested, this, [this](int page) { showPage(static_cast<Page>(page)); });
  connect(topBar, &TopBar::proxyRequested, this, [this] { ChooseProxy(services_, settingsFile(), this); });
  connect(topBar, &TopBar::helpRequested, this, &MainWindow::showHelp);
  connect(topBar, &TopBar::emailRequested, this, &MainWindow::writeEmail);
  connect(topBar, &TopBar::webSiteRequested, this, &MainWindow::openWebSite);
  connectPages();
  followDesktopTheme();
  // The download list and the Timeline of the last run, before anything can
  // add to them; a missing or damaged file starts them empty.
  listStore_ = new queue::DownloadListStore(*state_.downloadList,
                                            queue::DownloadListFilePath(services_.environment.dataHome), this);
  listStore_->Load();
  converter_->keepTimeline(convert::TimelineFilePath(services_.environment.dataHome));
  outputChoices_ = new OutputChoicesKeeper(*converter_, settingsFile(), this);
  Guarded(services_, [this] { startUp(); });
}

MainWindow::~MainWindow() {
  // While the lists still exist: they go with the window's children.
  listStore_->Flush();
  converter_->finishPendingDownloads();
  converter_->saveTimeline();
  outputChoices_->flush();
}

void MainWindow::connectPages() {
  connect(pages_, &widgets::TaskPane::closeClicked, this, [this] { Guarded(services_, [this] { close(); }); });
  connect(pages_, &widgets::TaskPane::homeClicked, this, &MainWindow::openWebSite);
  connect(converter_, &ConverterPage::backRequested, this, [this] { showPage(pgBrowser); });
  connect(converter_, &ConverterPage::nextRequested, this, [this] { showPage(pgExplorer); });
  connect(explorer_, &ExplorerPage::backRequested, this, [this] { showPage(pgConverter); });
  connect(explorer_, &ExplorerPage::statusMessage, this,
          [this](const QString& text) { downloads_->barControls().status->SetText(text); });
  connect(downloads_, &DownloadsPanel::browserPageRequested, this, [this] { showPage(pgBrowser); });
  connect(downloads_, &DownloadsPanel::downloadFolderRequested, this, &MainWindow::showDownloadFolder);
  connect(downloads_, &DownloadsPanel::videoFolderChangeRequested, this, &MainWindow::changeVideoFolder);
  connect(downloads_, &DownloadsPanel::downloadFinished, converter_, &ConverterPage::addFinishedDownload);
  connect(downloads_, &DownloadsPanel::downloadFinished, desktop_, &DesktopIntegration::downloadFinished);
  connect(downloads_, &DownloadsPanel::downloadFailed, desktop_, &DesktopIntegration::downloadFailed);
  connect(downloads_, &DownloadsPanel::downloadProgress, desktop_, &DesktopIntegration::showProgress);
  connect(converter_, &ConverterPage::conversionFinished, desktop_, &DesktopIntegration::conversionFinished);
  connect(converter_, &ConverterPage::conversionFailed, desktop_, &DesktopIntegration::conversionFailed);
  downloads_->setAddressSource([this] { return browser_->address(); });
  downloads_->setBrowsedPageSource([this](const QString& address) { return browser_->browsedPageAt(address); });
  browser_->setStopAlso([this] {
    downloads_->stopPageFetch();
    converter_->stopEngine();
  });
}

// --- Start-up, activation and close ---------------------------------------------

QString MainWindow::settingsFile() const { return platform::SettingsFilePath(services_.environment.configHome); }

void MainWindow::startUp() {
  showPage(pgBrowser);
  state_.appDir = services_.environment.appDir;
  state_.converterBusy = false;
  // Pick a watch-page address off the clipboard; the last matching line wins.
  browser_->showAddress(PickWatchAddress(services_.clipboard->Text(), font()));
  state_.sites = extract::SiteAddresses::FromEnvironment();
  browser_->navigateStartPage();
  services_.help->SetHelpFile(state_.appDir + QStringLiteral("LarkvaleHelp.html"));
  setWindowTitle(QString::fromLatin1(kAppName));

  SetUpWorkFolders(state_, services_.environment.homeDir, settingsFile());
  outputChoices_->restore();
  converter_->showFormatPanel();
  CleanScratchFolder(state_.tempDir);
  explorer_->showFolder(state_.videoDir);
}

void MainWindow::followDesktopTheme() { ApplyTheme(this, Theme::FromDesktop(QGuiApplication::palette())); }

bool MainWindow::event(QEvent* e) {
  // The desktop switched its theme while the program runs.
  if (e->type() == QEvent::ApplicationPaletteChange || e->type() == QEvent::ThemeChange) followDesktopTheme();
  if (e->type() == QEvent::WindowActivate && !activated_) {
    activated_ = true;
    Guarded(services_, [this] { firstActivation(); });
  }
  return QMainWindow::event(e);
}

void MainWindow::firstActivation() {
  converter_->fillEngineLists();
  // The engine's lists exist now: their stored choices can be shown.
  outputChoices_->restore();
  outputChoices_->startKeeping();
  state_.downloadsStopped = false;
  downloads_->startDownloads();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  // Closing in the middle of a transfer or a save asks first.
  bool quit = true;
  Guarded(services_, [&] {
    const QString title = QString::fromLatin1(kAppName);
    if (downloads_->downloading() &&
        !services_.dialogs->AskYesNo(title, QStringLiteral("A download is running. Quit anyway?")))
      quit = false;
    if (quit && converter_->converting() &&
             !services_.dialogs->AskYesNo(title, QStringLiteral("A conversion is running. Quit anyway?")))
      quit = false;
  });
  if (!quit) {
    e->ignore();
    return;
  }
  Guarded(services_, [this] {
    // The transfer ends now with its row stopped and its .part file kept.
    downloads_->stopForClose();
    converter_->abortConversion();
  });
  outputChoices_->flush();
  QMainWindow::closeEvent(e);
}

void MainWindow::openUrl(const QString& url) {
  Guarded(services_, [&] {
    showPage(pgBrowser);
    browser_->typeAddress(url);
    if (browser::IsWatchAddress(url)) downloads_->download();
  });
}

void MainWindow::bringToFront() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void MainWindow::acceptHandOffs(platform::SingleInstance& instance) {
  connect(&instance, &platform::SingleInstance::activationRequested, this, &MainWindow::bringToFront);
  // Queued: the Download it may run processes messages for as long as the
  // fetch lasts, which must not happen inside the socket's own handler.
  connect(&instance, &platform::SingleInstance::urlReceived, this, &MainWindow::openUrl, Qt::QueuedConnection);
}

void MainWindow::changeVideoFolder() {
  Guarded(services_, [this] {
    const QString chosen = services_.dialogs->ChooseFolder(tr("Choose the video folder"), state_.videoDir);
    if (chosen.isEmpty()) return;
    state_.videoDir = chosen;
    StoreVideoDir(settingsFile(), chosen);
    explorer_->showFolder(state_.videoDir);
    CreateWorkFolders(state_);
  });
}

// --- Pages, help and contact ---------------------------------------------------------

void MainWindow::showPage(Page page) { pages_->SetActivePage(page); }

MainWindow::Page MainWindow::activePage() const { return static_cast<Page>(pages_->ActivePage()); }

void MainWindow::showDownloadFolder() {
  Guarded(services_, [this] {
    showPage(pgExplorer);
    explorer_->showFolder(state_.videoDir + QStringLiteral("/flv/"));
  });
}

void MainWindow::showHelp() {
  Guarded(services_, [this] { services_.help->ShowContents(); });
}

void MainWindow::writeEmail() {
  Guarded(services_, [this] {
    services_.help->ShowTopic(kEmailHelpTopic);
    services_.dialogs->ShowMessage(QString::fromLatin1(kAppName),
                                   QStringLiteral("Please mention your name,  Windows and program version number"));
    // The address goes out as it stands: it is already encoded.
    const QString address = MailtoAddress(QString::fromStdString(state_.sites.supportMail));
    services_.shell->Open(QUrl::fromEncoded(address.toUtf8(), QUrl::TolerantMode));
  });
}

void MainWindow::openWebSite() {
  Guarded(services_, [this] { services_.shell->Open(QUrl(QString::fromStdString(state_.sites.webSite))); });
}

QString MailtoAddress(const QString& supportMail) {
  return QStringLiteral("mailto:") + supportMail +
         QStringLiteral(
             "?subject=larkvale%20support&body=Hi!%0dMy%20name%20is%20%0d%20Windows%20version%20:%20%0d%20Program%20"
             "version%20:") +
         platform::ProgramVersion();
}

}  // namespace larkvale::app
