// The conversion run without a window: the real engine and Timeline, scripted
// dialogs, media made by the ffmpeg CLI and outputs checked by ffprobe.
#include "convert/conversionrun.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>

#include "convert/timelinemodel.h"
#include "engine/damaged_mp4.h"
#include "engine/videoengine.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"

namespace larkvale::convert {
namespace {

using Outcome = ConversionRun::Outcome;
using testsupport::FfProbe;

struct Clips {
  QString shortClip;  // 2 s, 320x240, stereo
  QString longClip;   // 10 s, long enough for a save to report progress
};

const Clips& Media() {
  static QTemporaryDir dir;
  static const Clips clips = [] {
    Clips c{dir.path() + "/short.flv", dir.path() + "/long.flv"};
    testsupport::FixtureSpec longer;
    longer.seconds = 10;
    const bool ok = testsupport::MakeMediaFixture(c.shortClip.toStdString(), {}) &&
                    testsupport::MakeMediaFixture(c.longClip.toStdString(), longer);
    EXPECT_TRUE(ok) << "ffmpeg could not make the fixtures";
    return c;
  }();
  return clips;
}

class ConversionRunTest : public ::testing::Test {
 public:
  ConversionRunTest() {
    out = dir.path() + "/";
    run.OnStatus = [this](const QString& s) { statuses << s; };
    run.OnPosition = [this](int p) {
      positions.push_back(p);
      if (p > maximum) positionPastMaximum = true;
    };
    run.OnMaximum = [this](int m) { maximum = m; };
  }
  void Add(const QString& path) { timeline.Append(path, engine.GetFileDuration(path)); }
  // Converts into `name` in the output folder, answering the save dialog with it.
  Outcome Convert(const QString& name, const OutputChoices& choices = {}) {
    dialogs.saveAnswers.push_back(name.isEmpty() ? QString() : out + name);
    return run.Run(choices, QStringLiteral(LARKVALE_APPDIR), out);
  }
  static OutputChoices Format(const char* entry) {
    OutputChoices c;
    for (size_t i = 0; i < OutputFormats().size(); ++i)
      if (OutputFormats()[i].entry == QLatin1String(entry)) c.format = int(i);
    return c;
  }

  QTemporaryDir dir;
  QString out;
  engine::TVideoEngine engine;
  TimelineModel timeline;
  bool busy = false;
  testing::ScriptedDialogs dialogs;
  testing::RecordingHelp help;
  ConversionRun run{engine, timeline, busy, dialogs, help, QStringLiteral("Larkvale_HD")};
  QStringList statuses;
  std::vector<int> positions;
  int maximum = 100;
  bool positionPastMaximum = false;
};

TEST_F(ConversionRunTest, SavesTheTimelineAndReportsItsProgress) {
  Add(Media().shortClip);
  Add(Media().shortClip);
  const struct {
    const char* entry;
    const char* file;
    const char* filter;
    const char* container;
    const char* audio;
  } cases[] = {{"MPEG 1", "out.mpg", "Mpeg File (*.mpg)", "mpeg", "mp2"},
               {"WAV", "out.wav", "Wave (*.wav)", "wav", "pcm_s16le"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    statuses.clear();
    dialogs.asked.clear();
    EXPECT_EQ(Convert(c.file, Format(c.entry)), Outcome::Saved);
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.Texts().join('|').toStdString();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].kind, "save");
    EXPECT_EQ(dialogs.asked[0].dir, out);
    EXPECT_EQ(dialogs.asked[0].filter, c.filter);
    EXPECT_EQ(statuses, QStringList({"Converting video...", "Done."}));
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 0);  // the bar is emptied at the end
    EXPECT_EQ(maximum, 4);           // both entries, in whole seconds
    EXPECT_FALSE(busy);              // cleared once the run is over
    EXPECT_FALSE(run.Saving());
    const auto probed = FfProbe((out + c.file).toStdString());
    ASSERT_TRUE(probed.ok);
    EXPECT_NE(probed.format.find(c.container), std::string::npos) << probed.format;
    EXPECT_EQ(probed.audio.codec, c.audio);
    EXPECT_NEAR(probed.duration, 4.0, 0.5);
  }
  EXPECT_FALSE(positionPastMaximum);
  EXPECT_TRUE(QDir(out).entryList({"*.part"}, QDir::Files).isEmpty());
}

