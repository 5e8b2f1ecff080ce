#include "app/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>

#include "app/Unit1_p.h"
#include "app/clipboardpickup.h"
#include "browser/webbrowser.h"
#include "extract/siteaddresses.h"
#include "platform/clipboard.h"
#include "platform/filesystem.h"
#include "platform/help.h"
#include "platform/pump.h"
#include "platform/settings.h"
#include "platform/shell.h"
#include "engine/videoengine.h"
#include "platform/version.h"
#include "queue/queuerunner.h"
#include "widgets/accessiblelabel.h"
#include "widgets/shelllist.h"
#include "widgets/taskpane.h"

// The icons are compiled into this static library; make sure the linker
// keeps them.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace larkvale::app {

using platform::CreateDirIfMissing;
using widgets::ImageButton;
using widgets::StyledButton;

QIcon AppIcon(const QString& name) {
  static const bool loaded = (InitIconResources(), true);
  Q_UNUSED(loaded);
  return QIcon(QStringLiteral(":/icons/%1.svg").arg(name));
}

namespace {

const char* const kStyleSheet = R"(
#Central { background: rgb(246, 246, 246); }
#TopBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #dde5ee);
          border-bottom: 1px solid #b4c1cf; }
#TaskPaneHeader { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5a8cc2, stop:1 #2f5f92); }
#TaskPaneCaption { color: white; }
#TaskPaneHeader QToolButton { color: white; }
QWidget[strip="true"] { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f7f9fb, stop:1 #e6ecf2);
                        border-top: 1px solid #ccd6e0; border-bottom: 1px solid #ccd6e0; }
QLabel[caption="true"] { font-weight: bold; color: #2f4f6f; padding: 4px 6px 2px 6px; }
QPushButton[styled="true"] { border: 1px solid #a9b6c4; border-radius: 4px; padding: 3px 10px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #e2e8ef); color: #1f2f3f; }
QPushButton[styled="true"]:hover { border-color: #4f86c0; background: #eaf2fb; }
QPushButton[styled="true"]:pressed { background: #d3e2f2; }
QPushButton[styled="true"]:disabled { color: #9aa6b2; }
QToolButton[imageButton="true"] { border: 1px solid transparent; border-radius: 6px; }
QToolButton[imageButton="true"]:hover { border-color: #9fbfe0; background: #eaf2fb; }
#WebSiteLabel { color: #2f6fb3; text-decoration: underline; }
#status { color: #2f4f6f; }
)";

QWidget* Strip(QWidget* parent, int height) {
  auto* strip = new QWidget(parent);
  strip->setProperty("strip", true);
  strip->setAttribute(Qt::WA_StyledBackground, true);
  if (height > 0) strip->setFixedHeight(height);
  return strip;
}

QLabel* Caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setProperty("caption", true);
  return label;
}

StyledButton* Button(const QString& caption, const QString& objectName, QWidget* parent, const QString& icon = {}) {
  auto* button = new StyledButton(caption, parent);
  button->setObjectName(objectName);
  button->setAccessibleName(caption);
  if (!icon.isEmpty()) button->setIcon(AppIcon(icon));
  return button;
}

QToolButton* ArrowButton(const QString& name, const QString& objectName, const QString& icon, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(objectName);
  button->setIcon(AppIcon(icon));
  button->setIconSize(QSize(22, 22));
  button->setAutoRaise(true);
  button->setToolTip(name);
  button->setAccessibleName(name);
  return button;
}

}  // namespace

TForm1::TForm1(const platform::Services& services, QWidget* parent)
    : QMainWindow(parent), services_(services) {
  // Before the first label exists: interfaces are made once per widget.
  widgets::InstallAccessibleLabels();
  setObjectName(QStringLiteral("Form1"));
  BuildWindow();
  Guard([this] { FormCreate(); });
  BuildTabOrder();  // again: the web page's view exists once the first navigation started
}

TForm1::~TForm1() = default;

// --- Layout -------------------------------------------------------------------

void TForm1::BuildWindow() {
  QFont font = QApplication::font();
  font.setPointSize(8);
  setFont(font);
  resize(1086, 769);
  setWindowIcon(AppIcon(QStringLiteral("app")));
  setStyleSheet(QString::fromLatin1(kStyleSheet));

  DownloadList = new queue::DownloadList(this);

  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("Central"));
  central->setAttribute(Qt::WA_StyledBackground, true);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(BuildTopBar());

  mxTaskPanePro1 = new widgets::TaskPane(central);
  mxTaskPanePro1->setObjectName(QStringLiteral("mxTaskPanePro1"));
  mxTaskPanePagebrowser = new QWidget;
  mxTaskPanePagebrowser->setObjectName(QStringLiteral("mxTaskPanePagebrowser"));
  mxTaskPanePageConverter = new QWidget;
  mxTaskPanePageConverter->setObjectName(QStringLiteral("mxTaskPanePageConverter"));
  mxTaskPanePageExplorer = new QWidget;
  mxTaskPanePageExplorer->setObjectName(QStringLiteral("mxTaskPanePageExplorer"));
  mxTaskPanePro1->AddPage(mxTaskPanePagebrowser, tr("Browser"));
  mxTaskPanePro1->AddPage(mxTaskPanePageConverter, tr("Video Converter"));
  mxTaskPanePro1->AddPage(mxTaskPanePageExplorer, tr("Explorer"));
  connect(mxTaskPanePro1, &widgets::TaskPane::closeClicked, this, [this] { mxTaskPanePro1Close(); });
  connect(mxTaskPanePro1, &widgets::TaskPane::homeClicked, this, [this] { WebSiteClick(); });
  column->addWidget(mxTaskPanePro1, 1);

  BuildBrowserPage(mxTaskPanePagebrowser);
  BuildConverterPage(mxTaskPanePageConverter);
  BuildExplorerPage(mxTaskPanePageExplorer);
  BuildShortcuts();
  BuildDownloads();
  BuildTabOrder();
  connect(WebBrowser1, &QWebEngineView::loadFinished, this, [this] { BuildTabOrder(); });
  setCentralWidget(central);
}

void TForm1::BuildTabOrder() {
  // The browser is built after the download list; Tab goes down the page:
  // the bar, the web page, the list and its input row, the bar under it.
  // The web page takes focus through the widget it shows the page in, which
  // comes with the first navigation and may be replaced: the order is set
  // again then and at every load.
  QList<QWidget*> browserPage = {mxMSButton5, mxMSButton4,    URLs,           mxTPButton4, mxTPButton3,
                                 mxTPButton10, mxImageButton1, mxImageButton4, WebBrowser1, DownloadGrid1->View()};
  for (int c = queue::colUrl; c < queue::colCount; ++c) browserPage << DownloadGrid1->InputCell(c);
  browserPage << mxTPButton9brw << mxTPButton21vdir;
  QWidget* previous = nullptr;
  for (QWidget* w : browserPage) {
    if (QWidget* proxy = w->focusProxy()) w = proxy;
    if (w->focusPolicy() == Qt::NoFocus) continue;
    if (previous) setTabOrder(previous, w);
    previous = w;
  }
}

QWidget* TForm1::BuildTopBar() {
  auto* bar = new QWidget;
  bar->setObjectName(QStringLiteral("TopBar"));
  bar->setAttribute(Qt::WA_StyledBackground, true);
  bar->setFixedHeight(65);

  // Three large page buttons at 8, 120 and 240 pixels from the left.
  const struct {
    widgets::StyledButton** button;
    const char* caption;
    const char* name;
    const char* icon;
    Page page;
    int left;
  } pages[] = {{&BrowserPageButton, "Browser", "BrowserPageButton", "browser", pgBrowser, 8},
               {&ConverterPageButton, "Converter", "ConverterPageButton", "converter", pgConverter, 120},
               {&FilesPageButton, "Files", "FilesPageButton", "files", pgExplorer, 240}};
  for (const auto& p : pages) {
    auto* button = Button(tr(p.caption), QString::fromLatin1(p.name), bar, QString::fromLatin1(p.icon));
    button->setGeometry(p.left, 8, 105, 49);
    button->setIconSize(QSize(24, 24));
    button->setStyleSheet(QStringLiteral("padding: 2px 4px; font-size: 9pt;"));
    const Page page = p.page;
    connect(button, &QPushButton::clicked, this, [this, page] { ShowPage(page); });
    *p.button = button;
  }

  // The right-hand block, 348 pixels wide.
  auto* right = new QWidget(bar);
  right->setObjectName(QStringLiteral("TopBarRight"));
  right->setFixedWidth(348);
  auto* rightColumn = new QVBoxLayout(right);
  rightColumn->setContentsMargins(4, 6, 8, 6);
  rightColumn->setSpacing(4);
  WebSiteLabel = new QLabel(tr("Larkvale_HD on the web: news, tips and updates"), right);
  WebSiteLabel->setObjectName(QStringLiteral("WebSiteLabel"));
  WebSiteLabel->setCursor(Qt::PointingHandCursor);
  WebSiteLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  WebSiteLabel->installEventFilter(this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  HelpButton = Button(tr("Help"), QStringLiteral("HelpButton"), right, QStringLiteral("help"));
  EmailButton = Button(tr("E-mail"), QStringLiteral("EmailButton"), right, QStringLiteral("email"));
  WebSiteButton = Button(tr("Web Site"), QStringLiteral("WebSiteButton"), right, QStringLiteral("website"));
  for (auto* b : {HelpButton, EmailButton, WebSiteButton}) buttons->addWidget(b);
  connect(HelpButton, &QPushButton::clicked, this, [this] { HelpClick(); });
  connect(EmailButton, &QPushButton::clicked, this, [this] { EmailClick(); });
  connect(WebSiteButton, &QPushButton::clicked, this, [this] { WebSiteClick(); });
  rightColumn->addWidget(WebSiteLabel);
  rightColumn->addLayout(buttons);

  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(0, 0, 0, 0);
  row->addStretch(1);
  row->addWidget(right);
  return bar;
}

void TForm1::BuildBrowserPage(QWidget* page) {
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // Top strip: address box and its commands, status, downloads switch,
  // home and the large Download button.
  QWidget* bar = Strip(page, 92);
  auto* barRow = new QHBoxLayout(bar);
  barRow->setContentsMargins(8, 6, 8, 6);
  auto* left = new QVBoxLayout;
  auto* addressRow = new QHBoxLayout;
  mxMSButton5 = ArrowButton(tr("Back"), QStringLiteral("mxMSButton5"), QStringLiteral("back"), bar);
  mxMSButton4 = ArrowButton(tr("Forward"), QStringLiteral("mxMSButton4"), QStringLiteral("forward"), bar);
  mxMSButton5->setEnabled(false);
  mxMSButton4->setEnabled(false);
  URLs = new QComboBox(bar);
  URLs->setObjectName(QStringLiteral("URLs"));
  URLs->setEditable(true);
  URLs->setInsertPolicy(QComboBox::NoInsert);
  URLs->setAccessibleName(tr("Address"));
  // On Linux a combo box is read by its text; the field inside carries the name.
  URLs->lineEdit()->setAccessibleName(tr("Address"));
  URLs->setMinimumWidth(300);
  URLs->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  mxTPButton4 = Button(tr("Browse"), QStringLiteral("mxTPButton4"), bar, QStringLiteral("go"));
  mxTPButton3 = Button(tr("Stop"), QStringLiteral("mxTPButton3"), bar, QStringLiteral("stop"));
  addressRow->addWidget(mxMSButton5);
  addressRow->addWidget(mxMSButton4);
  addressRow->addWidget(URLs, 1);
  addressRow->addWidget(mxTPButton4);
  addressRow->addWidget(mxTPButton3);
  auto* statusRow = new QHBoxLayout;
  status = new widgets::StatusLabel(bar);
  status->setObjectName(QStringLiteral("status"));
  status->setAccessibleName(tr("Status"));
  mxTPButton10 = Button(tr("Stop downloads"), QStringLiteral("mxTPButton10"), bar);
  mxTPButton10->SetImages({AppIcon("queue"), AppIcon("pause"), AppIcon("play")});
  mxTPButton10->SetImageIndex(1);
  mxImageButton1 = new ImageButton(AppIcon("home"), tr("Home"), QSize(32, 32), bar);
  mxImageButton1->setObjectName(QStringLiteral("mxImageButton1"));
  statusRow->addWidget(status, 1);
  statusRow->addWidget(mxTPButton10);
  statusRow->addWidget(mxImageButton1);
  left->addLayout(addressRow);
  left->addLayout(statusRow);
  mxImageButton4 = new ImageButton(AppIcon("download"), tr("Download"), QSize(64, 64), bar);
  mxImageButton4->setObjectName(QStringLiteral("mxImageButton4"));
  mxImageButton4->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  mxImageButton4->setText(tr("Download"));
  barRow->addLayout(left, 1);
  barRow->addWidget(mxImageButton4);
  column->addWidget(bar);

  // Middle: the embedded browser.
  BrowserHost = new QWidget(page);
  BrowserHost->setObjectName(QStringLiteral("BrowserHost"));
  auto* hostLayout = new QVBoxLayout(BrowserHost);
  hostLayout->setContentsMargins(0, 0, 0, 0);
  column->addWidget(BrowserHost, 1);

  // Bottom strip: the download list and its bar.
  auto* bottom = new QWidget(page);
  bottom->setFixedHeight(158);
  auto* bottomColumn = new QVBoxLayout(bottom);
  bottomColumn->setContentsMargins(0, 0, 0, 0);
  bottomColumn->setSpacing(0);
  DownloadGrid1 = new widgets::DownloadGrid(DownloadList, bottom);
  DownloadGrid1->setObjectName(QStringLiteral("DownloadGrid1"));
  DownloadGrid1->OnCellFormating = [this](QObject* s, int c, int r, widgets::TColor& t, widgets::FontStyles& f,
                                          widgets::CellState st) { DownloadGrid1CellFormating(s, c, r, t, f, st); };
  DownloadGrid1->OnCellColoring = [this](QObject* s, int c, int r, widgets::TColor& cell, widgets::TColor& grid,
                                         widgets::CellState st) { DownloadGrid1CellColoring(s, c, r, cell, grid, st); };
  connect(DownloadGrid1, &widgets::DownloadGrid::dblClicked, this, [this] { DownloadGrid1DblClick(); });
  connect(DownloadGrid1, &widgets::DownloadGrid::deleteKeyPressed, this, [this] { Delete1Click(); });
  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
  Delete1 = PopupMenu2->addAction(tr("Delete"));
  Delete1->setObjectName(QStringLiteral("Delete1"));
  connect(Delete1, &QAction::triggered, this, [this] { Delete1Click(); });
  DownloadGrid1->SetPopupMenu(PopupMenu2);
  QWidget* gridBar = Strip(bottom, 30);
  auto* gridBarRow = new QHBoxLayout(gridBar);
  gridBarRow->setContentsMargins(6, 2, 6, 2);
  mxTPButton9brw = Button(tr("Browse files"), QStringLiteral("mxTPButton9brw"), gridBar, QStringLiteral("folder"));
  mxTPButton21vdir = Button(tr("Change dir"), QStringLiteral("mxTPButton21vdir"), gridBar, QStringLiteral("changedir"));
  connect(mxTPButton9brw, &QPushButton::clicked, this, [this] { mxTPButton9brwClick(); });
  connect(mxTPButton21vdir, &QPushButton::clicked, this, [this] { mxTPButton21vdirClick(); });
  gridBarRow->addWidget(mxTPButton9brw);
  gridBarRow->addWidget(mxTPButton21vdir);
  gridBarRow->addStretch(1);
  bottomColumn->addWidget(DownloadGrid1, 1);
  bottomColumn->addWidget(gridBar);
  column->addWidget(bottom);

  BuildBrowserRegion();
}

void TForm1::BuildConverterPage(QWidget* page) {
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(Caption(tr("Video:"), page));

  // Middle: the Timeline on the left, 507 pixels wide, and the preview.
  auto* middle = new QHBoxLayout;
  middle->setContentsMargins(6, 0, 6, 4);
  TimelineHost = new QWidget(page);
  TimelineHost->setObjectName(QStringLiteral("TimelineHost"));
  TimelineHost->setFixedWidth(507);
  PreviewHost = new QWidget(page);
  PreviewHost->setObjectName(QStringLiteral("PreviewHost"));
  middle->addWidget(TimelineHost);
  middle->addWidget(PreviewHost, 1);
  column->addLayout(middle, 1);

  // The output strip: format choice, fields and panels; Convert at its right.
  column->addWidget(Caption(tr("Output File:"), page));
  QWidget* strip = Strip(page, 123);
  auto* stripRow = new QHBoxLayout(strip);
  stripRow->setContentsMargins(6, 4, 8, 4);
  OutputStripHost = new QWidget(strip);
  OutputStripHost->setObjectName(QStringLiteral("OutputStripHost"));
  mxImageButton3 = new ImageButton(AppIcon("convert"), tr("Convert"), QSize(64, 64), strip);
  mxImageButton3->setObjectName(QStringLiteral("mxImageButton3"));
  mxImageButton3->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  mxImageButton3->setText(tr("Convert"));
  stripRow->addWidget(OutputStripHost, 1);
  stripRow->addWidget(mxImageButton3);
  column->addWidget(strip);

  // Bottom strip: progress, and page navigation.
  QWidget* bottom = Strip(page, 60);
  auto* bottomRow = new QHBoxLayout(bottom);
  bottomRow->setContentsMargins(8, 6, 8, 6);
  Label2 = new QLabel(QStringLiteral("-"), bottom);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setAccessibleName(tr("Conversion status"));
  Label2->setMinimumWidth(140);
  ProgressBar2 = new QProgressBar(bottom);
  ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
  ProgressBar2->setAccessibleName(tr("Conversion progress"));
  ProgressBar2->setTextVisible(false);
  ProgressBar2->setValue(0);
  ConverterBackButton = Button(tr("<- Back"), QStringLiteral("ConverterBackButton"), bottom);
  ConverterNextButton = Button(tr("Next ->"), QStringLiteral("ConverterNextButton"), bottom);
  connect(ConverterBackButton, &QPushButton::clicked, this, [this] { ShowPage(pgBrowser); });
  connect(ConverterNextButton, &QPushButton::clicked, this, [this] { ShowPage(pgExplorer); });
  bottomRow->addWidget(Label2);
  bottomRow->addWidget(ProgressBar2, 1);
  bottomRow->addSpacing(20);
  bottomRow->addWidget(ConverterBackButton);
  bottomRow->addWidget(ConverterNextButton);
  column->addWidget(bottom);

  BuildConverterRegions();
}

void TForm1::BuildExplorerPage(QWidget* page) {
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  ShellList = new widgets::ShellList(page);
  ShellList->setObjectName(QStringLiteral("ShellList"));
  ShellList->OnOpenFile = [this](const QString& path) { services_.shell->Open(QUrl::fromLocalFile(path)); };
  // Pictures of videos for the thumbnail view: their first frame.
  ShellList->SetThumbnailMaker([](const QString& path) {
    const int side = widgets::ShellList::kThumbnailSize;
    return engine::TVideoEngine::GetFileThumbnail(path, QSize(side, side));
  });
  column->addWidget(ShellList, 1);

  QWidget* bottom = Strip(page, 52);
  auto* row = new QHBoxLayout(bottom);
  row->setContentsMargins(8, 4, 8, 4);
  const struct {
    const char* hint;
    const char* icon;
    void (TForm1::*handler)();
  } views[] = {{"Show Large Icons", "largeicons", &TForm1::ShowLargeIconsClick},
               {"Show Small Icons", "smallicons", &TForm1::ShowSmallIconsClick},
               {"Show List", "list", &TForm1::ShowListClick},
               {"Show Details", "details", &TForm1::ShowDetailsClick},
               {"Show Thumbnails", "thumbnails", &TForm1::ShowThumbnailsClick}};
  for (const auto& v : views) {
    auto* button = ArrowButton(tr(v.hint), QString::fromLatin1(v.icon) + "ViewButton", QString::fromLatin1(v.icon),
                               bottom);
    button->setIconSize(QSize(28, 28));
    const auto handler = v.handler;
    connect(button, &QToolButton::clicked, this, [this, handler] { (this->*handler)(); });
    row->addWidget(button);
    ViewButtons << button;
  }
  row->addStretch(1);
  ExplorerBackButton = Button(tr("<- Back"), QStringLiteral("ExplorerBackButton"), bottom);
  connect(ExplorerBackButton, &QPushButton::clicked, this, [this] { ShowPage(pgConverter); });
  row->addWidget(ExplorerBackButton);
  column->addWidget(bottom);
}

void TForm1::BuildShortcuts() {
  const Page pages[] = {pgBrowser, pgConverter, pgExplorer};
  for (int i = 0; i < 3; ++i) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + i)), this);
    const Page page = pages[i];
    connect(shortcut, &QShortcut::activated, this, [this, page] { ShowPage(page); });
  }
}

// --- Start-up and shutdown --------------------------------------------------

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
  Sites = extract::SiteAddresses::FromEnvironment();
  SupportMailAddress = QString::fromStdString(Sites.supportMail);
  WebSiteAddress = QString::fromStdString(Sites.webSite);

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

bool TForm1::eventFilter(QObject* watched, QEvent* e) {
  if (watched == WebSiteLabel && e->type() == QEvent::MouseButtonRelease) WebSiteClick();
  return QMainWindow::eventFilter(watched, e);
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

void TForm1::FormClose() {
  DownloadsStopped = true;
  ConverterClose();
}

void TForm1::mxTaskPanePro1Close() {
  Guard([this] { close(); });
}

void TForm1::mxTPButton21vdirClick() {
  Guard([this] {
    const QString chosen = services_.dialogs->ChooseFolder(tr("Choose the video folder"), VideoDir);
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

// --- Pages, help and contact --------------------------------------------------

void TForm1::ShowPage(Page page) { mxTaskPanePro1->SetActivePage(page); }

TForm1::Page TForm1::ActivePage() const { return static_cast<Page>(mxTaskPanePro1->ActivePage()); }

void TForm1::HelpClick() {
  Guard([this] { services_.help->ShowContents(); });
}

QString TForm1::MailtoAddress() const {
  return QStringLiteral("mailto:") + SupportMailAddress +
         QStringLiteral(
             "?subject=larkvale%20support&body=Hi!%0dMy%20name%20is%20%0d%20Windows%20version%20:%20%0d%20Program%20"
             "version%20:") +
         platform::ProgramVersion();
}

void TForm1::EmailClick() {
  Guard([this] {
    services_.help->ShowTopic(223);
    services_.dialogs->ShowMessage(AppName, QStringLiteral("Please mention your name,  Windows and program version number"));
    // The address goes out as it stands: it is already encoded.
    services_.shell->Open(QUrl::fromEncoded(MailtoAddress().toUtf8(), QUrl::TolerantMode));
  });
}

void TForm1::WebSiteClick() {
  Guard([this] { services_.shell->Open(QUrl(WebSiteAddress)); });
}

// --- Explorer page ------------------------------------------------------------

void TForm1::ShowExplorerFolder(const QString& folder) { ShellList->SetFolder(folder); }

void TForm1::mxTPButton9brwClick() {
  Guard([this] {
    ShowPage(pgExplorer);
    ShellList->SetFolder(VideoDir + QStringLiteral("/flv/"));
  });
}

void TForm1::ShowLargeIconsClick() {
  ShellList->SetThumbnails(false);
  ShellList->SetViewStyle(widgets::ShellList::vsIcon);
}

void TForm1::ShowSmallIconsClick() {
  ShellList->SetThumbnails(false);
  ShellList->SetViewStyle(widgets::ShellList::vsSmallIcon);
}

void TForm1::ShowListClick() {
  ShellList->SetThumbnails(false);
  ShellList->SetViewStyle(widgets::ShellList::vsList);
}

void TForm1::ShowDetailsClick() {
  ShellList->SetThumbnails(false);
  ShellList->SetViewStyle(widgets::ShellList::vsReport);
}

void TForm1::ShowThumbnailsClick() {
  ShellList->SetViewStyle(widgets::ShellList::vsIcon);
  ShellList->SetThumbnails(true);
}

}  // namespace larkvale::app
