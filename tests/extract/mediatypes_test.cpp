#include "extract/mediatypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkvale::extract {
namespace {

TEST(IsDirectMedia, TableOfHeads) {
  struct Case {
    const char* contentType;
    const char* address;
    bool media;
  };
  const std::vector<Case> cases = {
      {"video/mp4", "http://h.test/watch", true},
      {"Video/MP4; codecs=\"avc1.42E01E\"", "http://h.test/x", true},
      {"  video/webm  ", "http://h.test/x", true},
      {"audio/mpeg", "http://h.test/song", true},
      {"audio/ogg;codecs=opus", "http://h.test/a.php?id=1", true},
      {"application/octet-stream", "http://h.test/dl/clip.mp4", true},
      {"application/octet-stream", "http://h.test/dl/CLIP.MKV?token=1", true},
      {"Application/Octet-Stream; charset=binary", "http://h.test/a.avi", true},
      {"binary/octet-stream", "http://h.test/bucket/a.webm", true},
      {"application/octet-stream", "http://h.test/song.mp3", true},
      {"application/octet-stream", "http://h.test/archive.zip", false},
      {"application/octet-stream", "http://h.test/download", false},
      {"application/octet-stream", "http://h.test/get?file=a.mp4", false},
      {"application/octet-stream", "http://h.test/dir.mp4/file", false},
      {"text/html", "http://h.test/clip.mp4", false},
      {"text/html; charset=utf-8", "http://h.test/watch?v=1", false},
      {"", "http://h.test/clip.mp4", false},
      {"video/", "http://h.test/x", false},
      {"videos/mp4", "http://h.test/x", false},
      {"image/png", "http://h.test/a.png", false},
      {"application/vnd.apple.mpegurl", "http://h.test/a.m3u8", false},
      {"audio/x-mpegurl", "http://h.test/a.m3u", false},
      {"audio/mpegurl", "http://h.test/a.m3u", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.contentType) + " at " + c.address);
    EXPECT_EQ(IsDirectMedia(c.contentType, c.address), c.media);
  }
}

TEST(MediaFileName, ExtensionFromPathElseTypeElseFlv) {
  struct Case {
    unsigned long long n;
    const char* address;
    const char* contentType;
    const char* name;
  };
  const std::vector<Case> cases = {
      {0, "http://h.test/a/clip.mp4", "", "flv0video.mp4"},
      {3, "http://h.test/a/clip.WEBM?x=1.avi", "", "flv3video.webm"},
      {12, "http://h.test/movie.mkv", "video/mp4", "flv12video.mkv"},
      {1, "http://h.test/m.mov", "", "flv1video.mov"},
      {1, "http://h.test/m.m4v", "", "flv1video.m4v"},
      {1, "http://h.test/m.ogv", "", "flv1video.ogv"},
      {1, "http://h.test/m.flv", "", "flv1video.flv"},
      {1, "http://h.test/m.avi", "", "flv1video.avi"},
      {2, "http://h.test/song.mp3", "", "flv2video.mp3"},
      {4, "http://h.test/stream?id=9", "video/webm; codecs=vp9", "flv4video.webm"},
      {4, "http://h.test/stream.php", "video/quicktime", "flv4video.mov"},
      {4, "http://h.test/s", "Video/X-Matroska", "flv4video.mkv"},
      {4, "http://h.test/s", "audio/mp4", "flv4video.m4a"},
      {5, "http://h.test/stream", "", "flv5video.flv"},
      {5, "http://h.test/stream", "application/octet-stream", "flv5video.flv"},
      {6, "http://h.test/videodownload?version=0&secureurl=abc.mp4", "", "flv6video.flv"},
      {7, "http://h.test/dir.mp4/", "", "flv7video.flv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " / " + c.contentType);
    EXPECT_EQ(MediaFileName(c.n, c.address, c.contentType), c.name);
  }
  EXPECT_EQ(MediaExtension("http://h.test/stream"), "");
}

TEST(HasVideoFileExtension, OnlyTheVideoFileExtensions) {
  for (const char* a : {"http://h.test/a.mp4", "http://h.test/a.webm", "http://h.test/a.mkv", "http://h.test/a.mov",
                        "http://h.test/a.m4v", "http://h.test/a.ogv", "http://h.test/a.flv", "http://h.test/a.avi",
                        "http://h.test/A.Mp4?x", "http://h.test/.mp4"}) {
    SCOPED_TRACE(a);
    EXPECT_TRUE(HasVideoFileExtension(a));
  }
  for (const char* a : {"http://h.test/a.mp3", "http://h.test/a.jpg", "http://h.test/a.mp4.html",
                        "http://h.test/a.mp4/", "http://h.test/mp4", "http://h.test/a?f=b.mp4",
                        "http://h.test/a#b.mp4", "http://h.test/a.mp4x"}) {
    SCOPED_TRACE(a);
    EXPECT_FALSE(HasVideoFileExtension(a));
  }
}

TEST(StreamTypes, PlaylistsAndManifestsByTypeOrPath) {
  const struct {
    const char* contentType;
    const char* address;
    bool stream;
  } cases[] = {
      {"application/x-mpegURL", "http://h.test/live", true},
      {"application/vnd.apple.mpegurl; charset=utf-8", "http://h.test/x", true},
      {"audio/mpegurl", "http://h.test/x", true},
      {"audio/x-mpegurl", "http://h.test/x", true},
      {"application/dash+xml", "http://h.test/x", true},
      {"text/plain", "http://h.test/a/index.m3u8?token=1", true},
      {"application/octet-stream", "http://h.test/m.mpd", true},
      {"text/plain", "http://h.test/readme.txt", false},
      {"text/html", "http://h.test/index.m3u8", false},
      {"video/mp4", "http://h.test/a.mp4", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.contentType) + " " + c.address);
    EXPECT_EQ(IsStreamType(c.contentType, c.address), c.stream);
    // A stream is never taken for a file to fetch as it stands.
    if (c.stream) {
      EXPECT_FALSE(IsDirectMedia(c.contentType, c.address));
    }
  }
  // Saved as one MP4.
  EXPECT_EQ(MediaFileName(3, "http://h.test/hls/master.m3u8", ""), "flv3video.mp4");
  EXPECT_EQ(MediaFileName(3, "http://h.test/live", "application/dash+xml"), "flv3video.mp4");
  EXPECT_TRUE(HasStreamExtension("http://h.test/a/B.M3U8?x=.mp4"));
  EXPECT_FALSE(HasStreamExtension("http://h.test/a?f=b.m3u8"));
}

}  // namespace
}  // namespace larkvale::extract
