// The converter page: output formats, the Timeline and conversion, the preview.
#include <QCheckBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIntValidator>
#include <QPointer>
#include <QShortcut>
#include <algorithm>
#include <climits>

#include "app/Unit1_p.h"
#include "convert/outputsettings.h"
#include "platform/help.h"
#include "platform/pump.h"

namespace larkvale::app {

using convert::OutputFormats;
using convert::Panel;
using convert::RoundHalfEven;
using widgets::StyledButton;

namespace {

constexpr int kTimelineHelpTopic = 1502;
constexpr int kEmptyTimelineHelpTopic = 223;

int ClampToInt(long long v) { return int(std::clamp<long long>(v, INT_MIN, INT_MAX)); }

QLabel* FieldCaption(const QString& text, QWidget* parent) { return new QLabel(text, parent); }

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
  QLabel* label = FieldCaption(caption, parent);
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
  QLabel* label = FieldCaption(caption, parent);
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

// --- Layout ------------------------------------------------------------------------

void TForm1::BuildConverterRegions() {
  // Timeline and its buttons.
  Timeline = new convert::TimelineModel(this);
  auto* timelineColumn = new QVBoxLayout(TimelineHost);
  timelineColumn->setContentsMargins(0, 0, 0, 0);
  ListView1 = new QTreeView(TimelineHost);
  ListView1->setObjectName(QStringLiteral("ListView1"));
  ListView1->setAccessibleName(tr("Timeline"));
  ListView1->setModel(Timeline);
  ListView1->setRootIsDecorated(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setTextElideMode(Qt::ElideMiddle);
  ListView1->header()->setStretchLastSection(false);
  ListView1->setColumnWidth(convert::TimelineModel::colFile, 380);
  ListView1->setColumnWidth(convert::TimelineModel::colStart, 50);
  ListView1->setColumnWidth(convert::TimelineModel::colEnd, 50);
  timelineColumn->addWidget(ListView1, 1);
  auto* timelineButtons = new QHBoxLayout;
  mxTPButton11 = new StyledButton(tr("Add video file(s)"), TimelineHost);
  mxTPButton11->setObjectName(QStringLiteral("mxTPButton11"));
  mxTPButton11->setAccessibleName(tr("Add video file(s)"));
  mxTPButton11->setIcon(AppIcon(QStringLiteral("add")));
  mxTPButton12 = new StyledButton(tr("Delete"), TimelineHost);
  mxTPButton12->setObjectName(QStringLiteral("mxTPButton12"));
  mxTPButton12->setAccessibleName(tr("Delete"));
  mxTPButton12->setIcon(AppIcon(QStringLiteral("delete")));
  auto arrow = [this](const QString& name, const char* objectName, const char* icon) {
    auto* button = new QToolButton(TimelineHost);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setIcon(AppIcon(QString::fromLatin1(icon)));
    button->setIconSize(QSize(22, 22));
    button->setAutoRaise(true);
    button->setToolTip(name);
    button->setAccessibleName(name);
    return button;
  };
  mxMSButton2 = arrow(tr("Move up"), "mxMSButton2", "up");
  mxMSButton3 = arrow(tr("Move down"), "mxMSButton3", "down");
  timelineButtons->addWidget(mxTPButton11);
  timelineButtons->addWidget(mxTPButton12);
  timelineButtons->addWidget(mxMSButton2);
  timelineButtons->addWidget(mxMSButton3);
  timelineButtons->addStretch(1);
  timelineColumn->addLayout(timelineButtons);

  connect(mxTPButton11, &QPushButton::clicked, this, [this] { mxTPButton11Click(); });
  connect(mxTPButton12, &QPushButton::clicked, this, [this] { mxTPButton12Click(); });
  connect(mxMSButton2, &QToolButton::clicked, this, [this] { mxMSButton2Click(); });
  connect(mxMSButton3, &QToolButton::clicked, this, [this] { mxMSButton3Click(); });
  connect(ListView1, &QAbstractItemView::clicked, this, [this] { ListView1SelectItem(); });
  // Keyboard moves through the rows load them as a click would; rows the
  // program selects itself (a finished download) do not.
  connect(ListView1->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    if (!selectingByCode_ && QGuiApplication::mouseButtons() == Qt::NoButton) ListView1SelectItem();
  });
  auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), ListView1, nullptr, nullptr, Qt::WidgetShortcut);
  connect(del, &QShortcut::activated, this, [this] { mxTPButton12Click(); });
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), ListView1, nullptr, nullptr, Qt::WidgetShortcut);
  connect(help, &QShortcut::activated, this, [this] { Guard([this] { services_.help->ShowTopic(kTimelineHelpTopic); }); });

  // Preview: the engine's picture, the position bar, Play/Stop, the path and
  // the file's facts.
  auto* previewColumn = new QVBoxLayout(PreviewHost);
  previewColumn->setContentsMargins(0, 0, 0, 0);
  VideoEngine1 = new TVideoEngine(PreviewHost);
  VideoEngine1->setObjectName(QStringLiteral("VideoEngine1"));
  VideoEngine1->setAccessibleName(tr("Preview"));
  VideoEngine1->setMinimumSize(160, 120);
  previewColumn->addWidget(VideoEngine1, 1);
  TrackBar2 = new QSlider(Qt::Horizontal, PreviewHost);
  TrackBar2->setObjectName(QStringLiteral("TrackBar2"));
  TrackBar2->setAccessibleName(tr("Position"));
  TrackBar2->setRange(0, 10);
  previewColumn->addWidget(TrackBar2);
  auto* playRow = new QHBoxLayout;
  mxTPButton13 = new StyledButton(tr("Play"), PreviewHost);
  mxTPButton13->setObjectName(QStringLiteral("mxTPButton13"));
  mxTPButton13->setAccessibleName(tr("Play"));
  mxTPButton13->setIcon(AppIcon(QStringLiteral("play")));
  PathLabel1 = new widgets::PathLabel(PreviewHost);
  PathLabel1->setObjectName(QStringLiteral("PathLabel1"));
  playRow->addWidget(mxTPButton13);
  playRow->addWidget(PathLabel1, 1);
  previewColumn->addLayout(playRow);
  auto* facts = new QGridLayout;
  facts->setHorizontalSpacing(12);
  facts->setVerticalSpacing(2);
  const struct {
    const char* caption;
    const char* name;
    QLabel** value;
    const char* objectName;
  } rows[] = {{"Duration:", "Duration", &Label4, "Label4"},
              {"Width:", "Width", &Label43, "Label43"},
              {"Height:", "Height", &Label44, "Label44"},
              {"FPS:", "FPS", &Label45, "Label45"}};
  int r = 0;
  for (const auto& row : rows) {
    *row.value = new QLabel(QStringLiteral("-"), PreviewHost);
    (*row.value)->setObjectName(QString::fromLatin1(row.objectName));
    (*row.value)->setAccessibleName(tr(row.name));
    facts->addWidget(new QLabel(tr(row.caption), PreviewHost), r, 0);
    facts->addWidget(*row.value, r, 1);
    ++r;
  }
  facts->setColumnStretch(1, 1);
  previewColumn->addLayout(facts);

  connect(mxTPButton13, &QPushButton::clicked, this, [this] { mxTPButton13Click(); });
  connect(TrackBar2, &QSlider::valueChanged, this, [this] { TrackBar2Change(); });
  VideoEngine1->OnProcessing = [this](double pos, double duration) { VideoEngine1Processing(pos, duration); };
  VideoEngine1->OnComplete = [this] { VideoEngine1Complete(); };
  VideoEngine1->OnPlaying = [this](double current) { VideoEngine1Playing(current); };

  // Output strip: "Save as:", the common fields, then one panel at a time.
  auto* stripRow = new QHBoxLayout(OutputStripHost);
  stripRow->setContentsMargins(0, 0, 0, 0);
  stripRow->setSpacing(16);
  auto* common = new QGridLayout;
  common->setVerticalSpacing(4);
  ComboBox1 = new QComboBox(OutputStripHost);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setAccessibleName(tr("Save as"));
  for (const auto& f : OutputFormats()) ComboBox1->addItem(f.entry);
  ComboBox1->setCurrentIndex(convert::kDefaultFormat);
  auto* saveAs = FieldCaption(tr("Save as:"), OutputStripHost);
  saveAs->setBuddy(ComboBox1);
  common->addWidget(saveAs, 0, 0);
  common->addWidget(ComboBox1, 0, 1);
  txtWidth = NumberField(common, 1, 0, tr("File Width"), QStringLiteral("320"), "txtWidth", OutputStripHost);
  txtHeight = NumberField(common, 2, 0, tr("File Height"), QStringLiteral("240"), "txtHeight", OutputStripHost);
  txtFrameRate = NumberField(common, 3, 0, tr("Frame Rate"), QStringLiteral("25"), "txtFrameRate", OutputStripHost);
  stripRow->addLayout(common);

  auto* panels = new QWidget(OutputStripHost);
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
  Panel1mpeg = SettingsPanel(tr("MPEG"), QStringLiteral("Panel1mpeg"), panels, &g);
  fourFields(Panel1mpeg, MpegFields, "txtMpeg", {"224000", "2", "44100", "4600000"});
  Panel1flv = SettingsPanel(tr("FLV"), QStringLiteral("Panel1flv"), panels, &g);
  fourFields(Panel1flv, FlvFields, "txtFlv", {"128000", "2", "44100", "512000"});
  Panel3gp = SettingsPanel(tr("3GP"), QStringLiteral("Panel3gp"), panels, &g);
  cbo3gpAudio = ListField(g, 0, 0, tr("Audio:"), {"AAC", "AMR"}, 0, QStringLiteral("cbo3gpAudio"), Panel3gp);
  cbo3gpVideo = ListField(g, 1, 0, tr("Video:"), {"MPEG4", "H263"}, 0, QStringLiteral("cbo3gpVideo"), Panel3gp);
  txt3gpSampleRate = NumberField(g, 0, 2, rateCaptions[2], QStringLiteral("22050"), "txt3gpAudioSampleRate", Panel3gp);
  txt3gpVideoBitrate = NumberField(g, 1, 2, rateCaptions[3], QStringLiteral("4600000"), "txt3gpVideoBitrate", Panel3gp);
  avipanel = SettingsPanel(tr("AVI"), QStringLiteral("avipanel"), panels, &g);
  chkUseVideoCompressor = new QCheckBox(tr("Use Video Compressor"), avipanel);
  chkUseVideoCompressor->setObjectName(QStringLiteral("chkUseVideoCompressor"));
  cboVideoCompressor = new QComboBox(avipanel);
  cboVideoCompressor->setObjectName(QStringLiteral("cboVideoCompressor"));
  cboVideoCompressor->setAccessibleName(tr("Video compressor"));
  chkUseAudioCompressor = new QCheckBox(tr("Use Audio Compressor"), avipanel);
  chkUseAudioCompressor->setObjectName(QStringLiteral("chkUseAudioCompressor"));
  cboAudioCompressor = new QComboBox(avipanel);
  cboAudioCompressor->setObjectName(QStringLiteral("cboAudioCompressor"));
  cboAudioCompressor->setAccessibleName(tr("Audio compressor"));
  g->addWidget(chkUseVideoCompressor, 0, 0);
  g->addWidget(cboVideoCompressor, 1, 0);
  g->addWidget(chkUseAudioCompressor, 0, 1);
  g->addWidget(cboAudioCompressor, 1, 1);
  wmvpanel = SettingsPanel(tr("WMV"), QStringLiteral("wmvpanel"), panels, &g);
  chkusewmv9 = new QCheckBox(tr("Use WMV9"), wmvpanel);
  chkusewmv9->setObjectName(QStringLiteral("chkusewmv9"));
  g->addWidget(chkusewmv9, 0, 0, 1, 2);
  cbowmv = ListField(g, 1, 0, tr("WMV 8 Profile"), {}, -1, QStringLiteral("cbowmv"), wmvpanel);
  cbowmv9 = ListField(g, 2, 0, tr("WMV 9 Profile"), {}, -1, QStringLiteral("cbowmv9"), wmvpanel);
  Panel1wav = SettingsPanel(tr("WAV"), QStringLiteral("Panel1wav"), panels, &g);
  cboWavBits = ListField(g, 0, 0, rateCaptions[0], {"8 bit", "16 bit"}, 1, QStringLiteral("cboWavBits"), Panel1wav);
  txtWavChannels = NumberField(g, 1, 0, rateCaptions[1], QStringLiteral("2"), "txtWavChannels", Panel1wav);
  txtWavSampleRate = NumberField(g, 0, 2, rateCaptions[2], QStringLiteral("44100"), "txtWavSampleRate", Panel1wav);
  Panel1mp3 = SettingsPanel(tr("MP3"), QStringLiteral("Panel1mp3"), panels, &g);
  txtMp3Bitrate = NumberField(g, 0, 0, rateCaptions[0], QStringLiteral("128"), "txtMp3Bitrate", Panel1mp3);
  txtMp3Channels = NumberField(g, 1, 0, rateCaptions[1], QStringLiteral("2"), "txtMp3Channels", Panel1mp3);
  txtMp3SampleRate = NumberField(g, 0, 2, rateCaptions[2], QStringLiteral("44100"), "txtMp3SampleRate", Panel1mp3);
  for (QWidget* p : {Panel1mpeg, Panel1flv, Panel3gp, avipanel, wmvpanel, Panel1wav, Panel1mp3})
    panelStack->addWidget(p, 0, 0, Qt::AlignLeft | Qt::AlignTop);
  stripRow->addWidget(panels, 1);

  connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this] { Guard([this] { ComboBox1Change(); }); });
  connect(chkusewmv9, &QCheckBox::clicked, this, [this] { chkusewmv9Click(); });
  connect(mxImageButton3, &QToolButton::clicked, this, [this] { mxImageButton3Click(); });
}

