// What the browser counts as media a page asked for, and the session a
// download found on a page takes along. Plain logic, no browser.
#include <gtest/gtest.h>

#include "browser/foundmedia.h"
#include "browser/pagesession.h"

namespace larkvale::browser {
namespace {

TEST(FoundMedia, RequestsAreClassifiedByAddressAndByWhatTheyLoad) {
  const struct {
    const char* url;
    bool mediaResource;
    MediaKind kind;
  } cases[] = {
      {"http://a.test/v/clip.mp4", false, MediaKind::File},
      {"https://a.test/v/Clip.WEBM?sig=1", false, MediaKind::File},
      {"http://a.test/song.mp3", false, MediaKind::File},
      {"http://a.test/live/index.m3u8", false, MediaKind::Stream},
      {"http://a.test/live/index.M3U8?token=x", false, MediaKind::Stream},
      {"http://a.test/dash/manifest.mpd", false, MediaKind::Stream},
      // A <video> loads it: media whatever the address looks like.
      {"http://a.test/play?id=7", true, MediaKind::File},
      {"http://a.test/page.html", false, MediaKind::None},
      {"http://a.test/app.js", false, MediaKind::None},
      {"http://a.test/mp4/", false, MediaKind::None},  // a folder named like a type
      {"http://a.test/x.mp4.html", false, MediaKind::None},
      // A <track>'s subtitles load as media too; they are no video.
      {"http://a.test/subs/en.vtt", true, MediaKind::None},
      {"http://a.test/subs/en.SRT?v=2", true, MediaKind::None},
      {"http://a.test/subs/captions.ttml", true, MediaKind::None},
      // Only the page itself can read these.
      {"blob:http://a.test/9f1c", true, MediaKind::None},
      {"data:video/mp4;base64,AAAA", true, MediaKind::None},
      {"file:///tmp/clip.mp4", false, MediaKind::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(ClassifyMediaRequest(QUrl(QString::fromLatin1(c.url)), c.mediaResource), c.kind);
  }
}

TEST(FoundMedia, KeepsFirstRequestsInOrderAndCountsPiecesAsTheirStreamOrFile) {
  FoundMedia found;
  const struct {
    const char* url;
    bool mediaResource;
    bool isNew;
  } steps[] = {
      {"http://a.test/page.html", false, false},
      {"http://a.test/hls/master.m3u8", false, true},
      {"http://a.test/hls/720p/index.m3u8", false, false},  // a variant of it
      {"http://a.test/hls/720p/seg0.ts", false, false},
      {"http://a.test/hls/720p/seg1.m4s", true, false},
      {"http://cdn.test/x/seg2.ts", false, false},  // a segment type while a stream is held
      {"http://a.test/hls/master.m3u8", false, false},
      {"http://a.test/movie.mp4", true, true},
      {"http://a.test/movie.mp4", true, false},                 // the next byte range
      {"http://a.test/movie.mp4#t=10", true, false},            // a time fragment
      {"http://a.test/movie.mp4?range=0-1000", true, false},    // a range in the query
      {"http://a.test/movie.mp4?quality=hd", true, true},       // another file
      {"http://b.test/hls/other.m3u8", false, true},            // another server's stream
      {"http://a.test/dash/manifest.mpd", false, true},
      {"http://a.test/dash/init-v1.mp4", false, false},
      {"http://a.test/dash/chunk-v1-00001.m4s", false, false},
      {"http://c.test/live.m3u8", false, true},
      {"http://c.test/clip.mp4", true, true},  // beside a stream at the top: a file of its own
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.url);
    EXPECT_EQ(found.Record(QUrl(QString::fromLatin1(s.url)), s.mediaResource), s.isNew);
  }
  EXPECT_EQ(found.Addresses(),
            (QStringList{"http://a.test/hls/master.m3u8", "http://a.test/movie.mp4",
                         "http://a.test/movie.mp4?quality=hd", "http://b.test/hls/other.m3u8",
                         "http://a.test/dash/manifest.mpd", "http://c.test/live.m3u8", "http://c.test/clip.mp4"}));
  EXPECT_EQ(found.Finds()[0].kind, MediaKind::Stream);
  EXPECT_EQ(found.Finds()[1].kind, MediaKind::File);

  found.Forget();
  EXPECT_EQ(found.Count(), 0);
  // Without a stream held, a lone segment is nothing to download.
  EXPECT_FALSE(found.Record(QUrl("http://a.test/hls/720p/seg0.ts"), false));
  EXPECT_TRUE(found.Record(QUrl("http://a.test/movie.mp4"), true));
}

TEST(FoundMedia, APageAskingForEndlessFilesStopsAtTheLimit) {
  FoundMedia found;
  for (int i = 0; i < FoundMedia::kMaxFinds + 50; ++i)
    found.Record(QUrl(QStringLiteral("http://a.test/preview%1.mp4").arg(i)), true);
  EXPECT_EQ(found.Count(), FoundMedia::kMaxFinds);
  EXPECT_EQ(found.Addresses().first(), "http://a.test/preview0.mp4");
}

TEST(PageSession, ADownloadTakesOnlyTheCookiesItsAddressWouldGet) {
  BrowsedPage page;
  page.address = "http://www.site.test/watch/1";
  page.userAgent = "Mozilla/5.0 TestBrowser";
  page.cookies = {
      {"host", "1", "www.site.test", "/", false},
      {"domain", "2", ".site.test", "/", false},
      {"deep", "3", "www.site.test", "/media", false},
      {"safe", "4", "www.site.test", "/", true},
      {"other", "5", "other.test", "/", false},
      {"ip", "6", "127.0.0.1", "/", false},
  };
  auto names = [&](const std::string& link) {
    std::string out;
    for (const BrowserCookie& c : page.SessionFor(link).cookies) out += c.name + " ";
    return out;
  };
  EXPECT_EQ(names("http://www.site.test/media/clip.mp4"), "host domain deep ");
  EXPECT_EQ(names("https://www.site.test/clip.mp4"), "host domain safe ");
  EXPECT_EQ(names("http://cdn.site.test/clip.mp4"), "domain ");
  EXPECT_EQ(names("http://www.site.test/mediaX/clip.mp4"), "host domain ");  // a path prefix is no folder
  EXPECT_EQ(names("http://evil.test/site.test/clip.mp4"), "");
  EXPECT_EQ(names("http://127.0.0.1:8080/clip.mp4"), "ip ");
  EXPECT_EQ(names("not an address"), "");

  const PageSession s = page.SessionFor("http://www.site.test/clip.mp4");
  EXPECT_EQ(s.referer, page.address);
  EXPECT_EQ(s.userAgent, page.userAgent);
  EXPECT_FALSE(s.Empty());
  EXPECT_TRUE(PageSession{}.Empty());
}

}  // namespace
}  // namespace larkvale::browser
