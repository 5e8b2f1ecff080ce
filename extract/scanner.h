#pragma once
// Turns the text of a video's watch page into one direct download link by
// cutting the video id and token (or the secure URL and signature of the
// Google Video form) out of marker lines at fixed offsets. Purely textual:
// no HTML parsing, no decoding, no validation of what was cut out.

#include <string>
#include <vector>

namespace larkvale::extract {

struct ScanResult {
  bool found = false;  // a link marker was seen on some line
  std::string link;    // the HD link when HD was announced, else the standard one
};

// `videoSite` and `googleVideoServer` are scheme and host without a trailing
// slash, e.g. "http://www.youtube.com".
ScanResult ScanWatchPage(const std::vector<std::string>& lines, const std::string& videoSite,
                         const std::string& googleVideoServer);

}  // namespace larkvale::extract
