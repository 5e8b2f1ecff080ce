#include "app/converterpage.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QShortcut>
#include <QSlider>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/outputstrip.h"
#include "app/pagewidgets.h"
#include "convert/conversionrun.h"
#include "convert/outputformats.h"
#include "convert/timelinemodel.h"
#include "convert/timelinestore.h"
#include "engine/probe.h"
#include "engine/videoengine.h"
#include "platform/dialogs.h"
#include "platform/help.h"
#include "widgets/pathlabel.h"

namespace larkvale::app {

using convert::WholeSeconds;
using widgets::StyledButton;

namespace {

constexpr int kTimelineHelpTopic = 1502;

}  // namespace

// --- Layout ----------------------------------------------------------------------

ConverterPage::ConverterPage(const platform::Services& services, SharedState& state, QWidget* parent)
    : QWidget(parent), services_(services), state_(state) {
  setObjectName(QStringLiteral("mxTaskPanePageConverter"));
  probes_.setMaxThreadCount(1);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(Caption(tr("Video:"), this));

  // Middle: the Timeline on the left, 507 pixels wide, and the preview.
  auto* middle = new QHBoxLayout;
  middle->setContentsMargins(6, 0, 6, 4);
  auto* timelineHost = new QWidget(this);
  timelineHost->setObjectName(QStringLiteral("TimelineHost"));
  timelineHost->setFixedWidth(507);
  auto* previewHost = new QWidget(this);
  previewHost->setObjectName(QStringLiteral("PreviewHost"));
  middle->addWidget(timelineHost);
  middle->addWidget(previewHost, 1);
  column->addLayout(middle, 1);

  // The output strip: format choice, fields and panels; Convert at its right.
  column->addWidget(Caption(tr("Output File:"), this));
  QWidget* strip = Strip(this, 123);
  auto* stripRow = new QHBoxLayout(strip);
  stripRow->setContentsMargins(6, 4, 8, 4);
  output_ = new OutputStrip(services_, strip);
  auto* convertButton = new widgets::ImageButton(AppIcon("convert"), tr("Convert"), QSize(64, 64), strip);
  convertButton->setObjectName(QStringLiteral("mxImageButton3"));
  convertButton->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  convertButton->setText(tr("Convert"));
  stripRow->addWidget(output_, 1);
  connect(output_, &OutputStrip::choicesChanged, this, &ConverterPage::outputChoicesChanged);
  stripRow->addWidget(convertButton);
  column->addWidget(strip);

  // Bottom strip: progress, and page navigation.
  QWidget* bottom = Strip(this, 60);
  auto* bottomRow = new QHBoxLayout(bottom);
  bottomRow->setContentsMargins(8, 6, 8, 6);
  progressText_ = new QLabel(QStringLiteral("-"), bottom);
  progressText_->setObjectName(QStringLiteral("Label2"));
  progressText_->setAccessibleName(tr("Conversion status"));
  progressText_->setMinimumWidth(140);
  progress_ = new QProgressBar(bottom);
  progress_->setObjectName(QStringLiteral("ProgressBar2"));
  progress_->setAccessibleName(tr("Conversion progress"));
  progress_->setTextVisible(false);
  progress_->setValue(0);
  auto* back = TextButton(tr("<- Back"), QStringLiteral("ConverterBackButton"), bottom);
  auto* next = TextButton(tr("Next ->"), QStringLiteral("ConverterNextButton"), bottom);
  connect(back, &QPushButton::clicked, this, &ConverterPage::backRequested);
  connect(next, &QPushButton::clicked, this, &ConverterPage::nextRequested);
  bottomRow->addWidget(progressText_);
  bottomRow->addWidget(progress_, 1);
  bottomRow->addSpacing(20);
  bottomRow->addWidget(back);
  bottomRow->addWidget(next);
  column->addWidget(bottom);

  buildTimeline(timelineHost);
  buildPreview(previewHost);
  connect(convertButton, &QToolButton::clicked, this, &ConverterPage::convert);

  run_ = std::make_unique<convert::ConversionRun>(*engine_, *timeline_, state_.converterBusy, *services_.dialogs,
                                                  *services_.help, QString::fromLatin1(kAppName));
  run_->OnStatus = [this](const QString& text) { progressText_->setText(text); };
  run_->OnPosition = [this](int seconds) { progress_->setValue(seconds); };
  // Qt draws a bar whose minimum equals its maximum as busy; with nothing to
  // show it stays an empty bar instead.
  run_->OnMaximum = [this](int seconds) { progress_->setMaximum(std::max(1, seconds)); };
}

ConverterPage::~ConverterPage() {
  // No probe may outlive the page it reports to.
  finishPendingDownloads();
  saveTimeline();
}

void ConverterPage::keepTimeline(const QString& file) {
  if (timelineStore_) return;
  timelineStore_ = new convert::TimelineStore(*timeline_, file, this);
  timelineStore_->Load();
}

void ConverterPage::saveTimeline() {
  if (timelineStore_) timelineStore_->Flush();
}

convert::OutputChoices ConverterPage::outputChoices() const { return output_->choices(); }

void ConverterPage::setOutputChoices(const convert::OutputChoices& choices) { output_->setChoices(choices); }

void ConverterPage::buildTimeline(QWidget* host) {
  timeline_ = new convert::TimelineModel(this);
  auto* column = new QVBoxLayout(host);
  column->setContentsMargins(0, 0, 0, 0);
  list_ = new QTreeView(host);
  list_->setObjectName(QStringLiteral("ListView1"));
  list_->setAccessibleName(tr("Timeline"));
  list_->setToolTip(QStringLiteral("Video files from selected chapter"));
  list_->setModel(timeline_);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setTextElideMode(Qt::ElideMiddle);
  list_->header()->setStretchLastSection(false);
  list_->setColumnWidth(convert::TimelineModel::colFile, 380);
  list_->setColumnWidth(convert::TimelineModel::colStart, 50);
  list_->setColumnWidth(convert::TimelineModel::colEnd, 50);
  column->addWidget(list_, 1);
  auto* buttons = new QHBoxLayout;
  auto* add = TextButton(tr("Add video file(s)"), QStringLiteral("mxTPButton11"), host, QStringLiteral("add"));
  auto* remove = TextButton(tr("Delete"), QStringLiteral("mxTPButton12"), host, QStringLiteral("delete"));
  auto* up = IconButton(tr("Move up"), QStringLiteral("mxMSButton2"), QStringLiteral("up"), host);
  auto* down = IconButton(tr("Move down"), QStringLiteral("mxMSButton3"), QStringLiteral("down"), host);
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addWidget(up);
  buttons->addWidget(down);
  buttons->addStretch(1);
  column->addLayout(buttons);

  connect(add, &QPushButton::clicked, this, &ConverterPage::addVideoFiles);
  connect(remove, &QPushButton::clicked, this, &ConverterPage::deleteSelectedEntry);
  connect(up, &QToolButton::clicked, this, &ConverterPage::moveEntryUp);
  connect(down, &QToolButton::clicked, this, &ConverterPage::moveEntryDown);
  connect(list_, &QAbstractItemView::clicked, this, &ConverterPage::previewSelectedEntry);
  // Keyboard moves through the rows load them as a click would; rows the
  // program selects itself (a finished download) do not.
  connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    if (!selectingByCode_ && QGuiApplication::mouseButtons() == Qt::NoButton) previewSelectedEntry();
  });
  auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), list_, nullptr, nullptr, Qt::WidgetShortcut);
  connect(del, &QShortcut::activated, this, &ConverterPage::deleteSelectedEntry);
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), list_, nullptr, nullptr, Qt::WidgetShortcut);
  connect(help, &QShortcut::activated, this,
          [this] { Guarded(services_, [this] { services_.help->ShowTopic(kTimelineHelpTopic); }); });
}

