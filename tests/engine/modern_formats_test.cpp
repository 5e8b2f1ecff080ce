// The two formats of today, MP4 (H.264, AAC) and WebM (VP9, Opus), checked
// with ffprobe.
#include "engine/engine_media.h"
#include "engine/videoenginecore.h"
#include "support/media_fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace larkvale::enginetest {
namespace {

using namespace larkvale::engine;
using testsupport::FfProbe;
using testsupport::FixtureSpec;
using testsupport::MakeMediaFixture;

QString Q(const std::string& s) { return QString::fromStdString(s); }

TEST(ModernFormats, KeepTheSourceOrTakeTheGivenSize) {
  const std::string dir = FreshDir("modern");
  // An odd-shaped 30 fps source at 48 kHz.
  FixtureSpec shape;
  shape.seconds = 2;
  shape.width = 424;
  shape.height = 240;
  shape.fps = 30;
  shape.sampleRate = 48000;
  const std::string source = dir + "/source.flv";
  ASSERT_TRUE(MakeMediaFixture(source, shape));
  const struct {
    const char* name;
    int type;
    bool keepSize;
    const char* ext;
    const char* format;
    const char* vcodec;
    const char* acodec;
    int width, height, sampleRate;
  } cases[] = {
      {"MP4 at the source's size", otMP4, true, "mp4", "mp4", "h264", "aac", 424, 240, 48000},
      {"MP4 at the File size", otMP4, false, "mp4", "mp4", "h264", "aac", 320, 180, 48000},
      {"WebM at the source's size", otWebM, true, "webm", "webm", "vp9", "opus", 424, 240, 48000},
      {"WebM at the File size", otWebM, false, "webm", "webm", "vp9", "opus", 320, 180, 48000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VideoEngineCore e;
    const double d = e.GetFileDuration(Q(source));
    ASSERT_TRUE(e.AddVideo(Q(source), 0, d, 0));
    ASSERT_TRUE(e.AddAudio(Q(source), 0, d));
    e.OutputType = c.type;
    e.VideoQuality = c.type == otMP4 ? 21 : 32;
    e.AudioBitrate = c.type == otMP4 ? 160000 : 128000;
    e.KeepSourceSize = c.keepSize;
    e.OutputFileWidth = 320;
    e.OutputFileHeight = 180;
    const std::string out = dir + "/" + c.name + "." + c.ext;
    ASSERT_TRUE(e.SaveTimeline(Q(out))) << e.LastError().toStdString();
    const auto p = FfProbe(out);
    ASSERT_TRUE(p.ok);
    EXPECT_NE(p.format.find(c.format), std::string::npos) << p.format;
    EXPECT_EQ(p.video.codec, c.vcodec);
    EXPECT_EQ(p.video.width, c.width);
    EXPECT_EQ(p.video.height, c.height);
    EXPECT_NEAR(p.video.fps, 30, 0.01);
    EXPECT_EQ(p.audio.codec, c.acodec);
    EXPECT_EQ(p.audio.sampleRate, c.sampleRate);
    EXPECT_EQ(p.audio.channels, 2);
    EXPECT_NEAR(p.duration, 2.0, 0.1);
    if (c.type == otMP4) {
      // The index comes before the media, so that a browser can start at once.
      std::ifstream in(out, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      const std::string data = bytes.str();
      const size_t moov = data.find("moov"), mdat = data.find("mdat");
      ASSERT_NE(moov, std::string::npos);
      ASSERT_NE(mdat, std::string::npos);
      EXPECT_LT(moov, mdat);
    }
  }
}

TEST(ModernFormats, QualityOutsideTheEncodersScaleIsRefused) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("modern-refused");
  for (auto [type, quality] : {std::pair{int(otMP4), 52}, std::pair{int(otWebM), 64}, std::pair{int(otMP4), -1}}) {
    SCOPED_TRACE(quality);
    VideoEngineCore e;
    ASSERT_TRUE(e.AddVideo(Q(m.flv), 0, 1, 0));
    e.OutputType = type;
    e.VideoQuality = quality;
    const std::string out = dir + "/out.mp4";
    EXPECT_FALSE(e.SaveTimeline(Q(out)));
    EXPECT_FALSE(e.LastError().isEmpty());
  }
}

}  // namespace
}  // namespace larkvale::enginetest
