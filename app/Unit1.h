#pragma once
// The main window: it owns every component and the state the subsystems
// share (working folders, flags, the download list, the timeline). Its
// handler methods keep their component-and-event names and stay thin; each
// runs its body through the error guard, so an exception ends the action with
// the default error report and the program carries on.
//
// Long operations (transfers, saves, the runner's pause) process window
// messages from their progress callbacks, so every handler may run nested
// inside another one. Handlers talk to a running operation only through the
// shared flags and lists below.
//
// The handlers live in one source file per area: Unit1.cpp (start-up, pages,
// help, Explorer), Unit1_downloads.cpp (download list, Download action,
// runner), Unit1_converter.cpp (converter page), Unit1_browser.cpp (browser).

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QSlider>
#include <QString>
#include <QStringList>
#include <QToolButton>
#include <QTreeView>
#include <memory>

#include "convert/timelinemodel.h"
#include "engine/videoengine.h"
#include "extract/siteaddresses.h"
#include "http/httpclient.h"
#include "platform/services.h"
#include "queue/downloadlist.h"
#include "widgets/buttons.h"
#include "widgets/colors.h"
#include "widgets/downloadgrid.h"
#include "widgets/pathlabel.h"
#include "widgets/statuslabel.h"

namespace larkvale::browser {
class TWebBrowser;
}  // namespace larkvale::browser

namespace larkvale::widgets {
class TaskPane;
class ShellList;
}  // namespace larkvale::widgets
namespace larkvale::queue {
class QueueRunner;
}  // namespace larkvale::queue

namespace larkvale::app {

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the window and runs `FormCreate`; an error there is reported and
  // the window opens with the state set so far.
  explicit TForm1(const platform::Services& services, QWidget* parent = nullptr);
  ~TForm1() override;

  // --- Start-up, activation and shutdown -------------------------------
  void FormCreate();
  void FormActivate();  // first activation only
  void FormClose();
  void mxTaskPanePro1Close();
  void mxTPButton21vdirClick();  // "Change dir"
  // A whole-second wait that keeps the window alive: returns after N - 1 to N
  // seconds, plus the time spent in handlers that run during it.
  void WaitSeconds(int seconds);

  // --- Pages, help and contact ------------------------------------------
  enum Page { pgBrowser = 0, pgConverter = 1, pgExplorer = 2 };
  void ShowPage(Page page);
  Page ActivePage() const;
  void HelpClick();
  void EmailClick();
  void WebSiteClick();  // also the container's home command and the top-bar label
  QString MailtoAddress() const;

  // --- Explorer page ------------------------------------------------------
  void mxTPButton9brwClick();  // "Browse files"
  void ShowLargeIconsClick();
  void ShowSmallIconsClick();
  void ShowListClick();
  void ShowDetailsClick();
  void ShowThumbnailsClick();

  // --- Download list --------------------------------------------------------
  void DownloadGrid1CellFormating(QObject* Sender, int ACol, int ARow, widgets::TColor& TextColor,
                                  widgets::FontStyles& FontStyle, widgets::CellState CellState);
  void DownloadGrid1CellColoring(QObject* Sender, int ACol, int ARow, widgets::TColor& CellColor,
                                 widgets::TColor& GridColor, widgets::CellState CellState);
  void DownloadGrid1DblClick();
  void Delete1Click();

  // --- Download action (HTTP1) -------------------------------------------------
  void Button1Click();
  void HTTP1Status(http::TNetStatus AStatus, const std::string& AStatusText);
  void HTTP1WorkBegin(http::TWorkMode AWorkMode, std::int64_t AWorkCountMax);
  void HTTP1Work(http::TWorkMode AWorkMode, std::int64_t AWorkCount);
  void HTTP1WorkEnd(http::TWorkMode AWorkMode);

  // --- Queue runner (HTTP2) ------------------------------------------------------
  void mxTPButton9Click();   // start the runner loop
  void mxTPButton10Click();  // "Stop downloads" / "Start downloads"
  void HTTP2Status(http::TNetStatus AStatus, const std::string& AStatusText);
  void HTTP2WorkBegin(http::TWorkMode AWorkMode, std::int64_t AWorkCountMax);
  void HTTP2Work(http::TWorkMode AWorkMode, std::int64_t AWorkCount);
  void HTTP2WorkEnd(http::TWorkMode AWorkMode);
  queue::QueueRunner* Runner() const { return runner_.get(); }