// --- Output formats ----------------------------------------------------------------

void TForm1::ComboBox1Change() {
  QWidget* shown = nullptr;
  switch (OutputFormats().at(size_t(std::max(0, ComboBox1->currentIndex()))).panel) {
    case Panel::MPEG: shown = Panel1mpeg; break;
    case Panel::FLV: shown = Panel1flv; break;
    case Panel::GP3: shown = Panel3gp; break;
    case Panel::AVI: shown = avipanel; break;
    case Panel::WMV: shown = wmvpanel; break;
    case Panel::WAV: shown = Panel1wav; break;
    case Panel::MP3: shown = Panel1mp3; break;
    case Panel::None: break;
  }
  for (QWidget* p : {Panel1mpeg, Panel1flv, Panel3gp, avipanel, wmvpanel, Panel1wav, Panel1mp3})
    p->setVisible(p == shown);
}

void TForm1::chkusewmv9Click() {
  cbowmv->setEnabled(!chkusewmv9->isChecked());
  cbowmv9->setEnabled(chkusewmv9->isChecked());
}

void TForm1::FillConverterLists() {
  cbowmv->clear();
  cbowmv->addItems(convert::OfferedWMVProfiles(VideoEngine1->WMVProfiles()));
  cbowmv->setCurrentIndex(cbowmv->count() > 0 ? 0 : -1);
  QStringList video, audio;
  for (int i = 0; i < VideoEngine1->VideoCompressors().Count(); ++i) video << VideoEngine1->VideoCompressors().Name(i);
  for (int i = 0; i < VideoEngine1->AudioCompressors().Count(); ++i) audio << VideoEngine1->AudioCompressors().Name(i);
  cboVideoCompressor->clear();
  cboVideoCompressor->addItems(video);
  cboAudioCompressor->clear();
  cboAudioCompressor->addItems(audio);
  cbowmv9->clear();
  for (const auto& p : convert::WMV9Profiles()) cbowmv9->addItem(p.name);
  cbowmv9->setCurrentIndex(0);
  chkUseVideoCompressor->setChecked(true);
  chkUseAudioCompressor->setChecked(true);
  if (!video.isEmpty()) cboVideoCompressor->setCurrentIndex(convert::DefaultVideoCompressor(video));
  if (!audio.isEmpty()) cboAudioCompressor->setCurrentIndex(convert::DefaultAudioCompressor(audio));
}

