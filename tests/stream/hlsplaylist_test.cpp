#include "stream/hlsplaylist.h"

#include <gtest/gtest.h>

namespace larkvale::stream {
namespace {

const std::string kBase = "http://cdn.test/v/master.m3u8";

const char kMaster[] =
    "#EXTM3U\n"
    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"English\",LANGUAGE=\"en\",URI=\"audio/en.m3u8\"\n"
    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"Deutsch\",DEFAULT=YES,URI=\"audio/de.m3u8\"\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,CODECS=\"avc1.4d401e,mp4a.40.2\",AUDIO=\"aud\"\n"
    "low/index.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080,AUDIO=\"aud\"\n"
    "/abs/high.m3u8\n"
    "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=90000,URI=\"iframes.m3u8\"\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720,AUDIO=\"aud\"\n"
    "mid/index.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=1200000,RESOLUTION=854x480,AUDIO=\"aud\"\n"
    "sd/index.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2\",AUDIO=\"aud\"\n"
    "sound-only.m3u8\n";

TEST(HlsPlaylist, MasterListsVariantsAndAudio) {
  ASSERT_TRUE(IsHlsMaster(kMaster));
  const HlsMaster m = ParseHlsMaster(kMaster, kBase);
  ASSERT_EQ(m.variants.size(), 5u);  // the I-frame playlist is no variant
  EXPECT_EQ(m.variants[0].url, "http://cdn.test/v/low/index.m3u8");
  EXPECT_EQ(m.variants[0].codecs, "avc1.4d401e,mp4a.40.2");  // quoted comma kept
  EXPECT_EQ(m.variants[1].url, "http://cdn.test/abs/high.m3u8");
  EXPECT_EQ(m.variants[1].height, 1080);
  ASSERT_EQ(m.audio.size(), 2u);
  // The DEFAULT=YES rendition, not the first.
  EXPECT_EQ(ChooseHlsAudio(m, m.variants[0]), 1);
  EXPECT_EQ(m.audio[1].url, "http://cdn.test/v/audio/de.m3u8");
}

TEST(HlsPlaylist, VariantUnderHeightLimit) {
  const HlsMaster m = ParseHlsMaster(kMaster, kBase);
  const struct {
    int maxHeight;
    int height;
  } cases[] = {{kBestHeight, 1080}, {1080, 1080}, {720, 720}, {480, 480}, {360, 360},
               // Nothing fits: the smallest picture, never the sound-only variant.
               {240, 360}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maxHeight);
    EXPECT_EQ(m.variants[ChooseHlsVariant(m, c.maxHeight)].height, c.height);
  }
}

TEST(HlsPlaylist, AudioMuxedInVariantNeedsNoTrack) {
  const HlsMaster m = ParseHlsMaster(
      "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"main\",DEFAULT=YES\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=1,AUDIO=\"a\"\nv.m3u8\n",
      kBase);
  EXPECT_EQ(ChooseHlsAudio(m, m.variants[0]), -1);
}

TEST(HlsPlaylist, MediaSegmentsRangesMapsKeysAndDiscontinuities) {
  const HlsMedia media = ParseHlsMedia(
      "\xEF\xBB\xBF#EXTM3U\r\n"
      "#EXT-X-TARGETDURATION:4\r\n"
      "#EXT-X-MEDIA-SEQUENCE:7\r\n"
      "#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"720@0\"\r\n"
      "#EXTINF:4.0,\r\n#EXT-X-BYTERANGE:1000@720\r\nall.mp4\r\n"
      "#EXTINF:3.5,title\r\n#EXT-X-BYTERANGE:500\r\nall.mp4\r\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"k1.key\"\r\n"
      "#EXTINF:4,\r\nseg2.ts\r\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"k1.key\",IV=0x0102\r\n"
      "#EXT-X-DISCONTINUITY\r\n#EXTINF:4,\r\nseg3.ts\r\n"
      "#EXT-X-KEY:METHOD=NONE\r\n#EXTINF:2,\r\nseg4.ts\r\n"
      "#EXT-X-ENDLIST\r\n",
      "http://cdn.test/v/low/index.m3u8");
  EXPECT_TRUE(media.ended);
  EXPECT_EQ(media.targetDuration, 4);
  EXPECT_EQ(media.mediaSequence, 7);
  const Track& t = media.track;
  ASSERT_EQ(t.pieces.size(), 5u);
  ASSERT_EQ(t.inits.size(), 1u);
  EXPECT_EQ(t.inits[0], (Resource{"http://cdn.test/v/low/init.mp4", 0, 720}));
  EXPECT_EQ(t.pieces[0].where, (Resource{"http://cdn.test/v/low/all.mp4", 720, 1000}));
  // A range without offset follows the previous one of the same file.
  EXPECT_EQ(t.pieces[1].where, (Resource{"http://cdn.test/v/low/all.mp4", 1720, 500}));
  EXPECT_DOUBLE_EQ(t.pieces[1].duration, 3.5);
  EXPECT_EQ(t.pieces[0].init, 0);
  EXPECT_EQ(t.pieces[0].key, -1);
  ASSERT_EQ(t.keys.size(), 1u);
  EXPECT_EQ(t.keys[0], "http://cdn.test/v/low/k1.key");
  // Without IV the segment's media sequence number is the IV (7 + 2 = 9).
  EXPECT_EQ(t.pieces[2].key, 0);
  EXPECT_EQ(t.pieces[2].iv[15], 9);
  EXPECT_EQ(t.pieces[2].iv[14], 0);
  EXPECT_EQ(t.pieces[3].iv[15], 0x02);
  EXPECT_EQ(t.pieces[3].iv[14], 0x01);
  EXPECT_TRUE(t.pieces[3].discontinuity);
  EXPECT_FALSE(t.pieces[2].discontinuity);
  EXPECT_EQ(t.pieces[4].key, -1);
}

TEST(HlsPlaylist, LivePlaylistHasNoEnd) {
  const HlsMedia media = ParseHlsMedia("#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na.ts\n", kBase);
  EXPECT_FALSE(media.ended);
  EXPECT_TRUE(ParseHlsMedia("#EXTM3U\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXTINF:2,\na.ts\n", kBase).ended);
}

TEST(HlsPlaylist, RefusesWhatCannotBeSaved) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"<html>not a playlist</html>", "not an HLS playlist"},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\n#EXTINF:1,\na.ts\n", "SAMPLE-AES"},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",KEYFORMAT=\"com.vendor.drm\"\n#EXTINF:1,\na.ts\n", "DRM"},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128\n#EXTINF:1,\na.ts\n", "without its URI"},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0xZZ\n#EXTINF:1,\na.ts\n", "IV"},
      {"#EXTM3U\n#EXTINF:1,\njavascript:alert(1)\n", "cannot be fetched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseHlsMedia(c.text, kBase);
      ADD_FAILURE() << "accepted";
    } catch (const StreamError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ParseHlsMaster("#EXTM3U\n#EXTINF:1,\na.ts\n", kBase), StreamError);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(HlsPlaylist, ReadWithinBoundsThatLeaveRoomForRealPlaylists) {
  auto segments = [](int n) {
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    text.reserve(static_cast<std::size_t>(n) * 24 + 64);
    for (int i = 0; i < n; ++i) text += "#EXTINF:2,\ns" + std::to_string(i) + ".ts\n";
    return text + "#EXT-X-ENDLIST\n";
  };
  const std::string variant = "#EXT-X-STREAM-INF:BANDWIDTH=1000,RESOLUTION=640x360\nv.m3u8\n";
  const std::string rendition = "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"x\",URI=\"a.m3u8\"\n";
  const struct {
    const char* name;
    std::string text;
    bool master;
    std::size_t count;    // segments or variants when it is read
    const char* refusal;  // when it is not
  } cases[] = {
      {"100000 segments", segments(100000), false, 100000, nullptr},
      {"100001 segments", segments(100001), false, 0, "The HLS playlist lists more than 100000 segments."},
      {"a million tag lines around a segment", "#EXTM3U\n" + Repeat("#X\n", 1000000) + "#EXTINF:1,\na.ts\n", false, 1,
       nullptr},
      {"1000 variants", "#EXTM3U\n" + Repeat(variant, 1000), true, 1000, nullptr},
      {"1001 variants", "#EXTM3U\n" + Repeat(variant, 1001), true, 0, "The HLS playlist lists more than 1000 variants."},
      {"1001 sound renditions", "#EXTM3U\n" + Repeat(rendition, 1001) + variant, true, 0,
       "The HLS playlist lists more than 1000 sound renditions."},
      {"an address of 64 KiB", "#EXTM3U\n#EXTINF:1,\n" + std::string(64 * 1024, 'a') + "\n", false, 1, nullptr},
      {"an address over 64 KiB", "#EXTM3U\n#EXTINF:1,\n" + std::string(64 * 1024 + 1, 'a') + "\n", false, 0,
       "The HLS playlist has a line longer than 64 KiB."},
      {"long addresses times many segments", "#EXTM3U\n" + Repeat("#EXTINF:1,\n" + std::string(1000, 'a') + "\n", 70000),
       false, 0, "The HLS playlist's segment addresses take more than 64 MiB."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      const std::size_t count = c.master ? ParseHlsMaster(c.text, kBase).variants.size()
                                         : ParseHlsMedia(c.text, kBase).track.pieces.size();
      EXPECT_FALSE(c.refusal) << "accepted";
      EXPECT_EQ(count, c.count);
    } catch (const StreamError& e) {
      EXPECT_TRUE(c.refusal) << e.what();
      if (c.refusal) {
        EXPECT_STREQ(e.what(), c.refusal);
      }
    }
  }
}

