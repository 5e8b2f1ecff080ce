// The converter page end to end: the real window headless, the real engine,
// media made by the ffmpeg CLI and outputs checked by ffprobe.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <ostream>

#include "support/window_parts.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"

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
    // First activation fills the engine's lists (and starts the runner on
    // an empty download list).
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(form.get(), &activate);
    out = desktop.root.path() + "/out/";
    QDir().mkpath(out);
  }
  void AddFiles(const QStringList& files) {
    desktop.dialogs.openAnswers.push_back(files);
    Child<QAbstractButton>(form.get(), "mxTPButton11")->click();
  }
  QStringList Rows() const {
    QStringList rows;
    for (int i = 0; i < Only<ConverterPage>(form.get())->timeline().Count(); ++i) rows << QFileInfo(Only<ConverterPage>(form.get())->timeline().Path(i)).fileName();
    return rows;
  }
  QString Selected() const {
    const int row = Only<ConverterPage>(form.get())->selectedEntry();
    return row < 0 ? QString() : QFileInfo(Only<ConverterPage>(form.get())->timeline().Path(row)).fileName();
  }
  void SelectFormat(const QString& entry) {
    const int i = Child<QComboBox>(form.get(), "ComboBox1")->findText(entry);
    ASSERT_GE(i, 0) << entry.toStdString();
    Child<QComboBox>(form.get(), "ComboBox1")->setCurrentIndex(i);
  }
  // Converts the Timeline, answering the save dialog with `file`.
  void Convert(const QString& file) {
    desktop.dialogs.saveAnswers.push_back(file);
    Child<QAbstractButton>(form.get(), "mxImageButton3")->click();
  }
  QStringList LeftoverParts() const { return QDir(out).entryList({"*.part"}, QDir::Files); }

  FakeDesktop desktop;
  std::unique_ptr<MainWindow> form;
  QString out;
};

