// The names the queue runner gives downloaded files.
#include "queue/queuerunner.h"

#include <gtest/gtest.h>

namespace larkvale::queue {
namespace {

TEST(QueueRunnerNames, ExtensionFollowsTheLink) {
  const struct {
    const char* link;
    const char* extension;
  } cases[] = {
      // Watch-page links keep the names they always had.
      {"http://127.0.0.1/get_video?asv=&video_id=abc&t=T&fmt=18", ".avi"},
      {"http://127.0.0.1/videodownload?version=0&secureurl=SSS&sigh=g&", ".flv"},
      {"http://127.0.0.1/videos/clip.flv?fmt=22", ".avi"},
      // Links found on ordinary pages keep their file's own extension.
      {"http://127.0.0.1/media/clip.mp4", ".mp4"},
      {"https://cdn.example.invalid/a/Clip.WEBM?token=x#t=10", ".webm"},
      {"http://127.0.0.1/sub/clip.mov", ".mov"},
      {"http://127.0.0.1/v.mkv", ".mkv"},
      {"http://127.0.0.1/videos/clip.flv", ".flv"},
      // Neither marker nor media extension.
      {"http://127.0.0.1/stream", ".flv"},
      {"http://127.0.0.1/page.html", ".flv"},
      {"http://127.0.0.1/dir.mp4/file", ".flv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    EXPECT_EQ(QueueRunner::ExtensionFor(QString::fromLatin1(c.link)), QString::fromLatin1(c.extension));
  }
  EXPECT_EQ(QueueRunner::FileName("/d/", 3, QueueRunner::ExtensionFor("http://h/x.m4v")), "/d/flv3video.m4v");
}

}  // namespace
}  // namespace larkvale::queue
