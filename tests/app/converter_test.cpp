// The converter page end to end: the real window headless, the real engine,
// media made by the ffmpeg CLI and outputs checked by ffprobe.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <ostream>

#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/window_parts.h"

// Readable failures for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << '[' << l.join('|').toStdString() << ']'; }

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;
using testing::Only;
using testsupport::FfProbe;
using testsupport::FixtureSpec;
using testsupport::MakeMediaFixture;

struct Media {
  QString flv;     // 2 s, 320x240 at 25 fps, stereo
  QString avi;     // 1 s, 176x144 at 15 fps, mono
  QString longer;  // 10 s, long enough for a save to report progress
  QString wav595;  // 59.5 s of sound
  QString wav605;  // 60.5 s of sound
  QString text;    // not media
};

const Media& Files() {
  static QTemporaryDir dir;
  static Media m = [] {
    Media m;
    const QString d = dir.path() + "/";
    m.flv = d + "a.flv";
    m.avi = d + "b.avi";
    m.longer = d + "long.flv";
    m.wav595 = d + "s595.wav";
    m.wav605 = d + "s605.wav";
    m.text = d + "notes.flv";
    FixtureSpec flv;
    FixtureSpec avi;
    avi.seconds = 1;
    avi.width = 176;
    avi.height = 144;
    avi.fps = 15;
    avi.channels = 1;
    avi.sampleRate = 22050;
    FixtureSpec longer;
    longer.seconds = 10;
    FixtureSpec sound;
    sound.video = false;
    sound.sampleRate = 8000;
    sound.channels = 1;
    sound.seconds = 59.5;
    FixtureSpec sound2 = sound;
    sound2.seconds = 60.5;
    const bool ok = MakeMediaFixture(m.flv.toStdString(), flv) && MakeMediaFixture(m.avi.toStdString(), avi) &&
                    MakeMediaFixture(m.longer.toStdString(), longer) &&
                    MakeMediaFixture(m.wav595.toStdString(), sound) &&
                    MakeMediaFixture(m.wav605.toStdString(), sound2);
    EXPECT_TRUE(ok) << "ffmpeg could not make the fixtures";
    QFile text(m.text);
    if (text.open(QIODevice::WriteOnly)) text.write("not a video\n");
    return m;
  }();
  return m;
}

class Converter : public ::testing::Test {
 public:
  Converter() {
    form = std::make_unique<MainWindow>(desktop.services);
    // Shown, so that clicks, keys and closing reach it as they would a user's.
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->showPage(MainWindow::pgConverter);
    page = Only<ConverterPage>(form.get());
    // First activation fills the engine's lists (and starts the runner on
    // an empty download list).
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(form.get(), &activate);
    out = desktop.root.path() + "/out/";
    QDir().mkpath(out);
  }
  void AddFiles(const QStringList& files) {
    desktop.dialogs.openAnswers.push_back(files);
    W<QAbstractButton>("mxTPButton11")->click();
  }
  QStringList Rows() const {
    QStringList rows;
    for (int i = 0; i < page->timeline().Count(); ++i) rows << QFileInfo(page->timeline().Path(i)).fileName();
    return rows;
  }
  QString Selected() const {
    const int row = page->selectedEntry();
    return row < 0 ? QString() : QFileInfo(page->timeline().Path(row)).fileName();
  }
  void SelectFormat(const QString& entry) {
    const int i = W<QComboBox>("ComboBox1")->findText(entry);
    ASSERT_GE(i, 0) << entry.toStdString();
    W<QComboBox>("ComboBox1")->setCurrentIndex(i);
  }
  // Converts the Timeline, answering the save dialog with `file`.
  void Convert(const QString& file) {
    desktop.dialogs.saveAnswers.push_back(file);
    W<QAbstractButton>("mxImageButton3")->click();
  }
  QStringList LeftoverParts() const { return QDir(out).entryList({"*.part"}, QDir::Files); }
  // The window's widget called `name`.
  template <class T>
  T* W(const char* name) const {
    return Child<T>(form.get(), name);
  }