void ConverterPage::buildPreview(QWidget* host) {
  // The engine's picture, the position bar, Play/Stop, the path and the
  // file's facts.
  auto* column = new QVBoxLayout(host);
  column->setContentsMargins(0, 0, 0, 0);
  engine_ = new engine::TVideoEngine(host);
  engine_->setObjectName(QStringLiteral("VideoEngine1"));
  engine_->setAccessibleName(tr("Preview"));
  engine_->setMinimumSize(160, 120);
  column->addWidget(engine_, 1);
  position_ = new QSlider(Qt::Horizontal, host);
  position_->setObjectName(QStringLiteral("TrackBar2"));
  position_->setAccessibleName(tr("Position"));
  position_->setRange(0, 10);
  column->addWidget(position_);
  auto* playRow = new QHBoxLayout;
  play_ = TextButton(tr("Play"), QStringLiteral("mxTPButton13"), host, QStringLiteral("play"));
  path_ = new widgets::PathLabel(host);
  path_->setObjectName(QStringLiteral("PathLabel1"));
  playRow->addWidget(play_);
  playRow->addWidget(path_, 1);
  column->addLayout(playRow);
  auto* facts = new QGridLayout;
  facts->setHorizontalSpacing(12);
  facts->setVerticalSpacing(2);
  const struct {
    const char* caption;
    const char* name;
    QLabel** value;
    const char* objectName;
  } rows[] = {{"Duration:", "Duration", &duration_, "Label4"},
              {"Width:", "Width", &width_, "Label43"},
              {"Height:", "Height", &height_, "Label44"},
              {"FPS:", "FPS", &frameRate_, "Label45"}};
  int r = 0;
  for (const auto& row : rows) {
    *row.value = new QLabel(QStringLiteral("-"), host);
    (*row.value)->setObjectName(QString::fromLatin1(row.objectName));
    (*row.value)->setAccessibleName(tr(row.name));
    facts->addWidget(new QLabel(tr(row.caption), host), r, 0);
    facts->addWidget(*row.value, r, 1);
    ++r;
  }
  facts->setColumnStretch(1, 1);
  column->addLayout(facts);

  connect(play_, &QPushButton::clicked, this, &ConverterPage::togglePlay);
  connect(position_, &QSlider::valueChanged, this, &ConverterPage::seek);
  engine_->OnPlaying = [this](double current) { showPlayPosition(current); };
}