TEST_F(ConversionRunTest, EndingsBeforeTheSave) {
  // Empty Timeline: the message, then help; no dialog.
  EXPECT_EQ(Convert("never.avi"), Outcome::EmptyTimeline);
  EXPECT_EQ(dialogs.Texts(), QStringList{"Timeline empty,cannot process"});
  EXPECT_EQ(help.shown, std::vector<int>{223});
  EXPECT_TRUE(dialogs.asked.empty());
  EXPECT_FALSE(busy);  // the run is over
  dialogs.saveAnswers.clear();

  // A field that is not a whole number stops the run before the dialog.
  Add(Media().shortClip);
  dialogs.shown.clear();
  OutputChoices bad = Format("MPEG 1");
  bad.width = QStringLiteral("abc");
  EXPECT_EQ(run.Run(bad, QStringLiteral(LARKVALE_APPDIR), out), Outcome::Error);
  EXPECT_EQ(dialogs.Errors(), QStringList{"'abc' is not a valid integer value."});
  EXPECT_TRUE(dialogs.asked.empty());

  // A cancelled dialog: nothing written, nothing said.
  dialogs.shown.clear();
  EXPECT_EQ(Convert(QString(), Format("AVI")), Outcome::Cancelled);
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_TRUE(QDir(out).entryList(QDir::Files).isEmpty());
}