  // --- Converter ------------------------------------------------------------------
  // Timeline: rows are appended and selected without loading the preview.
  void AddToTimeline(const QString& path);
  void InsertIntoTimeline(const QString& path, int index);
  void ListView1SelectItem();  // loads the selected row into the preview
  int SelectedTimelineRow() const;
  void mxTPButton11Click();  // "Add video file(s)"
  void mxTPButton12Click();  // "Delete"
  void mxMSButton2Click();   // move up
  void mxMSButton3Click();   // move down
  void MoveTimelineRow(int step);  // both moves: -1 up, +1 down
  // Conversion run. The save inside pumps messages, so every other handler
  // may run nested in it; a second Convert meanwhile is ignored.
  void mxImageButton3Click();
  void VideoEngine1Processing(double iCurPos, double iDuration);
  void VideoEngine1Complete();
  void chkusewmv9Click();
  // Preview.
  void LoadPreview(const QString& path);
  void mxTPButton13Click();  // Play/Stop
  void TrackBar2Change();
  void VideoEngine1Playing(double iCurrent);
  void ConverterClose();  // the window closes: a running save is aborted
  bool Converting() const { return converting_; }
  convert::TimelineModel* Timeline = nullptr;
  TVideoEngine* VideoEngine1 = nullptr;
  QTreeView* ListView1 = nullptr;
  widgets::StyledButton* mxTPButton11 = nullptr;
  widgets::StyledButton* mxTPButton12 = nullptr;
  QToolButton* mxMSButton2 = nullptr;
  QToolButton* mxMSButton3 = nullptr;
  QSlider* TrackBar2 = nullptr;
  widgets::StyledButton* mxTPButton13 = nullptr;
  widgets::PathLabel* PathLabel1 = nullptr;
  QLabel* Label4 = nullptr;   // duration
  QLabel* Label43 = nullptr;  // width
  QLabel* Label44 = nullptr;  // height
  QLabel* Label45 = nullptr;  // frames per second
  QComboBox* ComboBox1 = nullptr;  // "Save as:"
  QLineEdit* txtWidth = nullptr;
  QLineEdit* txtHeight = nullptr;
  QLineEdit* txtFrameRate = nullptr;
  QWidget* Panel1mpeg = nullptr;
  QWidget* Panel1flv = nullptr;
  QWidget* Panel3gp = nullptr;
  QWidget* avipanel = nullptr;
  QWidget* wmvpanel = nullptr;
  QWidget* Panel1wav = nullptr;
  QWidget* Panel1mp3 = nullptr;
  // Number fields of the panels: audio bit rate, channels, sample rate, video bit rate.
  QLineEdit* MpegFields[4] = {};
  QLineEdit* FlvFields[4] = {};
  QComboBox* cbo3gpAudio = nullptr;
  QComboBox* cbo3gpVideo = nullptr;
  QLineEdit* txt3gpSampleRate = nullptr;
  QLineEdit* txt3gpVideoBitrate = nullptr;
  QCheckBox* chkUseVideoCompressor = nullptr;
  QCheckBox* chkUseAudioCompressor = nullptr;
  QComboBox* cboVideoCompressor = nullptr;
  QComboBox* cboAudioCompressor = nullptr;
  QCheckBox* chkusewmv9 = nullptr;
  QComboBox* cbowmv = nullptr;
  QComboBox* cbowmv9 = nullptr;
  QComboBox* cboWavBits = nullptr;
  QLineEdit* txtWavChannels = nullptr;
  QLineEdit* txtWavSampleRate = nullptr;
  QLineEdit* txtMp3Bitrate = nullptr;
  QLineEdit* txtMp3Channels = nullptr;
  QLineEdit* txtMp3SampleRate = nullptr;

  // --- Browser --------------------------------------------------------------
  void NavigateToAddress();
  void WebBrowser1BeforeNavigate2(const QString& URL);
  void WebBrowser1DocumentComplete(const QString& URL);
  // Processes pending messages, so other handlers may run inside it; it
  // never runs inside itself.
  void WebBrowser1ProgressChange(int Progress, int ProgressMax);
  void URLsKeyDown(int Key);
  void URLsClick();
  void mxMSButton9Click();  // "Browse"
  void mxMSButton5Click();  // back
  void mxMSButton4Click();  // forward
  void SpeedButton2Click();  // home
  void mxTPButton3Click();  // "Stop"
  // Set by a navigation from the address box or the arrows; the next watch
  // page then goes to the top of the address box's list.
  bool AddressNavigation = false;
  browser::TWebBrowser* WebBrowser1 = nullptr;