TEST_F(Converter, StartsWithAviPanelDefaultsAndEngineLists) {
  EXPECT_EQ(Child<QComboBox>(form.get(), "ComboBox1")->count(), 19);
  EXPECT_EQ(Child<QComboBox>(form.get(), "ComboBox1")->currentText(), "AVI");
  EXPECT_FALSE(Child<QWidget>(form.get(), "avipanel")->isHidden());
  EXPECT_TRUE(Child<QWidget>(form.get(), "Panel1mpeg")->isHidden());
  EXPECT_EQ(Child<QLineEdit>(form.get(), "txtWidth")->text(), "320");
  EXPECT_EQ(Child<QLineEdit>(form.get(), "txtHeight")->text(), "240");
  EXPECT_EQ(Child<QLineEdit>(form.get(), "txtFrameRate")->text(), "25");
  EXPECT_EQ(Child<QComboBox>(form.get(), "cboVideoCompressor")->currentText(), "MJPEG Compressor");
  EXPECT_EQ(Child<QComboBox>(form.get(), "cboAudioCompressor")->currentText(), "PCM");
  EXPECT_TRUE(Child<QCheckBox>(form.get(), "chkUseVideoCompressor")->isChecked());
  EXPECT_EQ(Child<QComboBox>(form.get(), "cbowmv9")->count(), 12);
  for (int i = 0; i < Child<QComboBox>(form.get(), "cbowmv")->count(); ++i) {
    const int at = Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->WMVProfiles().IndexOf(Child<QComboBox>(form.get(), "cbowmv")->itemText(i));
    EXPECT_FALSE(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->WMVProfiles().IsHidden(at)) << i;
  }
  EXPECT_EQ(Child<QLabel>(form.get(), "Label2")->text(), "-");
  EXPECT_EQ(Child<QLabel>(form.get(), "Label4")->text(), "-");

  // Panels follow the format; five formats show none.
  const struct {
    const char* entry;
    QWidget* panel;
  } cases[] = {{"VCD_PAL", Child<QWidget>(form.get(), "Panel1mpeg")}, {"FLV", Child<QWidget>(form.get(), "Panel1flv")}, {"3GP", Child<QWidget>(form.get(), "Panel3gp")},
               {"WMV", Child<QWidget>(form.get(), "wmvpanel")},       {"WAV", Child<QWidget>(form.get(), "Panel1wav")}, {"MP3", Child<QWidget>(form.get(), "Panel1mp3")},
               {"QT", nullptr},               {"RM", nullptr},          {"iPod", nullptr},
               {"PSP", nullptr},              {"Zune", nullptr},        {"AVI", Child<QWidget>(form.get(), "avipanel")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    SelectFormat(c.entry);
    for (QWidget* p : {Child<QWidget>(form.get(), "Panel1mpeg"), Child<QWidget>(form.get(), "Panel1flv"), Child<QWidget>(form.get(), "Panel3gp"), Child<QWidget>(form.get(), "avipanel"), Child<QWidget>(form.get(), "wmvpanel"),
                       Child<QWidget>(form.get(), "Panel1wav"), Child<QWidget>(form.get(), "Panel1mp3")})
      EXPECT_EQ(!p->isHidden(), p == c.panel) << p->objectName().toStdString();
  }

  // "Use WMV9" switches which profile list is live.
  EXPECT_TRUE(Child<QComboBox>(form.get(), "cbowmv")->isEnabled());
  EXPECT_TRUE(Child<QComboBox>(form.get(), "cbowmv9")->isEnabled());
  Child<QCheckBox>(form.get(), "chkusewmv9")->click();
  EXPECT_FALSE(Child<QComboBox>(form.get(), "cbowmv")->isEnabled());
  EXPECT_TRUE(Child<QComboBox>(form.get(), "cbowmv9")->isEnabled());
  Child<QCheckBox>(form.get(), "chkusewmv9")->click();
  EXPECT_TRUE(Child<QComboBox>(form.get(), "cbowmv")->isEnabled());
  EXPECT_FALSE(Child<QComboBox>(form.get(), "cbowmv9")->isEnabled());
}

TEST_F(Converter, TimelineAddsInDialogOrderMovesDeletesAndPreviewsTheSelection) {
  const Media& m = Files();
  AddFiles({m.flv, m.avi});
  ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_EQ(desktop.dialogs.asked[0].dir, form->state().flvDir);
  EXPECT_EQ(desktop.dialogs.asked[0].filter, "video (*.flv *.avi);;all (*.*)");
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi"}));
  EXPECT_EQ(Only<ConverterPage>(form.get())->timeline().End(0), "2");
  EXPECT_EQ(Only<ConverterPage>(form.get())->timeline().Start(1), "0");
  EXPECT_EQ(Selected(), "b.avi");
  // The second file is the one previewed.
  EXPECT_EQ(Child<widgets::PathLabel>(form.get(), "PathLabel1")->Path(), m.avi);
  EXPECT_EQ(Child<QLabel>(form.get(), "Label4")->text(), "0 min 1 sec");
  EXPECT_EQ(Child<QLabel>(form.get(), "Label43")->text(), "176");
  EXPECT_EQ(Child<QLabel>(form.get(), "Label44")->text(), "144");
  EXPECT_EQ(Child<QLabel>(form.get(), "Label45")->text(), "15");
  EXPECT_EQ(Child<QSlider>(form.get(), "TrackBar2")->maximum(), 1);

  Child<QAbstractButton>(form.get(), "mxMSButton2")->click();  // up
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));
  EXPECT_EQ(Selected(), "b.avi");
  Child<QAbstractButton>(form.get(), "mxMSButton2")->click();  // already first: stays, reloaded
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));
  EXPECT_EQ(Selected(), "b.avi");
  Child<QAbstractButton>(form.get(), "mxMSButton3")->click();  // down
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi"}));
  EXPECT_EQ(Selected(), "b.avi");

  // Clicking a row previews it.
  const QRect first = Child<QTreeView>(form.get(), "ListView1")->visualRect(Only<ConverterPage>(form.get())->timeline().index(0, 0));
  QTest::mouseClick(Child<QTreeView>(form.get(), "ListView1")->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(Selected(), "a.flv");
  EXPECT_EQ(Child<widgets::PathLabel>(form.get(), "PathLabel1")->Path(), m.flv);
  EXPECT_EQ(Child<QLabel>(form.get(), "Label43")->text(), "320");
  EXPECT_EQ(Child<QLabel>(form.get(), "Label45")->text(), "25");

  // A finished download is appended and selected; the preview stays.
  Only<ConverterPage>(form.get())->addToTimeline(m.flv);
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  EXPECT_EQ(Only<ConverterPage>(form.get())->selectedEntry(), 2);
  EXPECT_EQ(Child<QLabel>(form.get(), "Label43")->text(), "320");
  Only<ConverterPage>(form.get())->addToTimeline(m.avi);
  EXPECT_EQ(Child<widgets::PathLabel>(form.get(), "PathLabel1")->Path(), m.flv);
  EXPECT_EQ(Child<QLabel>(form.get(), "Label43")->text(), "320");

  // Delete key on the Timeline does what "Delete" does; no row is selected
  // after it, so delete and move then do nothing.
  Child<QTreeView>(form.get(), "ListView1")->setFocus();
  QTest::keyClick(Child<QTreeView>(form.get(), "ListView1"), Qt::Key_Delete);
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  ASSERT_EQ(Only<ConverterPage>(form.get())->selectedEntry(), -1);
  Child<QAbstractButton>(form.get(), "mxTPButton12")->click();
  Child<QAbstractButton>(form.get(), "mxMSButton2")->click();
  Child<QAbstractButton>(form.get(), "mxMSButton3")->click();
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  // "Delete" on a chosen row.
  QTest::mouseClick(Child<QTreeView>(form.get(), "ListView1")->viewport(), Qt::LeftButton, {}, first.center());
  Child<QAbstractButton>(form.get(), "mxTPButton12")->click();
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));

  // F1 in the list opens its help topic; a cancelled open dialog adds nothing.
  QTest::keyClick(Child<QTreeView>(form.get(), "ListView1"), Qt::Key_F1);
  EXPECT_EQ(desktop.help.shown, std::vector<int>{1502});
  AddFiles({});
  EXPECT_EQ(Rows().size(), 2);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
}

