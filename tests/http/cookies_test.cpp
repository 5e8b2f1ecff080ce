// Cookie parsing, acceptance, replacement, expiry and the Cookie header.
#include <gtest/gtest.h>

#include <thread>

#include "http/cookies.h"
#include "http/exceptions.h"

using namespace larkvale::http;

namespace {
std::string HeaderAt(TNetCookieManager& m, const std::string& url) { return m.HeaderFor(TNetURI(url), false); }
}  // namespace

TEST(Cookies, ParseTextAndServerText) {
  TNetCookieRFC2109 c;
  c.ParseText("PREF=abc=d; Path=\"/x\"; DOMAIN=.dom; secure; path=/ignored; Comment=Hi");
  EXPECT_EQ(c.Name, "PREF");
  EXPECT_EQ(c.Value, "abc=d");
  EXPECT_EQ(c.Path, "/x");
  EXPECT_EQ(c.Domain, ".dom");
  EXPECT_TRUE(c.Secure);
  EXPECT_EQ(c.Comment, "Hi");
  EXPECT_EQ(c.Style, NetscapeStyle);  // no expiry
  EXPECT_EQ(c.ServerText(), "PREF=abc=d; path=/x; domain=.dom; secure; comment=Hi");
  TNetCookieRFC2109 flag;
  flag.ParseText("a=1; secure=yes");
  EXPECT_FALSE(flag.Secure);
  TNetCookieRFC2109 empty;
  empty.ParseText("a=; path=/");
  EXPECT_EQ(empty.ServerText(), "path=/");
}

TEST(Cookies, AcceptanceTable) {
  const struct {
    std::string text;
    const char* host;
    bool stored;
  } cases[] = {
      {"PREF=abc; path=/; domain=.video.example", "www.video.example", true},
      {"a=1; domain=video.example", "www.video.example", false},
      {"a=1; domain=.other.example", "www.video.example", false},
      {"a=1; domain=www.video.example", "www.video.example", true},
      {"a=1; domain=.b.dom", "a.b.dom", true},
      {"a=1; domain=.dom", "a.b.dom", false},  // only one level up
      // A parent of one label would reach every host under it.
      {"a=1; domain=.dom", "h.dom", false},
      {"a=1; path=/; domain=.example", "evil.example", false},
      {"a=1; domain=.", "localhost", false},
      {"a=1", "10.0.0.1", true},
      {"a=1; domain=10.0.0.2", "10.0.0.1", false},
      // A line break or NUL in the value would come back in the Cookie line.
      {"a=b\rc; path=/", "h", false},
      {"a=b; path=/\nX-Injected: 1", "h", false},
      {std::string("a=b\0c; path=/", 14), "h", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " from " + c.host);
    TNetCookieManager m;
    m.AcceptCookie(c.text, c.host, Rfc2109Style);
    EXPECT_EQ(m.Cookies.Count(), c.stored ? 1 : 0);
  }
}

TEST(Cookies, HeaderSelectionAndOrder) {
  TNetCookieManager m;
  m.AcceptCookie("PREF=abc; path=/; domain=.video.example", "www.video.example", Rfc2109Style);
  EXPECT_EQ(HeaderAt(m, "http://OTHER.VIDEO.EXAMPLE/watch?v=1"), "PREF=abc");
  EXPECT_EQ(HeaderAt(m, "http://elsewhere.org/"), "");

  TNetCookieManager n;
  n.AcceptCookie("nopath=1", "h", Rfc2109Style);         // stored, never sent
  n.AcceptCookie("sec=1; path=/; secure", "h", Rfc2109Style);  // never sent here
  n.AcceptCookie("root=1; path=/", "h", Rfc2109Style);
  n.AcceptCookie("deep=2; path=/a/", "h", Rfc2109Style);
  n.AcceptCookie("w=3; path=/watch", "h", Rfc2109Style);
  EXPECT_EQ(n.Cookies.Count(), 5);
  EXPECT_EQ(HeaderAt(n, "http://h/a/b/x"), "deep=2; root=1");
  EXPECT_EQ(HeaderAt(n, "http://h/watch?v=1"), "root=1");  // directory "/"
  // Equal paths keep the order of selection: the newest stored first.
  EXPECT_EQ(n.HeaderFor(TNetURI("http://h/x"), true), "root=1; sec=1");
}

