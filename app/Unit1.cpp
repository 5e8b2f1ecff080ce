#include "app/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/clipboardpickup.h"
#include "app/workfolders.h"
#include "extract/siteaddresses.h"
#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/errorreport.h"
#include "platform/filesystem.h"
#include "platform/help.h"
#include "platform/pump.h"
#include "platform/settings.h"

namespace larkvale::app {

using platform::CreateDirIfMissing;

template <class Body>
bool TForm1::Guard(Body&& body) {
  return platform::RunGuarded(*services_.dialogs, QString::fromLatin1(kAppName), std::forward<Body>(body));
}

TForm1::TForm1(const platform::Services& services, QWidget* parent)
    : QMainWindow(parent), services_(services) {
  setObjectName(QStringLiteral("Form1"));
  BuildWindow();
  Guard([this] { FormCreate(); });
}

TForm1::~TForm1() = default;

void TForm1::BuildWindow() {
  QFont font = QApplication::font();
  font.setPointSize(8);
  setFont(font);
  resize(1086, 769);

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  auto* topBar = new QHBoxLayout;
  column->addLayout(topBar);

  mxTaskPanePro1 = new QStackedWidget(central);
  mxTaskPanePro1->setObjectName(QStringLiteral("mxTaskPanePro1"));
  const char* pageNames[] = {"mxTaskPanePagebrowser", "mxTaskPanePageConverter", "mxTaskPanePageExplorer"};
  const char* pageCaptions[] = {"Browser", "Video Converter", "Explorer"};
  for (int i = 0; i < 3; ++i) {
    auto* page = new QWidget(mxTaskPanePro1);
    page->setObjectName(QString::fromLatin1(pageNames[i]));
    page->setWindowTitle(QString::fromLatin1(pageCaptions[i]));
    mxTaskPanePro1->addWidget(page);
  }
  column->addWidget(mxTaskPanePro1, 1);

  const char* topButtons[] = {"Browser", "Converter", "Files"};
  for (int i = 0; i < 3; ++i) {
    auto* button = new QPushButton(QString::fromLatin1(topButtons[i]), central);
    button->setObjectName(QStringLiteral("TopButton%1").arg(topButtons[i]));
    connect(button, &QPushButton::clicked, this, [this, i] { ShowPage(static_cast<Page>(i)); });
    topBar->addWidget(button);
  }
  topBar->addStretch(1);

  QWidget* browserPage = mxTaskPanePro1->widget(pgBrowser);
  auto* browserColumn = new QVBoxLayout(browserPage);
  URLs = new QComboBox(browserPage);
  URLs->setObjectName(QStringLiteral("URLs"));
  URLs->setEditable(true);
  status = new QLabel(browserPage);
  status->setObjectName(QStringLiteral("status"));
  mxTPButton21vdir = new QPushButton(QStringLiteral("Change dir"), browserPage);
  mxTPButton21vdir->setObjectName(QStringLiteral("mxTPButton21vdir"));
  connect(mxTPButton21vdir, &QPushButton::clicked, this, [this] { mxTPButton21vdirClick(); });
  browserColumn->addWidget(URLs);
  browserColumn->addWidget(status);
  browserColumn->addStretch(1);
  browserColumn->addWidget(mxTPButton21vdir);

  setCentralWidget(central);
}

void TForm1::ShowPage(Page page) { mxTaskPanePro1->setCurrentIndex(page); }

TForm1::Page TForm1::ActivePage() const { return static_cast<Page>(mxTaskPanePro1->currentIndex()); }

QString TForm1::SettingsFile() const { return platform::SettingsFilePath(services_.environment.configHome); }

void TForm1::FormCreate() {
  HistoryIndex = -1;
  BrowserHistory.clear();
  FirstDocumentPending = true;

  ShowPage(pgBrowser);

  AppDir = services_.environment.appDir;
  PlayState = QStringLiteral("stop");
  ConverterBusy = false;

  SaveDialogDir = AppDir;

  // Pick a watch-page address off the clipboard; the last matching line wins.
  URLs->setEditText(PickWatchAddress(services_.clipboard->Text(), font()));

  AppName = QString::fromLatin1(kAppName);
  const extract::SiteAddresses& sites = extract::SiteAddresses::Current();
  SupportMailAddress = QString::fromStdString(sites.supportMail);
  WebSiteAddress = QString::fromStdString(sites.webSite);

  NavigateStartPage();

  HelpFile = AppDir + QStringLiteral("LarkvaleHelp.html");
  services_.help->SetHelpFile(HelpFile);
  setWindowTitle(AppName);

  // The default tree is created at every start, also when a stored folder
  // points elsewhere.
  VideoDir = services_.environment.homeDir + QStringLiteral("/larkvale");
  CreateDirIfMissing(VideoDir);
  VideoDir = VideoDir + "/" + AppName;
  CreateDirIfMissing(VideoDir);
  TempDir = TempDirOf(VideoDir);
  CreateDirIfMissing(TempDir);
  FlvDir = FlvDirOf(VideoDir);
  CreateDirIfMissing(FlvDir);

  {
    platform::SettingsAccessor accessor(SettingsFile());
    accessor.CreateKey(kSettingsKey);
  }
  bool found = false;
  QString stored;
  {
    platform::SettingsAccessor accessor(SettingsFile());
    accessor.OpenKey(kSettingsKey, false);
    if (accessor.ValueExists(kVideoDirValue)) {
      stored = accessor.ReadString(kVideoDirValue);
      found = true;
    } else {
      accessor.WriteString(kVideoDirValue, VideoDir);
    }
  }
  if (found) {
    // The stored folder itself is not created: a folder that is gone makes
    // the next step fail, and the default tree's flv folder stays in use.
    VideoDir = stored;
    TempDir = TempDirOf(VideoDir);
    CreateDirIfMissing(TempDir);
    FlvDir = FlvDirOf(VideoDir);
    CreateDirIfMissing(FlvDir);
  }

  ComboBox1Change();

  CleanScratchFolder(TempDir);

  ShowExplorerFolder(VideoDir);
}

bool TForm1::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate && !activated_) {
    activated_ = true;
    Guard([this] { FormActivate(); });
  }
  return QMainWindow::event(e);
}

