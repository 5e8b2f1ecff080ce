#include "app/downloadspanel.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QTableView>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include "app/pagewidgets.h"
#include "http/ratelimit.h"
#include "platform/workfolders.h"
#include "platform/dialogs.h"
#include "platform/filesystem.h"
#include "platform/pump.h"
#include "platform/settings.h"
#include "platform/shell.h"
#include "http/uri.h"
#include "queue/downloadaction.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "widgets/downloadgrid.h"
#include "widgets/speedlabel.h"
#include "widgets/statuslabel.h"

namespace larkvale::app {

using widgets::TColor;

namespace {

// A whole number stored in the settings key; `fallback` when it is missing,
// not a number ("Best") or out of range.
int StoredNumber(const QString& settingsFile, const QString& name, int fallback, int low, int high) {
  try {
    platform::SettingsAccessor accessor(settingsFile);
    if (!accessor.OpenKey(kSettingsKey, false) || !accessor.ValueExists(name)) return fallback;
    bool ok = false;
    const int value = accessor.ReadString(name).trimmed().toInt(&ok);
    return ok && value >= low && value <= high ? value : fallback;
  } catch (const std::exception&) {
    return fallback;
  }
}

// The silence limits from the settings, in whole seconds ("idletimeout": no
// byte for that long ends a transfer; "headtimeout": a reply head must be
// complete within it; 0: no limit). A value that is missing or not such a
// number leaves the client's default.
void ApplyStoredLimits(const QString& settingsFile, http::TNetHTTP& client) {
  if (const int idle = StoredNumber(settingsFile, QStringLiteral("idletimeout"), -1, 0, 1'000'000); idle >= 0)
    client.IdleLimitMs = idle * 1000;
  if (const int head = StoredNumber(settingsFile, QStringLiteral("headtimeout"), -1, 0, 1'000'000); head >= 0)
    client.HeadLimitMs = head * 1000;
}

}  // namespace

// What the runner asks of the window and tells it.
class DownloadsPanel::RunnerSide final : public queue::RunnerHost {
 public:
  explicit RunnerSide(DownloadsPanel& panel)
      : panel_(panel), settingsFile_(panel.settingsFile()) {}

  bool Stopped() override { return panel_.state_.downloadsStopped; }
  // HLS and DASH rows: the stored "maxheight" ("Best", 1080, 720, 480 or
  // 360); files and streams: "connections" (1 to 16, default 4); rows from
  // one host and port: "perhost" (1 to 8, default 2). The file is read
  // again at most every few seconds: rows start by the hundred.
  queue::RunnerSettings Settings() override {
    if (!read_.isValid() || read_.elapsed() >= kReadAgainMs) {
      stored_.maxHeight = StoredNumber(settingsFile_, QStringLiteral("maxheight"), 0, 1, 100000);
      stored_.connections = StoredNumber(settingsFile_, QStringLiteral("connections"), 4, 1, 16);
      stored_.perHost = StoredNumber(settingsFile_, QStringLiteral("perhost"), queue::QueueRunner::kPerHost, 1,
                                     queue::QueueRunner::kMaxAtOnce);
      read_.start();
    }
    queue::RunnerSettings settings = stored_;
    settings.folder = panel_.state_.flvDir;
    settings.atOnce = panel_.downloadsAtOnce_;
    return settings;
  }
  // A setting was changed in the window: read them again at the next row.
  void SettingsChanged() { read_.invalidate(); }
  std::pair<int, int> ShownRows() override {
    const QTableView* view = panel_.grid_->View();
    const int first = view->rowAt(0);
    const int last = view->rowAt(view->viewport()->height() - 1);
    return {first, last < 0 ? panel_.state_.downloadList->RowCount() - 1 : last};
  }
  void PumpMessages() override { platform::ProcessMessages(); }
  bool AtTopLevel() override { return platform::AtTopLevel(); }
  std::unique_ptr<http::TNetHTTP> NewClient() override {
    std::unique_ptr<http::TNetHTTP> client = RunnerHost::NewClient();
    ApplyStoredLimits(settingsFile_, *client);
    return client;
  }