  // --- Shared state -----------------------------------------------------------
  QString AppDir;
  QString AppName;
  QString VideoDir;
  QString TempDir;
  QString FlvDir;
  QString HelpFile;
  QString SaveDialogDir;  // where the converter's save dialog opens
  bool DownloadsStopped = false;
  int CurrentDownloadRow = 0;
  bool ConverterBusy = false;
  QString PlayState = QStringLiteral("stop");
  QStringList BrowserHistory;
  int HistoryIndex = -1;
  bool FirstDocumentPending = true;
  QString SupportMailAddress;
  QString WebSiteAddress;
  extract::SiteAddresses Sites;  // fixed addresses, read from the environment at start-up
  queue::DownloadList* DownloadList = nullptr;
  QStringList ListBox1;  // the lines of the last fetched page
  struct {
    std::int64_t Max = 0;
    std::int64_t Position = 0;
  } ProgressBar1;  // the page fetch's expected size and bytes so far; never shown

  // --- Components ---------------------------------------------------------------
  widgets::TaskPane* mxTaskPanePro1 = nullptr;
  QWidget* mxTaskPanePagebrowser = nullptr;
  QWidget* mxTaskPanePageConverter = nullptr;
  QWidget* mxTaskPanePageExplorer = nullptr;
  // Top bar.
  widgets::StyledButton* BrowserPageButton = nullptr;
  widgets::StyledButton* ConverterPageButton = nullptr;
  widgets::StyledButton* FilesPageButton = nullptr;
  QLabel* WebSiteLabel = nullptr;
  widgets::StyledButton* HelpButton = nullptr;
  widgets::StyledButton* EmailButton = nullptr;
  widgets::StyledButton* WebSiteButton = nullptr;
  // Browser page: bar, browser host, download list.
  QToolButton* mxMSButton5 = nullptr;  // back
  QToolButton* mxMSButton4 = nullptr;  // forward
  QComboBox* URLs = nullptr;
  widgets::StyledButton* mxTPButton4 = nullptr;  // "Browse"
  widgets::StyledButton* mxTPButton3 = nullptr;  // "Stop"
  widgets::StatusLabel* status = nullptr;
  widgets::StyledButton* mxTPButton10 = nullptr;  // "Stop downloads"
  widgets::ImageButton* mxImageButton1 = nullptr;  // home
  widgets::ImageButton* mxImageButton4 = nullptr;  // Download
  QWidget* BrowserHost = nullptr;                  // where the web view sits
  widgets::DownloadGrid* DownloadGrid1 = nullptr;
  QMenu* PopupMenu2 = nullptr;
  QAction* Delete1 = nullptr;
  widgets::StyledButton* mxTPButton9brw = nullptr;  // "Browse files"
  widgets::StyledButton* mxTPButton21vdir = nullptr;
  // Converter page.
  QWidget* TimelineHost = nullptr;     // the Timeline and its buttons
  QWidget* PreviewHost = nullptr;      // the preview player
  QWidget* OutputStripHost = nullptr;  // format choice, fields and panels
  widgets::ImageButton* mxImageButton3 = nullptr;  // Convert
  QLabel* Label2 = nullptr;
  QProgressBar* ProgressBar2 = nullptr;
  widgets::StyledButton* ConverterBackButton = nullptr;
  widgets::StyledButton* ConverterNextButton = nullptr;
  // Explorer page.
  widgets::ShellList* ShellList = nullptr;
  // The two HTTP clients: HTTP1 fetches watch pages, HTTP2 downloads videos.
  // Each has its own connection and cookie store.
  http::TNetHTTP* HTTP1 = nullptr;
  http::TNetHTTP* HTTP2 = nullptr;
  QList<QToolButton*> ViewButtons;
  widgets::StyledButton* ExplorerBackButton = nullptr;

  const platform::Services& Services() const { return services_; }
  QString SettingsFile() const;

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

  // Runs a handler body behind the default error report.
  template <class Body>
  bool Guard(Body&& body);

 private:
  void BuildWindow();
  QWidget* BuildTopBar();
  void BuildBrowserPage(QWidget* page);
  void BuildConverterPage(QWidget* page);
  void BuildExplorerPage(QWidget* page);
  void BuildShortcuts();
  void BuildTabOrder();
  // Filled in by the browser, converter and runner code.
  void BuildBrowserRegion();
  void BuildConverterRegions();
  void NavigateStartPage();
  void ComboBox1Change();
  void FillConverterLists();
  void BuildDownloads();
  void ShowExplorerFolder(const QString& folder);

  platform::Services services_;
  bool activated_ = false;
  std::unique_ptr<http::TNetHTTP> http1_;
  std::unique_ptr<http::TNetHTTP> http2_;
  std::unique_ptr<queue::QueueRunner> runner_;  // uses HTTP2: declared after it, so it goes first
  // Converter.
  bool converting_ = false;     // a save runs
  bool closing_ = false;        // the window closed during a save
  bool selectingByCode_ = false;  // a row is selected without loading it
};

// The icon of the given name from the program's own set.
QIcon AppIcon(const QString& name);

}  // namespace larkvale::app
