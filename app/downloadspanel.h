#pragma once
// The download list and its controls: the grid with its menu and the bar
// under it, the status line, the downloads switch and the Download button.
// It owns the Download action with the client that fetches watch pages,
// and the queue runner (whose rows make clients of their own), and wires
// them to its widgets.
//
// The browser page places the bar controls (`barControls()`) in its own bar
// and the panel under its web page.

#include <QList>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/sharedstate.h"
#include "browser/pagesession.h"
#include "http/httpclient.h"
#include "platform/services.h"
#include "widgets/colors.h"
#include "widgets/downloadgrid.h"

class QAction;
class QComboBox;
class QSpinBox;
class QMenu;

namespace larkvale::queue {
class DownloadAction;
class QueueRunner;
}  // namespace larkvale::queue
namespace larkvale::widgets {
class ImageButton;
class SpeedLabel;
class StatusLabel;
class StyledButton;
}  // namespace larkvale::widgets

namespace larkvale::app {

class DownloadsPanel : public QWidget {
  Q_OBJECT

 public:
  DownloadsPanel(const platform::Services& services, SharedState& state, QWidget* parent = nullptr);
  ~DownloadsPanel() override;

  // Where the Download action takes its watch-page address from.
  void setAddressSource(std::function<QString()> address);
  // The browser's state when the given address is the page it shows (its
  // finds and session go with the Download); nothing for any other address.
  void setBrowsedPageSource(std::function<std::optional<browser::BrowsedPage>(const QString& address)> source);
  // Queues links the browser found on `page`, each with its session, and
  // starts downloads again if they were stopped.
  void queueFound(const std::vector<std::string>& links, const browser::BrowsedPage& page);

  // The Download action: fetch the watch page, queue its video's link, and
  // start downloads again if they were stopped. The fetch processes window
  // messages, so any handler may run inside it.
  void download();
  // Starts the runner's loop (a pass now) unless downloads are stopped or a
  // loop runs; at the window's first activation and by "Start downloads".
  void startDownloads();
  // "Stop downloads" / "Start downloads".
  void toggleDownloads();
  // Cuts a running page fetch of the Download action; the runner's transfer
  // goes on.
  void stopPageFetch();
  // A double click: opens the row's file, or shows the browser when it has none.
  void openSelectedRow();
  void deleteSelectedRow();
  // "Retry": a failed or stopped row waits again; the next pass takes it.
  void retrySelectedRow();
  // "Stop": the selected row stops (keeping its .part), the others go on.
  void stopSelectedRow();
  // A row's transfer runs.
  bool downloading() const;
  // The window closes: downloads stop, and a running transfer ends now with
  // its row stopped and its .part file kept.
  void stopForClose();

  queue::QueueRunner& runner() { return *runner_; }

  // The text colour of a failed row.
  static constexpr widgets::TColor kFailedRowRed{false, 0, 0xffc00000};

  struct BarControls {
    widgets::StatusLabel* status;
    widgets::SpeedLabel* speed;  // beside the status line
    widgets::StyledButton* downloadsSwitch;
    widgets::ImageButton* download;
  };
  BarControls barControls() const { return {status_, speed_, switch_, downloadButton_}; }
  // The grid, its input row and the bar under it, in Tab order.
  QList<QWidget*> focusOrder() const;

 signals:
  void downloadFinished(const QString& path);  // for the converter's Timeline
  // The runner's download of `url` into `file` ended with an error.
  void downloadFailed(const QString& url, const QString& file, const QString& reason);
  // The row being downloaded, in percent; -1 when none runs or its length is
  // unknown.
  void downloadProgress(int percent);
  void browserPageRequested();                 // a row without a file was opened
  void downloadFolderRequested();              // "Browse files"
  void videoFolderChangeRequested();           // "Change dir"

 private:
  // The constructor's steps: the bar controls, the grid with its menu, the
  // bar under it with its settings, the clients.
  void buildBarControls();
  void buildGrid();
  QWidget* buildGridBar();
  QWidget* buildStreamHeight(QWidget* bar);
  QWidget* buildRateLimit(QWidget* bar);
  QWidget* buildAtOnce(QWidget* bar);
  void buildClients();
  QString settingsFile() const;
  // A choice of the bar, kept in the settings.
  void storeSetting(const QString& name, const QString& value);
  void formatCell(int row, widgets::TColor& text, widgets::FontStyles& style);
  void colorCell(int row, widgets::TColor& cell, widgets::TColor& grid);
  // Says the running rows' progress through `downloadProgress`.
  void showRowProgress();

  const platform::Services& services_;
  SharedState& state_;
  std::function<QString()> address_;
  std::function<std::optional<browser::BrowsedPage>(const QString&)> browsedPage_;
  widgets::StatusLabel* status_ = nullptr;
  widgets::SpeedLabel* speed_ = nullptr;
  widgets::StyledButton* switch_ = nullptr;
  widgets::ImageButton* downloadButton_ = nullptr;
  widgets::DownloadGrid* grid_ = nullptr;
  widgets::StyledButton* browseFiles_ = nullptr;
  widgets::StyledButton* changeDir_ = nullptr;
  QComboBox* streamHeight_ = nullptr;  // "Best", 1080, 720, 480, 360
  QSpinBox* rateLimit_ = nullptr;      // KB/s of all downloads together, 0: none
  QComboBox* atOnce_ = nullptr;        // "Downloads at once", 1 to 8
  int downloadsAtOnce_ = 1;
  QMenu* rowMenu_ = nullptr;
  QAction* retry_ = nullptr;
  QAction* stopRow_ = nullptr;
  // HTTP1 fetches watch pages; the runner's rows have clients of their own.
  std::unique_ptr<http::TNetHTTP> http1_;
  // The action uses HTTP1, the runner its side of the window: declared
  // after them, so they go first.
  class RunnerSide;
  std::unique_ptr<RunnerSide> runnerSide_;
  std::unique_ptr<queue::DownloadAction> action_;
  std::unique_ptr<queue::QueueRunner> runner_;
};

}  // namespace larkvale::app