TEST_F(ConversionRunTest, ConverterBusyIsSetWhileARunGoesAndClearedWhenItEnds) {
  Add(Media().shortClip);
  OutputChoices badWav = Format("WAV");
  badWav.wavChannels = QStringLiteral("x");
  OutputChoices badWidth = Format("MPEG 1");
  badWidth.width = QStringLiteral("0");
  const struct {
    const char* what;
    OutputChoices choices;
    const char* answer;  // the save dialog's, "" for Cancel
    Outcome outcome;
  } cases[] = {
      {"saved", Format("WAV"), "ok.wav", Outcome::Saved},
      {"engine failed", Format("WAV"), "no/such/dir/x.wav", Outcome::Failed},
      {"dialog cancelled", Format("AVI"), "", Outcome::Cancelled},
      {"bad field before the dialog", badWidth, "never.mpg", Outcome::Error},
      {"bad field after the dialog", badWav, "bad.wav", Outcome::Error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    busy = true;  // as a run before it left it, were it not cleared
    bool busyDuringSave = false;
    auto progress = engine.OnProcessing;
    engine.OnProcessing = [&](double position, double duration) {
      progress(position, duration);
      busyDuringSave = busy;
    };
    dialogs.saveAnswers.clear();
    EXPECT_EQ(Convert(QString::fromLatin1(c.answer), c.choices), c.outcome);
    engine.OnProcessing = progress;
    EXPECT_FALSE(busy);
    if (c.outcome == Outcome::Saved) EXPECT_TRUE(busyDuringSave);
  }
  // A stop at the empty-Timeline check clears it too.
  timeline.Remove(0);
  busy = true;
  EXPECT_EQ(Convert("never.avi"), Outcome::EmptyTimeline);
  EXPECT_FALSE(busy);
}

TEST_F(ConversionRunTest, EndingsDuringTheSave) {
  Add(Media().shortClip);
  // The WAV fields are read after the dialog: an error report, no file, and
  // the run can be started again.
  OutputChoices wav = Format("WAV");
  wav.wavSampleRate = QStringLiteral("fast");
  EXPECT_EQ(Convert("bad.wav", wav), Outcome::Error);
  EXPECT_EQ(dialogs.Errors(), QStringList{"'fast' is not a valid integer value."});
  EXPECT_FALSE(QFile::exists(out + "bad.wav"));
  EXPECT_FALSE(run.Saving());

  // A folder that is not there: the engine fails and the run says so.
  dialogs.shown.clear();
  EXPECT_EQ(Convert("no/such/dir/x.wav", Format("WAV")), Outcome::Failed);
  EXPECT_EQ(dialogs.Texts(), QStringList{"Fail to save file: cannot write beside " + out +
                                         "no/such/dir/x.wav: No such file or directory"});
}

TEST_F(ConversionRunTest, ASecondRunDuringTheSaveIsRefusedAndClosingAborts) {
  timeline.Append(Media().longClip, engine.GetFileDuration(Media().longClip));
  // The slowest encoder: the save is sure to report progress while it runs.
  const OutputChoices ipod = Format("iPod");
  auto progress = engine.OnProcessing;
  Outcome nested = Outcome::Saved;
  int events = 0;
  engine.OnProcessing = [&](double position, double duration) {
    if (position < duration && ++events == 1) {
      EXPECT_TRUE(run.Saving());
      nested = run.Run(ipod, QStringLiteral(LARKVALE_APPDIR), out);
      EXPECT_TRUE(busy) << "the refused run cleared the flag of the save still going";
    }
    progress(position, duration);
  };
  EXPECT_EQ(Convert("first.mp4", ipod), Outcome::Saved);
  ASSERT_GT(events, 0) << "the save reported no progress";
  EXPECT_EQ(nested, Outcome::Refused);
  EXPECT_EQ(dialogs.asked.size(), 1u);
  EXPECT_EQ(maximum, 10);
  EXPECT_FALSE(positionPastMaximum);
  EXPECT_NEAR(FfProbe((out + "first.mp4").toStdString()).duration, 10.0, 0.5);

  // Closing the window mid-save: no file, no leftovers, no message.
  events = 0;
  statuses.clear();
  engine.OnProcessing = [&](double position, double duration) {
    if (position < duration && ++events == 1) run.AbortForClose();
    progress(position, duration);
  };
  EXPECT_EQ(Convert("second.mp4", ipod), Outcome::Aborted);
  EXPECT_FALSE(run.Saving());
  EXPECT_FALSE(QFile::exists(out + "second.mp4"));
  EXPECT_TRUE(QDir(out).entryList({"*.part"}, QDir::Files).isEmpty());
  EXPECT_TRUE(dialogs.shown.empty()) << dialogs.Texts().join('|').toStdString();
  EXPECT_FALSE(statuses.contains("Done."));
  // Outside a save the close does nothing.
  run.AbortForClose();
  EXPECT_EQ(Convert("third.mp3", Format("MP3")), Outcome::Saved);
}


TEST_F(ConversionRunTest, OneFilePerEntryWritesEachUnderAFreeNameAndCountsTheBatch) {
  Add(Media().shortClip);
  Add(Media().longClip);
  Add(Media().shortClip);
  const QString folder = out + "batch/";
  ASSERT_TRUE(QDir().mkpath(folder));
  {
    QFile existing(folder + "short.mp3");  // a file of the user's, never overwritten
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("keep");
  }
  OutputChoices each = Format("MP3");
  each.eachEntry = true;
  dialogs.folderAnswers.push_back(folder);
  EXPECT_EQ(run.Run(each, QStringLiteral(LARKVALE_APPDIR), out), Outcome::Saved);
  EXPECT_TRUE(dialogs.shown.empty()) << dialogs.Texts().join('|').toStdString();
  ASSERT_EQ(dialogs.asked.size(), 1u);
  EXPECT_EQ(dialogs.asked[0].kind, "folder");
  const QStringList expected{folder + "short (2).mp3", folder + "long.mp3", folder + "short (3).mp3"};
  EXPECT_EQ(run.OutputFiles(), expected);
  const double lengths[] = {2, 10, 2};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].toStdString());
    const auto probed = FfProbe(expected[i].toStdString());
    ASSERT_TRUE(probed.ok);
    EXPECT_EQ(probed.audio.codec, "mp3");
    EXPECT_NEAR(probed.duration, lengths[i], 0.3);
  }
  QFile existing(folder + "short.mp3");
  ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
  EXPECT_EQ(existing.readAll(), "keep");
  EXPECT_EQ(statuses, QStringList({"Converting video...", "Converting 1 of 3: short.flv...",
                                   "Converting 2 of 3: long.flv...", "Converting 3 of 3: short.flv...", "Done."}));
  // The bar counts the whole batch: each file's end lands at the seconds of
  // the entries done, against one maximum.
  EXPECT_EQ(maximum, 14);
  EXPECT_FALSE(positionPastMaximum);
  for (int mark : {2, 12, 14}) EXPECT_NE(std::find(positions.begin(), positions.end(), mark), positions.end()) << mark;
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), 0);
  EXPECT_FALSE(busy);
  EXPECT_TRUE(QDir(folder).entryList({"*.part"}, QDir::Files).isEmpty());
}