  FakeDesktop desktop;
  std::unique_ptr<MainWindow> form;
  ConverterPage* page = nullptr;
  QString out;
};

TEST_F(Converter, StartsWithAviPanelDefaultsAndEngineLists) {
  EXPECT_EQ(W<QComboBox>("ComboBox1")->count(), 22);  // the 19, two of today's, the join
  EXPECT_EQ(W<QComboBox>("ComboBox1")->currentText(), "AVI");
  EXPECT_FALSE(W<QWidget>("avipanel")->isHidden());
  EXPECT_TRUE(W<QWidget>("Panel1mpeg")->isHidden());
  EXPECT_EQ(W<QLineEdit>("txtWidth")->text(), "320");
  EXPECT_EQ(W<QLineEdit>("txtHeight")->text(), "240");
  EXPECT_EQ(W<QLineEdit>("txtFrameRate")->text(), "25");
  EXPECT_EQ(W<QComboBox>("cboVideoCompressor")->currentText(), "MJPEG Compressor");
  EXPECT_EQ(W<QComboBox>("cboAudioCompressor")->currentText(), "PCM");
  EXPECT_TRUE(W<QCheckBox>("chkUseVideoCompressor")->isChecked());
  EXPECT_EQ(W<QComboBox>("cbowmv9")->count(), 12);
  for (int i = 0; i < W<QComboBox>("cbowmv")->count(); ++i) {
    const int at = W<engine::TVideoEngine>("VideoEngine1")->WMVProfiles().IndexOf(W<QComboBox>("cbowmv")->itemText(i));
    EXPECT_FALSE(W<engine::TVideoEngine>("VideoEngine1")->WMVProfiles().IsHidden(at)) << i;
  }
  EXPECT_EQ(W<QLabel>("Label2")->text(), "-");
  EXPECT_EQ(W<QLabel>("Label4")->text(), "-");

  // Panels follow the format; five formats show none.
  const struct {
    const char* entry;
    QWidget* panel;
  } cases[] = {{"VCD_PAL", W<QWidget>("Panel1mpeg")},
               {"FLV", W<QWidget>("Panel1flv")},
               {"3GP", W<QWidget>("Panel3gp")},
               {"WMV", W<QWidget>("wmvpanel")},
               {"WAV", W<QWidget>("Panel1wav")},
               {"MP3", W<QWidget>("Panel1mp3")},
               {"QT", nullptr},
               {"RM", nullptr},
               {"iPod", nullptr},
               {"PSP", nullptr},
               {"Zune", nullptr},
               {"AVI", W<QWidget>("avipanel")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    SelectFormat(c.entry);
    for (QWidget* p :
         {W<QWidget>("Panel1mpeg"), W<QWidget>("Panel1flv"), W<QWidget>("Panel3gp"), W<QWidget>("avipanel"),
          W<QWidget>("wmvpanel"), W<QWidget>("Panel1wav"), W<QWidget>("Panel1mp3")})
      EXPECT_EQ(!p->isHidden(), p == c.panel) << p->objectName().toStdString();
  }

  // "Use WMV9" switches which profile list is live.
  EXPECT_TRUE(W<QComboBox>("cbowmv")->isEnabled());
  EXPECT_TRUE(W<QComboBox>("cbowmv9")->isEnabled());
  W<QCheckBox>("chkusewmv9")->click();
  EXPECT_FALSE(W<QComboBox>("cbowmv")->isEnabled());
  EXPECT_TRUE(W<QComboBox>("cbowmv9")->isEnabled());
  W<QCheckBox>("chkusewmv9")->click();
  EXPECT_TRUE(W<QComboBox>("cbowmv")->isEnabled());
  EXPECT_FALSE(W<QComboBox>("cbowmv9")->isEnabled());
  // However the box changes: from code, and through its accessible Toggle
  // action, as a screen reader or an automation tool would.
  W<QCheckBox>("chkusewmv9")->setChecked(true);
  EXPECT_FALSE(W<QComboBox>("cbowmv")->isEnabled());
  EXPECT_TRUE(W<QComboBox>("cbowmv9")->isEnabled());
  QAccessibleInterface* box = QAccessible::queryAccessibleInterface(W<QCheckBox>("chkusewmv9"));
  ASSERT_TRUE(box && box->actionInterface());
  box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_FALSE(W<QCheckBox>("chkusewmv9")->isChecked());
  EXPECT_TRUE(W<QComboBox>("cbowmv")->isEnabled());
  EXPECT_FALSE(W<QComboBox>("cbowmv9")->isEnabled());

  EXPECT_EQ(W<QTreeView>("ListView1")->toolTip(), "Video files from selected chapter");
}

TEST_F(Converter, TimelineAddsInDialogOrderMovesDeletesAndPreviewsTheSelection) {
  const Media& m = Files();
  AddFiles({m.flv, m.avi});
  ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_EQ(desktop.dialogs.asked[0].dir, form->state().flvDir);
  EXPECT_EQ(desktop.dialogs.asked[0].filter, "video (*.flv *.avi *.mp4 *.webm *.mkv *.mov *.m4v *.ogv);;all (*.*)");
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi"}));
  EXPECT_EQ(page->timeline().End(0), "2");
  EXPECT_EQ(page->timeline().Start(1), "0");
  EXPECT_EQ(Selected(), "b.avi");
  // The second file is the one previewed.
  EXPECT_EQ(W<widgets::PathLabel>("PathLabel1")->Path(), m.avi);
  EXPECT_EQ(W<QLabel>("Label4")->text(), "0 min 1 sec");
  EXPECT_EQ(W<QLabel>("Label43")->text(), "176");
  EXPECT_EQ(W<QLabel>("Label44")->text(), "144");
  EXPECT_EQ(W<QLabel>("Label45")->text(), "15");
  EXPECT_EQ(W<QSlider>("TrackBar2")->maximum(), 1);

  W<QAbstractButton>("mxMSButton2")->click();  // up
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));
  EXPECT_EQ(Selected(), "b.avi");
  W<QAbstractButton>("mxMSButton2")->click();  // already first: stays, reloaded
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));
  EXPECT_EQ(Selected(), "b.avi");
  W<QAbstractButton>("mxMSButton3")->click();  // down
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi"}));
  EXPECT_EQ(Selected(), "b.avi");

  // Clicking a row previews it.
  const QRect first = W<QTreeView>("ListView1")->visualRect(page->timeline().index(0, 0));
  QTest::mouseClick(W<QTreeView>("ListView1")->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(Selected(), "a.flv");
  EXPECT_EQ(W<widgets::PathLabel>("PathLabel1")->Path(), m.flv);
  EXPECT_EQ(W<QLabel>("Label43")->text(), "320");
  EXPECT_EQ(W<QLabel>("Label45")->text(), "25");

  // A finished download is appended and selected; the preview stays.
  page->addToTimeline(m.flv);
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  EXPECT_EQ(page->selectedEntry(), 2);
  EXPECT_EQ(W<QLabel>("Label43")->text(), "320");
  page->addToTimeline(m.avi);
  EXPECT_EQ(W<widgets::PathLabel>("PathLabel1")->Path(), m.flv);
  EXPECT_EQ(W<QLabel>("Label43")->text(), "320");

  // Delete key on the Timeline does what "Delete" does; no row is selected
  // after it, so delete and move then do nothing.
  W<QTreeView>("ListView1")->setFocus();
  QTest::keyClick(W<QTreeView>("ListView1"), Qt::Key_Delete);
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  ASSERT_EQ(page->selectedEntry(), -1);
  W<QAbstractButton>("mxTPButton12")->click();
  W<QAbstractButton>("mxMSButton2")->click();
  W<QAbstractButton>("mxMSButton3")->click();
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  // "Delete" on a chosen row.
  QTest::mouseClick(W<QTreeView>("ListView1")->viewport(), Qt::LeftButton, {}, first.center());
  W<QAbstractButton>("mxTPButton12")->click();
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));

  // F1 in the list opens its help topic; a cancelled open dialog adds nothing.
  QTest::keyClick(W<QTreeView>("ListView1"), Qt::Key_F1);
  EXPECT_EQ(desktop.help.shown, std::vector<int>{1502});
  AddFiles({});
  EXPECT_EQ(Rows().size(), 2);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
}

