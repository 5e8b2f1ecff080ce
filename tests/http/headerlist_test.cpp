// Header lines (lookup, continuation, wrapping) and internet dates.
#include <gtest/gtest.h>

#include "http/headerlist.h"

using namespace larkvale::http;

TEST(HeaderList, LookupAndContinuations) {
  TNetHeaderList h;
  h.Add("Set-Cookie: a=1");
  h.Add("X-Long: part one");
  h.Add("  part two");
  h.Add("set-cookie: b=2");
  h.Add("Content-Length:");
  h.Add("Content-Type : x");
  std::vector<std::string> cookies;
  h.CollectValues("Set-cookie", &cookies);
  EXPECT_EQ(cookies, (std::vector<std::string>{"a=1", "b=2"}));
  h.CollectValues("Set-cookie", nullptr);  // no destination: nothing happens
  EXPECT_EQ(h.ValueOf("x-long"), "part one part two");
  EXPECT_EQ(h.ValueOf("Content-Length"), "");
  EXPECT_EQ(h.ValueOf("Absent"), "");
  EXPECT_EQ(h.NameAt(5), "CONTENT-TYPE ");
  EXPECT_EQ(h.IndexOfHeader("Content-Type"), -1);
  EXPECT_EQ(h.ValueAt(99), "");
}

TEST(HeaderList, SetHeaderReplacesInPlaceAndRemoves) {
  TNetHeaderList h;
  h.SetHeader("A", "1");
  h.SetHeader("B", "2");
  h.SetHeader("a", "3");
  EXPECT_EQ(h.Lines, (std::vector<std::string>{"a: 3", "B: 2"}));
  h.SetHeader("A", "");
  EXPECT_EQ(h.Lines, (std::vector<std::string>{"B: 2"}));
}

TEST(HeaderList, WrapsLongCookieLines) {
  TNetHeaderList h;
  h.WrapWidth = 1024;
  std::string value;
  for (int i = 0; value.size() < 2000; ++i) value += (value.empty() ? "" : "; ") + ("name" + std::to_string(i) + "=value");
  h.SetHeader("Cookie", value);
  ASSERT_GE(h.Count(), 2);
  for (int i = 0; i < h.Count(); ++i) {
    const std::string& l = h.Lines[static_cast<std::size_t>(i)];
    EXPECT_LE(l.size(), 1030u);
    if (i > 0) {
      EXPECT_EQ(l[0], ' ');
    }
    EXPECT_NE(l.back(), ' ');
  }
  // Reading joins it back.
  EXPECT_EQ(h.ValueOf("Cookie"), value);
  // Replacing drops the old continuation lines.
  h.SetHeader("Cookie", "short=1");
  EXPECT_EQ(h.Lines, std::vector<std::string>{"Cookie: short=1"});
}

TEST(HeaderList, WrapTable) {
  EXPECT_EQ(WrapHeaderLine("short: line", 78), std::vector<std::string>{"short: line"});
  EXPECT_EQ(WrapHeaderLine("X: aaaa,bbbb cccc", 8), (std::vector<std::string>{"X: aaaa,", " bbbb", " cccc"}));
  // No break character: never cut.
  EXPECT_EQ(WrapHeaderLine("X:" + std::string(100, 'z'), 10).size(), 1u);
  // Breaks inside double quotes do not count.
  EXPECT_EQ(WrapHeaderLine("X: \"a b c d e f\"", 6).size(), 1u);
  // A run of blanks that falls on a line of its own leaves no empty piece.
  EXPECT_EQ(WrapHeaderLine("X: a   b", 1), (std::vector<std::string>{"X:", " a", " b"}));
}