// --- Timeline ------------------------------------------------------------------------

int TForm1::SelectedTimelineRow() const {
  const QModelIndexList rows = ListView1->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.constFirst().row();
}

void TForm1::AddToTimeline(const QString& path) { InsertIntoTimeline(path, Timeline->Count()); }

void TForm1::InsertIntoTimeline(const QString& path, int index) {
  const int row = Timeline->Insert(index, path, VideoEngine1->GetFileDuration(path));
  const QModelIndex at = Timeline->index(row, 0);
  selectingByCode_ = true;
  ListView1->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  selectingByCode_ = false;
}

void TForm1::ListView1SelectItem() {
  Guard([this] {
    const int row = SelectedTimelineRow();
    if (row >= 0) LoadPreview(Timeline->Path(row));
  });
}

void TForm1::mxTPButton11Click() {
  Guard([this] {
    const QStringList files = services_.dialogs->GetOpenFileNames(
        tr("Add video file(s)"), FlvDir, convert::DialogFilter(QStringLiteral("video|*.flv;*.avi|all|*.*")));
    if (files.isEmpty()) return;
    for (const QString& file : files) AddToTimeline(file);
    ListView1SelectItem();
  });
}

void TForm1::mxTPButton12Click() {
  Guard([this] {
    const int row = SelectedTimelineRow();
    if (row < 0) return;
    selectingByCode_ = true;
    Timeline->Remove(row);
    // No row takes over the selection: a second Delete must not remove a
    // row the user never chose.
    ListView1->selectionModel()->clear();
    selectingByCode_ = false;
    ListView1SelectItem();
  });
}