TEST_F(Converter, EndsAndDurationsRoundHalvesToEven) {
  const Media& m = Files();
  AddFiles({m.wav605, m.wav595});
  EXPECT_EQ(page->timeline().End(0), "60");
  EXPECT_EQ(page->timeline().End(1), "60");
  EXPECT_EQ(W<QLabel>("Label4")->text(), "1 min 0 sec");
  EXPECT_EQ(W<QSlider>("TrackBar2")->maximum(), 60);
}

TEST_F(Converter, TodaysFormatsShowTheirPanelsAndOneFilePerEntryConvertsEachIntoAFolder) {
  const Media& m = Files();
  const struct {
    const char* entry;
    const char* panel;
    const char* quality;
    const char* audioBitrate;
  } panels[] = {{"MP4 (H.264, AAC)", "Panel1mp4", "txtMp4Quality", "txtMp4AudioBitrate"},
                {"WebM (VP9, Opus)", "Panel1webm", "txtWebmQuality", "txtWebmAudioBitrate"}};
  for (const auto& p : panels) {
    SCOPED_TRACE(p.entry);
    SelectFormat(p.entry);
    EXPECT_FALSE(W<QWidget>(p.panel)->isHidden());
    EXPECT_TRUE(W<QWidget>("avipanel")->isHidden());
    EXPECT_FALSE(W<QLineEdit>(p.quality)->text().isEmpty());
    EXPECT_FALSE(W<QLineEdit>(p.audioBitrate)->text().isEmpty());
  }
  // A quality outside the encoder's scale stops the run with the panel's words.
  W<QLineEdit>("txtWebmQuality")->setText("70");
  AddFiles({m.flv, m.avi});
  Convert(out + "never.webm");
  EXPECT_EQ(desktop.dialogs.Errors(), QStringList{"WebM: Quality (CRF) must be between 1 and 63 (is 70)."});
  W<QLineEdit>("txtWebmQuality")->setText("32");
  desktop.dialogs.shown.clear();
  desktop.dialogs.saveAnswers.clear();

  // One file per entry: a folder is asked for, each entry is written there.
  SelectFormat("MP4 (H.264, AAC)");
  W<QCheckBox>("chkEachEntry")->setChecked(true);
  desktop.dialogs.asked.clear();
  desktop.dialogs.folderAnswers.push_back(out);
  W<QAbstractButton>("mxImageButton3")->click();
  ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_EQ(desktop.dialogs.asked[0].kind, "folder");
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(W<QLabel>("Label2")->text(), "Done.");
  const auto a = FfProbe((out + "a.mp4").toStdString());
  const auto b = FfProbe((out + "b.mp4").toStdString());
  EXPECT_EQ(a.video.codec, "h264");
  EXPECT_EQ(b.video.width, 176);  // each keeps its source's size
  EXPECT_NEAR(a.duration, 2.0, 0.3);
  EXPECT_NEAR(b.duration, 1.0, 0.3);
  EXPECT_TRUE(LeftoverParts().isEmpty());
}