TEST(HlsPlaylist, AVariantTagWithoutItsAddressLeavesTheTagsAfterItRead) {
  const HlsMaster m = ParseHlsMaster(
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"g\",NAME=\"n\",URI=\"a.m3u8\"\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=2,AUDIO=\"g\"\nv2.m3u8\n",
      kBase);
  ASSERT_EQ(m.variants.size(), 1u);
  EXPECT_EQ(m.variants[0].bandwidth, 2);
  ASSERT_EQ(m.audio.size(), 1u);
  EXPECT_EQ(m.audio[0].url, "http://cdn.test/v/a.m3u8");
}

TEST(HlsPlaylist, TextFromThePlaylistIsShownEscapedInMessages) {
  const struct {
    std::string text;
    const char* shown;
  } cases[] = {
      {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",KEYFORMAT=\"\x1B]0;owned\x07\"\n#EXTINF:1,\na.ts\n",
       "KEYFORMAT \"\\x1B]0;owned\\x07\")"},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=\x1B[2JX,URI=\"k\"\n#EXTINF:1,\na.ts\n", "encrypted with \\x1B[2JX,"},
      {"#EXTM3U\n#EXTINF:1,\nmailto:\x1B[31mx\n", "cannot be fetched: mailto:\\x1B[31mx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    try {
      ParseHlsMedia(c.text, kBase);
      ADD_FAILURE() << "accepted";
    } catch (const StreamError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(c.shown), std::string::npos) << message;
      EXPECT_EQ(message.find('\x1B'), std::string::npos) << message;
      EXPECT_EQ(message.find('\x07'), std::string::npos) << message;
    }
  }
}

}  // namespace
}  // namespace larkvale::stream
