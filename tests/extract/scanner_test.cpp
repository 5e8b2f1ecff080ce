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

}  // namespace
}  // namespace larkvale::extract
