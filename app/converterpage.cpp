#include "app/converterpage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QShortcut>
#include <QSlider>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "app/pagewidgets.h"
#include "convert/conversionrun.h"
#include "convert/timelinemodel.h"
#include "engine/videoengine.h"
#include "platform/dialogs.h"
#include "platform/help.h"
#include "widgets/pathlabel.h"

namespace larkvale::app {

using convert::OutputFormats;
using convert::Panel;
using convert::RoundHalfEven;
using widgets::StyledButton;

namespace {

constexpr int kTimelineHelpTopic = 1502;

int WholeSeconds(double seconds) { return int(std::clamp<long long>(RoundHalfEven(seconds), INT_MIN, INT_MAX)); }

// A number field with its caption; the accessible name is the caption
// without its colon.
QLineEdit* NumberField(QGridLayout* grid, int row, int column, const QString& caption, const QString& value,
                       const QString& objectName, QWidget* parent) {
  auto* edit = new QLineEdit(value, parent);
  edit->setObjectName(objectName);
  QString name = caption;
  if (name.endsWith(QLatin1Char(':'))) name.chop(1);
  edit->setAccessibleName(name);
  edit->setFixedWidth(70);
  auto* label = new QLabel(caption, parent);
  label->setBuddy(edit);
  grid->addWidget(label, row, column);
  grid->addWidget(edit, row, column + 1);
  return edit;
}

QComboBox* ListField(QGridLayout* grid, int row, int column, const QString& caption, const QStringList& items,
                     int selected, const QString& objectName, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(objectName);
  combo->addItems(items);
  combo->setCurrentIndex(selected);
  QString name = caption;
  if (name.endsWith(QLatin1Char(':'))) name.chop(1);
  combo->setAccessibleName(name);
  auto* label = new QLabel(caption, parent);
  label->setBuddy(combo);
  grid->addWidget(label, row, column);
  grid->addWidget(combo, row, column + 1);
  return combo;
}

QWidget* SettingsPanel(const QString& name, const QString& objectName, QWidget* parent, QGridLayout** grid) {
  auto* panel = new QWidget(parent);
  panel->setObjectName(objectName);
  panel->setAccessibleName(name);
  *grid = new QGridLayout(panel);
  (*grid)->setContentsMargins(0, 0, 0, 0);
  (*grid)->setHorizontalSpacing(6);
  (*grid)->setVerticalSpacing(4);
  return panel;
}

}  // namespace

// --- Layout ----------------------------------------------------------------------

ConverterPage::ConverterPage(const platform::Services& services, SharedState& state, QWidget* parent)
    : QWidget(parent), services_(services), state_(state) {
  setObjectName(QStringLiteral("mxTaskPanePageConverter"));
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
  auto* outputHost = new QWidget(strip);
  outputHost->setObjectName(QStringLiteral("OutputStripHost"));
  auto* convertButton = new widgets::ImageButton(AppIcon("convert"), tr("Convert"), QSize(64, 64), strip);
  convertButton->setObjectName(QStringLiteral("mxImageButton3"));
  convertButton->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  convertButton->setText(tr("Convert"));
  stripRow->addWidget(outputHost, 1);
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
  buildOutputStrip(outputHost);
  connect(convertButton, &QToolButton::clicked, this, &ConverterPage::convert);

  run_ = std::make_unique<convert::ConversionRun>(*engine_, *timeline_, state_.converterBusy, *services_.dialogs,
                                                  *services_.help, QString::fromLatin1(kAppName));
  run_->OnStatus = [this](const QString& text) { progressText_->setText(text); };
  run_->OnPosition = [this](int seconds) { progress_->setValue(seconds); };
  run_->OnMaximum = [this](int seconds) { progress_->setMaximum(seconds); };
}

ConverterPage::~ConverterPage() = default;

void ConverterPage::buildTimeline(QWidget* host) {
  timeline_ = new convert::TimelineModel(this);
  auto* column = new QVBoxLayout(host);
  column->setContentsMargins(0, 0, 0, 0);
  list_ = new QTreeView(host);
  list_->setObjectName(QStringLiteral("ListView1"));
  list_->setAccessibleName(tr("Timeline"));
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

void ConverterPage::buildOutputStrip(QWidget* host) {
  // "Save as:", the common fields, then one panel at a time.
  auto* stripRow = new QHBoxLayout(host);
  stripRow->setContentsMargins(0, 0, 0, 0);
  stripRow->setSpacing(16);
  auto* common = new QGridLayout;
  common->setVerticalSpacing(4);
  format_ = new QComboBox(host);
  format_->setObjectName(QStringLiteral("ComboBox1"));
  format_->setAccessibleName(tr("Save as"));
  for (const auto& f : OutputFormats()) format_->addItem(f.entry);
  format_->setCurrentIndex(convert::kDefaultFormat);
  auto* saveAs = new QLabel(tr("Save as:"), host);
  saveAs->setBuddy(format_);
  common->addWidget(saveAs, 0, 0);
  common->addWidget(format_, 0, 1);
  fileWidth_ = NumberField(common, 1, 0, tr("File Width"), QStringLiteral("320"), "txtWidth", host);
  fileHeight_ = NumberField(common, 2, 0, tr("File Height"), QStringLiteral("240"), "txtHeight", host);
  fileFrameRate_ = NumberField(common, 3, 0, tr("Frame Rate"), QStringLiteral("25"), "txtFrameRate", host);
  stripRow->addLayout(common);

  auto* panels = new QWidget(host);
  auto* panelStack = new QGridLayout(panels);
  panelStack->setContentsMargins(0, 0, 0, 0);
  QGridLayout* g = nullptr;
  const QString rateCaptions[4] = {tr("Audio bit rate:"), tr("Audio channels:"), tr("Audio sample rate:"),
                                   tr("Video bit rate:")};
  auto fourFields = [&](QWidget* panel, QLineEdit** fields, const char* prefix, const QStringList& values) {
    const char* suffix[4] = {"AudioBitrate", "AudioChannels", "AudioSampleRate", "VideoBitrate"};
    for (int i = 0; i < 4; ++i)
      fields[i] = NumberField(g, i % 2, (i / 2) * 2, rateCaptions[i], values[i],
                              QString::fromLatin1(prefix) + QString::fromLatin1(suffix[i]), panel);
  };
  mpegPanel_ = SettingsPanel(tr("MPEG"), QStringLiteral("Panel1mpeg"), panels, &g);
  fourFields(mpegPanel_, mpegFields_, "txtMpeg", {"224000", "2", "44100", "4600000"});
  flvPanel_ = SettingsPanel(tr("FLV"), QStringLiteral("Panel1flv"), panels, &g);
  fourFields(flvPanel_, flvFields_, "txtFlv", {"128000", "2", "44100", "512000"});
  gp3Panel_ = SettingsPanel(tr("3GP"), QStringLiteral("Panel3gp"), panels, &g);
  gp3Audio_ = ListField(g, 0, 0, tr("Audio:"), {"AAC", "AMR"}, 0, QStringLiteral("cbo3gpAudio"), gp3Panel_);
  gp3Video_ = ListField(g, 1, 0, tr("Video:"), {"MPEG4", "H263"}, 0, QStringLiteral("cbo3gpVideo"), gp3Panel_);
  gp3SampleRate_ = NumberField(g, 0, 2, rateCaptions[2], QStringLiteral("22050"), "txt3gpAudioSampleRate", gp3Panel_);
  gp3VideoBitrate_ = NumberField(g, 1, 2, rateCaptions[3], QStringLiteral("4600000"), "txt3gpVideoBitrate", gp3Panel_);
  aviPanel_ = SettingsPanel(tr("AVI"), QStringLiteral("avipanel"), panels, &g);
  useVideoCompressor_ = new QCheckBox(tr("Use Video Compressor"), aviPanel_);
  useVideoCompressor_->setObjectName(QStringLiteral("chkUseVideoCompressor"));
  videoCompressor_ = new QComboBox(aviPanel_);
  videoCompressor_->setObjectName(QStringLiteral("cboVideoCompressor"));
  videoCompressor_->setAccessibleName(tr("Video compressor"));
  useAudioCompressor_ = new QCheckBox(tr("Use Audio Compressor"), aviPanel_);
  useAudioCompressor_->setObjectName(QStringLiteral("chkUseAudioCompressor"));
  audioCompressor_ = new QComboBox(aviPanel_);
  audioCompressor_->setObjectName(QStringLiteral("cboAudioCompressor"));
  audioCompressor_->setAccessibleName(tr("Audio compressor"));
  g->addWidget(useVideoCompressor_, 0, 0);
  g->addWidget(videoCompressor_, 1, 0);
  g->addWidget(useAudioCompressor_, 0, 1);
  g->addWidget(audioCompressor_, 1, 1);
  wmvPanel_ = SettingsPanel(tr("WMV"), QStringLiteral("wmvpanel"), panels, &g);
  useWmv9_ = new QCheckBox(tr("Use WMV9"), wmvPanel_);
  useWmv9_->setObjectName(QStringLiteral("chkusewmv9"));
  g->addWidget(useWmv9_, 0, 0, 1, 2);
  wmv8Profile_ = ListField(g, 1, 0, tr("WMV 8 Profile"), {}, -1, QStringLiteral("cbowmv"), wmvPanel_);
  wmv9Profile_ = ListField(g, 2, 0, tr("WMV 9 Profile"), {}, -1, QStringLiteral("cbowmv9"), wmvPanel_);
  wavPanel_ = SettingsPanel(tr("WAV"), QStringLiteral("Panel1wav"), panels, &g);
  wavBits_ = ListField(g, 0, 0, rateCaptions[0], {"8 bit", "16 bit"}, 1, QStringLiteral("cboWavBits"), wavPanel_);
  wavChannels_ = NumberField(g, 1, 0, rateCaptions[1], QStringLiteral("2"), "txtWavChannels", wavPanel_);
  wavSampleRate_ = NumberField(g, 0, 2, rateCaptions[2], QStringLiteral("44100"), "txtWavSampleRate", wavPanel_);
  mp3Panel_ = SettingsPanel(tr("MP3"), QStringLiteral("Panel1mp3"), panels, &g);
  mp3Bitrate_ = NumberField(g, 0, 0, rateCaptions[0], QStringLiteral("128"), "txtMp3Bitrate", mp3Panel_);
  mp3Channels_ = NumberField(g, 1, 0, rateCaptions[1], QStringLiteral("2"), "txtMp3Channels", mp3Panel_);
  mp3SampleRate_ = NumberField(g, 0, 2, rateCaptions[2], QStringLiteral("44100"), "txtMp3SampleRate", mp3Panel_);
  for (QWidget* p : {mpegPanel_, flvPanel_, gp3Panel_, aviPanel_, wmvPanel_, wavPanel_, mp3Panel_})
    panelStack->addWidget(p, 0, 0, Qt::AlignLeft | Qt::AlignTop);
  stripRow->addWidget(panels, 1);

  connect(format_, &QComboBox::currentIndexChanged, this,
          [this] { Guarded(services_, [this] { showFormatPanel(); }); });
  connect(useWmv9_, &QCheckBox::clicked, this, &ConverterPage::useWmv9Changed);
}

// --- Output formats ---------------------------------------------------------------

void ConverterPage::showFormatPanel() {
  QWidget* shown = nullptr;
  switch (OutputFormats().at(size_t(std::max(0, format_->currentIndex()))).panel) {
    case Panel::MPEG: shown = mpegPanel_; break;
    case Panel::FLV: shown = flvPanel_; break;
    case Panel::GP3: shown = gp3Panel_; break;
    case Panel::AVI: shown = aviPanel_; break;
    case Panel::WMV: shown = wmvPanel_; break;
    case Panel::WAV: shown = wavPanel_; break;
    case Panel::MP3: shown = mp3Panel_; break;
    case Panel::None: break;
  }
  for (QWidget* p : {mpegPanel_, flvPanel_, gp3Panel_, aviPanel_, wmvPanel_, wavPanel_, mp3Panel_})
    p->setVisible(p == shown);
}

void ConverterPage::useWmv9Changed() {
  wmv8Profile_->setEnabled(!useWmv9_->isChecked());
  wmv9Profile_->setEnabled(useWmv9_->isChecked());
}

void ConverterPage::fillEngineLists() {
  wmv8Profile_->clear();
  wmv8Profile_->addItems(convert::OfferedWMVProfiles(engine_->WMVProfiles()));
  wmv8Profile_->setCurrentIndex(wmv8Profile_->count() > 0 ? 0 : -1);
  QStringList video, audio;
  for (int i = 0; i < engine_->VideoCompressors().Count(); ++i) video << engine_->VideoCompressors().Name(i);
  for (int i = 0; i < engine_->AudioCompressors().Count(); ++i) audio << engine_->AudioCompressors().Name(i);
  videoCompressor_->clear();
  videoCompressor_->addItems(video);
  audioCompressor_->clear();
  audioCompressor_->addItems(audio);
  wmv9Profile_->clear();
  for (const auto& p : convert::WMV9Profiles()) wmv9Profile_->addItem(p.name);
  wmv9Profile_->setCurrentIndex(0);
  useVideoCompressor_->setChecked(true);
  useAudioCompressor_->setChecked(true);
  if (!video.isEmpty()) videoCompressor_->setCurrentIndex(convert::DefaultVideoCompressor(video));
  if (!audio.isEmpty()) audioCompressor_->setCurrentIndex(convert::DefaultAudioCompressor(audio));
}

// --- Timeline -----------------------------------------------------------------------

int ConverterPage::selectedEntry() const {
  const QModelIndexList rows = list_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.constFirst().row();
}

void ConverterPage::addToTimeline(const QString& path) { insertIntoTimeline(path, timeline_->Count()); }

void ConverterPage::insertIntoTimeline(const QString& path, int index) {
  const int row = timeline_->Insert(index, path, engine_->GetFileDuration(path));
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
        tr("Add video file(s)"), state_.flvDir, convert::DialogFilter(QStringLiteral("video|*.flv;*.avi|all|*.*")));
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
      insertIntoTimeline(path, target);
    }
    previewSelectedEntry();
  });
}