TEST(HeaderList, ALongRunOfBlanksLeavesNoEmptyLineInTheHead) {
  // A run of blanks longer than the width gets lines of its own.
  const std::vector<std::string> values = {"a=1;" + std::string(1100, ' ') + "b=2",
                                           "a=1;" + std::string(3000, ' ') + std::string(1100, 'v') + "; c=3",
                                           "x" + std::string(700, ' ') + "\t" + std::string(700, ' ') + "y"};
  for (const std::string& value : values) {
    TNetHeaderList h;
    h.WrapWidth = 1024;
    h.Add("Accept: */*");
    h.SetHeader("Cookie", value);
    h.Add("X-After: 1");
    for (const std::string& line : h.Lines) EXPECT_FALSE(line.empty()) << value.substr(0, 12);
    EXPECT_EQ(h.Text().find("\r\n\r\n"), std::string::npos);
    const int count = h.Count();
    h.SetHeader("Cookie", value);
    EXPECT_EQ(h.Count(), count) << value.substr(0, 12);
    EXPECT_EQ(h.Lines.back(), "X-After: 1");
    h.SetHeader("Cookie", "");
    EXPECT_EQ(h.Lines, (std::vector<std::string>{"Accept: */*", "X-After: 1"}));
  }
}

namespace {
double Moment(int y, int mo, int d, int h, int mi, int s) { return EncodeDate(y, mo, d) + (h * 3600 + mi * 60 + s) / 86400.0; }
}  // namespace

TEST(InternetDates, ParseTable) {
  const struct {
    const char* text;
    double want;
    const char* rest;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", Moment(1994, 11, 6, 8, 49, 37), "GMT"},
      {"Sunday, 06-Nov-94 08:49:37 GMT", Moment(1994, 11, 6, 8, 49, 37), "GMT"},
      {"Sun Nov  6 08:49:37 1994", Moment(1994, 11, 6, 8, 49, 37), ""},
      {"Thu, 01-Jan-70 00:00:00 GMT", Moment(2070, 1, 1, 0, 0, 0), "GMT"},
      {"Thu, 01-Jan-1970 00:00:00 GMT", Moment(1970, 1, 1, 0, 0, 0), "GMT"},
      {"Wed, 09 Jun 2021 10:18:14 +0200", Moment(2021, 6, 9, 10, 18, 14), "+0200"},
      {"Fri, 32 Jan 2010 00:00:00 GMT", 0, ""},
      {"tomorrow", 0, ""},
      {"6 November 1994", 0, ""},
      {"", 0, ""},
      {"Sun, 06 Nov 1994 25:00:00 GMT", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string t = c.text;
    double got = ParseInternetDate(t);
    EXPECT_NEAR(got, c.want, 1e-7);
    if (c.want != 0) {
      EXPECT_EQ(t, c.rest);
    }
  }
}

TEST(InternetDates, ZonesAndLocalTime) {
  EXPECT_NEAR(ZoneOffsetOf("+0200"), 2.0 / 24, 1e-9);
  EXPECT_NEAR(ZoneOffsetOf("-0130"), -1.5 / 24, 1e-9);
  EXPECT_EQ(ZoneOffsetOf("GMT"), 0);
  const double local = LocalUtcOffset();
  EXPECT_NEAR(InternetDateToLocal("Wed, 09 Jun 2021 10:18:14 +0200"), Moment(2021, 6, 9, 8, 18, 14) + local, 1e-7);
  EXPECT_NEAR(InternetDateToLocal("Wed, 09 Jun 2021 10:18:14 GMT"), Moment(2021, 6, 9, 10, 18, 14) + local, 1e-7);
  // Unreadable: the local offset alone, long past.
  EXPECT_NEAR(InternetDateToLocal("-1"), local, 1e-9);
}

TEST(InternetDates, FormatRoundTrips) {
  std::string text = FormatInternetDate(Moment(1994, 11, 6, 8, 49, 37));
  EXPECT_EQ(text.substr(0, 25), "Sun, 6 Nov 1994 08:49:37 ");
  const char sign = text[25];
  EXPECT_TRUE(sign == '+' || sign == '-');
  EXPECT_EQ(text.size(), 30u);
  // Written as local time with the local offset: reading it back gives the same moment.
  EXPECT_NEAR(InternetDateToLocal(text), Moment(1994, 11, 6, 8, 49, 37), 1e-7);
}