TEST_F(Converter, ConvertsTheTimelineIntoEachKindOfOutput) {
  const Media& m = Files();
  AddFiles({m.flv, m.avi});
  const struct {
    const char* entry;
    const char* file;
    const char* container;  // part of ffprobe's format name
    const char* video;      // empty: no picture
    const char* audio;
    const char* filter;
  } cases[] = {
      {"MPEG 1", "out.mpg", "mpeg", "mpeg1video", "mp2", "Mpeg File (*.mpg)"},
      {"AVI", "out.avi", "avi", "mjpeg", "pcm_s16le", "Avi File (*.avi)"},
      {"FLV", "out.flv", "flv", "flv1", "mp3", "FLV File (*.flv)"},
      {"Zune", "out.wmv", "asf", "wmv2", "wmav2", "Zune (*.wmv)"},
      {"WAV", "out.wav", "wav", "", "pcm_s16le", "Wave (*.wav)"},
      {"MP3", "out.mp3", "mp3", "", "mp3", "Mp3 (*.mp3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    SelectFormat(c.entry);
    W<QLabel>("Label2")->setText("-");
    desktop.dialogs.asked.clear();
    Convert(out + c.file);
    ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
    EXPECT_EQ(desktop.dialogs.asked[0].kind, "save");
    EXPECT_EQ(desktop.dialogs.asked[0].dir, form->state().videoDir);
    EXPECT_EQ(desktop.dialogs.asked[0].filter, c.filter);
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(W<QLabel>("Label2")->text(), "Done.");
    EXPECT_EQ(W<QProgressBar>("ProgressBar2")->value(), 0);
    EXPECT_FALSE(form->state().converterBusy);  // cleared as the run ends
    const auto p = FfProbe((out + c.file).toStdString());
    ASSERT_TRUE(p.ok);
    EXPECT_NE(p.format.find(c.container), std::string::npos) << p.format;
    EXPECT_EQ(p.video.codec, c.video);
    EXPECT_EQ(p.audio.codec, c.audio);
    EXPECT_NEAR(p.duration, 3.0, 0.5);
    if (*c.video && std::string(c.entry) != "Zune") {
      EXPECT_EQ(p.video.width, 320);
      EXPECT_EQ(p.video.height, 240);
    }
  }
  EXPECT_EQ(W<engine::TVideoEngine>("VideoEngine1")->OutputType, 9);  // the WAV and MP3 runs left Zune's
  EXPECT_EQ(W<engine::TVideoEngine>("VideoEngine1")->WMVCustomFileName(), form->state().appDir + "zune.prx");

  // Panel settings reach the file: 8-bit mono WAV at 22.05 kHz.
  SelectFormat("WAV");
  W<QComboBox>("cboWavBits")->setCurrentIndex(0);
  W<QLineEdit>("txtWavChannels")->setText("1");
  W<QLineEdit>("txtWavSampleRate")->setText("22050");
  Convert(out + "small.wav");
  const auto wav = FfProbe((out + "small.wav").toStdString());
  EXPECT_EQ(wav.audio.codec, "pcm_u8");
  EXPECT_EQ(wav.audio.channels, 1);
  EXPECT_EQ(wav.audio.sampleRate, 22050);
  EXPECT_TRUE(LeftoverParts().isEmpty());
}

TEST_F(Converter, EmptyTimelineCancelledSaveAndBadFieldsStopTheRun) {
  const Media& m = Files();
  // Empty Timeline: the message, then help; no dialog.
  W<QAbstractButton>("mxImageButton3")->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_EQ(desktop.help.shown, std::vector<int>{223});
  EXPECT_TRUE(desktop.dialogs.asked.empty());
  EXPECT_EQ(W<QLabel>("Label2")->text(), "Converting video...");
  EXPECT_FALSE(form->state().converterBusy);  // the run is over
  // Nothing to show: an empty bar, not Qt's busy animation (minimum == maximum).
  EXPECT_LT(W<QProgressBar>("ProgressBar2")->minimum(), W<QProgressBar>("ProgressBar2")->maximum());
  EXPECT_EQ(W<QProgressBar>("ProgressBar2")->value(), W<QProgressBar>("ProgressBar2")->minimum());

  // Only a file that went away and one that is not media: nothing to convert.
  const QString gone = out + "gone.flv";
  QFile::copy(m.flv, gone);
  page->addToTimeline(gone);
  QFile::remove(gone);
  page->addToTimeline(m.text);
  EXPECT_EQ(page->timeline().End(1), "0");
  desktop.dialogs.shown.clear();
  W<QAbstractButton>("mxImageButton3")->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_TRUE(desktop.dialogs.asked.empty());

  // With a good file among them the good file converts.
  page->addToTimeline(m.avi);
  desktop.dialogs.shown.clear();
  SelectFormat("MPEG 1");
  Convert(out + "mixed.mpg");
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_NEAR(FfProbe((out + "mixed.mpg").toStdString()).duration, 1.0, 0.5);

  // A cancelled save dialog: no file, no message.
  desktop.dialogs.shown.clear();
  Convert(QString());
  EXPECT_TRUE(desktop.dialogs.shown.empty());
  EXPECT_EQ(W<QLabel>("Label2")->text(), "Converting video...");
  EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList{"mixed.mpg"});

  // Bad numbers end the run with the error report and before the dialog.
  const struct {
    QLineEdit* field;
    const char* text;
    const char* format;
    const char* error;
  } cases[] = {
      {W<QLineEdit>("txtWidth"), "abc", "MPEG 1", "'abc' is not a valid integer value."},
      {W<QLineEdit>("txtWidth"), "32.5", "MPEG 1", "'32.5' is not a valid integer value."},
      {W<QLineEdit>("txtWidth"), "0", "MPEG 1", "File Width must be between 16 and 4096 pixels (is 0)."},
      {W<QLineEdit>("txtHeight"), "100000", "MPEG 1", "File Height must be between 16 and 4096 pixels (is 100000)."},
      {W<QLineEdit>("txtFrameRate"), "-5", "AVI", "AVI: Frame Rate must be between 1 and 120 frames/s (is -5)."},
      {W<QLineEdit>("txtMpegVideoBitrate"), "", "FLV", "'' is not a valid integer value."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const QString old = c.field->text();
    c.field->setText(c.text);
    SelectFormat(c.format);
    desktop.dialogs.shown.clear();
    desktop.dialogs.asked.clear();
    W<QAbstractButton>("mxImageButton3")->click();
    EXPECT_EQ(desktop.dialogs.Errors(), QStringList{c.error});
    EXPECT_TRUE(desktop.dialogs.asked.empty());
    c.field->setText(old);
  }
  // A bad WAV field is read after the dialog; nothing is written.
  SelectFormat("WAV");
  W<QLineEdit>("txtWavSampleRate")->setText("fast");
  desktop.dialogs.shown.clear();
  Convert(out + "bad.wav");
  EXPECT_EQ(desktop.dialogs.Errors(), QStringList{"'fast' is not a valid integer value."});
  EXPECT_FALSE(QFile::exists(out + "bad.wav"));
  // A folder that is not there: the engine fails and says nothing was saved.
  W<QLineEdit>("txtWavSampleRate")->setText("44100");
  desktop.dialogs.shown.clear();
  Convert(out + "no/such/dir/x.wav");
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Fail to save file: cannot write beside " + out +
                                                 "no/such/dir/x.wav: No such file or directory"});
  EXPECT_TRUE(LeftoverParts().isEmpty());
}

