#include "extract/mediafinder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/htmltags.h"

namespace larkvale::extract {
namespace {

const char* kPage = "http://site.test/watch/page.html";

struct Case {
  const char* name;
  std::string html;
  MediaSource source;
  std::vector<std::string> links;
  std::size_t more = 0;
  const char* address = kPage;
};

void Check(const Case& c, std::size_t cap = kMediaLinkCap) {
  SCOPED_TRACE(c.name);
  const MediaLinks found = FindMediaLinks(c.html, c.address, cap);
  EXPECT_EQ(found.source, c.source);
  EXPECT_EQ(found.links, c.links);
  EXPECT_EQ(found.more, c.more);
}

TEST(FindMediaLinks, EachTagForm) {
  const std::vector<Case> cases = {
      {"video src", R"(<video src="clip.mp4" controls></video>)", MediaSource::kVideoElement,
       {"http://site.test/watch/clip.mp4"}},
      {"video src without a file extension", R"(<video src="/stream?id=7"></video>)", MediaSource::kVideoElement,
       {"http://site.test/stream?id=7"}},
      {"source with a video type",
       R"(<video controls><source src="/v/a.webm" type="video/webm; codecs=vp9"></video>)",
       MediaSource::kVideoElement, {"http://site.test/v/a.webm"}},
      {"source without a type", R"(<video><source src="b.mp4"></video>)", MediaSource::kVideoElement,
       {"http://site.test/watch/b.mp4"}},
      {"source of another type is passed over",
       R"(<video><source src="a.ogg" type="audio/ogg"><source src="a.mp4" type="Video/MP4"></video>)",
       MediaSource::kVideoElement, {"http://site.test/watch/a.mp4"}},
      {"one link per video: its sources are the same video",
       R"(<video><source src="a.webm" type="video/webm"><source src="a.mp4" type="video/mp4"></video>)",
       MediaSource::kVideoElement, {"http://site.test/watch/a.webm"}},
      {"src wins over the sources", R"(<video src="s.mp4"><source src="t.mp4"></video>)",
       MediaSource::kVideoElement, {"http://site.test/watch/s.mp4"}},
      {"a blob src falls back to a source", R"(<video src="blob:http://site.test/9"><source src="t.mp4"></video>)",
       MediaSource::kVideoElement, {"http://site.test/watch/t.mp4"}},
      {"a video of blobs only gives nothing", R"(<video src="blob:http://site.test/9"></video>)", MediaSource::kNone,
       {}},
      {"source outside a video is not a video", R"(<audio><source src="a.mp4"></audio><source src="b.mp4">)",
       MediaSource::kNone, {}},
      {"og:video", R"(<head><meta property="og:video" content="https://cdn.test/og.mp4"></head>)",
       MediaSource::kOpenGraph, {"https://cdn.test/og.mp4"}},
      {"og:video:secure_url", R"(<meta property="og:video:secure_url" content="https://cdn.test/s.mp4">)",
       MediaSource::kOpenGraph, {"https://cdn.test/s.mp4"}},
      {"og:video:url", R"(<meta property="OG:Video:URL" content="/u.mp4">)", MediaSource::kOpenGraph,
       {"http://site.test/u.mp4"}},
      {"og:video written with name=", R"(<meta name="og:video" content="n.mp4">)", MediaSource::kOpenGraph,
       {"http://site.test/watch/n.mp4"}},
      {"og:video with its secure url is one video",
       R"(<meta property="og:video" content="http://cdn.test/a.mp4">)"
       R"(<meta property="og:video:secure_url" content="https://cdn.test/a.mp4">)"
       R"(<meta property="og:video:type" content="video/mp4">)",
       MediaSource::kOpenGraph, {"http://cdn.test/a.mp4"}},
      {"og:video of an embedded player page is not a video",
       R"(<meta property="og:video" content="https://player.test/embed/1">)"
       R"(<meta property="og:video:type" content="text/html">)"
       R"(<meta property="og:video" content="https://cdn.test/2.mp4">)"
       R"(<meta property="og:video:type" content="video/mp4">)",
       MediaSource::kOpenGraph, {"https://cdn.test/2.mp4"}},
      {"a flash player only gives nothing",
       R"(<meta property="og:video" content="http://player.test/p.swf">)"
       R"(<meta property="og:video:type" content="application/x-shockwave-flash">)",
       MediaSource::kNone, {}},
      {"links to each video extension",
       R"(<a href="1.mp4">1</a><a href="2.webm">2</a><a href="3.mkv">3</a><a href="4.mov">4</a>)"
       R"(<a href="5.m4v">5</a><a href="6.ogv">6</a><a href="7.flv">7</a><a href="8.AVI?dl=1">8</a>)",
       MediaSource::kFileLink,
       {"http://site.test/watch/1.mp4", "http://site.test/watch/2.webm", "http://site.test/watch/3.mkv",
        "http://site.test/watch/4.mov", "http://site.test/watch/5.m4v", "http://site.test/watch/6.ogv",
        "http://site.test/watch/7.flv", "http://site.test/watch/8.AVI?dl=1"}},
      {"links to other files are passed over",
       R"(<a href="page.html">p</a><a href="x.mp4.html">h</a><a href="/get?f=a.mp4">q</a><a>none</a>)"
       R"(<a href="song.mp3">s</a><a href="ok.mp4">v</a>)",
       MediaSource::kFileLink, {"http://site.test/watch/ok.mp4"}},
      {"twitter:player:stream", R"(<meta name="twitter:player" content="https://site.test/embed/1">)"
       R"(<meta name="twitter:player:stream" content="https://cdn.test/t.mp4">)",
       MediaSource::kOpenGraph, {"https://cdn.test/t.mp4"}},
      {"twitter:player:stream of another type is not a video",
       R"(<meta name="twitter:player:stream" content="https://cdn.test/t.swf">)"
       R"(<meta name="twitter:player:stream:content_type" content="application/x-shockwave-flash">)",
       MediaSource::kNone, {}},
      {"a click-to-play poster's data-video",
       R"(<div class="poster" data-video="/media/clip.mp4"><img src="poster.jpg" data-src="big.jpg"></div>)",
       MediaSource::kPoster, {"http://site.test/media/clip.mp4"}},
      {"a lazy player's data-hls and data-src",
       R"(<figure data-hls="https://cdn.test/live/index.m3u8"></figure><span data-src="lazy.webm"></span>)",
       MediaSource::kPoster, {"https://cdn.test/live/index.m3u8", "http://site.test/watch/lazy.webm"}},
      {"data- attributes naming no media file are passed over",
       R"(<img data-src="big.jpg"><div data-url="/watch/next" data-videoid="v.mp4"></div><a href="f.mp4">f</a>)",
       MediaSource::kFileLink, {"http://site.test/watch/f.mp4"}},
  };
  for (const auto& c : cases) Check(c);
}

// A <video> with sources of several qualities: the height setting chooses,
// as it does among a stream's variants ("Best" the tallest, else the
// tallest within the limit, else the shortest).
TEST(FindMediaLinks, SourcesOfSeveralQualitiesFollowTheHeightSetting) {
  const std::string bySize = R"(<video><source src="a576.mp4" size="576"><source src="a720.mp4" size="720">)"
                             R"(<source src="a1080.mp4" size="1080"></video>)";
  const std::string byLabel = R"(<video><source src="/q/low.mp4" label="SD 480p" type="video/mp4">)"
                              R"(<source src="/q/high.mp4" data-quality="HD 1080p" type="video/mp4">)"
                              R"(<source src="/q/mid.mp4" res="1280x720"></video>)";
  const std::string byAddress = R"(<video><source src="/v/clip_360p.mp4"><source src="/v/clip_720p.mp4">)"
                                R"(<source src="/v/1920x1080/clip.mp4"></video>)";
  const struct {
    const char* name;
    const std::string& html;
    int maxHeight;
    const char* link;
  } cases[] = {
      {"by size, Best", bySize, 0, "http://site.test/watch/a1080.mp4"},
      {"by size, 720", bySize, 720, "http://site.test/watch/a720.mp4"},
      {"by size, under the lowest", bySize, 360, "http://site.test/watch/a576.mp4"},
      {"by label, Best", byLabel, 0, "http://site.test/q/high.mp4"},
      {"by label, 720", byLabel, 720, "http://site.test/q/mid.mp4"},
      {"by address, Best", byAddress, 0, "http://site.test/v/1920x1080/clip.mp4"},
      {"by address, 480", byAddress, 480, "http://site.test/v/clip_360p.mp4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MediaLinks found = FindMediaLinks(c.html, kPage, kMediaLinkCap, c.maxHeight);
    EXPECT_EQ(found.source, MediaSource::kVideoElement);
    EXPECT_EQ(found.links, std::vector<std::string>{c.link});
  }
  // Sources that say nothing of their height stay in the page's order.
  EXPECT_EQ(FindMediaLinks(R"(<video><source src="x.webm"><source src="y.mp4" size="720"></video>)", kPage).links,
            std::vector<std::string>{"http://site.test/watch/x.webm"});
}

TEST(FindMediaLinks, StreamsWhereverVideosAre) {
  const std::vector<Case> cases = {
      {"video src of a playlist", R"(<video src="/hls/master.m3u8"></video>)", MediaSource::kVideoElement,
       {"http://site.test/hls/master.m3u8"}},
      {"sources by each stream type",
       R"(<video><source src="/a" type="application/x-mpegURL"></video>)"
       R"(<video><source src="/b" type="application/vnd.apple.mpegurl"></video>)"
       R"(<video><source src="/c" type="application/dash+xml"></video>)",
       MediaSource::kVideoElement, {"http://site.test/a", "http://site.test/b", "http://site.test/c"}},
      {"og:video of a manifest",
       R"(<meta property="og:video" content="/d/m.mpd"><meta property="og:video:type" content="application/dash+xml">)",
       MediaSource::kOpenGraph, {"http://site.test/d/m.mpd"}},
      {"JSON-LD VideoObject contentUrl and embedUrl",
       R"(<script type="application/ld+json">{"@type": "VideoObject", "embedUrl": "https:\/\/player.test\/e\/1",)"
       R"( "contentUrl" : "https:\/\/cdn.test\/v\/index.m3u8"}</script><a href="x.mp4">x</a>)",
       MediaSource::kStructuredData, {"https://cdn.test/v/index.m3u8"}},
      {"JSON-LD of something else is passed over",
       R"(<script type="application/ld+json">{"@type": "Article", "contentUrl": "/a.m3u8"}</script>)",
       MediaSource::kNone, {}},
      {"links to playlists and manifests", R"(<a href="s.m3u8?t=1">s</a><a href="/m.MPD">m</a><a href="p.m3u">p</a>)",
       MediaSource::kFileLink, {"http://site.test/watch/s.m3u8?t=1", "http://site.test/m.MPD"}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(FindMediaLinks, RelativeLinksAndBase) {
  const std::vector<Case> cases = {
      {"relative to the address after redirects", R"(<a href="../v/a.mp4">a</a><a href="b.mp4">b</a>)",
       MediaSource::kFileLink, {"https://cdn.test/v/a.mp4", "https://cdn.test/final/b.mp4"}, 0,
       "https://cdn.test/final/index.html"},
      {"root-relative and scheme-relative", R"(<a href="/r.mp4">r</a><a href="//other.test/s.mp4">s</a>)",
       MediaSource::kFileLink, {"http://site.test/r.mp4", "http://other.test/s.mp4"}},
      {"base href", R"(<head><base href="http://media.test/files/"></head><a href="a.mp4">a</a>)",
       MediaSource::kFileLink, {"http://media.test/files/a.mp4"}},
      {"a relative base resolves against the page",
       R"(<base href="../media/"><video src="v.webm"></video>)", MediaSource::kVideoElement,
       {"http://site.test/media/v.webm"}},
      {"a base further down still holds for the links above it",
       R"(<a href="a.mp4">a</a><base href="/late/">)", MediaSource::kFileLink, {"http://site.test/late/a.mp4"}},
      {"only the first base counts", R"(<base href="/one/"><base href="/two/"><a href="a.mp4">a</a>)",
       MediaSource::kFileLink, {"http://site.test/one/a.mp4"}},
      {"a base without href is passed over", R"(<base target="_top"><base href="/two/"><a href="a.mp4">a</a>)",
       MediaSource::kFileLink, {"http://site.test/two/a.mp4"}},
      {"a base that is not http is ignored", R"x(<base href="javascript:void(0)"><a href="a.mp4">a</a>)x",
       MediaSource::kFileLink, {"http://site.test/watch/a.mp4"}},
      {"without a usable page address only absolute links count",
       R"(<a href="rel.mp4">r</a><a href="http://abs.test/x.mp4">x</a>)", MediaSource::kFileLink,
       {"http://abs.test/x.mp4"}, 0, ""},
      {"character references in attributes are decoded",
       R"(<a href="get.mp4?a=1&amp;b=2">x</a><a href="sp&#32;ace.webm">y</a>)", MediaSource::kFileLink,
       {"http://site.test/watch/get.mp4?a=1&b=2", "http://site.test/watch/sp%20ace.webm"}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(FindMediaLinks, SeveralVideosDuplicatesAndOrder) {
  const std::vector<Case> cases = {
      {"several videos in page order",
       R"(<video src="3.mp4"></video><p>text</p><div><video><source src="1.webm"></video></div><video src="2.mp4">)",
       MediaSource::kVideoElement,
       {"http://site.test/watch/3.mp4", "http://site.test/watch/1.webm", "http://site.test/watch/2.mp4"}},
      {"one link written four ways is one row",
       R"(<a href="a.mp4">1</a><a href="./a.mp4#t=5">2</a><a href="http://SITE.test:80/watch/a.mp4">3</a>)"
       R"(<a href="/watch/x/../a.mp4">4</a><a href="b.mp4">5</a>)",
       MediaSource::kFileLink, {"http://site.test/watch/a.mp4", "http://site.test/watch/b.mp4"}},
      {"a video element wins over og:video and links",
       R"(<meta property="og:video" content="/og.mp4"><a href="/link.mp4">l</a><video src="/el.mp4"></video>)",
       MediaSource::kVideoElement, {"http://site.test/el.mp4"}},
      {"og:video wins over links", R"(<a href="/link.mp4">l</a><meta property="og:video" content="/og.mp4">)",
       MediaSource::kOpenGraph, {"http://site.test/og.mp4"}},
      {"an unusable video element leaves the next kind to answer",
       R"(<video src="blob:x"></video><a href="/link.mp4">l</a>)", MediaSource::kFileLink,
       {"http://site.test/link.mp4"}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(FindMediaLinks, NothingToFind) {
  const std::vector<Case> cases = {
      {"empty page", "", MediaSource::kNone, {}},
      {"links to images only",
       R"(<a href="a.jpg"><img src="a.jpg"></a><a href="b.png">b</a><a href="c.gif">c</a><img src="d.webp">)"
       R"(<a href="/gallery/">more</a>)",
       MediaSource::kNone, {}},
      {"video-looking text outside tags", "see http://site.test/a.mp4 or <b>b.webm</b>", MediaSource::kNone, {}},
      // (A poster's data-src names its video: see EachTagForm.)
      {"links in comments, scripts and attributes of other tags",
       R"(<!-- <video src="c.mp4"></video> --><script>var s = '<a href="s.mp4">';</script>)"
       R"(<div data-info="d.mp4" title="<a href='t.mp4'>"></div><textarea><a href="x.mp4"></textarea>)",
       MediaSource::kNone, {}},
      {"a watch page with markers has no media tags", "var swfHTML = 'video_id=abcdefghijk&t=x';",
       MediaSource::kNone, {}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(FindMediaLinks, BrokenHtml) {
  const std::vector<Case> cases = {
      {"unclosed video with unquoted attributes", "<body><video src=a.mp4 controls><p>fallback", MediaSource::kVideoElement,
       {"http://site.test/watch/a.mp4"}},
      {"source after a missing end tag still belongs to its video",
       "<video><div><source src=x.mp4></div><source src=y.mp4>", MediaSource::kVideoElement,
       {"http://site.test/watch/y.mp4"}},
      {"unclosed anchors and stray end tags",
       "</a></div><a href='1.mp4'>one<a href=\"2.webm\">two</td></tr><a href=3.mkv", MediaSource::kFileLink,
       {"http://site.test/watch/1.mp4", "http://site.test/watch/2.webm"}},
      {"bytes that are not UTF-8 and a NUL", std::string("<a href=\"\xff\xfe.mp4\">x</a>\0<a href=\"b.mp4\">", 40),
       MediaSource::kFileLink,
       {"http://site.test/watch/%EF%BF%BD%EF%BF%BD.mp4", "http://site.test/watch/b.mp4"}},
      {"a long run of stray '<'", std::string(100000, '<') + "<a href=x.mp4>", MediaSource::kFileLink,
       {"http://site.test/watch/x.mp4"}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(FindMediaLinks, CappedWithTheRestCounted) {
  std::string html;
  for (int i = 0; i < 25; ++i) {
    html += "<a href=\"v" + std::to_string(i) + ".mp4\">" + std::to_string(i) + "</a>";
    html += "<a href=\"v" + std::to_string(i) + ".mp4\">again</a>";  // duplicates count once
  }
  Case c{"25 distinct links", html, MediaSource::kFileLink, {}, 5};
  for (int i = 0; i < 20; ++i) c.links.push_back("http://site.test/watch/v" + std::to_string(i) + ".mp4");
  Check(c);

  Case three{"a cap of 3", html, MediaSource::kFileLink,
             {"http://site.test/watch/v0.mp4", "http://site.test/watch/v1.mp4", "http://site.test/watch/v2.mp4"},
             22};
  Check(three, 3);
}

TEST(FindMediaLinks, DeepNestingCostsLinearTime) {
  // No tree is built, so no depth makes the work grow faster than the page:
  // a million nested elements (11 MB) read as quickly as any 11 MB.
  const auto nested = [](const char* open, const char* close, int depth, const std::string& inside) {
    std::string html;
    html.reserve(std::size_t(depth) * 16 + inside.size());
    for (int i = 0; i < depth; ++i) html += open;
    html += inside;
    for (int i = 0; i < depth; ++i) html += close;
    return html;
  };
  const std::vector<Case> cases = {
      {"a video inside a million <div>", nested("<div>", "</div>", 1000000, R"(<video src="deep.mp4"></video>)"),
       MediaSource::kVideoElement, {"http://site.test/watch/deep.mp4"}},
      {"unclosed elements", nested("<b><i><span>", "", 300000, R"(<a href="x.mp4">x</a>)"), MediaSource::kFileLink,
       {"http://site.test/watch/x.mp4"}},
      // Inside a video the depth is counted past what is tracked, so the
      // source after the deep part is still the video's own.
      {"a video's source after deep nesting inside it",
       "<video src=\"blob:x\">" + nested("<div>", "</div>", 100000, R"(<source src="nested.mp4">)") +
           R"(<source src="own.mp4"></video>)",
       MediaSource::kVideoElement, {"http://site.test/watch/own.mp4"}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(FindMediaLinks, PageInPiecesReadsAsWhole) {
  // Every boundary a network read can fall on: inside a tag name, a quoted
  // value, a character reference, a comment's end, a script's end tag.
  const std::string html =
      "<!DOCTYPE html><!-- <a href=\"c.mp4\"> --!><script>x = '</scrip' + '<a href=\"s.mp4\">';</script >"
      "<title><video src=t.mp4></title><!---->"
      "<base href=\"/media/\"><VIDEO SRC='v.mp4?a=1&amp;b=2&#x41;'></VIDEO>"
      "<video><div><source src=nested.mp4></div><source src=\"o&#32;k.webm\" type=video/webm></video>"
      "<meta property=og:video content=\"/og.mp4\"><a href=\"x.mkv\">x</a><a href=y.mov";
  MediaLinks whole = FindMediaLinks(html, kPage);
  ASSERT_EQ(whole.links, (std::vector<std::string>{"http://site.test/media/v.mp4?a=1&b=2A",
                                                   "http://site.test/media/o%20k.webm"}));
  for (const std::size_t piece : {1u, 2u, 3u, 5u, 7u, 64u}) {
    SCOPED_TRACE(piece);
    MediaFinder finder;
    for (std::size_t at = 0; at < html.size(); at += piece) finder.Feed(std::string_view(html).substr(at, piece));
    const MediaLinks found = finder.Finish(kPage);
    EXPECT_EQ(found.source, whole.source);
    EXPECT_EQ(found.links, whole.links);
  }
}

TEST(FindMediaLinks, LongPagesAreReadToTheEndInBoundedMemory) {
  // A long text page with a link to a video after every MB of text, and the
  // first one linked again at the very end; a million ordinary links on the
  // way are not kept.
  const std::string paragraph =
      "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore "
      "et dolore magna aliqua. <a href=\"/item.html\">An item</a> &amp; <img src=\"/i.jpg\"></p>\n";
  const std::size_t target = 50u << 20;
  std::string html = "<!DOCTYPE html><html><head><title>long</title></head><body>\n";
  html.reserve(target + 4096);
  std::vector<std::string> all;
  std::size_t nextMb = 1;
  while (html.size() < target) {
    html += paragraph;
    if (html.size() >= (nextMb << 20)) {
      const std::string link = "/v/" + std::to_string(nextMb++) + ".mp4";
      all.push_back("http://site.test" + link);
      html += "<a href=\"" + link + "\">video</a>\n";
    }
  }
  html += "<a href=\"/v/1.mp4\">again</a></body></html>";

  const MediaLinks found = FindMediaLinks(html, kPage, 1000);
  EXPECT_EQ(found.source, MediaSource::kFileLink);
  EXPECT_EQ(found.links, all);
  EXPECT_EQ(found.more, 0u);
  EXPECT_FALSE(found.moreUncounted);
}

TEST(FindMediaLinks, MoreLinksThanAreKeptAreSaidToBeMore) {
  std::string html;
  for (std::size_t i = 0; html.size() < kMaxKeptLinkBytes * 2; ++i)
    html += "<a href=\"/videos/a/long/path/to/one/of/many/" + std::to_string(i) + ".mp4\">v</a>";
  const MediaLinks found = FindMediaLinks(html, kPage);
  EXPECT_EQ(found.links.size(), kMediaLinkCap);
  EXPECT_GT(found.more, 0u);
  EXPECT_TRUE(found.moreUncounted);
}

TEST(DecodeAttributeValue, ReferencesAndBytesAsABrowserReadsThem) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a&amp;b", "a&b"},
      {"a&ampb", "a&ampb"},         // runs on into a name: as written
      {"a&amp=b", "a&amp=b"},       // before '=': as written
      {"a&amp b", "a& b"},          // legacy form without ';'
      {"&lt;&gt;&quot;&apos;", "<>\"'"},
      {"&#32;&#x41;&#X42", " AB"},  // numeric, ';' optional
      {"&#0;&#xD800;&#99999999999;", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"&#128;", "\xE2\x82\xAC"},  // windows-1252 in the C1 range
      {"&#;&#x;&unknown;&", "&#;&#x;&unknown;&"},
      {"\xC3\xA9", "\xC3\xA9"},      // UTF-8 stays
      {"\xFF\xC3", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // an encoded surrogate is not UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(DecodeAttributeValue(c.in), c.out);
  }
}

}  // namespace
}  // namespace larkvale::extract
