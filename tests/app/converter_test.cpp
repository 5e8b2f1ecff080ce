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

#include "app/Unit1.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"

// Readable failures for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << '[' << l.join('|').toStdString() << ']'; }

namespace larkvale::app {
namespace {

using testing::FakeDesktop;
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
    form = std::make_unique<TForm1>(desktop.services);
    // Shown, so that clicks, keys and closing reach it as they would a user's.
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->ShowPage(TForm1::pgConverter);
    // First activation fills the engine's lists (and starts the runner on
    // an empty download list).
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(form.get(), &activate);
    out = desktop.root.path() + "/out/";
    QDir().mkpath(out);
  }
  void AddFiles(const QStringList& files) {
    desktop.dialogs.openAnswers.push_back(files);
    form->mxTPButton11->click();
  }
  QStringList Rows() const {
    QStringList rows;
    for (int i = 0; i < form->Timeline->Count(); ++i) rows << QFileInfo(form->Timeline->Path(i)).fileName();
    return rows;
  }
  QString Selected() const {
    const int row = form->SelectedTimelineRow();
    return row < 0 ? QString() : QFileInfo(form->Timeline->Path(row)).fileName();
  }
  void SelectFormat(const QString& entry) {
    const int i = form->ComboBox1->findText(entry);
    ASSERT_GE(i, 0) << entry.toStdString();
    form->ComboBox1->setCurrentIndex(i);
  }
  // Converts the Timeline, answering the save dialog with `file`.
  void Convert(const QString& file) {
    desktop.dialogs.saveAnswers.push_back(file);
    form->mxImageButton3->click();
  }
  QStringList LeftoverParts() const { return QDir(out).entryList({"*.part"}, QDir::Files); }

  FakeDesktop desktop;
  std::unique_ptr<TForm1> form;
  QString out;
};

TEST_F(Converter, StartsWithAviPanelDefaultsAndEngineLists) {
  EXPECT_EQ(form->ComboBox1->count(), 19);
  EXPECT_EQ(form->ComboBox1->currentText(), "AVI");
  EXPECT_FALSE(form->avipanel->isHidden());
  EXPECT_TRUE(form->Panel1mpeg->isHidden());
  EXPECT_EQ(form->txtWidth->text(), "320");
  EXPECT_EQ(form->txtHeight->text(), "240");
  EXPECT_EQ(form->txtFrameRate->text(), "25");
  EXPECT_EQ(form->cboVideoCompressor->currentText(), "MJPEG Compressor");
  EXPECT_EQ(form->cboAudioCompressor->currentText(), "PCM");
  EXPECT_TRUE(form->chkUseVideoCompressor->isChecked());
  EXPECT_EQ(form->cbowmv9->count(), 12);
  for (int i = 0; i < form->cbowmv->count(); ++i) {
    const int at = form->VideoEngine1->WMVProfiles().IndexOf(form->cbowmv->itemText(i));
    EXPECT_FALSE(form->VideoEngine1->WMVProfiles().IsHidden(at)) << i;
  }
  EXPECT_EQ(form->Label2->text(), "-");
  EXPECT_EQ(form->Label4->text(), "-");

  // Panels follow the format; five formats show none.
  const struct {
    const char* entry;
    QWidget* panel;
  } cases[] = {{"VCD_PAL", form->Panel1mpeg}, {"FLV", form->Panel1flv}, {"3GP", form->Panel3gp},
               {"WMV", form->wmvpanel},       {"WAV", form->Panel1wav}, {"MP3", form->Panel1mp3},
               {"QT", nullptr},               {"RM", nullptr},          {"iPod", nullptr},
               {"PSP", nullptr},              {"Zune", nullptr},        {"AVI", form->avipanel}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    SelectFormat(c.entry);
    for (QWidget* p : {form->Panel1mpeg, form->Panel1flv, form->Panel3gp, form->avipanel, form->wmvpanel,
                       form->Panel1wav, form->Panel1mp3})
      EXPECT_EQ(!p->isHidden(), p == c.panel) << p->objectName().toStdString();
  }

  // "Use WMV9" switches which profile list is live.
  EXPECT_TRUE(form->cbowmv->isEnabled());
  EXPECT_TRUE(form->cbowmv9->isEnabled());
  form->chkusewmv9->click();
  EXPECT_FALSE(form->cbowmv->isEnabled());
  EXPECT_TRUE(form->cbowmv9->isEnabled());
  form->chkusewmv9->click();
  EXPECT_TRUE(form->cbowmv->isEnabled());
  EXPECT_FALSE(form->cbowmv9->isEnabled());
}

