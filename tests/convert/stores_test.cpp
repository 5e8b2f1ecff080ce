// What the converter keeps across runs: the Timeline in its own file, the
// output choices in the settings file beside the values already there.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "convert/choicesstore.h"
#include "convert/timelinestore.h"
#include "platform/errors.h"
#include "support/video_site.h"

namespace larkvale::convert {
namespace {

using testing::ReadFileBytes;
using testing::WriteFileBytes;

TEST(TimelineStore, EntriesComeBackInOrderWithTheirTimes) {
  QTemporaryDir dir;
  const QString a = dir.path() + "/a clip.avi", b = dir.path() + "/b.flv", gone = dir.path() + "/gone.flv";
  for (const QString& f : {a, b}) WriteFileBytes(f.toStdString(), "x");
  const QString path = TimelineFilePath(dir.path() + "/data");
  EXPECT_EQ(path, dir.path() + "/data/Larkvale_HD/timeline.json");
  {
    TimelineModel timeline;
    TimelineStore store(timeline, path);
    timeline.Append(a, 125.5);
    timeline.Append(gone, 3);
    timeline.Append(b, 60.5);
    EXPECT_TRUE(store.SavePending());
    EXPECT_FALSE(QFile::exists(path));  // saved together, not per change
  }  // the store's end saves
  TimelineModel back;
  TimelineStore store(back, path);
  ASSERT_TRUE(store.Load());
  EXPECT_FALSE(store.SavePending());  // loading is not a change to save
  // A file that is gone can be neither previewed nor converted: left out.
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.Path(0), a);
  EXPECT_EQ(back.End(0), "126");
  EXPECT_EQ(back.Path(1), b);
  EXPECT_EQ(back.Start(1), "0");
  EXPECT_EQ(back.End(1), "60");
}

TEST(TimelineStore, ADamagedFileStartsEmptyAndIsKeptAside) {
  for (const std::string& bytes : {std::string("{\"version\": 1, \"entries\": [{\"fi"), std::string("[]"),
                                  std::string("{\"version\": 1, \"entries\": [{\"start\": \"0\"}]}")}) {
    SCOPED_TRACE(bytes);
    QTemporaryDir dir;
    const QString path = dir.path() + "/timeline.json";
    WriteFileBytes(path.toStdString(), bytes);
    TimelineModel timeline;
    TimelineStore store(timeline, path);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.Load());
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(timeline.Count(), 0);
    EXPECT_EQ(ReadFileBytes((path + ".bad").toStdString()), bytes);
  }
}

