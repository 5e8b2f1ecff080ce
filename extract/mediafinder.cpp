#include "extract/mediafinder.h"

#include <algorithm>

#include <optional>
#include <unordered_set>

#include "extract/htmltags.h"
#include "extract/linkresolver.h"
#include "extract/mediatypes.h"

namespace larkvale::extract {
namespace {

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// An attribute's value (character references already decoded), or nothing
// when the tag does not have it.
std::optional<std::string_view> Attribute(const HtmlTag& tag, std::string_view name) {
  const std::string* value = tag.Find(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(*value);
}

// One og:video with its structured properties.
struct OpenGraphVideo {
  std::vector<std::string> addresses;  // og:video, :url and :secure_url, in page order
  std::optional<std::string> type;     // og:video:type
};

// The raw links of a page, as written, before resolving.
struct PageLinks {
  std::optional<std::string> base;                         // the first <base href>
  std::vector<std::vector<std::string>> videoCandidates;  // per <video>: src, then its sources
  std::vector<std::vector<int>> videoHeights;             // beside each candidate: the height it says, or 0
  std::vector<OpenGraphVideo> openGraph;
  std::vector<std::string> anchors;
  std::vector<std::string> structured;  // JSON-LD contentUrl/embedUrl values
  std::vector<std::string> posters;     // data-video, data-src, ... that may name a media file
};

// Attributes that click-to-play posters and lazy players keep the media's
// address in until the player is made.
constexpr std::string_view kPosterAttributes[] = {"data-video", "data-src", "data-video-src", "data-mp4",
                                                  "data-hls",   "data-stream", "data-url", "data-file"};

// Elements that never have content, so never stay open.
bool IsVoidElement(std::string_view name) {
  static constexpr std::string_view kNames[] = {"area",  "base",  "br",   "col",    "embed", "hr",
                                                "img",   "image", "input", "keygen", "link",  "meta",
                                                "param", "source", "track", "wbr"};
  for (const std::string_view n : kNames)
    if (n == name) return true;
  return false;
}

// Whether an <a href> may turn out to be a link to a video file: its path as
// written ends in a video extension, or it has no path of its own and takes
// the base's. Only those are kept, so a page of a million ordinary links
// costs nothing.
bool MayBeVideoFileLink(std::string_view href) {
  href = Trimmed(href);
  const std::string_view path = href.substr(0, href.find_first_of("?#"));
  if (path.empty() || path.find_first_of("%\\") != std::string_view::npos) return true;
  const std::string address = "http://h/" + std::string(path);
  return HasVideoFileExtension(address) || HasStreamExtension(address);
}

// The string values of "contentUrl" and "embedUrl" in a JSON-LD script that
// describes a VideoObject. A scan for the two keys, not a JSON parser: the
// values are then held to being video files or streams.
template <class KeepFn>
void CollectJsonLd(std::string_view json, KeepFn keep) {
  if (json.find("VideoObject") == std::string_view::npos) return;
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  for (const std::string_view key : {"\"contentUrl\"", "\"embedUrl\""}) {
    for (std::size_t at = json.find(key); at != std::string_view::npos; at = json.find(key, at + 1)) {
      std::size_t i = at + key.size();
      while (i < json.size() && blank(json[i])) ++i;
      if (i >= json.size() || json[i] != ':') continue;
      ++i;
      while (i < json.size() && blank(json[i])) ++i;
      if (i >= json.size() || json[i] != '"') continue;
      std::string value;
      for (++i; i < json.size() && json[i] != '"' && value.size() < 8192; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
          ++i;
          // "\/" is the common escape in addresses; others stand for themselves.
          value += json[i] == 'n' || json[i] == 't' || json[i] == 'r' ? ' ' : json[i];
        } else {
          value += json[i];
        }
      }
      keep(value);
    }
  }
}

}  // namespace

// The first picture height `text` names: a number of 144 to 4320 lines
// ("720", "720p", "HD 1080p", the 720 of "1280x720"). In an address
// (`marked`) only one written as "720p" or "x720" counts; 0 for none.
int HeightIn(std::string_view text, bool marked) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < text.size();) {
    if (!digit(text[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && digit(text[j])) ++j;
    // A width: the height follows its "x".
    const bool width = j + 1 < text.size() && (text[j] == 'x' || text[j] == 'X') && digit(text[j + 1]);
    const bool p = j < text.size() && (text[j] == 'p' || text[j] == 'P');
    const bool afterX = i > 0 && (text[i - 1] == 'x' || text[i - 1] == 'X');
    if (!width && j - i >= 3 && j - i <= 4 && (!marked || p || afterX)) {
      const int n = std::stoi(std::string(text.substr(i, j - i)));
      if (n >= 144 && n <= 4320) return n;
    }
    i = j;
  }
  return 0;
}

// The height a <source> says its picture has: its size, res, label,
// data-quality, data-res or height attribute, else its address.
int SourceHeight(const HtmlTag& tag, std::string_view src) {
  for (const std::string_view name : {"size", "res", "label", "data-quality", "data-res", "height"})
    if (const auto value = Attribute(tag, name))
      if (const int height = HeightIn(*value, false)) return height;
  return HeightIn(src.substr(0, src.find_first_of("?#")), true);
}

// What the tags have shown so far. Elements are tracked only inside a
// <video>, where a <source> counts when the video is its parent; the depth
// tracked there is bounded, deeper elements are only counted.
struct MediaFinder::State {
  static constexpr std::size_t kMaxTrackedDepth = 256;
  struct Open {
    std::string name;
    int video = -1;  // index into videoCandidates for a <video>
  };

  State() : reader([this](const HtmlTag& tag) { Take(tag); }) {
    reader.wantRawText = [](const HtmlTag& tag) {
      return tag.name == "script" && Lowered(Trimmed(Attribute(tag, "type").value_or(""))) == "application/ld+json";
    };
    reader.onRawText = [this](std::string_view json) {
      CollectJsonLd(json, [this](std::string_view value) { Keep(links.structured, value); });
    };
  }

  void KeepCandidate(std::size_t video, std::string_view link, int height) {
    std::vector<std::string>& candidates = links.videoCandidates[video];
    const std::size_t before = candidates.size();
    Keep(candidates, link);
    if (candidates.size() > before) links.videoHeights[video].push_back(height);
  }

  void Keep(std::vector<std::string>& into, std::string_view link) {
    if (keptBytes + link.size() > kMaxKeptLinkBytes) {
      overflow = true;
      return;
    }
    keptBytes += link.size();
    into.emplace_back(link);
  }

  void Take(const HtmlTag& tag) {
    if (tag.end) {
      Close(tag.name);
      return;
    }
    if (tag.name == "video") {
      links.videoCandidates.emplace_back();
      links.videoHeights.emplace_back();
      const int index = int(links.videoCandidates.size()) - 1;
      if (const auto src = Attribute(tag, "src")) KeepCandidate(std::size_t(index), *src, 0);
      Push(tag.name, index);
      return;
    }
    if (tag.name == "source") {
      if (untracked == 0 && !open.empty() && open.back().video >= 0) {
        const auto src = Attribute(tag, "src");
        const std::string type = Lowered(Trimmed(Attribute(tag, "type").value_or("")));
        if (src && (type.empty() || type.rfind("video/", 0) == 0 || IsStreamType(type, "")))
          KeepCandidate(std::size_t(open.back().video), *src, SourceHeight(tag, *src));
      }
      return;
    }
    Posters(tag);
    if (tag.name == "meta") {
      Meta(tag);
    } else if (tag.name == "a") {
      if (const auto href = Attribute(tag, "href"); href && MayBeVideoFileLink(*href)) Keep(links.anchors, *href);
    } else if (tag.name == "base") {
      if (const auto href = Attribute(tag, "href"); href && !links.base) links.base = std::string(*href);
    }
    if (!IsVoidElement(tag.name) && (!open.empty() || untracked > 0)) Push(tag.name, -1);
  }

  // Only a value that may name a media file is kept: data-src names images
  // as often as videos.
  void Posters(const HtmlTag& tag) {
    for (const HtmlTag::Attribute& attribute : tag.attributes) {
      if (attribute.name.rfind("data-", 0) != 0) continue;
      if (std::find(std::begin(kPosterAttributes), std::end(kPosterAttributes), attribute.name) ==
          std::end(kPosterAttributes))
        continue;
      if (!Trimmed(attribute.value).empty() && MayBeVideoFileLink(attribute.value)) Keep(links.posters, attribute.value);
    }
  }

  void Meta(const HtmlTag& tag) {
    // Pages that write name= where Open Graph says property= are common.
    auto key = Attribute(tag, "property");
    if (!key) key = Attribute(tag, "name");
    const auto content = Attribute(tag, "content");
    if (!key || !content) return;
    const std::string property = Lowered(Trimmed(*key));
    if (property == "og:video") {
      links.openGraph.emplace_back();
      Keep(links.openGraph.back().addresses, *content);
    } else if (property == "og:video:url" || property == "og:video:secure_url") {
      if (links.openGraph.empty()) links.openGraph.emplace_back();
      Keep(links.openGraph.back().addresses, *content);
    } else if (property == "og:video:type" && !links.openGraph.empty()) {
      links.openGraph.back().type = Lowered(Trimmed(*content));
    } else if (property == "twitter:player:stream") {
      // The card's raw stream, beside its player page.
      links.openGraph.emplace_back();
      Keep(links.openGraph.back().addresses, *content);
    } else if (property == "twitter:player:stream:content_type" && !links.openGraph.empty()) {
      links.openGraph.back().type = Lowered(Trimmed(*content));
    }
  }

  void Push(const std::string& name, int video) {
    if (untracked > 0 || open.size() >= kMaxTrackedDepth)
      ++untracked;
    else
      open.push_back({name, video});
  }

  // An end tag closes its element and all opened inside it; one that matches
  // nothing open is stray and ignored, as browsers ignore it.
  void Close(const std::string& name) {
    if (untracked > 0) {
      --untracked;
      return;
    }
    for (std::size_t i = open.size(); i > 0; --i) {
      if (open[i - 1].name == name) {
        open.resize(i - 1);
        return;
      }
    }
  }

  HtmlTagReader reader;
  PageLinks links;
  std::vector<Open> open;
  std::size_t untracked = 0;
  std::size_t keptBytes = 0;
  bool overflow = false;
};

namespace {
// Keeps the distinct links in order, up to the cap, and counts the rest.
class LinkList {
 public:
  explicit LinkList(std::size_t cap) : cap_(cap) {}
  void Add(std::string link) {
    if (!seen_.insert(link).second) return;
    if (result_.links.size() < cap_)
      result_.links.push_back(std::move(link));
    else
      ++result_.more;
  }
  MediaLinks Take(MediaSource source) {
    if (!result_.links.empty() || result_.more > 0) result_.source = source;
    return std::move(result_);
  }

 private:
  std::size_t cap_;
  std::unordered_set<std::string> seen_;
  MediaLinks result_;
};

// The first of `candidates` that resolves to an http or https address.
std::optional<std::string> FirstResolved(const std::vector<std::string>& candidates, const std::string& base) {
  for (const auto& candidate : candidates)
    if (auto link = ResolveLink(candidate, base)) return link;
  return std::nullopt;
}

// A <video>'s link. When several of its sources say their height, the
// height setting chooses, as it does for a stream's variants: the tallest
// (`maxHeight` 0, "Best"), else the tallest within the limit, else the
// shortest. Otherwise its first that resolves.
std::optional<std::string> ChosenSource(const std::vector<std::string>& candidates, const std::vector<int>& heights,
                                        const std::string& base, int maxHeight) {
  std::optional<std::string> best, shortest;
  int bestHeight = 0, shortestHeight = 0, told = 0;
  for (std::size_t i = 0; i < candidates.size() && i < heights.size(); ++i) {
    if (heights[i] <= 0) continue;
    auto link = ResolveLink(candidates[i], base);
    if (!link) continue;
    ++told;
    if ((maxHeight <= 0 || heights[i] <= maxHeight) && heights[i] > bestHeight) {
      best = *link;
      bestHeight = heights[i];
    }
    if (!shortest || heights[i] < shortestHeight) {
      shortest = std::move(*link);
      shortestHeight = heights[i];
    }
  }
  if (told < 2) return FirstResolved(candidates, base);
  return best ? best : shortest;
}

// The links of `raw`, resolved, of the first kind that gives any.
MediaLinks Resolve(const PageLinks& raw, std::string_view pageAddress, std::size_t cap,
                   const std::function<bool()>& stop, int maxHeight) {
  // Resolving is the one part whose work grows with the links kept: it asks
  // `stop` now and then.
  std::size_t sinceAsked = 0;
  bool stopped = false;
  const auto stopping = [&] {
    if (!stopped && stop && ++sinceAsked % 1024 == 0) stopped = stop();
    return stopped;
  };

  // The base is the page's own address, or its <base href> resolved against
  // that; a <base> that does not resolve to http or https is ignored.
  std::string base = ResolveLink(pageAddress, "").value_or("");
  if (raw.base)
    if (auto resolved = ResolveLink(*raw.base, base)) base = std::move(*resolved);

  const auto finish = [&](MediaLinks result) {
    result.stopped = stopped;
    return result;
  };
  {
    LinkList list(cap);
    for (std::size_t v = 0; v < raw.videoCandidates.size(); ++v) {
      if (stopping()) break;
      if (auto link = ChosenSource(raw.videoCandidates[v], raw.videoHeights[v], base, maxHeight))
        list.Add(std::move(*link));
    }
    MediaLinks result = list.Take(MediaSource::kVideoElement);
    if (result.source != MediaSource::kNone || stopped) return finish(std::move(result));
  }
  {
    LinkList list(cap);
    for (const auto& video : raw.openGraph) {
      if (stopping()) break;
      if (video.type && !video.type->empty() && video.type->rfind("video/", 0) != 0 && !IsStreamType(*video.type, ""))
        continue;
      if (auto link = FirstResolved(video.addresses, base)) list.Add(std::move(*link));
    }
    MediaLinks result = list.Take(MediaSource::kOpenGraph);
    if (result.source != MediaSource::kNone || stopped) return finish(std::move(result));
  }
  {
    LinkList list(cap);
    for (const auto& value : raw.structured) {
      if (stopping()) break;
      auto link = ResolveLink(value, base);
      if (link && (HasVideoFileExtension(*link) || HasStreamExtension(*link))) list.Add(std::move(*link));
    }
    MediaLinks result = list.Take(MediaSource::kStructuredData);
    if (result.source != MediaSource::kNone || stopped) return finish(std::move(result));
  }
  {
    LinkList list(cap);
    for (const auto& value : raw.posters) {
      if (stopping()) break;
      auto link = ResolveLink(value, base);
      if (link && (HasVideoFileExtension(*link) || HasStreamExtension(*link))) list.Add(std::move(*link));
    }
    MediaLinks result = list.Take(MediaSource::kPoster);
    if (result.source != MediaSource::kNone || stopped) return finish(std::move(result));
  }
  LinkList list(cap);
  for (const auto& anchor : raw.anchors) {
    if (stopping()) break;
    auto link = ResolveLink(anchor, base);
    if (link && (HasVideoFileExtension(*link) || HasStreamExtension(*link))) list.Add(std::move(*link));
  }
  return finish(list.Take(MediaSource::kFileLink));
}

}  // namespace

MediaFinder::MediaFinder() : state_(std::make_unique<State>()) {}

MediaFinder::~MediaFinder() = default;

void MediaFinder::Feed(std::string_view html) { state_->reader.Feed(html); }

MediaLinks MediaFinder::Finish(std::string_view pageAddress, std::size_t cap, const std::function<bool()>& stop,
                               int maxHeight) {
  MediaLinks result = Resolve(state_->links, pageAddress, cap, stop, maxHeight);
  result.moreUncounted = state_->overflow && result.source != MediaSource::kNone;
  return result;
}

MediaLinks FindMediaLinks(std::string_view page, std::string_view pageAddress, std::size_t cap, int maxHeight) {
  MediaFinder finder;
  finder.Feed(page);
  return finder.Finish(pageAddress, cap, {}, maxHeight);
}

}  // namespace larkvale::extract