TEST_F(Converter, TimelineAddsInDialogOrderMovesDeletesAndPreviewsTheSelection) {
  const Media& m = Files();
  AddFiles({m.flv, m.avi});
  ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_EQ(desktop.dialogs.asked[0].dir, form->FlvDir);
  EXPECT_EQ(desktop.dialogs.asked[0].filter, "video (*.flv *.avi);;all (*.*)");
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi"}));
  EXPECT_EQ(form->Timeline->End(0), "2");
  EXPECT_EQ(form->Timeline->Start(1), "0");
  EXPECT_EQ(Selected(), "b.avi");
  // The second file is the one previewed.
  EXPECT_EQ(form->PathLabel1->Path(), m.avi);
  EXPECT_EQ(form->Label4->text(), "0 min 1 sec");
  EXPECT_EQ(form->Label43->text(), "176");
  EXPECT_EQ(form->Label44->text(), "144");
  EXPECT_EQ(form->Label45->text(), "15");
  EXPECT_EQ(form->TrackBar2->maximum(), 1);

  form->mxMSButton2->click();  // up
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));
  EXPECT_EQ(Selected(), "b.avi");
  form->mxMSButton2->click();  // already first: stays, reloaded
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));
  EXPECT_EQ(Selected(), "b.avi");
  form->mxMSButton3->click();  // down
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi"}));
  EXPECT_EQ(Selected(), "b.avi");

  // Clicking a row previews it.
  const QRect first = form->ListView1->visualRect(form->Timeline->index(0, 0));
  QTest::mouseClick(form->ListView1->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(Selected(), "a.flv");
  EXPECT_EQ(form->PathLabel1->Path(), m.flv);
  EXPECT_EQ(form->Label43->text(), "320");
  EXPECT_EQ(form->Label45->text(), "25");

  // A finished download is appended and selected; the preview stays.
  form->AddToTimeline(m.flv);
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  EXPECT_EQ(form->SelectedTimelineRow(), 2);
  EXPECT_EQ(form->Label43->text(), "320");
  form->AddToTimeline(m.avi);
  EXPECT_EQ(form->PathLabel1->Path(), m.flv);
  EXPECT_EQ(form->Label43->text(), "320");

  // Delete key on the Timeline does what "Delete" does; no row is selected
  // after it, so delete and move then do nothing.
  form->ListView1->setFocus();
  QTest::keyClick(form->ListView1, Qt::Key_Delete);
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  ASSERT_EQ(form->SelectedTimelineRow(), -1);
  form->mxTPButton12->click();
  form->mxMSButton2->click();
  form->mxMSButton3->click();
  EXPECT_EQ(Rows(), QStringList({"a.flv", "b.avi", "a.flv"}));
  // "Delete" on a chosen row.
  QTest::mouseClick(form->ListView1->viewport(), Qt::LeftButton, {}, first.center());
  form->mxTPButton12->click();
  EXPECT_EQ(Rows(), QStringList({"b.avi", "a.flv"}));

  // F1 in the list opens its help topic; a cancelled open dialog adds nothing.
  QTest::keyClick(form->ListView1, Qt::Key_F1);
  EXPECT_EQ(desktop.help.shown, std::vector<int>{1502});
  AddFiles({});
  EXPECT_EQ(Rows().size(), 2);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
}

