#pragma once
// Finds the videos of an ordinary web page, one without the watch-page
// markers: an HTML5 <video>, an og:video tag, a JSON-LD VideoObject or a
// plain link to a video file. HLS playlists (.m3u8) and DASH manifests
// (.mpd) count as videos wherever they appear.
// The page goes through a real HTML parser (gumbo), so comments, scripts,
// character references and broken markup are read the way a browser reads
// them.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace larkvale::extract {

// Where the links were found. The kinds are tried in this order, and the
// first kind that gives any link is the answer: a page that plays its video
// in a <video> usually names the same file again in og:video or a link.
enum class MediaSource {
  kNone,          // nothing found: the caller says "No video"
  kVideoElement,  // <video src>, else its first <source src> of type video/* or none
  kOpenGraph,     // <meta property="og:video" | "og:video:url" | "og:video:secure_url">
  kStructuredData,  // JSON-LD VideoObject contentUrl/embedUrl naming a video file or a stream
  kFileLink,      // <a href> whose path ends in a video file extension, .m3u8 or .mpd
};

struct MediaLinks {
  MediaSource source = MediaSource::kNone;
  // Distinct absolute http/https addresses in page order, at most the cap.
  std::vector<std::string> links;
  // How many further distinct links were found beyond the cap.
  std::size_t more = 0;
  // The page was longer than kMaxParsedPageBytes and only its start was read.
  bool cut = false;
};

inline constexpr std::size_t kMediaLinkCap = 20;

// The parser reads a few MB a second and needs about 14 bytes of memory per
// byte of page, all on the window's thread; no real page holds its video
// further down than this.
inline constexpr std::size_t kMaxParsedPageBytes = 8u << 20;

// `page` is the HTML as fetched (its first kMaxParsedPageBytes are read); `pageAddress` is the page's final address
// (after redirects), against which relative links and <base href> resolve.
// Links that do not resolve to http or https (blob:, data:, javascript:, ...)
// are skipped. One <video> gives one link: its sources are the same video in
// other formats. Likewise one og:video with its :url and :secure_url gives
// one link, and none when its og:video:type says it is not video/* (an
// embedded player page).
MediaLinks FindMediaLinks(std::string_view page, std::string_view pageAddress, std::size_t cap = kMediaLinkCap);

}  // namespace larkvale::extract