TEST(Cookies, ReplacementKeepsTheStoredCookie) {
  TNetCookieManager m;
  m.AcceptCookie("a=1; path=/", "h", Rfc2109Style);
  TNetCookieRFC2109* stored = m.Cookies.DomainIndex[0].second[0].second;
  m.AcceptCookie("A=2; path=/", "h", Rfc2109Style);
  EXPECT_EQ(m.Cookies.Count(), 1);
  EXPECT_EQ(m.Cookies.DomainIndex[0].second[0].second, stored);
  EXPECT_EQ(stored->Name, "A");
  EXPECT_EQ(HeaderAt(m, "http://h/"), "A=2");
  // A replacement with an "expires" attribute leaves no expiry behind.
  m.AcceptCookie("a=1; path=/; expires=Wed, 01-Jan-2031 00:00:00 GMT", "h", Rfc2109Style);
  EXPECT_EQ(stored->Value, "1");
  EXPECT_EQ(stored->Expires, "");
  // The domain stays that of the host, also one that its text form would
  // cut (a ';' ends an attribute).
  for (const std::string host : {"h", "a;b"}) {
    SCOPED_TRACE(host);
    TNetCookieManager n;
    n.AcceptCookie("c=1", host, Rfc2109Style);
    n.AcceptCookie("c=2", host, Rfc2109Style);
    ASSERT_EQ(n.Cookies.Count(), 1);
    EXPECT_EQ(n.Cookies.DomainIndex[0].second[0].second->Domain, host);
  }
}

TEST(Cookies, Expiry) {
  TNetCookieManager m;
  m.AcceptCookie("gone=1; path=/; max-age=0", "h", Rfc2109Style);
  m.AcceptCookie("old=1; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT", "h", Rfc2109Style);
  m.AcceptCookie("bad=1; path=/; expires=someday", "h", Rfc2109Style);
  m.AcceptCookie("hour=1; path=/; max-age=3600", "h", Rfc2109Style);
  EXPECT_EQ(m.Cookies.Count(), 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(HeaderAt(m, "http://h/"), "hour=1");
  EXPECT_EQ(m.Cookies.Count(), 1);
}

TEST(Cookies, Rfc2965PortList) {
  TNetCookieManager m;
  m.AcceptCookie("a=1; path=/; Port=\"80, 8080\"", "h", Rfc2965Style);
  auto* c = dynamic_cast<TNetCookieRFC2965*>(m.Cookies.DomainIndex[0].second[0].second);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Ports, (std::vector<int>{80, 8080}));
  TNetCookieManager n;
  n.AcceptCookie("a=1; Discard", "h", Rfc2965Style);
  c = dynamic_cast<TNetCookieRFC2965*>(n.Cookies.DomainIndex[0].second[0].second);
  EXPECT_EQ(c->Ports, std::vector<int>{80});
  EXPECT_TRUE(c->Discard);
  try {
    n.AcceptCookie("b=1; Port=\"80,http\"", "h", Rfc2965Style);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'http' is not a valid integer value");
  }
}

TEST(Cookies, HugeCookieTextIsStoredButNotSent) {
  TNetCookieManager m;
  std::string text = "big=" + std::string(1 << 20, 'v') + "; path=/";
  m.AcceptCookie(text, "h", Rfc2109Style);
  m.AcceptCookie("small=1; path=/", "h", Rfc2109Style);
  EXPECT_EQ(m.Cookies.Count(), 2);
  // The header stays within its limit; what fits is still sent.
  EXPECT_EQ(HeaderAt(m, "http://h/"), "small=1");
}