namespace {
// The row's new place, or -1 when it stays (first row up, last row down).
int MoveTarget(int row, int step, int count) {
  const int target = row + step;
  return target >= 0 && target <= count - 1 ? target : -1;
}
}  // namespace

void TForm1::mxMSButton2Click() { MoveTimelineRow(-1); }

void TForm1::mxMSButton3Click() { MoveTimelineRow(+1); }

void TForm1::MoveTimelineRow(int step) {
  Guard([this, step] {
    const int row = SelectedTimelineRow();
    if (row < 0) return;
    const int target = MoveTarget(row, step, Timeline->Count());
    if (target >= 0) {
      const QString path = Timeline->Path(row);
      selectingByCode_ = true;
      Timeline->Remove(row);
      selectingByCode_ = false;
      InsertIntoTimeline(path, target);
    }
    ListView1SelectItem();
  });
}

// --- Conversion run -----------------------------------------------------------------

void TForm1::mxImageButton3Click() {
  Guard([this] {
    // The window stays live during a save; a second run would rebuild the
    // engine's timeline and reset the progress of the one still writing.
    if (converting_) return;
    SaveDialogDir = VideoDir;
    ConverterBusy = true;

    convert::OutputChoices choices;
    choices.format = std::max(0, ComboBox1->currentIndex());
    choices.width = txtWidth->text();
    choices.height = txtHeight->text();
    choices.frameRate = txtFrameRate->text();
    auto fields = [](QLineEdit* const (&edits)[4]) {
      return convert::AudioVideoFields{edits[0]->text(), edits[1]->text(), edits[2]->text(), edits[3]->text()};
    };
    choices.mpeg = fields(MpegFields);
    choices.flv = fields(FlvFields);
    choices.gp3AudioCodec = cbo3gpAudio->currentIndex();
    choices.gp3VideoCodec = cbo3gpVideo->currentIndex();
    choices.gp3AudioSampleRate = txt3gpSampleRate->text();
    choices.gp3VideoBitrate = txt3gpVideoBitrate->text();
    choices.videoCompressor = std::max(0, cboVideoCompressor->currentIndex());
    choices.audioCompressor = std::max(0, cboAudioCompressor->currentIndex());
    choices.useVideoCompressor = chkUseVideoCompressor->isChecked();
    choices.useAudioCompressor = chkUseAudioCompressor->isChecked();
    choices.useWMV9 = chkusewmv9->isChecked();
    choices.wmv8Profile = cbowmv->currentText();
    choices.wmv9Profile = cbowmv9->currentIndex();
    choices.wavBits = std::max(0, cboWavBits->currentIndex());
    choices.wavChannels = txtWavChannels->text();
    choices.wavSampleRate = txtWavSampleRate->text();
    choices.mp3Bitrate = txtMp3Bitrate->text();
    choices.mp3Channels = txtMp3Channels->text();
    choices.mp3SampleRate = txtMp3SampleRate->text();

    convert::ApplyFileSize(choices, *VideoEngine1);
    const convert::AppliedOutput applied = convert::ApplyOutputSettings(choices, *VideoEngine1, AppDir);

    VideoEngine1->VideoSampleSize = 24;
    VideoEngine1->ClearTimeline();
    double total = 0;
    ProgressBar2->setValue(0);
    Label2->setText(QStringLiteral("Converting video..."));
    for (int i = 0; i < Timeline->Count(); ++i) total += VideoEngine1->GetFileDuration(Timeline->Path(i));
    ProgressBar2->setMaximum(std::max(0, ClampToInt(RoundHalfEven(total))));
    for (int i = 0; i < Timeline->Count(); ++i) {
      const double start = Timeline->Start(i).toDouble();
      const double end = Timeline->End(i).toDouble();
      VideoEngine1->AddVideo(Timeline->Path(i), start, end, 0);
      VideoEngine1->AddAudio(Timeline->Path(i), start, end);
    }
    if (VideoEngine1->GetTimelineDuration() == 0 || Timeline->Count() == 0) {
      services_.dialogs->ShowMessage(AppName, QStringLiteral("Timeline empty,cannot process"));
      services_.help->ShowTopic(kEmptyTimelineHelpTopic);
      return;
    }

    const QString file = services_.dialogs->GetSaveFileName(tr("Save as"), SaveDialogDir,
                                                            convert::DialogFilter(applied.filter), applied.extension);
    if (file.isEmpty()) return;

    converting_ = true;
    closing_ = false;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{converting_};
    const bool saved = convert::SaveOutput(choices, *VideoEngine1, file);
    // Closing the window aborts the save; nobody is left to read a message.
    if (!saved && !closing_) services_.dialogs->ShowMessage(AppName, QStringLiteral("Fail to save file"));
  });
}

