#pragma once
// Turns the text of a video's watch page into one direct download link by
// cutting the video id and token (or the secure URL and signature of the
// Google Video form) out of marker lines at fixed offsets. Purely textual:
// no HTML parsing, no decoding, no validation of what was cut out.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "extract/pagelines.h"

namespace larkvale::extract {

struct ScanResult {
  bool found = false;  // a link marker was seen on some line
  std::string link;    // the HD link when HD was announced, else the standard one
};

// The scan fed as the page arrives, in pieces of any size. A line is never
// held whole: per line it keeps its first bytes and the few characters after
// the first occurrence of each marker, so a page that is one line of any
// length costs the same small memory.
class WatchPageScanner {
 public:
  // `videoSite` and `googleVideoServer` are scheme and host without a
  // trailing slash, e.g. "http://www.youtube.com".
  WatchPageScanner(std::string videoSite, std::string googleVideoServer);

  // Page text: lines end at CR LF, CR or LF; a NUL ends the text.
  void Feed(std::string_view text);
  // One whole line, without its line break.
  void ScanLine(std::string_view line);
  ScanResult Finish();

 private:
  static constexpr std::size_t kMarkers = 10;
  static constexpr std::size_t kShifts = 3;  // a line shortened by 0, 2 or 4 characters
  struct Hit {
    std::size_t at = std::string::npos;  // where the marker starts in the line
    std::string after;                   // the characters that follow it, up to its field's width
  };

  void Append(std::string_view piece);
  void Search(std::size_t marker, std::string_view window, std::size_t windowAt);
  void EndLine();
  std::string Field(std::size_t marker, std::size_t shift, std::size_t width) const;
  bool Has(std::size_t marker, std::size_t shift) const { return hits_[marker][shift / 2].at != std::string::npos; }

  std::string videoSite_, googleVideoServer_;
  bool found_ = false, hd_ = false;
  std::string link18_, link22_;

  // The line being read.
  std::size_t length_ = 0;
  std::string head_;  // its first bytes
  std::string tail_;  // its last bytes, for markers split between pieces
  std::string window_;
  std::array<std::size_t, kMarkers> searchFrom_{};
  std::array<std::array<Hit, kShifts>, kMarkers> hits_;
  bool lineOpen_ = false;
  LineBreaks breaks_;
};

// The lines of a whole page at once.
ScanResult ScanWatchPage(const std::vector<std::string>& lines, const std::string& videoSite,
                         const std::string& googleVideoServer);

}  // namespace larkvale::extract
