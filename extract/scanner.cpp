#include "extract/scanner.h"

#include <algorithm>

namespace larkvale::extract {
namespace {

// The markers, and how many characters after each one are its field.
enum Marker : std::size_t { kHd, kTrue, kFirstForm, kSecondForm, kSecure, kIdA, kTokenA, kIdB, kTokenB, kSignature };
struct MarkerText {
  std::string_view text;
  std::size_t width;
};
constexpr MarkerText kMarkerText[] = {
    {"IS_HD_AVAILABLE", 0}, {"true", 0},       {"var swfHTML", 0}, {"SWF_ARGS", 0},         {"secureurl%3D", 262},
    {"video_id=", 11},      {"&t=", 46},       {"\"video_id\": \"", 11}, {"\"t\": \"", 46}, {"%26sigh%3D", 27},
};
constexpr std::size_t kLongestMarker = 15;
// A field taken where its marker is missing starts at most this far into the
// line (4 characters cut, offset 12, 262 wide).
constexpr std::size_t kHeadBytes = 512;
// Long lines are searched in windows of this size.
constexpr std::size_t kPieceBytes = 64 * 1024;

}  // namespace

WatchPageScanner::WatchPageScanner(std::string videoSite, std::string googleVideoServer)
    : videoSite_(std::move(videoSite)), googleVideoServer_(std::move(googleVideoServer)) {}

// Finds the next occurrences of `marker` in the window, which starts at line
// offset `windowAt`. For each shift the first occurrence at or after it is
// kept, with its field's characters as far as the window has them.
void WatchPageScanner::Search(std::size_t marker, std::string_view window, std::size_t windowAt) {
  const MarkerText& m = kMarkerText[marker];
  auto& hits = hits_[marker];
  while (hits[kShifts - 1].at == std::string::npos) {
    const std::size_t from = std::max(searchFrom_[marker], windowAt) - windowAt;
    const std::size_t found = window.find(m.text, from);
    if (found == std::string_view::npos) {
      // A marker starting in the last few bytes may still complete later.
      if (window.size() + 1 > m.text.size())
        searchFrom_[marker] = std::max(searchFrom_[marker], windowAt + window.size() + 1 - m.text.size());
      return;
    }
    const std::size_t at = windowAt + found;
    searchFrom_[marker] = at + 1;
    for (std::size_t shift = 0; shift < kShifts; ++shift) {
      Hit& hit = hits[shift];
      if (hit.at != std::string::npos || at < shift * 2) continue;
      hit.at = at;
      if (m.width > 0) hit.after = std::string(window.substr(found + m.text.size(), m.width));
    }
  }
}

void WatchPageScanner::Append(std::string_view piece) {
  lineOpen_ = true;
  while (!piece.empty()) {
    const std::string_view part = piece.substr(0, kPieceBytes);
    piece.remove_prefix(part.size());
    if (head_.size() < kHeadBytes) head_.append(part.substr(0, kHeadBytes - head_.size()));

    // Fields whose marker lay near the end of earlier text take their
    // further characters from this part.
    for (std::size_t marker = 0; marker < kMarkers; ++marker) {
      const std::size_t width = kMarkerText[marker].width;
      for (Hit& hit : hits_[marker]) {
        if (hit.at == std::string::npos || width == 0) continue;
        const std::size_t fieldStart = hit.at + kMarkerText[marker].text.size();
        const std::size_t have = fieldStart + hit.after.size();
        if (hit.after.size() >= width || have < length_) continue;
        const std::size_t skip = have - length_;
        if (skip < part.size()) hit.after.append(part.substr(skip, width - hit.after.size()));
      }
    }

    window_.assign(tail_).append(part);
    const std::size_t windowAt = length_ - tail_.size();
    for (std::size_t marker = 0; marker < kMarkers; ++marker) Search(marker, window_, windowAt);
    length_ += part.size();
    const std::size_t keep = std::min(window_.size(), kLongestMarker - 1);
    tail_.assign(window_, window_.size() - keep, keep);
  }
}

// 0-based in the line; the field where its marker is missing starts at the
// marker's offset counted from the line's start (after the shift).
std::string WatchPageScanner::Field(std::size_t marker, std::size_t shift, std::size_t width) const {
  const Hit& hit = hits_[marker][shift / 2];
  if (hit.at != std::string::npos) return hit.after;
  const std::size_t from = shift + kMarkerText[marker].text.size() - 1;
  if (from >= head_.size()) return {};
  return head_.substr(from, width);
}

void WatchPageScanner::EndLine() {
  // HD is announced by the marker and "true" anywhere on the same line.
  if (Has(kHd, 0) && Has(kTrue, 0)) hd_ = true;

  const auto buildYouTubeLinks = [this](const std::string& id, const std::string& token) {
    const std::string stem = videoSite_ + "/get_video?asv=&video_id=" + id + "&t=" + token;
    link18_ = stem + "&fmt=18";
    link22_ = stem + "&fmt=22";
  };
  // Each form's test and fields apply to the line minus its first two
  // characters, and the second form shortens it again.
  std::size_t shift = 0;
  if (Has(kFirstForm, 0)) {
    shift = 2;
    found_ = true;
    buildYouTubeLinks(Field(kIdA, shift, 11), Field(kTokenA, shift, 46));
  }
  if (Has(kSecondForm, shift)) {
    shift += 2;
    found_ = true;
    buildYouTubeLinks(Field(kIdB, shift, 11), Field(kTokenB, shift, 46));
  }
  // Google Video form: only the standard link changes.
  if (Has(kSecure, shift)) {
    found_ = true;
    link18_ = googleVideoServer_ + "/videodownload?version=0&secureurl=" + Field(kSecure, shift, 262) +
              "&sigh=" + Field(kSignature, shift, 27) + "&";
  }

  length_ = 0;
  head_.clear();
  tail_.clear();
  searchFrom_.fill(0);
  for (auto& hits : hits_)
    for (Hit& hit : hits) hit = Hit{};
  lineOpen_ = false;
}

void WatchPageScanner::ScanLine(std::string_view line) {
  Append(line);
  EndLine();
}

void WatchPageScanner::Feed(std::string_view text) {
  breaks_.Feed(
      text, [this](std::string_view run) { Append(run); }, [this] { EndLine(); });
}

ScanResult WatchPageScanner::Finish() {
  if (lineOpen_) EndLine();
  ScanResult result;
  result.found = found_;
  result.link = hd_ ? link22_ : link18_;
  return result;
}

ScanResult ScanWatchPage(const std::vector<std::string>& lines, const std::string& videoSite,
                         const std::string& googleVideoServer) {
  WatchPageScanner scanner(videoSite, googleVideoServer);
  for (const std::string& line : lines) scanner.ScanLine(line);
  return scanner.Finish();
}

}  // namespace larkvale::extract
