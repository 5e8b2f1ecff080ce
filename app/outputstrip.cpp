#include "app/outputstrip.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>

#include "app/pagewidgets.h"
#include "engine/videoengine.h"

namespace larkvale::app {

using convert::OutputFormats;
using convert::Panel;

namespace {

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

OutputStrip::OutputStrip(const platform::Services& services, QWidget* parent) : QWidget(parent), services_(services) {
  setObjectName(QStringLiteral("OutputStripHost"));
  // "Save as:", the common fields, then one panel at a time.
  auto* stripRow = new QHBoxLayout(this);
  stripRow->setContentsMargins(0, 0, 0, 0);
  stripRow->setSpacing(16);
  stripRow->addLayout(buildCommonFields());
  QWidget* panels = buildFormatPanels();
  stripRow->addWidget(panels, 1);
  eachEntry_ = new QCheckBox(tr("One file per entry"), this);
  eachEntry_->setObjectName(QStringLiteral("chkEachEntry"));
  eachEntry_->setToolTip(tr("Each Timeline entry becomes its own file in a folder you choose"));
  stripRow->addWidget(eachEntry_, 0, Qt::AlignRight | Qt::AlignVCenter);

  connectChoices();
}

QGridLayout* OutputStrip::buildCommonFields() {
  QWidget* host = this;
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
  return common;
}

QWidget* OutputStrip::buildFormatPanels() {
  QWidget* host = this;
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
  auto qualityPanel = [&](QualityPanel& q, const QString& name, const char* prefix, const convert::QualityFields& d) {
    const QString pre = QString::fromLatin1(prefix);
    q.panel = SettingsPanel(name, QStringLiteral("Panel1") + pre.toLower(), panels, &g);
    q.quality = NumberField(g, 0, 0, tr("Quality (CRF):"), d.quality, QStringLiteral("txt") + pre + "Quality", q.panel);
    q.quality->setToolTip(tr("Lower is better and larger"));
    q.audioBitrate = NumberField(g, 1, 0, rateCaptions[0], d.audioBitrate, QStringLiteral("txt") + pre + "AudioBitrate",
                                 q.panel);
    q.sourceSize = new QCheckBox(tr("Keep the source's size"), q.panel);
    q.sourceSize->setObjectName(QStringLiteral("chk") + pre + "SourceSize");
    q.sourceSize->setToolTip(tr("Unchecked, File Width and File Height set the size"));
    q.sourceSize->setChecked(d.sourceSize);
    g->addWidget(q.sourceSize, 0, 2);
  };
  const convert::OutputChoices defaults;
  qualityPanel(mp4_, tr("MP4"), "Mp4", defaults.mp4);
  qualityPanel(webm_, tr("WebM"), "Webm", defaults.webm);
  for (QWidget* p : {mpegPanel_, flvPanel_, gp3Panel_, aviPanel_, wmvPanel_, wavPanel_, mp3Panel_, mp4_.panel,
                     webm_.panel})
    panelStack->addWidget(p, 0, 0, Qt::AlignLeft | Qt::AlignTop);
  return panels;
}

void OutputStrip::connectChoices() {
  connect(format_, &QComboBox::currentIndexChanged, this,
          [this] { Guarded(services_, [this] { showFormatPanel(); }); });
  // toggled, not clicked: the accessible Toggle action and setChecked change
  // the box without a click.
  connect(useWmv9_, &QCheckBox::toggled, this, &OutputStrip::useWmv9Changed);
  // Only the chosen format's panel, even if start-up stops before it shows it.
  showFormatPanel();
  for (auto* edit : findChildren<QLineEdit*>()) connect(edit, &QLineEdit::textChanged, this, &OutputStrip::choicesChanged);
  for (auto* box : findChildren<QComboBox*>())
    connect(box, &QComboBox::currentIndexChanged, this, &OutputStrip::choicesChanged);
  for (auto* check : findChildren<QCheckBox*>()) connect(check, &QCheckBox::toggled, this, &OutputStrip::choicesChanged);
}

// --- Output formats ---------------------------------------------------------------

void OutputStrip::showFormatPanel() {
  QWidget* shown = nullptr;
  switch (OutputFormats().at(size_t(std::max(0, format_->currentIndex()))).panel) {
    case Panel::MPEG: shown = mpegPanel_; break;
    case Panel::FLV: shown = flvPanel_; break;
    case Panel::GP3: shown = gp3Panel_; break;
    case Panel::AVI: shown = aviPanel_; break;
    case Panel::WMV: shown = wmvPanel_; break;
    case Panel::WAV: shown = wavPanel_; break;
    case Panel::MP3: shown = mp3Panel_; break;
    case Panel::MP4: shown = mp4_.panel; break;
    case Panel::WebM: shown = webm_.panel; break;
    case Panel::None: break;
  }
  for (QWidget* p : {mpegPanel_, flvPanel_, gp3Panel_, aviPanel_, wmvPanel_, wavPanel_, mp3Panel_, mp4_.panel,
                     webm_.panel})
    p->setVisible(p == shown);
}

void OutputStrip::useWmv9Changed() {
  wmv8Profile_->setEnabled(!useWmv9_->isChecked());
  wmv9Profile_->setEnabled(useWmv9_->isChecked());
}

void OutputStrip::fillEngineLists(const engine::TVideoEngine& engine) {
  wmv8Profile_->clear();
  wmv8Profile_->addItems(convert::OfferedWMVProfiles(engine.WMVProfiles()));
  wmv8Profile_->setCurrentIndex(wmv8Profile_->count() > 0 ? 0 : -1);
  QStringList video, audio;
  for (int i = 0; i < engine.VideoCompressors().Count(); ++i) video << engine.VideoCompressors().Name(i);
  for (int i = 0; i < engine.AudioCompressors().Count(); ++i) audio << engine.AudioCompressors().Name(i);
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

convert::OutputChoices OutputStrip::choices() const {
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
  for (auto [q, f] : {std::pair{&mp4_, &choices.mp4}, std::pair{&webm_, &choices.webm}})
    *f = convert::QualityFields{q->quality->text(), q->audioBitrate->text(), q->sourceSize->isChecked()};
  choices.eachEntry = eachEntry_->isChecked();
  return choices;
}

void OutputStrip::setChoices(const convert::OutputChoices& c) {
  auto pick = [](QComboBox* box, int index) {
    if (index >= 0 && index < box->count()) box->setCurrentIndex(index);
  };
  auto fill = [](QLineEdit* const (&edits)[4], const convert::AudioVideoFields& f) {
    const QString texts[4] = {f.audioBitrate, f.audioChannels, f.audioSampleRate, f.videoBitrate};
    for (int i = 0; i < 4; ++i) edits[i]->setText(texts[i]);
  };
  pick(format_, c.format);
  fileWidth_->setText(c.width);
  fileHeight_->setText(c.height);
  fileFrameRate_->setText(c.frameRate);
  fill(mpegFields_, c.mpeg);
  fill(flvFields_, c.flv);
  pick(gp3Audio_, c.gp3AudioCodec);
  pick(gp3Video_, c.gp3VideoCodec);
  gp3SampleRate_->setText(c.gp3AudioSampleRate);
  gp3VideoBitrate_->setText(c.gp3VideoBitrate);
  pick(videoCompressor_, c.videoCompressor);
  pick(audioCompressor_, c.audioCompressor);
  useVideoCompressor_->setChecked(c.useVideoCompressor);
  useAudioCompressor_->setChecked(c.useAudioCompressor);
  if (useWmv9_->isChecked() != c.useWMV9) {
    useWmv9_->setChecked(c.useWMV9);
    useWmv9Changed();
  }
  pick(wmv8Profile_, wmv8Profile_->findText(c.wmv8Profile));
  pick(wmv9Profile_, c.wmv9Profile);
  pick(wavBits_, c.wavBits);
  wavChannels_->setText(c.wavChannels);
  wavSampleRate_->setText(c.wavSampleRate);
  mp3Bitrate_->setText(c.mp3Bitrate);
  mp3Channels_->setText(c.mp3Channels);
  mp3SampleRate_->setText(c.mp3SampleRate);
  for (auto [q, f] : {std::pair{&mp4_, &c.mp4}, std::pair{&webm_, &c.webm}}) {
    q->quality->setText(f->quality);
    q->audioBitrate->setText(f->audioBitrate);
    q->sourceSize->setChecked(f->sourceSize);
  }
  eachEntry_->setChecked(c.eachEntry);
  showFormatPanel();
}

}  // namespace larkvale::app
