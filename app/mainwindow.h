#pragma once
// The main window: the top bar, the task pane with the three pages, start-up,
// first activation and close. It owns the state the pages share and wires
// the pages' requests to each other; the pages own their widgets and
// handlers.

#include <QMainWindow>
#include <QString>

#include "app/sharedstate.h"
#include "platform/services.h"


namespace larkvale::queue {
class DownloadListStore;
}

namespace larkvale::platform {
class SingleInstance;
}

namespace larkvale::widgets {
class TaskPane;
}

namespace larkvale::app {

class BrowserPage;
class ConverterPage;
class DesktopIntegration;
class DownloadsPanel;
class ExplorerPage;
class OutputChoicesKeeper;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the window and runs start-up; an error there is reported and the
  // window opens with the state set so far.
  explicit MainWindow(const platform::Services& services, QWidget* parent = nullptr);
  ~MainWindow() override;

  enum Page { pgBrowser = 0, pgConverter = 1, pgExplorer = 2 };
  void showPage(Page page);
  Page activePage() const;

  SharedState& state() { return state_; }

  // A URL from outside (the command line, a later start): into the address
  // box as if typed, and Download when it is a watch page.
  void openUrl(const QString& url);
  // Shows the window in front, as a later start asks.
  void bringToFront();
  // Later starts hand their URLs over to this window through `instance`.
  void acceptHandOffs(platform::SingleInstance& instance);
  DesktopIntegration& desktop() { return *desktop_; }

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void connectPages();
  void startUp();
  // The window's own colours from the desktop's palette, again whenever it changes.
  void followDesktopTheme();
  void firstActivation();
  void changeVideoFolder();   // "Change dir"
  void showDownloadFolder();  // "Browse files"
  void showHelp();
  void writeEmail();
  void openWebSite();  // also the task pane's home command and the top bar's label
  QString settingsFile() const;

  platform::Services services_;
  SharedState state_;
  bool activated_ = false;
  widgets::TaskPane* pages_ = nullptr;
  DownloadsPanel* downloads_ = nullptr;
  BrowserPage* browser_ = nullptr;
  ConverterPage* converter_ = nullptr;
  ExplorerPage* explorer_ = nullptr;
  DesktopIntegration* desktop_ = nullptr;
  queue::DownloadListStore* listStore_ = nullptr;
  OutputChoicesKeeper* outputChoices_ = nullptr;  // the converter's choices in the settings file
};

// The support mail's address: a fixed subject, and a body that ends in the
// program's version; encoded as it stands.
QString MailtoAddress(const QString& supportMail);

}  // namespace larkvale::app