// --- Output formats ------------------------------------------------------------

void ConverterPage::showFormatPanel() { output_->showFormatPanel(); }

void ConverterPage::fillEngineLists() { output_->fillEngineLists(*engine_); }

// --- Timeline -----------------------------------------------------------------------

int ConverterPage::selectedEntry() const {
  const QModelIndexList rows = list_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.constFirst().row();
}

void ConverterPage::addToTimeline(const QString& path) {
  insertIntoTimeline(path, timeline_->Count(), engine_->GetFileDuration(path));
}

void ConverterPage::addFinishedDownload(const QString& path) {
  auto file = std::make_shared<ProbedFile>();
  file->path = path;
  probed_.push_back(file);
  probes_.start([this, file] {
    file->duration = engine::ProbeFile(file->path.toStdString()).duration;
    file->done.store(true, std::memory_order_release);
    // The page is alive: it waits for this task before it goes.
    QMetaObject::invokeMethod(this, &ConverterPage::appendProbedDownloads, Qt::QueuedConnection);
  });
}

void ConverterPage::appendProbedDownloads() {
  // A later download whose probe was quicker waits for the earlier ones.
  while (!probed_.empty() && probed_.front()->done.load(std::memory_order_acquire)) {
    const std::shared_ptr<ProbedFile> file = probed_.front();
    probed_.pop_front();
    insertIntoTimeline(file->path, timeline_->Count(), file->duration);
  }
}

void ConverterPage::finishPendingDownloads() {
  probes_.waitForDone();
  appendProbedDownloads();
}

void ConverterPage::insertIntoTimeline(const QString& path, int index, double duration) {
  const int row = timeline_->Insert(index, path, duration);
  const QModelIndex at = timeline_->index(row, 0);
  selectingByCode_ = true;
  list_->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  selectingByCode_ = false;
}

void ConverterPage::previewSelectedEntry() {
  Guarded(services_, [this] {
    const int row = selectedEntry();
    if (row >= 0) loadPreview(timeline_->Path(row));
  });
}

void ConverterPage::addVideoFiles() {
  Guarded(services_, [this] {
    const QStringList files = services_.dialogs->GetOpenFileNames(
        tr("Add video file(s)"), state_.flvDir, convert::DialogFilter(QStringLiteral("video|*.flv;*.avi;*.mp4;*.webm;*.mkv;*.mov;*.m4v;*.ogv|all|*.*")));
    if (files.isEmpty()) return;
    for (const QString& file : files) addToTimeline(file);
    previewSelectedEntry();
  });
}