TEST_F(Converter, ConvertDuringASaveIsIgnoredAndClosingAbortsTheSave) {
  const Media& m = Files();
  page->addToTimeline(m.longer);
  SelectFormat("iPod");  // the slowest encoder: the save is sure to report progress while it runs
  int events = 0;
  auto progress = W<engine::TVideoEngine>("VideoEngine1")->OnProcessing;
  W<engine::TVideoEngine>("VideoEngine1")->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) W<QAbstractButton>("mxImageButton3")->click();  // pressed again mid-save
    progress(pos, duration);
  };
  Convert(out + "first.mp4");
  ASSERT_GT(events, 0) << "the save reported no progress";
  EXPECT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(W<QLabel>("Label2")->text(), "Done.");
  EXPECT_NEAR(FfProbe((out + "first.mp4").toStdString()).duration, 10.0, 0.5);
  // The progress bar followed the save up to the duration.
  EXPECT_EQ(W<QProgressBar>("ProgressBar2")->maximum(), 10);

  // Closing the window mid-save asks first; Yes aborts it: no file, no
  // leftovers, no message.
  events = 0;
  desktop.dialogs.yesNoAnswers.push_back(true);
  W<QLabel>("Label2")->setText("-");
  W<engine::TVideoEngine>("VideoEngine1")->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) form->close();
    progress(pos, duration);
  };
  Convert(out + "second.mp4");
  ASSERT_GT(events, 0);
  EXPECT_FALSE(page->converting());
  EXPECT_FALSE(QFile::exists(out + "second.mp4"));
  EXPECT_TRUE(LeftoverParts().isEmpty());
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"A conversion is running. Quit anyway?"});
  EXPECT_NE(W<QLabel>("Label2")->text(), "Done.");
}