TEST_F(Converter, EndsAndDurationsRoundHalvesToEven) {
  const Media& m = Files();
  AddFiles({m.wav605, m.wav595});
  EXPECT_EQ(Only<ConverterPage>(form.get())->timeline().End(0), "60");
  EXPECT_EQ(Only<ConverterPage>(form.get())->timeline().End(1), "60");
  EXPECT_EQ(Child<QLabel>(form.get(), "Label4")->text(), "1 min 0 sec");
  EXPECT_EQ(Child<QSlider>(form.get(), "TrackBar2")->maximum(), 60);
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
    Child<QLabel>(form.get(), "Label2")->setText("-");
    desktop.dialogs.asked.clear();
    Convert(out + c.file);
    ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
    EXPECT_EQ(desktop.dialogs.asked[0].kind, "save");
    EXPECT_EQ(desktop.dialogs.asked[0].dir, form->state().videoDir);
    EXPECT_EQ(desktop.dialogs.asked[0].filter, c.filter);
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(Child<QLabel>(form.get(), "Label2")->text(), "Done.");
    EXPECT_EQ(Child<QProgressBar>(form.get(), "ProgressBar2")->value(), 0);
    EXPECT_TRUE(form->state().converterBusy);
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
  EXPECT_EQ(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->OutputType, 9);  // the WAV and MP3 runs left Zune's
  EXPECT_EQ(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->WMVCustomFileName(), form->state().appDir + "zune.prx");

  // Panel settings reach the file: 8-bit mono WAV at 22.05 kHz.
  SelectFormat("WAV");
  Child<QComboBox>(form.get(), "cboWavBits")->setCurrentIndex(0);
  Child<QLineEdit>(form.get(), "txtWavChannels")->setText("1");
  Child<QLineEdit>(form.get(), "txtWavSampleRate")->setText("22050");
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
  Child<QAbstractButton>(form.get(), "mxImageButton3")->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_EQ(desktop.help.shown, std::vector<int>{223});
  EXPECT_TRUE(desktop.dialogs.asked.empty());
  EXPECT_EQ(Child<QLabel>(form.get(), "Label2")->text(), "Converting video...");
  EXPECT_TRUE(form->state().converterBusy);

  // Only a file that went away and one that is not media: nothing to convert.
  const QString gone = out + "gone.flv";
  QFile::copy(m.flv, gone);
  Only<ConverterPage>(form.get())->addToTimeline(gone);
  QFile::remove(gone);
  Only<ConverterPage>(form.get())->addToTimeline(m.text);
  EXPECT_EQ(Only<ConverterPage>(form.get())->timeline().End(1), "0");
  desktop.dialogs.shown.clear();
  Child<QAbstractButton>(form.get(), "mxImageButton3")->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_TRUE(desktop.dialogs.asked.empty());

  // With a good file among them the good file converts.
  Only<ConverterPage>(form.get())->addToTimeline(m.avi);
  desktop.dialogs.shown.clear();
  SelectFormat("MPEG 1");
  Convert(out + "mixed.mpg");
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_NEAR(FfProbe((out + "mixed.mpg").toStdString()).duration, 1.0, 0.5);

  // A cancelled save dialog: no file, no message.
  desktop.dialogs.shown.clear();
  Convert(QString());
  EXPECT_TRUE(desktop.dialogs.shown.empty());
  EXPECT_EQ(Child<QLabel>(form.get(), "Label2")->text(), "Converting video...");
  EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList{"mixed.mpg"});

  // Bad numbers end the run with the error report and before the dialog.
  const struct {
    QLineEdit* field;
    const char* text;
    const char* format;
    const char* error;
  } cases[] = {
      {Child<QLineEdit>(form.get(), "txtWidth"), "abc", "MPEG 1", "'abc' is not a valid integer value."},
      {Child<QLineEdit>(form.get(), "txtWidth"), "32.5", "MPEG 1", "'32.5' is not a valid integer value."},
      {Child<QLineEdit>(form.get(), "txtWidth"), "0", "MPEG 1", "File Width must be from 16 to 4096, not 0."},
      {Child<QLineEdit>(form.get(), "txtHeight"), "100000", "MPEG 1", "File Height must be from 16 to 4096, not 100000."},
      {Child<QLineEdit>(form.get(), "txtFrameRate"), "-5", "AVI", "Frame Rate must be from 1 to 120, not -5."},
      {Child<QLineEdit>(form.get(), "txtMpegVideoBitrate"), "", "FLV", "'' is not a valid integer value."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const QString old = c.field->text();
    c.field->setText(c.text);
    SelectFormat(c.format);
    desktop.dialogs.shown.clear();
    desktop.dialogs.asked.clear();
    Child<QAbstractButton>(form.get(), "mxImageButton3")->click();
    EXPECT_EQ(desktop.dialogs.Errors(), QStringList{c.error});
    EXPECT_TRUE(desktop.dialogs.asked.empty());
    c.field->setText(old);
  }
  // A bad WAV field is read after the dialog; nothing is written.
  SelectFormat("WAV");
  Child<QLineEdit>(form.get(), "txtWavSampleRate")->setText("fast");
  desktop.dialogs.shown.clear();
  Convert(out + "bad.wav");
  EXPECT_EQ(desktop.dialogs.Errors(), QStringList{"'fast' is not a valid integer value."});
  EXPECT_FALSE(QFile::exists(out + "bad.wav"));
  // A folder that is not there: the engine fails and says nothing was saved.
  Child<QLineEdit>(form.get(), "txtWavSampleRate")->setText("44100");
  desktop.dialogs.shown.clear();
  Convert(out + "no/such/dir/x.wav");
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Fail to save file"});
  EXPECT_TRUE(LeftoverParts().isEmpty());
}

