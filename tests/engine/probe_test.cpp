// Probing, thumbnails and the timeline's bookkeeping.
#include "engine/engine_media.h"
#include "engine/probe.h"
#include "engine/videoengine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace larkvale::enginetest {
namespace {

TEST(VideoEngineProbe, ReadsLengthSizeAndRateOfEveryKindOfFile) {
  const EngineMedia& m = Media();
  struct Case {
    std::string file;
    double duration;
    int width, height;
    double fps;
  } cases[] = {
      {m.flv, 2, 320, 240, 25},   {m.avi, 2, 176, 144, 15}, {m.mp4, 2, 320, 240, 25},
      {m.silentWide, 1, 320, 180, 30}, {m.mp3, 2, 0, 0, 0}, {m.wav, 1, 0, 0, 0},
      {m.png, 0, 160, 120, 25},
  };
  TVideoEngine engine;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    QString f = QString::fromStdString(c.file);
    if (c.duration > 0) {
      EXPECT_NEAR(engine.GetFileDuration(f), c.duration, 0.1);
    }
    EXPECT_EQ(engine.GetFileWidth(f), c.width);
    EXPECT_EQ(engine.GetFileHeight(f), c.height);
    EXPECT_NEAR(engine.GetFileFrameRate(f), c.fps, 0.01);
  }
}