TEST_F(ConversionRunTest, StopEndsABatchKeepingTheFilesDone) {
  Add(Media().shortClip);
  Add(Media().longClip);
  Add(Media().shortClip);
  const QString folder = out + "stopped/";
  ASSERT_TRUE(QDir().mkpath(folder));
  OutputChoices each = Format("iPod");  // slow enough to report progress
  each.eachEntry = true;
  auto progress = engine.OnProcessing;
  bool stopped = false;
  engine.OnProcessing = [&](double position, double duration) {
    // The browser's Stop, in the middle of the second entry.
    if (!stopped && statuses.last().startsWith("Converting 2 of 3") && position > 0 && position < duration) {
      stopped = true;
      engine.Abort();
    }
    progress(position, duration);
  };
  dialogs.folderAnswers.push_back(folder);
  EXPECT_EQ(run.Run(each, QStringLiteral(LARKVALE_APPDIR), out), Outcome::Stopped);
  ASSERT_TRUE(stopped) << "the second entry reported no progress";
  EXPECT_TRUE(dialogs.shown.empty()) << dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(run.OutputFiles(), QStringList{folder + "short.mp4"});
  EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"short.mp4"});
  EXPECT_NEAR(FfProbe((folder + "short.mp4").toStdString()).duration, 2.0, 0.3);
  EXPECT_EQ(statuses.last(), "Stopped.");
  EXPECT_FALSE(run.Saving());
  EXPECT_FALSE(busy);
}

TEST_F(ConversionRunTest, JoinOffersTheFirstFilesContainerOrNamesTheDifference) {
  const QString a = out + "a.mp4", b = out + "b.mp4", wide = out + "wide.mp4";
  testsupport::FixtureSpec shape;
  shape.seconds = 1;
  shape.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  testsupport::FixtureSpec wider = shape;
  wider.width = 352;
  ASSERT_TRUE(testsupport::MakeMediaFixture(a.toStdString(), shape) &&
              testsupport::MakeMediaFixture(b.toStdString(), shape) &&
              testsupport::MakeMediaFixture(wide.toStdString(), wider));
  Add(a);
  Add(b);
  EXPECT_EQ(Convert("joined.mp4", Format("Join without re-encoding")), Outcome::Saved);
  EXPECT_TRUE(dialogs.shown.empty()) << dialogs.Texts().join('|').toStdString();
  ASSERT_EQ(dialogs.asked.size(), 1u);
  EXPECT_EQ(dialogs.asked[0].filter, "MP4 File (*.mp4)");
  EXPECT_EQ(statuses, QStringList({"Converting video...", "Done."}));
  EXPECT_NEAR(FfProbe((out + "joined.mp4").toStdString()).duration, 2.0, 0.1);

  Add(wide);
  dialogs.asked.clear();
  dialogs.saveAnswers.clear();
  EXPECT_EQ(Convert("never.mp4", Format("Join without re-encoding")), Outcome::NotJoinable);
  EXPECT_EQ(dialogs.Texts(), QStringList{"wide.mp4: 352x240, the others 320x240"});
  EXPECT_TRUE(dialogs.asked.empty()) << "a save dialog for a join that cannot be done";
  EXPECT_FALSE(QFile::exists(out + "never.mp4"));
  EXPECT_FALSE(busy);
}