void ConverterPage::deleteSelectedEntry() {
  Guarded(services_, [this] {
    const int row = selectedEntry();
    if (row < 0) return;
    selectingByCode_ = true;
    timeline_->Remove(row);
    // No row takes over the selection: a second Delete must not remove a
    // row the user never chose.
    list_->selectionModel()->clear();
    selectingByCode_ = false;
    previewSelectedEntry();
  });
}

void ConverterPage::moveEntryUp() { moveEntry(-1); }

void ConverterPage::moveEntryDown() { moveEntry(+1); }

void ConverterPage::moveEntry(int step) {
  Guarded(services_, [this, step] {
    const int row = selectedEntry();
    if (row < 0) return;
    // The first row stays on the way up, the last on the way down.
    const int target = row + step;
    if (target >= 0 && target <= timeline_->Count() - 1) {
      const QString path = timeline_->Path(row);
      selectingByCode_ = true;
      timeline_->Remove(row);
      selectingByCode_ = false;
      insertIntoTimeline(path, target, engine_->GetFileDuration(path));
    }
    previewSelectedEntry();
  });
}

// --- Conversion ---------------------------------------------------------------------

void ConverterPage::convert() {
  // The save dialog opens in the video folder; the run refuses a second
  // start while it saves.
  switch (run_->Run(output_->choices(), state_.appDir, state_.videoDir)) {
    case convert::ConversionRun::Outcome::Saved:
      // A batch is announced once, by its last file.
      emit conversionFinished(run_->OutputFile());
      break;
    case convert::ConversionRun::Outcome::Failed: {
      // The log and the notification name why, as the command line does (an
      // input whose pictures do not decode, a folder that cannot be written).
      const QString why = engine_->LastError();
      emit conversionFailed(run_->OutputFile(), why.isEmpty() ? QStringLiteral("Fail to save file")
                                                              : QStringLiteral("Fail to save file: ") + why);
      break;
    }
    default:
      break;
  }
}

bool ConverterPage::converting() const { return run_->Saving(); }

void ConverterPage::stopEngine() { engine_->Abort(); }

void ConverterPage::abortConversion() { run_->AbortForClose(); }

// --- Preview ------------------------------------------------------------------------

void ConverterPage::loadPreview(const QString& path) {
  const double d = engine_->GetFileDuration(path);
  duration_->setText(convert::DurationText(d));
  path_->SetPath(path);
  frameRate_->setText(convert::FrameRateText(engine_->GetFileFrameRate(path)));
  const short width = engine_->GetFileWidth(path);
  const short height = engine_->GetFileHeight(path);
  width_->setText(QString::number(width));
  height_->setText(QString::number(height));
  engine_->VideoSampleSize = 24;
  engine_->OutputFileWidth = width;
  engine_->OutputFileHeight = height;
  engine_->ClearTimeline();
  engine_->AddVideo(path, 0, d, 0);
  engine_->AddAudio(path, 0, d);
  engine_->PreparePreview();
  engine_->StopPreview();
  // Lowering the maximum under the position moves the bar, which seeks.
  position_->setMaximum(std::max(0, WholeSeconds(d)));
}

void ConverterPage::showPlayState(bool playing) {
  playing_ = playing;
  play_->setText(playing ? tr("Stop") : tr("Play"));
  play_->setAccessibleName(playing ? tr("Stop") : tr("Play"));
}

void ConverterPage::togglePlay() {
  Guarded(services_, [this] {
    if (playing_) {
      engine_->StopPreview();
      showPlayState(false);
      return;
    }
    const QString path = path_->Path();
    if (path.isEmpty()) {
      services_.dialogs->ShowMessage(QString::fromLatin1(kAppName),
                                     QStringLiteral("Please select video/image file first"));
      return;
    }
    position_->setMaximum(std::max(0, WholeSeconds(engine_->GetFileDuration(path))));
    engine_->PlayPreview();
    showPlayState(true);
  });
}

void ConverterPage::seek() {
  Guarded(services_, [this] { engine_->Seek(double(position_->value())); });
}

void ConverterPage::showPlayPosition(double seconds) {
  Guarded(services_, [&] {
    if (state_.converterBusy) return;
    position_->setValue(WholeSeconds(seconds));
    if (position_->value() == position_->maximum()) {
      engine_->PreparePreview();
      engine_->StopPreview();
      showPlayState(false);
    }
  });
}

}  // namespace larkvale::app