// The engine answers a second question about a file from its first probe;
// a file changed or replaced since must be probed anew.
TEST(VideoEngineProbe, AFileChangedSinceItsProbeIsProbedAgain) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("probe-again");
  const struct {
    const char* name;
    std::function<void(const std::string&)> change;
    int width;
  } cases[] = {
      {"replaced by another file", [&](const std::string& path) {
         std::filesystem::copy_file(m.avi, path + ".new");
         std::filesystem::rename(path + ".new", path);
       }, 176},
      {"written over in place", [&](const std::string& path) {
         std::filesystem::copy_file(m.avi, path, std::filesystem::copy_options::overwrite_existing);
       }, 176},
      {"cut short to nothing", [&](const std::string& path) { std::filesystem::resize_file(path, 0); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/clip";
    std::filesystem::remove(path);
    std::filesystem::copy_file(m.mp4, path);
    TVideoEngine engine;
    const QString f = QString::fromStdString(path);
    ASSERT_EQ(engine.GetFileWidth(f), 320);
    c.change(path);
    EXPECT_EQ(engine.GetFileWidth(f), c.width);
    EXPECT_EQ(engine.Probe(f).ok, c.width > 0);
  }
}

TEST(VideoEngineProbe, FilesThatAreNotMediaGiveZero) {
  const EngineMedia& m = Media();
  TVideoEngine engine;
  for (const std::string& file : {m.text, m.empty, m.missing, m.dir}) {
    SCOPED_TRACE(file);
    QString f = QString::fromStdString(file);
    EXPECT_EQ(engine.GetFileDuration(f), 0);
    EXPECT_EQ(engine.GetFileWidth(f), 0);
    EXPECT_EQ(engine.GetFileHeight(f), 0);
    EXPECT_EQ(engine.GetFileFrameRate(f), 0);
    EXPECT_TRUE(TVideoEngine::GetFileThumbnail(f, QSize(100, 100)).isNull());
    EXPECT_FALSE(engine.AddVideo(f, 0, 5, 0));
    EXPECT_FALSE(engine.AddAudio(f, 0, 5));
  }
  EXPECT_EQ(engine.GetTimelineDuration(), 0);
}

// A join's probe reads an MP4's header alone; it must tell what the full
// probe tells, and for other files it is the full probe.
TEST(VideoEngineProbe, TheHeaderProbeAgreesWithTheFullOne) {
  const EngineMedia& m = Media();
  for (const std::string& file : {m.mp4, m.flv, m.avi, m.silentWide, m.mp3, m.wav, m.cutFlv, m.text, m.empty, m.missing}) {
    SCOPED_TRACE(file);
    const engine::MediaInfo full = engine::ProbeFile(file);
    const engine::MediaInfo header = engine::ProbeFileHeader(file);
    EXPECT_EQ(header.ok, full.ok);
    EXPECT_NEAR(header.duration, full.duration, 0.05);
    EXPECT_EQ(header.width, full.width);
    EXPECT_EQ(header.height, full.height);
    EXPECT_NEAR(header.frameRate, full.frameRate, 0.01);
    EXPECT_EQ(header.hasVideo, full.hasVideo);
    EXPECT_EQ(header.hasAudio, full.hasAudio);
    EXPECT_EQ(header.sampleRate, full.sampleRate);
  }
}

TEST(VideoEngineProbe, CutShortDownloadReportsThePartPresent) {
  TVideoEngine engine;
  // The FLV header still announces 4 s.
  double d = engine.GetFileDuration(QString::fromStdString(Media().cutFlv));
  EXPECT_GT(d, 0.8);
  EXPECT_LT(d, 3.0);
}

TEST(VideoEngineProbe, ThumbnailIsTheFirstPictureFittedIntoTheBox) {
  const EngineMedia& m = Media();
  QImage t = TVideoEngine::GetFileThumbnail(QString::fromStdString(m.flv), QSize(100, 100));
  ASSERT_FALSE(t.isNull());
  EXPECT_EQ(t.size(), QSize(100, 75));
  // The test pattern is colourful, not a blank frame.
  QColor c = t.pixelColor(12, 20);
  EXPECT_GT(c.red() + c.green() + c.blue(), 60);
  QImage wide = TVideoEngine::GetFileThumbnail(QString::fromStdString(m.silentWide), QSize(100, 100));
  EXPECT_EQ(wide.size(), QSize(100, 56));
  EXPECT_TRUE(TVideoEngine::GetFileThumbnail(QString::fromStdString(m.mp3), QSize(100, 100)).isNull());
}

TEST(VideoEngineTimeline, SpansAreClippedToTheFileAndAddUp) {
  const EngineMedia& m = Media();
  TVideoEngine engine;
  EXPECT_EQ(engine.GetTimelineDuration(), 0);
  EXPECT_TRUE(engine.AddVideo(QString::fromStdString(m.flv), 0.5, 2, 0));
  EXPECT_TRUE(engine.AddAudio(QString::fromStdString(m.flv), 0.5, 2));
  // An end past the file's length stops at its end.
  EXPECT_TRUE(engine.AddVideo(QString::fromStdString(m.avi), 0, 60, 0));
  EXPECT_TRUE(engine.AddAudio(QString::fromStdString(m.avi), 0, 60));
  EXPECT_NEAR(engine.GetTimelineDuration(), 3.5, 0.1);
  // Empty and inverted spans are refused.
  EXPECT_FALSE(engine.AddVideo(QString::fromStdString(m.flv), 1, 1, 0));
  EXPECT_FALSE(engine.AddAudio(QString::fromStdString(m.flv), 3, 5));
  // A file without sound still gives its span (as silence); a sound file
  // gives a span of black picture.
  EXPECT_TRUE(engine.AddAudio(QString::fromStdString(m.silentWide), 0, 1));
  EXPECT_TRUE(engine.AddVideo(QString::fromStdString(m.mp3), 0, 2, 0));
  EXPECT_NEAR(engine.GetTimelineDuration(), 5.5, 0.1);
  engine.ClearTimeline();
  EXPECT_EQ(engine.GetTimelineDuration(), 0);
}

TEST(VideoEngineCollections, OfferMjpegAndPcmAndLookProfilesUpByName) {
  TVideoEngine engine;
  EXPECT_GE(engine.VideoCompressors().IndexOf("MJPEG Compressor"), 0);
  EXPECT_GE(engine.AudioCompressors().IndexOf("PCM"), 0);
  const auto& p = engine.WMVProfiles();
  ASSERT_GT(p.Count(), 1);
  bool anyHidden = false;
  for (int i = 0; i < p.Count(); ++i) {
    EXPECT_EQ(p.IndexOf(p.Name(i)), i);
    anyHidden |= p.IsHidden(i);
  }
  EXPECT_TRUE(anyHidden);
  EXPECT_EQ(p.IndexOf("no such profile"), -1);
  EXPECT_TRUE(p.Name(p.Count()).isEmpty());
}

}  // namespace
}  // namespace larkvale::enginetest