void TForm1::FormActivate() {
  FillConverterLists();
  DownloadsStopped = false;
  mxTPButton9Click();
}

void TForm1::closeEvent(QCloseEvent* e) {
  Guard([this] { FormClose(); });
  QMainWindow::closeEvent(e);
}

void TForm1::FormClose() { DownloadsStopped = true; }

void TForm1::mxTaskPanePro1Close() {
  Guard([this] { close(); });
}

void TForm1::mxTPButton21vdirClick() {
  Guard([this] {
    const QString chosen = services_.dialogs->ChooseFolder(QString(), VideoDir);
    if (chosen.isEmpty()) return;
    VideoDir = chosen;
    {
      platform::SettingsAccessor accessor(SettingsFile());
      accessor.OpenKey(kSettingsKey, false);
      accessor.WriteString(kVideoDirValue, chosen);
    }
    ShowExplorerFolder(VideoDir);
    TempDir = TempDirOf(VideoDir);
    CreateDirIfMissing(TempDir);
    FlvDir = FlvDirOf(VideoDir);
    CreateDirIfMissing(FlvDir);
  });
}

void TForm1::WaitSeconds(int seconds) {
  const std::int64_t start = platform::TickCountMs() / 1000;
  while (platform::TickCountMs() / 1000 < start + seconds) {
    platform::ProcessMessages();
    platform::SleepMs(1);
  }
}

// Filled in by the browser, converter, Explorer and runner code.
void TForm1::NavigateStartPage() {}
void TForm1::ComboBox1Change() {}
void TForm1::ShowExplorerFolder(const QString&) {}
void TForm1::FillConverterLists() {}
void TForm1::mxTPButton9Click() {}

}  // namespace larkvale::app