  void Status(const QString& text) override { panel_.status_->SetText(text); }
  void RowDone(const QString& file) override { emit panel_.downloadFinished(file); }
  void RowFailed(const QString& link, const QString& file, const QString& error) override {
    // The log and the desktop's notice show the link without a password.
    emit panel_.downloadFailed(QString::fromStdString(http::AddressWithoutCredentials(link.toStdString())), file,
                               error);
  }
  // A full disk stops the downloads as the switch does; it then reads "Start downloads".
  void DiskFull() override {
    if (!panel_.state_.downloadsStopped) panel_.toggleDownloads();
  }
  void PassFailed(std::exception_ptr error) override {
    Guarded(panel_.services_, [&] { std::rethrow_exception(error); });
  }
  void Received(std::int64_t bytes) override {
    if (bytes == 0) panel_.speed_->Begin(0);
    if (bytes < 0) {
      panel_.speed_->End();
      emit panel_.downloadProgress(-1);
      return;
    }
    panel_.speed_->Work(bytes);
    panel_.showRowProgress();
  }
  // One row running: its body's length gives the time left.
  void BodyBegan(std::int64_t announced) override {
    panel_.speed_->Begin(announced);
    panel_.showRowProgress();
  }

 private:
  static constexpr int kReadAgainMs = 3000;
  DownloadsPanel& panel_;
  const QString settingsFile_;
  QElapsedTimer read_;
  queue::RunnerSettings stored_;
};

DownloadsPanel::DownloadsPanel(const platform::Services& services, SharedState& state, QWidget* parent)
    : QWidget(parent), services_(services), state_(state) {
  setObjectName(QStringLiteral("DownloadsPanel"));
  buildBarControls();
  // The list and the bar under it.
  setFixedHeight(158);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  buildGrid();
  column->addWidget(grid_, 1);
  column->addWidget(buildGridBar());
  buildClients();
}

QString DownloadsPanel::settingsFile() const { return platform::SettingsFilePath(services_.environment.configHome); }

void DownloadsPanel::storeSetting(const QString& name, const QString& value) {
  Guarded(services_, [&] {
    platform::SettingsAccessor accessor(settingsFile());
    accessor.OpenKey(kSettingsKey, true);
    accessor.WriteString(name, value);
  });
}

void DownloadsPanel::buildBarControls() {
  // The browser page lays them out in its bar.
  status_ = new widgets::StatusLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setAccessibleName(tr("Status"));
  speed_ = new widgets::SpeedLabel(this);
  speed_->setObjectName(QStringLiteral("SpeedLabel"));
  speed_->setAccessibleName(tr("Speed and time left"));
  switch_ = TextButton(tr("Stop downloads"), QStringLiteral("mxTPButton10"), this);
  switch_->SetImages({AppIcon("queue"), AppIcon("pause"), AppIcon("play")});
  switch_->SetImageIndex(1);
  downloadButton_ = new widgets::ImageButton(AppIcon("download"), tr("Download"), QSize(64, 64), this);
  downloadButton_->setObjectName(QStringLiteral("mxImageButton4"));
  downloadButton_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  downloadButton_->setText(tr("Download"));
}

void DownloadsPanel::buildGrid() {
  grid_ = new widgets::DownloadGrid(state_.downloadList, this);
  grid_->setObjectName(QStringLiteral("DownloadGrid1"));
  grid_->OnCellFormating = [this](QObject*, int, int row, TColor& text, widgets::FontStyles& style,
                                  widgets::CellState) { formatCell(row, text, style); };
  grid_->OnCellColoring = [this](QObject*, int, int row, TColor& cell, TColor& grid, widgets::CellState) {
    colorCell(row, cell, grid);
  };
  connect(grid_, &widgets::DownloadGrid::dblClicked, this, &DownloadsPanel::openSelectedRow);
  connect(grid_, &widgets::DownloadGrid::deleteKeyPressed, this, &DownloadsPanel::deleteSelectedRow);
  rowMenu_ = new QMenu(this);
  rowMenu_->setObjectName(QStringLiteral("PopupMenu2"));
  QAction* remove = rowMenu_->addAction(tr("Delete"));
  remove->setObjectName(QStringLiteral("Delete1"));
  connect(remove, &QAction::triggered, this, &DownloadsPanel::deleteSelectedRow);
  retry_ = rowMenu_->addAction(tr("Retry"));
  retry_->setObjectName(QStringLiteral("Retry1"));
  connect(retry_, &QAction::triggered, this, &DownloadsPanel::retrySelectedRow);
  stopRow_ = rowMenu_->addAction(tr("Stop"));
  stopRow_->setObjectName(QStringLiteral("StopRow1"));
  connect(stopRow_, &QAction::triggered, this, &DownloadsPanel::stopSelectedRow);
  // Only a failed or stopped row can wait again; only a running or waiting
  // one can stop.
  connect(rowMenu_, &QMenu::aboutToShow, this, [this] {
    const bool selected = grid_->SelectedRow() >= 0;
    const queue::RowState s = state_.downloadList->State(grid_->SelectedRow());
    retry_->setEnabled(selected && (s == queue::RowState::Failed || s == queue::RowState::Stopped));
    stopRow_->setEnabled(selected && (s == queue::RowState::Downloading || s == queue::RowState::Waiting));
  });
  grid_->SetPopupMenu(rowMenu_);
}

QWidget* DownloadsPanel::buildGridBar() {
  QWidget* gridBar = Strip(this, 30);
  auto* gridBarRow = new QHBoxLayout(gridBar);
  gridBarRow->setContentsMargins(6, 2, 6, 2);
  browseFiles_ = TextButton(tr("Browse files"), QStringLiteral("mxTPButton9brw"), gridBar, QStringLiteral("folder"));
  changeDir_ = TextButton(tr("Change dir"), QStringLiteral("mxTPButton21vdir"), gridBar, QStringLiteral("changedir"));
  connect(browseFiles_, &QPushButton::clicked, this, &DownloadsPanel::downloadFolderRequested);
  connect(changeDir_, &QPushButton::clicked, this, &DownloadsPanel::videoFolderChangeRequested);
  gridBarRow->addWidget(browseFiles_);
  gridBarRow->addWidget(changeDir_);
  // Made in this order, which is their Tab order.
  QWidget* height = buildStreamHeight(gridBar);
  QWidget* atOnce = buildAtOnce(gridBar);
  QWidget* rate = buildRateLimit(gridBar);
  gridBarRow->addSpacing(12);
  gridBarRow->addWidget(height);
  gridBarRow->addSpacing(6);
  gridBarRow->addWidget(rate);
  gridBarRow->addSpacing(12);
  auto* atOnceLabel = new QLabel(tr("Downloads at once:"), gridBar);
  atOnceLabel->setBuddy(atOnce);
  gridBarRow->addWidget(atOnceLabel);
  gridBarRow->addWidget(atOnce);
  gridBarRow->addStretch(1);
  return gridBar;
}

QWidget* DownloadsPanel::buildStreamHeight(QWidget* bar) {
  // The tallest picture an HLS or DASH stream is fetched in, kept in the
  // settings as "maxheight".
  streamHeight_ = new QComboBox(bar);
  streamHeight_->setObjectName(QStringLiteral("StreamHeight"));
  streamHeight_->setAccessibleName(tr("Stream quality"));
  streamHeight_->setToolTip(tr("The tallest picture a streamed video (HLS, DASH) is downloaded in"));
  streamHeight_->addItems({tr("Best"), QStringLiteral("1080"), QStringLiteral("720"), QStringLiteral("480"),
                           QStringLiteral("360")});
  const int stored = StoredNumber(settingsFile(), QStringLiteral("maxheight"), 0, 1, 100000);
  if (const int at = streamHeight_->findText(QString::number(stored)); stored > 0 && at >= 0)
    streamHeight_->setCurrentIndex(at);
  connect(streamHeight_, &QComboBox::currentIndexChanged, this, [this](int index) {
    storeSetting(QStringLiteral("maxheight"), index == 0 ? QStringLiteral("Best") : streamHeight_->itemText(index));
    if (runnerSide_) runnerSide_->SettingsChanged();
  });
  return streamHeight_;
}

QWidget* DownloadsPanel::buildRateLimit(QWidget* bar) {
  // The speed limit of all downloads together, in KB/s (0: none), kept in
  // the settings as "ratelimit".
  rateLimit_ = new QSpinBox(bar);
  rateLimit_->setObjectName(QStringLiteral("RateLimit"));
  rateLimit_->setAccessibleName(tr("Speed limit"));
  rateLimit_->setToolTip(tr("The most all downloads together may take, in KB/s (0: no limit)"));
  rateLimit_->setRange(0, 1000000);
  rateLimit_->setSuffix(tr(" KB/s"));
  rateLimit_->setSpecialValueText(tr("No limit"));
  rateLimit_->setValue(StoredNumber(settingsFile(), QStringLiteral("ratelimit"), 0, 0, 1000000));
  http::RateLimit::Global().SetBytesPerSecond(std::int64_t(rateLimit_->value()) * 1024);
  connect(rateLimit_, &QSpinBox::valueChanged, this, [this](int value) {
    http::RateLimit::Global().SetBytesPerSecond(std::int64_t(value) * 1024);
    storeSetting(QStringLiteral("ratelimit"), QString::number(value));
  });
  return rateLimit_;
}

QWidget* DownloadsPanel::buildAtOnce(QWidget* bar) {
  // How many rows download at once, kept in the settings as
  // "downloadsatonce"; 1, the default, downloads them one after the other.
  atOnce_ = new QComboBox(bar);
  atOnce_->setObjectName(QStringLiteral("DownloadsAtOnce"));
  atOnce_->setAccessibleName(tr("Downloads at once"));
  atOnce_->setToolTip(tr("Downloads at once (at most 2 from one server)"));
  for (int n = 1; n <= queue::QueueRunner::kMaxAtOnce; ++n) atOnce_->addItem(QString::number(n));
  downloadsAtOnce_ =
      StoredNumber(settingsFile(), QStringLiteral("downloadsatonce"), 1, 1, queue::QueueRunner::kMaxAtOnce);
  atOnce_->setCurrentIndex(downloadsAtOnce_ - 1);
  connect(atOnce_, &QComboBox::currentIndexChanged, this, [this](int index) {
    downloadsAtOnce_ = index + 1;
    storeSetting(QStringLiteral("downloadsatonce"), QString::number(downloadsAtOnce_));
  });
  return atOnce_;
}

DownloadsPanel::~DownloadsPanel() = default;

void DownloadsPanel::buildClients() {
  http1_ = std::make_unique<http::TNetHTTP>();
  http::ApplyWindowConfiguration(*http1_);
  ApplyStoredLimits(settingsFile(), *http1_);

  action_ = std::make_unique<queue::DownloadAction>(*http1_, *state_.downloadList, [] { platform::ProcessMessages(); });
  action_->OnStatus = [this](const QString& text) { status_->SetText(text); };
  action_->OnQueued = [this](int) {
    if (state_.downloadsStopped) {
      toggleDownloads();
    } else if (runner_->PauseTimer().isActive()) {
      // The runner rests between passes for up to three seconds; a row the
      // user just asked for starts now. The pass still waits for the top
      // level, so this Download finishes first.
      runner_->PauseTimer().start(0);
    }
  };
  // "Best" or a height limit chooses among a page's sources as among a stream's.
  action_->MaxHeight = [this] { return StoredNumber(settingsFile(), QStringLiteral("maxheight"), 0, 1, 100000); };
  action_->OnNoVideo = [this] {
    services_.dialogs->ShowMessage(QString::fromLatin1(kAppName), QStringLiteral("No video"));
  };
  runnerSide_ = std::make_unique<RunnerSide>(*this);
  runner_ = std::make_unique<queue::QueueRunner>(*state_.downloadList, *runnerSide_, state_.currentDownloadRow);

  // HTTP1's events go to the Download action. While HTTP1 waits for the
  // network the window stays live; Stop ends the wait.
  queue::DownloadAction* action = action_.get();
  http1_->OnStatus = [action](http::TNetComponent*, http::TNetStatus, const std::string& t) { action->Status(t); };
  http1_->OnWorkBegin = [action](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action->WorkBegin(n); };
  http1_->OnWork = [action](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action->Work(n); };
  http1_->OnWorkEnd = [action](http::TNetComponent*, http::TWorkMode) { action->WorkEnd(); };
  http1_->OnWaiting = [](http::TNetComponent*) { platform::ProcessMessages(); };

  connect(downloadButton_, &QToolButton::clicked, this, &DownloadsPanel::download);
  connect(switch_, &QPushButton::clicked, this, &DownloadsPanel::toggleDownloads);
}

void DownloadsPanel::setAddressSource(std::function<QString()> address) { address_ = std::move(address); }

QList<QWidget*> DownloadsPanel::focusOrder() const {
  QList<QWidget*> order = {grid_->View()};
  for (int c = queue::colUrl; c < queue::colCount; ++c) order << grid_->InputCell(c);
  order << browseFiles_ << changeDir_ << streamHeight_ << atOnce_;
  return order;
}

// --- The list -------------------------------------------------------------------

void DownloadsPanel::formatCell(int row, TColor& text, widgets::FontStyles& style) {
  // A finished row reads grey and struck through, a failed one red; the row
  // being downloaded reads blue, and blue wins. A stopped or failed row is
  // not finished, whatever its Progress says. The red is a dark one: pure
  // red on white stays under AA contrast.
  const queue::RowState s = state_.downloadList->State(row);
  if (s == queue::RowState::Failed) {
    text = kFailedRowRed;
  } else if (s != queue::RowState::Stopped &&
             state_.downloadList->CellInt(QStringLiteral("ProgressColumn1"), row) == 100) {
    text = TColor::System(widgets::clGrayTextIndex);
    style |= widgets::fsStrikeOut;
  }
  if (row == state_.currentDownloadRow || s == queue::RowState::Downloading) text = TColor::Rgb(0, 0, 255);
}

void DownloadsPanel::colorCell(int row, TColor& cell, TColor& grid) {
  if (row % 2 == 0) {
    cell = TColor::System(widgets::clMenuBarIndex);
    grid = TColor::System(widgets::clMenuBarIndex);
  }
}

void DownloadsPanel::openSelectedRow() {
  Guarded(services_, [this] {
    const int row = grid_->SelectedRow();
    if (row < 0) return;
    // A partial (.part) file is not the download: treated as no file.
    const QString path = state_.downloadList->CellText(queue::colFile, row);
    if (platform::FileExists(path) && !queue::IsPartFileName(path))
      services_.shell->Open(QUrl::fromLocalFile(path));
    else
      emit browserPageRequested();
  });
}

void DownloadsPanel::deleteSelectedRow() {
  Guarded(services_, [this] {
    const int row = grid_->SelectedRow();
    if (row >= 0) state_.downloadList->DeleteRow(row);
  });
}

void DownloadsPanel::retrySelectedRow() {
  Guarded(services_, [this] { state_.downloadList->MakeWaiting(grid_->SelectedRow()); });
}

void DownloadsPanel::stopSelectedRow() {
  Guarded(services_, [this] { runner_->StopRow(grid_->SelectedRow()); });
}

// --- The Download action --------------------------------------------------------

void DownloadsPanel::download() {
  Guarded(services_, [this] {
    const QString address = address_ ? address_() : QString();
    const std::optional<browser::BrowsedPage> browsed =
        browsedPage_ ? browsedPage_(address) : std::optional<browser::BrowsedPage>();
    action_->Run(address.toStdString(), state_.tempDir, state_.sites, browsed ? &*browsed : nullptr);
  });
}

void DownloadsPanel::setBrowsedPageSource(
    std::function<std::optional<browser::BrowsedPage>(const QString& address)> source) {
  browsedPage_ = std::move(source);
}

void DownloadsPanel::queueFound(const std::vector<std::string>& links, const browser::BrowsedPage& page) {
  Guarded(services_, [&] { action_->QueueFound(links, page); });
}

void DownloadsPanel::stopPageFetch() { action_->Stop(); }

// --- The queue runner -----------------------------------------------------------

void DownloadsPanel::startDownloads() { runner_->Start(); }

bool DownloadsPanel::downloading() const { return runner_->Downloading(); }

void DownloadsPanel::stopForClose() {
  state_.downloadsStopped = true;
  action_->Stop();
  runner_->StopTransfer();
  runner_->StopWaits();
}

void DownloadsPanel::toggleDownloads() {
  Guarded(services_, [this] {
    if (state_.downloadsStopped) {
      state_.downloadsStopped = false;
      switch_->setText(tr("Stop downloads"));
      switch_->setAccessibleName(tr("Stop downloads"));
      switch_->SetImageIndex(1);
      startDownloads();
    } else {
      state_.downloadsStopped = true;
      runner_->StopWaits();     // rows waiting for a retry stop now, not at the next pass
      runner_->StopTransfer();  // and running rows now, wherever the window's thread is
      switch_->setText(tr("Start downloads"));
      switch_->setAccessibleName(tr("Start downloads"));
      switch_->SetImageIndex(2);
    }
  });
}

void DownloadsPanel::showRowProgress() { emit downloadProgress(runner_->RunningPercent()); }

}  // namespace larkvale::app