void TForm1::VideoEngine1Processing(double iCurPos, double iDuration) {
  Guard([&] {
    ConverterBusy = true;
    QPointer<QProgressBar> bar(ProgressBar2);
    for (int i = 0; i < 3; ++i) platform::ProcessMessages();
    if (!bar) return;
    // Set before the maximum; a position past the old maximum stands at it.
    bar->setValue(std::min(ClampToInt(RoundHalfEven(iCurPos)), bar->maximum()));
    for (int i = 0; i < 3; ++i) platform::ProcessMessages();
    if (!bar) return;
    bar->setMaximum(std::max(0, ClampToInt(RoundHalfEven(iDuration))));
  });
}

void TForm1::VideoEngine1Complete() {
  Guard([this] {
    ProgressBar2->setValue(0);
    Label2->setText(QStringLiteral("Done."));
  });
}

void TForm1::ConverterClose() {
  if (!converting_) return;
  closing_ = true;
  VideoEngine1->Abort();
}

// --- Preview ---------------------------------------------------------------------------

void TForm1::LoadPreview(const QString& path) {
  const double d = VideoEngine1->GetFileDuration(path);
  Label4->setText(convert::DurationText(d));
  PathLabel1->SetPath(path);
  Label45->setText(convert::FrameRateText(VideoEngine1->GetFileFrameRate(path)));
  const short width = VideoEngine1->GetFileWidth(path);
  const short height = VideoEngine1->GetFileHeight(path);
  Label43->setText(QString::number(width));
  Label44->setText(QString::number(height));
  VideoEngine1->VideoSampleSize = 24;
  VideoEngine1->OutputFileWidth = width;
  VideoEngine1->OutputFileHeight = height;
  VideoEngine1->ClearTimeline();
  VideoEngine1->AddVideo(path, 0, d, 0);
  VideoEngine1->AddAudio(path, 0, d);
  VideoEngine1->PreparePreview();
  VideoEngine1->StopPreview();
  // Lowering the maximum under the position moves the bar, which seeks.
  TrackBar2->setMaximum(std::max(0, ClampToInt(RoundHalfEven(d))));
}

