#pragma once
// Finds the videos of an ordinary web page, one without the watch-page
// markers: an HTML5 <video>, an og:video or twitter:player:stream tag, a
// JSON-LD VideoObject, a poster's data- attribute or a plain link to a video
// file. HLS playlists (.m3u8) and DASH manifests
// (.mpd) count as videos wherever they appear.
// The page's tags are read the way a browser's tokenizer reads them (see
// HtmlTagReader), so comments, scripts, character references and broken
// markup do not mislead it; no tree is built, so neither the page's size nor
// its nesting costs more than linear time and bounded memory.

#include <cstddef>
#include <functional>
#include <memory>
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
  kOpenGraph,     // <meta property="og:video" | "og:video:url" | "og:video:secure_url">, and
                  // <meta name="twitter:player:stream"> (with its :content_type)
  kStructuredData,  // JSON-LD VideoObject contentUrl/embedUrl naming a video file or a stream
  kPoster,        // data-video, data-src, data-mp4, data-hls, ... on any element (a click-to-play poster,
                  // a lazy player), naming a video file or a stream
  kFileLink,      // <a href> whose path ends in a video file extension, .m3u8 or .mpd
};

struct MediaLinks {
  MediaSource source = MediaSource::kNone;
  // Distinct absolute http/https addresses in page order, at most the cap.
  std::vector<std::string> links;
  // How many further distinct links were found beyond the cap.
  std::size_t more = 0;
  // A page with more candidate links than are kept in memory: `more` counts
  // those kept, and there were more beyond them.
  bool moreUncounted = false;
  // The search was stopped before it ended: the links are those found so far.
  bool stopped = false;
};

inline constexpr std::size_t kMediaLinkCap = 20;

// How many bytes of candidate links (as written) one page may keep.
inline constexpr std::size_t kMaxKeptLinkBytes = 8u << 20;

// The finder fed as the page arrives: `Feed` the HTML in pieces of any size,
// then `Finish` once.
class MediaFinder {
 public:
  MediaFinder();
  ~MediaFinder();
  MediaFinder(const MediaFinder&) = delete;
  MediaFinder& operator=(const MediaFinder&) = delete;

  void Feed(std::string_view html);
  // Resolves what was found against `pageAddress`, the page's final address
  // (after redirects; known only once the page has come). `stop`, when
  // given, is asked now and then and ends the work early when it says so
  // (the result then has `stopped`).
  // `maxHeight` chooses among a <video>'s sources that say their height (0:
  // the tallest), as the height setting does among a stream's variants.
  MediaLinks Finish(std::string_view pageAddress, std::size_t cap = kMediaLinkCap,
                    const std::function<bool()>& stop = {}, int maxHeight = 0);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The whole page at once. `pageAddress` is the page's final address
// (after redirects), against which relative links and <base href> resolve.
// Links that do not resolve to http or https (blob:, data:, javascript:, ...)
// are skipped. One <video> gives one link: its sources are the same video in
// other formats, or in other qualities (`size`, `res`, `label`,
// `data-quality`, `height`, or "720p" in the address), of which `maxHeight`
// chooses. Likewise one og:video with its :url and :secure_url gives
// one link, and none when its og:video:type says it is not video/* (an
// embedded player page).
MediaLinks FindMediaLinks(std::string_view page, std::string_view pageAddress, std::size_t cap = kMediaLinkCap,
                          int maxHeight = 0);

}  // namespace larkvale::extract