TEST(OutputChoicesStore, ChoicesComeBackAndTheFileKeepsEverythingElse) {
  QTemporaryDir dir;
  const QString file = dir.path() + "/settings.ini";
  const std::string before =
      "; written by hand\n[Software\\Larkvale_HD]\n\"videodir\"=\"/home/ann/videos\"\n\"future\"=dword:00000001\n"
      "[Other]\n\"x\"=\"y\"\n";
  WriteFileBytes(file.toStdString(), before);

  OutputChoices chosen;
  chosen.format = 17;  // the second-to-last entry
  chosen.width = "640";
  chosen.height = "not a number yet";  // kept as typed: refused when a conversion reads it
  chosen.mpeg.videoBitrate = "8000000";
  chosen.flv.audioChannels = "1";
  chosen.gp3VideoCodec = 1;
  chosen.videoCompressor = 3;
  chosen.useAudioCompressor = false;
  chosen.useWMV9 = true;
  chosen.wmv8Profile = "Video for \"broadband\" \\ 2";
  chosen.wavBits = 0;
  chosen.mp3SampleRate = "22050";
  chosen.mp4.quality = "18";
  chosen.webm.audioBitrate = "96";
  chosen.webm.sourceSize = false;
  chosen.eachEntry = true;
  {
    platform::SettingsAccessor accessor(file);
    ASSERT_TRUE(accessor.OpenKey("Software\\Larkvale_HD", false));
    StoreOutputChoices(accessor, chosen);
  }
  const std::string after = ReadFileBytes(file.toStdString());
  for (const char* kept : {"; written by hand\n", "\"videodir\"=\"/home/ann/videos\"\n", "\"future\"=dword:00000001\n",
                           "[Other]\n\"x\"=\"y\"\n"})
    EXPECT_NE(after.find(kept), std::string::npos) << kept << "\n" << after;

  platform::SettingsAccessor accessor(file);
  ASSERT_TRUE(accessor.OpenKey("Software\\Larkvale_HD", false));
  EXPECT_EQ(accessor.ReadString("convert.format"), OutputFormats()[17].entry);
  const OutputChoices back = RestoreOutputChoices(accessor);
  EXPECT_EQ(back.format, 17);
  EXPECT_EQ(back.width, "640");
  EXPECT_EQ(back.height, "not a number yet");
  EXPECT_EQ(back.frameRate, "25");
  EXPECT_EQ(back.mpeg.videoBitrate, "8000000");
  EXPECT_EQ(back.mpeg.audioBitrate, "224000");
  EXPECT_EQ(back.flv.audioChannels, "1");
  EXPECT_EQ(back.gp3VideoCodec, 1);
  EXPECT_EQ(back.videoCompressor, 3);
  EXPECT_TRUE(back.useVideoCompressor);
  EXPECT_FALSE(back.useAudioCompressor);
  EXPECT_TRUE(back.useWMV9);
  EXPECT_EQ(back.wmv8Profile, chosen.wmv8Profile);
  EXPECT_EQ(back.wavBits, 0);
  EXPECT_EQ(back.mp3SampleRate, "22050");
  EXPECT_EQ(back.mp4.quality, "18");
  EXPECT_EQ(back.mp4.audioBitrate, "160");
  EXPECT_TRUE(back.mp4.sourceSize);
  EXPECT_EQ(back.webm.audioBitrate, "96");
  EXPECT_FALSE(back.webm.sourceSize);
  EXPECT_TRUE(back.eachEntry);
  EXPECT_EQ(accessor.ReadString("videodir"), "/home/ann/videos");
}

TEST(OutputChoicesStore, UnusableValuesKeepTheDefaults) {
  QTemporaryDir dir;
  const QString file = dir.path() + "/settings.ini";
  WriteFileBytes(file.toStdString(),
                 "[Software\\Larkvale_HD]\n\"convert.format\"=\"Betamax\"\n\"convert.videocompressor\"=\"-2\"\n"
                 "\"convert.wav.bits\"=\"many\"\n\"convert.usewmv9\"=\"yes\"\n\"convert.width\"=dword:00000280\n"
                 "\"convert.height\"=\"480\"\n");
  platform::SettingsAccessor accessor(file);
  ASSERT_TRUE(accessor.OpenKey("Software\\Larkvale_HD", false));
  const OutputChoices defaults;
  const OutputChoices back = RestoreOutputChoices(accessor);
  EXPECT_EQ(back.format, defaults.format);
  EXPECT_EQ(back.videoCompressor, defaults.videoCompressor);
  EXPECT_EQ(back.wavBits, defaults.wavBits);
  EXPECT_EQ(back.useWMV9, defaults.useWMV9);
  EXPECT_EQ(back.width, defaults.width);  // a value of another type
  EXPECT_EQ(back.height, "480");          // the usable one next to them still counts
}

TEST(OutputChoicesStore, AFailedWriteChangesNothing) {
  QTemporaryDir dir;
  const QString file = dir.path() + "/settings.ini";
  const std::string before = "[Software\\Larkvale_HD]\n\"videodir\"=\"/v\"\n";
  WriteFileBytes(file.toStdString(), before);
  platform::SettingsAccessor accessor(file);
  // No key open: refused before the file is touched, naming the first value.
  try {
    StoreOutputChoices(accessor, OutputChoices{});
    FAIL() << "no error";
  } catch (const platform::ESettingsError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'convert.format'");
  }
  EXPECT_EQ(ReadFileBytes(file.toStdString()), before);
}

}  // namespace
}  // namespace larkvale::convert