// Which stored cookie goes to which request: domains match by equality or
// at a label boundary, host-only and IP cookies by equality, paths at a "/".
TEST(Cookies, MatchingTable) {
  const struct {
    const char *text, *setBy, *url;
    bool sent;
  } cases[] = {
      {"a=1; path=/", "www.video.example", "http://www.video.example/", true},
      {"a=1; path=/", "www.video.example", "http://WWW.Video.Example/", true},
      {"a=1; path=/", "www.video.example", "http://www.video.example.attacker.test/", false},
      {"a=1; path=/", "www.video.example", "http://xwww.video.example/", false},
      {"a=1; path=/", "www.video.example", "http://sub.www.video.example/", false},
      {"a=1; path=/", "www.video.example", "http://video.example/", false},
      {"a=1; path=/", "10.0.0.1", "http://10.0.0.1/", true},
      {"a=1; path=/", "10.0.0.1", "http://10.0.0.10/", false},
      {"a=1; path=/", "10.0.0.1", "http://110.0.0.1/", false},
      {"a=1; path=/; domain=.video.example", "www.video.example", "http://video.example/", true},
      {"a=1; path=/; domain=.video.example", "www.video.example", "http://a.b.video.example/", true},
      {"a=1; path=/; domain=.video.example", "www.video.example", "http://xvideo.example/", false},
      {"a=1; path=/; domain=.video.example", "www.video.example", "http://video.example.attacker.test/", false},
      {"a=1; path=/watch", "h", "http://h/watch/x", true},
      {"a=1; path=/watch", "h", "http://h/watch/", true},
      {"a=1; path=/watch", "h", "http://h/watchlater/x", false},
      {"a=1; path=/watch/", "h", "http://h/watch/a/b", true},
      {"a=1; path=/", "h", "http://h/anything/x", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " from " + c.setBy + " to " + c.url);
    TNetCookieManager m;
    m.AcceptCookie(c.text, c.setBy, Rfc2109Style);
    ASSERT_EQ(m.Cookies.Count(), 1);
    EXPECT_EQ(HeaderAt(m, c.url), c.sent ? "a=1" : "");
  }
}

TEST(Cookies, ADomainKeepsItsNewestCookiesUpToTheLimit) {
  TNetCookieManager m;
  const int total = static_cast<int>(TNetCookieManager::kMaxCookiesPerDomain) + 10;
  for (int i = 0; i < total; ++i) m.AcceptCookie("c" + std::to_string(i) + "=v; path=/", "h", Rfc2109Style);
  m.AcceptCookie("other=1; path=/", "g", Rfc2109Style);
  ASSERT_EQ(m.Cookies.DomainIndex.size(), 2u);
  const auto& names = m.Cookies.DomainIndex[0].second;
  ASSERT_EQ(names.size(), TNetCookieManager::kMaxCookiesPerDomain);
  EXPECT_EQ(names.front().first, "c10");
  EXPECT_EQ(names.back().first, "c" + std::to_string(total - 1));
  EXPECT_EQ(m.Cookies.Count(), static_cast<int>(TNetCookieManager::kMaxCookiesPerDomain) + 1);
  // A name that is stored already is replaced, not added.
  m.AcceptCookie("C59=new; path=/", "h", Rfc2109Style);
  EXPECT_EQ(names.size(), TNetCookieManager::kMaxCookiesPerDomain);
  EXPECT_EQ(names.back().second->Value, "new");
  // Many long cookies: the header stops at its limit.
  TNetCookieManager n;
  for (int i = 0; i < 40; ++i) n.AcceptCookie("k" + std::to_string(i) + "=" + std::string(1000, 'x') + "; path=/", "h", Rfc2109Style);
  const std::string header = HeaderAt(n, "http://h/");
  EXPECT_LE(header.size(), TNetCookieManager::kMaxHeaderBytes);
  EXPECT_GE(header.size(), TNetCookieManager::kMaxHeaderBytes - 1010);
}

TEST(Cookies, MaxAgeNearTheLimitSaturates) {
  for (const char* age : {"9223372036854775807", "9223372036854775000", "315537897600000"}) {
    SCOPED_TRACE(age);
    TNetCookieManager m;
    m.AcceptCookie(std::string("a=1; path=/; max-age=") + age, "h", Rfc2109Style);
    ASSERT_EQ(m.Cookies.Count(), 1);
    const TNetCookieRFC2109* c = m.Cookies.DomainIndex[0].second[0].second;
    EXPECT_NE(c->Expires.find("31 Dec 9999 23:59:59"), std::string::npos) << c->Expires;
    EXPECT_EQ(std::to_string(c->MaxAge), age);
    // Far in the future, so it is sent, not purged.
    EXPECT_EQ(HeaderAt(m, "http://h/"), "a=1");
  }
}