TEST_F(Converter, ConvertDuringASaveIsIgnoredAndClosingAbortsTheSave) {
  const Media& m = Files();
  Only<ConverterPage>(form.get())->addToTimeline(m.longer);
  SelectFormat("iPod");  // the slowest encoder: the save is sure to report progress while it runs
  int events = 0;
  auto progress = Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->OnProcessing;
  Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) Child<QAbstractButton>(form.get(), "mxImageButton3")->click();  // pressed again mid-save
    progress(pos, duration);
  };
  Convert(out + "first.mp4");
  ASSERT_GT(events, 0) << "the save reported no progress";
  EXPECT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(Child<QLabel>(form.get(), "Label2")->text(), "Done.");
  EXPECT_NEAR(FfProbe((out + "first.mp4").toStdString()).duration, 10.0, 0.5);
  // The progress bar followed the save up to the duration.
  EXPECT_EQ(Child<QProgressBar>(form.get(), "ProgressBar2")->maximum(), 10);

  // Closing the window mid-save aborts it: no file, no leftovers, no message.
  events = 0;
  Child<QLabel>(form.get(), "Label2")->setText("-");
  Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) form->close();
    progress(pos, duration);
  };
  Convert(out + "second.mp4");
  ASSERT_GT(events, 0);
  EXPECT_FALSE(Only<ConverterPage>(form.get())->converting());
  EXPECT_FALSE(QFile::exists(out + "second.mp4"));
  EXPECT_TRUE(LeftoverParts().isEmpty());
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_NE(Child<QLabel>(form.get(), "Label2")->text(), "Done.");
}