TEST_F(Converter, AfterAConversionThePreviewFollowsPlaybackAndStopsAtTheEnd) {
  const Media& m = Files();
  AddFiles({m.avi});
  SelectFormat("WAV");
  Convert(out + "first.wav");
  ASSERT_EQ(W<QLabel>("Label2")->text(), "Done.");
  EXPECT_FALSE(form->state().converterBusy);

  W<QSlider>("TrackBar2")->setValue(0);
  W<QAbstractButton>("mxTPButton13")->click();
  ASSERT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Stop");
  // The 1-second clip plays to its end: the bar moves with it and the button
  // turns back by itself.
  QTRY_COMPARE_WITH_TIMEOUT(W<QAbstractButton>("mxTPButton13")->text(), QString("Play"), 5000);
  EXPECT_EQ(W<QSlider>("TrackBar2")->maximum(), 1);
  EXPECT_EQ(W<QSlider>("TrackBar2")->value(), 1);
}

TEST_F(Converter, PlayStopAndTheEndOfPlayback) {
  const Media& m = Files();
  W<QAbstractButton>("mxTPButton13")->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Please select video/image file first"});
  EXPECT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Play");

  AddFiles({m.avi});
  W<QAbstractButton>("mxTPButton13")->click();
  EXPECT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Stop");
  EXPECT_TRUE(W<engine::TVideoEngine>("VideoEngine1")->IsPlaying());
  // The 1-second clip plays to its end; the button turns back by itself.
  QTRY_COMPARE_WITH_TIMEOUT(W<QAbstractButton>("mxTPButton13")->text(), QString("Play"), 5000);
  EXPECT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Play");
  EXPECT_EQ(W<QSlider>("TrackBar2")->value(), W<QSlider>("TrackBar2")->maximum());

  // Selecting another entry while playing halts the engine but leaves the
  // button: the next press stops, the one after plays.
  AddFiles({m.flv});
  W<QAbstractButton>("mxTPButton13")->click();
  ASSERT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Stop");
  const QRect first = W<QTreeView>("ListView1")->visualRect(page->timeline().index(0, 0));
  QTest::mouseClick(W<QTreeView>("ListView1")->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_FALSE(W<engine::TVideoEngine>("VideoEngine1")->IsPlaying());
  EXPECT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Stop");
  W<QAbstractButton>("mxTPButton13")->click();
  EXPECT_EQ(W<QAbstractButton>("mxTPButton13")->text(), "Play");
  W<QAbstractButton>("mxTPButton13")->click();
  EXPECT_TRUE(W<engine::TVideoEngine>("VideoEngine1")->IsPlaying());
  W<QAbstractButton>("mxTPButton13")->click();

  // Dragging the bar seeks the preview to the whole second.
  W<QSlider>("TrackBar2")->setValue(0);
  W<QSlider>("TrackBar2")->setValue(1);
  EXPECT_NEAR(W<engine::TVideoEngine>("VideoEngine1")->PreviewPosition(), 1.0, 0.05);
}

}  // namespace
}  // namespace larkvale::app