TEST_F(Converter, EndsAndDurationsRoundHalvesToEven) {
  const Media& m = Files();
  AddFiles({m.wav605, m.wav595});
  EXPECT_EQ(form->Timeline->End(0), "60");
  EXPECT_EQ(form->Timeline->End(1), "60");
  EXPECT_EQ(form->Label4->text(), "1 min 0 sec");
  EXPECT_EQ(form->TrackBar2->maximum(), 60);
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
    form->Label2->setText("-");
    desktop.dialogs.asked.clear();
    Convert(out + c.file);
    ASSERT_EQ(desktop.dialogs.asked.size(), 1u);
    EXPECT_EQ(desktop.dialogs.asked[0].kind, "save");
    EXPECT_EQ(desktop.dialogs.asked[0].dir, form->VideoDir);
    EXPECT_EQ(desktop.dialogs.asked[0].filter, c.filter);
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(form->Label2->text(), "Done.");
    EXPECT_EQ(form->ProgressBar2->value(), 0);
    EXPECT_TRUE(form->ConverterBusy);
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
  EXPECT_EQ(form->VideoEngine1->OutputType, 9);  // the WAV and MP3 runs left Zune's
  EXPECT_EQ(form->VideoEngine1->WMVCustomFileName(), form->AppDir + "zune.prx");

  // Panel settings reach the file: 8-bit mono WAV at 22.05 kHz.
  SelectFormat("WAV");
  form->cboWavBits->setCurrentIndex(0);
  form->txtWavChannels->setText("1");
  form->txtWavSampleRate->setText("22050");
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
  form->mxImageButton3->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_EQ(desktop.help.shown, std::vector<int>{223});
  EXPECT_TRUE(desktop.dialogs.asked.empty());
  EXPECT_EQ(form->Label2->text(), "Converting video...");
  EXPECT_TRUE(form->ConverterBusy);

  // Only a file that went away and one that is not media: nothing to convert.
  const QString gone = out + "gone.flv";
  QFile::copy(m.flv, gone);
  form->AddToTimeline(gone);
  QFile::remove(gone);
  form->AddToTimeline(m.text);
  EXPECT_EQ(form->Timeline->End(1), "0");
  desktop.dialogs.shown.clear();
  form->mxImageButton3->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_TRUE(desktop.dialogs.asked.empty());

  // With a good file among them the good file converts.
  form->AddToTimeline(m.avi);
  desktop.dialogs.shown.clear();
  SelectFormat("MPEG 1");
  Convert(out + "mixed.mpg");
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_NEAR(FfProbe((out + "mixed.mpg").toStdString()).duration, 1.0, 0.5);

  // A cancelled save dialog: no file, no message.
  desktop.dialogs.shown.clear();
  Convert(QString());
  EXPECT_TRUE(desktop.dialogs.shown.empty());
  EXPECT_EQ(form->Label2->text(), "Converting video...");
  EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList{"mixed.mpg"});

  // Bad numbers end the run with the error report and before the dialog.
  const struct {
    QLineEdit* field;
    const char* text;
    const char* format;
    const char* error;
  } cases[] = {
      {form->txtWidth, "abc", "MPEG 1", "'abc' is not a valid integer value."},
      {form->txtWidth, "32.5", "MPEG 1", "'32.5' is not a valid integer value."},
      {form->txtWidth, "0", "MPEG 1", "File Width must be between 16 and 4096 pixels (is 0)."},
      {form->txtHeight, "100000", "MPEG 1", "File Height must be between 16 and 4096 pixels (is 100000)."},
      {form->txtFrameRate, "-5", "AVI", "AVI: Frame Rate must be between 1 and 120 frames/s (is -5)."},
      {form->MpegFields[3], "", "FLV", "'' is not a valid integer value."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const QString old = c.field->text();
    c.field->setText(c.text);
    SelectFormat(c.format);
    desktop.dialogs.shown.clear();
    desktop.dialogs.asked.clear();
    form->mxImageButton3->click();
    EXPECT_EQ(desktop.dialogs.Errors(), QStringList{c.error});
    EXPECT_TRUE(desktop.dialogs.asked.empty());
    c.field->setText(old);
  }
  // A bad WAV field is read after the dialog; nothing is written.
  SelectFormat("WAV");
  form->txtWavSampleRate->setText("fast");
  desktop.dialogs.shown.clear();
  Convert(out + "bad.wav");
  EXPECT_EQ(desktop.dialogs.Errors(), QStringList{"'fast' is not a valid integer value."});
  EXPECT_FALSE(QFile::exists(out + "bad.wav"));
  // A folder that is not there: the engine fails and says nothing was saved.
  form->txtWavSampleRate->setText("44100");
  desktop.dialogs.shown.clear();
  Convert(out + "no/such/dir/x.wav");
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Fail to save file"});
  EXPECT_TRUE(LeftoverParts().isEmpty());
}