// --- Conversion ---------------------------------------------------------------------

convert::OutputChoices ConverterPage::outputChoices() const {
  convert::OutputChoices choices;
  choices.format = std::max(0, format_->currentIndex());
  choices.width = fileWidth_->text();
  choices.height = fileHeight_->text();
  choices.frameRate = fileFrameRate_->text();
  auto fields = [](QLineEdit* const (&edits)[4]) {
    return convert::AudioVideoFields{edits[0]->text(), edits[1]->text(), edits[2]->text(), edits[3]->text()};
  };
  choices.mpeg = fields(mpegFields_);
  choices.flv = fields(flvFields_);
  choices.gp3AudioCodec = gp3Audio_->currentIndex();
  choices.gp3VideoCodec = gp3Video_->currentIndex();
  choices.gp3AudioSampleRate = gp3SampleRate_->text();
  choices.gp3VideoBitrate = gp3VideoBitrate_->text();
  choices.videoCompressor = std::max(0, videoCompressor_->currentIndex());
  choices.audioCompressor = std::max(0, audioCompressor_->currentIndex());
  choices.useVideoCompressor = useVideoCompressor_->isChecked();
  choices.useAudioCompressor = useAudioCompressor_->isChecked();
  choices.useWMV9 = useWmv9_->isChecked();
  choices.wmv8Profile = wmv8Profile_->currentText();
  choices.wmv9Profile = wmv9Profile_->currentIndex();
  choices.wavBits = std::max(0, wavBits_->currentIndex());
  choices.wavChannels = wavChannels_->text();
  choices.wavSampleRate = wavSampleRate_->text();
  choices.mp3Bitrate = mp3Bitrate_->text();
  choices.mp3Channels = mp3Channels_->text();
  choices.mp3SampleRate = mp3SampleRate_->text();
  return choices;
}

void ConverterPage::convert() {
  // The save dialog opens in the video folder; the run refuses a second
  // start while it saves.
  run_->Run(outputChoices(), state_.appDir, state_.videoDir);
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