// A part cut short fails the join in the window as a failed save does: the
// message, and the engine's reason naming the part for the log line and the
// notification; a part the engine cannot read at all is named before the save
// dialog, rather than left out of a file called done. Nothing is written.
TEST_F(ConversionRunTest, JoinOfADamagedPartFailsNamingItAndWritesNothing) {
  const QString a = out + "a.mp4", whole = out + "whole.mp4", cut = out + "cut.mp4", broken = out + "broken.mp4";
  testsupport::FixtureSpec shape;
  shape.seconds = 1;  // 25 pictures
  shape.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  ASSERT_TRUE(testsupport::MakeMediaFixture(a.toStdString(), shape) &&
              testsupport::MakeMediaFixture(whole.toStdString(), shape));
  int status = -1;
  testsupport::RunCommand("ffmpeg -nostdin -v error -y -i " + testsupport::ShellQuote(whole.toStdString()) +
                              " -c copy -movflags +faststart " + testsupport::ShellQuote(cut.toStdString()),
                          &status);
  ASSERT_EQ(status, 0);
  // Cut half-way through its media; its index, first, still lists them all.
  std::string bytes = enginetest::ReadBytes(cut.toStdString());
  const auto mdat = enginetest::FindMp4Box(bytes, "mdat");
  ASSERT_TRUE(mdat);
  bytes.resize(mdat->at + mdat->size / 2);
  ASSERT_TRUE(enginetest::WriteBytes(cut.toStdString(), bytes));
  // The index at the end, cut off just after its start: no stream is left.
  bytes = enginetest::ReadBytes(whole.toStdString());
  const auto moov = enginetest::FindMp4Box(bytes, "moov");
  ASSERT_TRUE(moov);
  bytes.resize(moov->at + 16);
  ASSERT_TRUE(enginetest::WriteBytes(broken.toStdString(), bytes));
  const auto leftovers = [&] {
    QStringList left = QDir(out).entryList({"joined*", "*.part"}, QDir::Files);
    return left.join(' ').toStdString();
  };

  Add(a);
  Add(cut);
  EXPECT_EQ(Convert("joined.mp4", Format("Join without re-encoding")), Outcome::Failed);
  EXPECT_EQ(dialogs.Texts(), QStringList{"Fail to save file: " + engine.LastError()});
  EXPECT_TRUE(QRegularExpression(
                  "^cut\\.mp4: only [0-9]+ of its 25 pictures could be read; the file is cut short or damaged\\.$")
                  .match(engine.LastError())
                  .hasMatch())
      << engine.LastError().toStdString();
  EXPECT_FALSE(statuses.contains("Done.")) << statuses.join('|').toStdString();
  EXPECT_EQ(leftovers(), "");
  EXPECT_FALSE(busy);

  timeline.Remove(1);
  Add(broken);
  dialogs.shown.clear();
  dialogs.asked.clear();
  dialogs.saveAnswers.clear();
  EXPECT_EQ(Convert("joined.mp4", Format("Join without re-encoding")), Outcome::NotJoinable);
  EXPECT_EQ(dialogs.Texts(), QStringList{"broken.mp4: not a media file that can be read"});
  EXPECT_TRUE(dialogs.asked.empty()) << "a save dialog for a join that cannot be done";
  EXPECT_EQ(leftovers(), "");
}


// A part shorter than half a second has an End of 0 on the Timeline; a join
// still takes it, whole.
TEST_F(ConversionRunTest, JoinTakesAPartShorterThanHalfASecond) {
  const QString a = out + "a.mp4", brief = out + "brief.mp4";
  testsupport::FixtureSpec shape;
  shape.seconds = 1;
  shape.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  testsupport::FixtureSpec shorter = shape;
  shorter.seconds = 0.4;
  ASSERT_TRUE(testsupport::MakeMediaFixture(a.toStdString(), shape) &&
              testsupport::MakeMediaFixture(brief.toStdString(), shorter));
  Add(a);
  Add(brief);
  ASSERT_EQ(timeline.End(1), "0");
  EXPECT_EQ(Convert("joined.mp4", Format("Join without re-encoding")), Outcome::Saved)
      << dialogs.Texts().join('|').toStdString() << engine.LastError().toStdString();
  EXPECT_NEAR(FfProbe((out + "joined.mp4").toStdString()).duration, 1.4, 0.05);
}

}  // namespace
}  // namespace larkvale::convert
