#include "extract/scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkvale::extract {
namespace {

const std::string kSite = "http://site";
const std::string kGv = "http://gv";
const std::string kId = "abcdefghijk";                                     // 11
const std::string kToken = "TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT";  // 46

std::string Standard(const std::string& id, const std::string& token, const char* fmt) {
  return kSite + "/get_video?asv=&video_id=" + id + "&t=" + token + "&fmt=" + fmt;
}

// A first-form marker line: the two characters in front are cut off before the
// markers are searched, so they never count.
const std::string kFirstForm = "  var swfHTML = '<embed src=\"p.swf?video_id=" + kId + "&t=" + kToken + "&x=1\"/>';";
const std::string kSecondForm = "  var SWF_ARGS = {\"video_id\": \"" + kId + "\", \"t\": \"" + kToken + "\", \"l\": 1};";

struct Case {
  const char* name;
  std::vector<std::string> lines;
  bool found;
  std::string link;
};

TEST(ScanWatchPage, TableOfPages) {
  const std::string secure(262, 'S');
  const std::string sigh(27, 'g');
  const std::string gvLine = "flashvars=\"videoUrl=http%3A%2F%2Fx%2F%3Fsecureurl%3D" + secure + "%26sigh%3D" + sigh + "%26end\"";
  const std::string gvLink = kGv + "/videodownload?version=0&secureurl=" + secure + "&sigh=" + sigh + "&";

  const std::vector<Case> cases = {
      {"no markers", {"<html>", "<body>nothing</body>", "</html>"}, false, ""},
      {"empty page", {}, false, ""},
      {"first form, standard", {"<html>", kFirstForm, "</html>"}, true, Standard(kId, kToken, "18")},
      {"HD line after the marker", {kFirstForm, "'IS_HD_AVAILABLE': true"}, true, Standard(kId, kToken, "22")},
      {"HD line before the marker", {"IS_HD_AVAILABLE = true", kFirstForm}, true, Standard(kId, kToken, "22")},
      {"HD false but true elsewhere on the line", {"IS_HD_AVAILABLE: false, autoplay: true", kFirstForm}, true,
       Standard(kId, kToken, "22")},
      {"HD false alone", {"IS_HD_AVAILABLE: false", kFirstForm}, true, Standard(kId, kToken, "18")},
      {"marker case matters", {"var SWFHTML video_id=" + kId}, false, ""},
      {"second form", {kSecondForm}, true, Standard(kId, kToken, "18")},
      {"Google Video only", {gvLine}, true, gvLink},
      {"Google Video with HD gives the empty HD link", {gvLine, "IS_HD_AVAILABLE true"}, true, ""},
      {"Google Video after first form overwrites the standard link only", {kFirstForm, gvLine}, true, gvLink},
      {"later marker line wins",
       {kFirstForm, "  var swfHTML video_id=zyxwvutsrqp&t=" + std::string(46, 'u')},
       true,
       Standard("zyxwvutsrqp", std::string(46, 'u'), "18")},
      // Without id marker A the id is taken from the 9th character of the
      // shortened line, and the token from its 3rd.
      {"first form without inner markers", {"..var swfHTML = 0123456789abcdefghijklmnop"}, true,
       Standard(std::string("var swfHTML = 0123456789abcdefghijklmnop").substr(8, 11),
                std::string("var swfHTML = 0123456789abcdefghijklmnop").substr(2, 46), "18")},
      // Fields shorter than their width when the line ends early.
      {"line ends early", {"  var swfHTML video_id=abc&t=xy"}, true, Standard("abc&t=xy", "xy", "18")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScanResult r = ScanWatchPage(c.lines, kSite, kGv);
    EXPECT_EQ(r.found, c.found);
    EXPECT_EQ(r.link, c.link);
  }
}

TEST(ScanWatchPage, BothFormsOnOneLineAreShortenedTwiceAndSecondFormWins) {
  // Four characters are cut in all; the second form's values are cut last.
  const std::string line = "ABvar swfHTML video_id=11111111111&t=" + std::string(46, '1') +
                           " SWF_ARGS \"video_id\": \"22222222222\", \"t\": \"" + std::string(46, '2') + "\"";
  const ScanResult r = ScanWatchPage({line}, kSite, kGv);
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.link, Standard("22222222222", std::string(46, '2'), "18"));
}

// The scan as written for a line held whole: the streaming scanner must give
// what this gives for any page, however it arrives.
ScanResult ScanHeldWhole(const std::vector<std::string>& lines) {
  const auto pos = [](const std::string& needle, const std::string& line) {
    const auto at = line.find(needle);
    return at == std::string::npos ? std::size_t(0) : at + 1;
  };
  const auto copy = [](const std::string& line, std::size_t from, std::size_t count) {
    return from > line.size() ? std::string() : line.substr(from - 1, count);
  };
  const auto has = [](const std::string& line, const char* needle) { return line.find(needle) != std::string::npos; };
  bool found = false, hd = false;
  std::string link18, link22;
  for (std::string line : lines) {
    if (has(line, "IS_HD_AVAILABLE") && has(line, "true")) hd = true;
    if (has(line, "var swfHTML")) {
      line.erase(0, 2);
      found = true;
      const std::string stem = kSite + "/get_video?asv=&video_id=" + copy(line, pos("video_id=", line) + 9, 11) +
                               "&t=" + copy(line, pos("&t=", line) + 3, 46);
      link18 = stem + "&fmt=18";
      link22 = stem + "&fmt=22";
    }
    if (has(line, "SWF_ARGS")) {
      line.erase(0, 2);
      found = true;
      const std::string stem = kSite + "/get_video?asv=&video_id=" +
                               copy(line, pos("\"video_id\": \"", line) + 13, 11) + "&t=" +
                               copy(line, pos("\"t\": \"", line) + 6, 46);
      link18 = stem + "&fmt=18";
      link22 = stem + "&fmt=22";
    }
    if (has(line, "secureurl%3D")) {
      found = true;
      link18 = kGv + "/videodownload?version=0&secureurl=" + copy(line, pos("secureurl%3D", line) + 12, 262) +
               "&sigh=" + copy(line, pos("%26sigh%3D", line) + 10, 27) + "&";
    }
  }
  return {found, hd ? link22 : link18};
}

TEST(WatchPageScanner, PageInPiecesGivesWhatTheWholeLinesGive) {
  const std::string pad(70000, '.');  // past the scanner's search window
  const std::string first = "var swfHTML video_id=" + kId + "&t=" + kToken;
  const std::vector<std::vector<std::string>> pages = {
      // Markers at the very start, where the two cut characters decide.
      {"var swfHTML"}, {"Xvar swfHTML video_id=" + kId}, {"video_id=aaaaaaaaaaa var swfHTML video_id=" + kId},
      {"&t=x var swfHTML"}, {"SWF_ARGS", "ab\"video_id\": \"" + kId + "\" SWF_ARGS"},
      {"var swfHTMLSWF_ARGS \"t\": \"" + kToken}, {"ABvar swfHTML SWF_ARGSsecureurl%3DS"},
      {"secureurl%3D" + std::string(300, 'S') + "%26sigh%3D" + std::string(30, 'g')},
      {"0123secureurl%3DAB", "01secureurl%3Dxy%26sigh%3Dz"},
      // Repeated markers: the first occurrence after the cut counts.
      {"  var swfHTML &t=1 &t=2 video_id=first video_id=second"},
      // Fields cut by the end of the line, and lines shorter than the cut.
      {"  var swfHTML video_id=abc", "v", "", "IS_HD_AVAILABLE", "true", "IS_HD_AVAILABLE=true"},
      // A line longer than the search window, with the markers and their
      // fields on both sides of the window's edges.
      {pad + "  " + first + pad + "SWF_ARGS \"video_id\": \"" + kId + "\" \"t\": \"" + kToken + pad},
      {std::string(65536 - 12, 'x') + "video_id=" + kId + " var swfHTML " + pad + "&t=" + kToken},
      {"IS_HD_AVAILABLE" + pad + "true", first},
  };
  for (std::size_t p = 0; p < pages.size(); ++p) {
    SCOPED_TRACE(p);
    const ScanResult expected = ScanHeldWhole(pages[p]);
    EXPECT_EQ(ScanWatchPage(pages[p], kSite, kGv).link, expected.link);
    std::string text;
    for (std::size_t i = 0; i < pages[p].size(); ++i) text += pages[p][i] + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r");
    for (const std::size_t piece : {1u, 2u, 7u, 4096u, 1u << 20}) {
      SCOPED_TRACE(piece);
      WatchPageScanner scanner(kSite, kGv);
      for (std::size_t at = 0; at < text.size(); at += piece) scanner.Feed(std::string_view(text).substr(at, piece));
      const ScanResult r = scanner.Finish();
      EXPECT_EQ(r.found, expected.found);
      EXPECT_EQ(r.link, expected.link);
    }
  }
}

TEST(WatchPageScanner, NulEndsThePageAndLineBreaksSplitIt) {
  WatchPageScanner scanner(kSite, kGv);
  scanner.Feed("IS_HD_AVAILABLE\r");
  scanner.Feed("\ntrue\n" + kFirstForm.substr(0, 20));
  scanner.Feed(kFirstForm.substr(20) + std::string("\0", 1) + "IS_HD_AVAILABLE true\n");
  const ScanResult r = scanner.Finish();
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.link, Standard(kId, kToken, "18"));  // neither HD line counts
}

}  // namespace
}  // namespace larkvale::extract
