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

#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStackedWidget>
#include <QString>
#include <QStringList>

#include "platform/services.h"

namespace larkvale::app {

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the window and runs `FormCreate`; an error there is reported and
  // the window opens with the state set so far.
  explicit TForm1(const platform::Services& services, QWidget* parent = nullptr);
  ~TForm1() override;

  // Start-up, activation and shutdown.
  void FormCreate();
  void FormActivate();  // first activation only
  void FormClose();
  void mxTaskPanePro1Close();
  // "Change dir".
  void mxTPButton21vdirClick();
  // A whole-second wait that keeps the window alive: returns after N - 1 to N
  // seconds, plus the time spent in handlers that run during it.
  void WaitSeconds(int seconds);

  // Pages of the task pane.
  enum Page { pgBrowser = 0, pgConverter = 1, pgExplorer = 2 };
  void ShowPage(Page page);
  Page ActivePage() const;

  // Shared state.
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

  // Components.
  QComboBox* URLs = nullptr;
  QLabel* status = nullptr;
  QStackedWidget* mxTaskPanePro1 = nullptr;
  QPushButton* mxTPButton21vdir = nullptr;

  const platform::Services& Services() const { return services_; }
  QString SettingsFile() const;

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

  // Runs a handler body behind the default error report.
  template <class Body>
  bool Guard(Body&& body);

 private:
  void BuildWindow();
  // Steps that other areas of the window fill in.
  void NavigateStartPage();
  void ComboBox1Change();
  void ShowExplorerFolder(const QString& folder);
  void FillConverterLists();
  void mxTPButton9Click();

  platform::Services services_;
  bool activated_ = false;
};

}  // namespace larkvale::app