TEST_F(Converter, PlayStopAndTheEndOfPlayback) {
  const Media& m = Files();
  Child<QAbstractButton>(form.get(), "mxTPButton13")->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Please select video/image file first"});
  EXPECT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), "Play");

  AddFiles({m.avi});
  Child<QAbstractButton>(form.get(), "mxTPButton13")->click();
  EXPECT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), "Stop");
  EXPECT_TRUE(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->IsPlaying());
  // The 1-second clip plays to its end; the button turns back by itself.
  QTRY_COMPARE_WITH_TIMEOUT(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), QString("Play"), 5000);
  EXPECT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), "Play");
  EXPECT_EQ(Child<QSlider>(form.get(), "TrackBar2")->value(), Child<QSlider>(form.get(), "TrackBar2")->maximum());

  // Selecting another entry while playing halts the engine but leaves the
  // button: the next press stops, the one after plays.
  AddFiles({m.flv});
  Child<QAbstractButton>(form.get(), "mxTPButton13")->click();
  ASSERT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), "Stop");
  const QRect first = Child<QTreeView>(form.get(), "ListView1")->visualRect(Only<ConverterPage>(form.get())->timeline().index(0, 0));
  QTest::mouseClick(Child<QTreeView>(form.get(), "ListView1")->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_FALSE(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->IsPlaying());
  EXPECT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), "Stop");
  Child<QAbstractButton>(form.get(), "mxTPButton13")->click();
  EXPECT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton13")->text(), "Play");
  Child<QAbstractButton>(form.get(), "mxTPButton13")->click();
  EXPECT_TRUE(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->IsPlaying());
  Child<QAbstractButton>(form.get(), "mxTPButton13")->click();

  // Dragging the bar seeks the preview to the whole second.
  Child<QSlider>(form.get(), "TrackBar2")->setValue(0);
  Child<QSlider>(form.get(), "TrackBar2")->setValue(1);
  EXPECT_NEAR(Child<engine::TVideoEngine>(form.get(), "VideoEngine1")->PreviewPosition(), 1.0, 0.05);
}

}  // namespace
}  // namespace larkvale::app