void TForm1::mxTPButton13Click() {
  Guard([this] {
    if (PlayState == QLatin1String("play")) {
      VideoEngine1->StopPreview();
      PlayState = QStringLiteral("stop");
      mxTPButton13->setText(tr("Play"));
      mxTPButton13->setAccessibleName(tr("Play"));
      return;
    }
    const QString path = PathLabel1->Path();
    if (path.isEmpty()) {
      services_.dialogs->ShowMessage(AppName, QStringLiteral("Please select video/image file first"));
      return;
    }
    TrackBar2->setMaximum(std::max(0, ClampToInt(RoundHalfEven(VideoEngine1->GetFileDuration(path)))));
    VideoEngine1->PlayPreview();
    PlayState = QStringLiteral("play");
    mxTPButton13->setText(tr("Stop"));
    mxTPButton13->setAccessibleName(tr("Stop"));
  });
}

void TForm1::TrackBar2Change() {
  Guard([this] { VideoEngine1->Seek(double(TrackBar2->value())); });
}

void TForm1::VideoEngine1Playing(double iCurrent) {
  Guard([&] {
    if (ConverterBusy) return;
    TrackBar2->setValue(ClampToInt(RoundHalfEven(iCurrent)));
    if (TrackBar2->value() == TrackBar2->maximum()) {
      VideoEngine1->PreparePreview();
      VideoEngine1->StopPreview();
      PlayState = QStringLiteral("stop");
      mxTPButton13->setText(tr("Play"));
      mxTPButton13->setAccessibleName(tr("Play"));
    }
  });
}

}  // namespace larkvale::app
