#include "extract/scanner.h"

namespace larkvale::extract {
namespace {

// 1-based position of the first occurrence, 0 when absent.
std::size_t Pos(const std::string& needle, const std::string& line) {
  const auto at = line.find(needle);
  return at == std::string::npos ? 0 : at + 1;
}

// Up to `count` characters from 1-based position `from`; fewer when the line
// ends earlier, none when `from` lies beyond its end.
std::string Copy(const std::string& line, std::size_t from, std::size_t count) {
  if (from < 1) from = 1;
  if (from > line.size()) return {};
  return line.substr(from - 1, count);
}

bool Contains(const std::string& line, const char* needle) { return line.find(needle) != std::string::npos; }

}  // namespace

ScanResult ScanWatchPage(const std::vector<std::string>& lines, const std::string& videoSite,
                         const std::string& googleVideoServer) {
  bool found = false;
  bool hd = false;
  std::string link18;
  std::string link22;

  auto buildYouTubeLinks = [&](const std::string& id, const std::string& token) {
    const std::string stem = videoSite + "/get_video?asv=&video_id=" + id + "&t=" + token;
    link18 = stem + "&fmt=18";
    link22 = stem + "&fmt=22";
  };

  for (std::string line : lines) {
    // HD is announced by the marker and "true" anywhere on the same line.
    if (Contains(line, "IS_HD_AVAILABLE") && Contains(line, "true")) hd = true;

    // First form: video_id=<11> ... &t=<46>, on the line minus its first two characters.
    if (Contains(line, "var swfHTML")) {
      line.erase(0, 2);
      found = true;
      buildYouTubeLinks(Copy(line, Pos("video_id=", line) + 9, 11), Copy(line, Pos("&t=", line) + 3, 46));
    }

    // Second form: "video_id": "<11>" ... "t": "<46>", shortened again.
    if (Contains(line, "SWF_ARGS")) {
      line.erase(0, 2);
      found = true;
      buildYouTubeLinks(Copy(line, Pos("\"video_id\": \"", line) + 13, 11),
                        Copy(line, Pos("\"t\": \"", line) + 6, 46));
    }

    // Google Video form: only the standard link changes.
    if (Contains(line, "secureurl%3D")) {
      found = true;
      const std::string secure = Copy(line, Pos("secureurl%3D", line) + 12, 262);
      const std::string signature = Copy(line, Pos("%26sigh%3D", line) + 10, 27);
      link18 = googleVideoServer + "/videodownload?version=0&secureurl=" + secure + "&sigh=" + signature + "&";
    }
  }

  ScanResult result;
  result.found = found;
  result.link = hd ? link22 : link18;
  return result;
}

}  // namespace larkvale::extract