TEST_F(Converter, ConvertDuringASaveIsIgnoredAndClosingAbortsTheSave) {
  const Media& m = Files();
  form->AddToTimeline(m.longer);
  SelectFormat("iPod");  // the slowest encoder: the save is sure to report progress while it runs
  int events = 0;
  auto progress = form->VideoEngine1->OnProcessing;
  form->VideoEngine1->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) form->mxImageButton3->click();  // pressed again mid-save
    progress(pos, duration);
  };
  Convert(out + "first.mp4");
  ASSERT_GT(events, 0) << "the save reported no progress";
  EXPECT_EQ(desktop.dialogs.asked.size(), 1u);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(form->Label2->text(), "Done.");
  EXPECT_NEAR(FfProbe((out + "first.mp4").toStdString()).duration, 10.0, 0.5);
  // The progress bar followed the save up to the duration.
  EXPECT_EQ(form->ProgressBar2->maximum(), 10);

  // Closing the window mid-save aborts it: no file, no leftovers, no message.
  events = 0;
  form->Label2->setText("-");
  form->VideoEngine1->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) form->close();
    progress(pos, duration);
  };
  Convert(out + "second.mp4");
  ASSERT_GT(events, 0);
  EXPECT_FALSE(form->Converting());
  EXPECT_FALSE(QFile::exists(out + "second.mp4"));
  EXPECT_TRUE(LeftoverParts().isEmpty());
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join('|').toStdString();
  EXPECT_NE(form->Label2->text(), "Done.");
}

TEST_F(Converter, PlayStopAndTheEndOfPlayback) {
  const Media& m = Files();
  form->mxTPButton13->click();
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"Please select video/image file first"});
  EXPECT_EQ(form->PlayState, "stop");
  EXPECT_EQ(form->mxTPButton13->text(), "Play");

  AddFiles({m.avi});
  form->mxTPButton13->click();
  EXPECT_EQ(form->PlayState, "play");
  EXPECT_EQ(form->mxTPButton13->text(), "Stop");
  // The 1-second clip plays to its end; the button turns back by itself.
  QTRY_COMPARE_WITH_TIMEOUT(form->PlayState, QString("stop"), 5000);
  EXPECT_EQ(form->mxTPButton13->text(), "Play");
  EXPECT_EQ(form->TrackBar2->value(), form->TrackBar2->maximum());

  // Selecting another entry while playing halts the engine but leaves the
  // button: the next press stops, the one after plays.
  AddFiles({m.flv});
  form->mxTPButton13->click();
  ASSERT_EQ(form->PlayState, "play");
  const QRect first = form->ListView1->visualRect(form->Timeline->index(0, 0));
  QTest::mouseClick(form->ListView1->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_FALSE(form->VideoEngine1->IsPlaying());
  EXPECT_EQ(form->mxTPButton13->text(), "Stop");
  form->mxTPButton13->click();
  EXPECT_EQ(form->PlayState, "stop");
  form->mxTPButton13->click();
  EXPECT_TRUE(form->VideoEngine1->IsPlaying());
  form->mxTPButton13->click();

  // Dragging the bar seeks the preview to the whole second.
  form->TrackBar2->setValue(0);
  form->TrackBar2->setValue(1);
  EXPECT_NEAR(form->VideoEngine1->PreviewPosition(), 1.0, 0.05);
}

}  // namespace
}  // namespace larkvale::app
