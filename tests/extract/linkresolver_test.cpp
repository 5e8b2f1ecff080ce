#include "extract/linkresolver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace larkvale::extract {
namespace {

struct Case {
  const char* link;
  const char* base;
  std::optional<std::string> expected;
};

TEST(ResolveLink, TableOfLinks) {
  const char* page = "http://site.test/videos/list/page.html?p=2";
  const std::vector<Case> cases = {
      {"clip.mp4", page, "http://site.test/videos/list/clip.mp4"},
      {"./clip.mp4", page, "http://site.test/videos/list/clip.mp4"},
      {"../clip.mp4", page, "http://site.test/videos/clip.mp4"},
      {"../../../../clip.mp4", page, "http://site.test/clip.mp4"},
      {"a/./b/../clip.mp4", page, "http://site.test/videos/list/a/clip.mp4"},
      {"/root.mp4", page, "http://site.test/root.mp4"},
      {"//cdn.test/x.mp4", page, "http://cdn.test/x.mp4"},
      {"?p=3", page, "http://site.test/videos/list/page.html?p=3"},
      {"#top", page, "http://site.test/videos/list/page.html?p=2"},
      {"clip.mp4#t=10", page, "http://site.test/videos/list/clip.mp4"},
      {"clip.mp4?a=1&b=2", page, "http://site.test/videos/list/clip.mp4?a=1&b=2"},
      {"  \n clip.mp4 \t", page, "http://site.test/videos/list/clip.mp4"},
      {"cl\nip\t.mp4", page, "http://site.test/videos/list/clip.mp4"},
      {"my clip.mp4", page, "http://site.test/videos/list/my%20clip.mp4"},
      {"caf\xC3\xA9.mp4", page, "http://site.test/videos/list/caf%C3%A9.mp4"},
      {"a\"b<c>.mp4?q=<x>", page, "http://site.test/videos/list/a%22b%3Cc%3E.mp4?q=%3Cx%3E"},
      {"already%20encoded.mp4", page, "http://site.test/videos/list/already%20encoded.mp4"},
      {"sub\\clip.mp4", page, "http://site.test/videos/list/sub/clip.mp4"},
      {"HTTP://Site.TEST:80/A.mp4", page, "http://site.test/A.mp4"},
      {"https://site.test:443/a.mp4", page, "https://site.test/a.mp4"},
      {"https://site.test:8443/a.mp4", page, "https://site.test:8443/a.mp4"},
      {"http://site.test:/a.mp4", page, "http://site.test/a.mp4"},
      {"http://site.test", page, "http://site.test/"},
      {"http://site.test?x", page, "http://site.test/?x"},
      {"http://[::1]:8080/a.mp4", page, "http://[::1]:8080/a.mp4"},
      {"http://user:pw@site.test/a.mp4", page, "http://user:pw@site.test/a.mp4"},
      {"http://@site.test/a.mp4", page, "http://site.test/a.mp4"},
      {"http://:@site.test/a.mp4", page, "http://site.test/a.mp4"},
      {"http://a@b@site.test/a.mp4", page, "http://a%40b@site.test/a.mp4"},
      {"http://@@@site.test/a.mp4", page, "http://%40%40@site.test/a.mp4"},
      {"http:clip.mp4", page, "http://site.test/videos/list/clip.mp4"},
      {"https:clip.mp4", page, "https://clip.mp4/"},
      {"http:///site.test/a.mp4", page, "http://site.test/a.mp4"},
      {"clip.mp4", "", std::nullopt},
      {"", page, std::nullopt},
      {"   ", page, std::nullopt},
      {"javascript:play()", page, std::nullopt},
      {"data:video/mp4;base64,AAAA", page, std::nullopt},
      {"blob:http://site.test/1234", page, std::nullopt},
      {"mailto:a@b.test", page, std::nullopt},
      {"ftp://site.test/a.mp4", page, std::nullopt},
      {"http://", page, std::nullopt},
      {"http://bad host/a.mp4", page, std::nullopt},
      {"http://h\xC3\xA9.test/a.mp4", page, std::nullopt},
      // Out of range, kept for the download to refuse with its reason.
      {"http://site.test:99999/a.mp4", page, "http://site.test:99999/a.mp4"},
      {"http://site.test:0/a.mp4", page, "http://site.test:0/a.mp4"},
      {"http://site.test:8x/a.mp4", page, std::nullopt},
      {"http://[zz]/a.mp4", page, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("link \"") + c.link + "\" on \"" + c.base + "\"");
    const auto resolved = ResolveLink(c.link, c.base);
    EXPECT_EQ(resolved, c.expected);
    // A resolved address stands for itself, on any page.
    if (resolved) {
      EXPECT_EQ(ResolveLink(*resolved, ""), resolved);
      EXPECT_EQ(ResolveLink(*resolved, "https://other.test/x/"), resolved);
    }
  }
}

TEST(ResolveLink, BaseWithoutPathOrWithTrailingSlash) {
  EXPECT_EQ(ResolveLink("a.mp4", "http://h.test"), "http://h.test/a.mp4");
  EXPECT_EQ(ResolveLink("a.mp4", "http://h.test/dir/"), "http://h.test/dir/a.mp4");
  EXPECT_EQ(ResolveLink("..", "http://h.test/a/b/c"), "http://h.test/a/");
  EXPECT_EQ(ResolveLink(".", "http://h.test/a/b/c"), "http://h.test/a/b/");
}

TEST(LinkPath, CutsSchemeHostQueryAndFragment) {
  EXPECT_EQ(LinkPath("http://h.test/a/b.mp4?x=1.webm#f"), "/a/b.mp4");
  EXPECT_EQ(LinkPath("http://h.test"), "");
  EXPECT_EQ(LinkPath("/bare/path.mkv?q"), "/bare/path.mkv");
}

}  // namespace
}  // namespace larkvale::extract
