#include "stream/hlsplaylist.h"

#include <algorithm>
#include <map>

#include "stream/textutil.h"

namespace larkvale::stream {
namespace {

// Bounds on what a playlist may make us hold, with room over real ones: a
// long on-demand playlist lists tens of thousands of segments, a master a
// few dozen variants and renditions.
constexpr std::size_t kMaxSegments = 100000;
constexpr std::size_t kMaxVariants = 1000;
constexpr std::size_t kMaxRenditions = 1000;
// A line is a tag or an address; real ones are a few kilobytes at most.
constexpr std::size_t kMaxLine = 64 * 1024;
// What the segments' addresses may take together: each piece keeps its
// own, so a long base address times many segments must not add up without
// end.
constexpr std::size_t kMaxAddressBytes = 64ll << 20;

using Attributes = std::map<std::string, std::string, std::less<>>;

// NAME=VALUE pairs, comma-separated; a quoted value may hold commas.
Attributes ParseAttributes(std::string_view s) {
  Attributes out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == ',')) ++i;
    const std::size_t eq = s.find('=', i);
    if (eq == std::string_view::npos) break;
    std::string name(TrimView(s.substr(i, eq - i)));
    i = eq + 1;
    std::string value;
    if (i < s.size() && s[i] == '"') {
      const std::size_t close = s.find('"', i + 1);
      const std::size_t end = close == std::string_view::npos ? s.size() : close;
      value = std::string(s.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? s.size() : close + 1;
      while (i < s.size() && s[i] != ',') ++i;
    } else {
      const std::size_t comma = std::min(s.find(',', i), s.size());
      value = std::string(TrimView(s.substr(i, comma - i)));
      i = comma;
    }
    if (!name.empty()) out[name] = value;
  }
  return out;
}

std::string Get(const Attributes& a, std::string_view name) {
  const auto it = a.find(name);
  return it == a.end() ? std::string() : it->second;
}

// The lines of a playlist, each trimmed, the empty ones left out, read one
// at a time: a playlist of millions of short lines needs no list of them.
// The first must be #EXTM3U.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {
    if (StartsWith(text_, "\xEF\xBB\xBF")) text_.remove_prefix(3);
    std::string_view first;
    if (!Next(first) || !StartsWith(first, "#EXTM3U")) throw StreamError("This is not an HLS playlist.");
  }
  bool Next(std::string_view& line) {
    while (at_ <= text_.size()) {
      std::size_t end = text_.find('\n', at_);
      if (end == std::string_view::npos) end = text_.size();
      line = TrimView(text_.substr(at_, end - at_));
      at_ = end + 1;
      if (line.size() > kMaxLine)
        throw StreamError("The HLS playlist has a line longer than " + std::to_string(kMaxLine >> 10) + " KiB.");
      if (!line.empty()) return true;
    }
    return false;
  }
  // Where the reading stands, to come back to with `Rewind`.
  std::size_t Mark() const { return at_; }
  void Rewind(std::size_t mark) { at_ = mark; }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

std::string_view Value(std::string_view line) {
  const std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
}

// "n[@o]"; `offset` stays as it is when no "@o" is given.
bool ParseByteRange(std::string_view text, std::int64_t& length, std::int64_t& offset, bool& hasOffset) {
  const std::size_t at = text.find('@');
  const auto n = ParseCount(text.substr(0, at));
  if (!n) return false;
  length = *n;
  hasOffset = at != std::string_view::npos;
  if (hasOffset) {
    const auto o = ParseCount(text.substr(at + 1));
    if (!o) return false;
    offset = *o;
  }
  return true;
}

bool ParseIv(std::string_view text, std::array<unsigned char, 16>& iv) {
  if (!(StartsWith(text, "0x") || StartsWith(text, "0X"))) return false;
  text.remove_prefix(2);
  if (text.empty() || text.size() > 32) return false;
  iv.fill(0);
  // Right-aligned: fewer digits are a smaller number.
  int nibble = 0;
  for (auto it = text.rbegin(); it != text.rend(); ++it, ++nibble) {
    const char c = *it;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return false;
    unsigned char& byte = iv[15 - nibble / 2];
    byte = static_cast<unsigned char>(byte | (nibble % 2 ? v << 4 : v));
  }
  return true;
}

std::array<unsigned char, 16> SequenceIv(std::int64_t sequence) {
  std::array<unsigned char, 16> iv{};
  for (int i = 0; i < 8; ++i) iv[15 - i] = static_cast<unsigned char>(static_cast<std::uint64_t>(sequence) >> (8 * i));
  return iv;
}

}  // namespace

bool IsHlsMaster(std::string_view text) {
  Lines lines(text);
  for (std::string_view line; lines.Next(line);)
    if (StartsWith(line, "#EXT-X-STREAM-INF")) return true;
  return false;
}

HlsMaster ParseHlsMaster(std::string_view text, const std::string& base) {
  HlsMaster master;
  Lines lines(text);
  for (std::string_view line; lines.Next(line);) {
    if (StartsWith(line, "#EXT-X-STREAM-INF:")) {
      const Attributes a = ParseAttributes(Value(line));
      // The variant's URI is the next line that is not a tag or comment;
      // another variant's tag before it ends this one without a URI.
      std::string_view uri;
      const std::size_t after = lines.Mark();
      bool found = false;
      while (lines.Next(uri)) {
        if (uri.front() != '#') {
          found = true;
          break;
        }
        if (StartsWith(uri, "#EXT-X-STREAM-INF")) break;
      }
      if (!found) {
        // The tags after it are read as any others.
        lines.Rewind(after);
        continue;
      }
      if (master.variants.size() >= kMaxVariants)
        throw StreamError("The HLS playlist lists more than " + std::to_string(kMaxVariants) + " variants.");
      HlsVariant v;
      v.url = Resolve(uri, base);
      v.bandwidth = ParseCount(Get(a, "BANDWIDTH")).value_or(0);
      const std::string resolution = Get(a, "RESOLUTION");
      if (const std::size_t x = resolution.find_first_of("xX"); x != std::string::npos) {
        const auto w = ParseCount(std::string_view(resolution).substr(0, x));
        const auto h = ParseCount(std::string_view(resolution).substr(x + 1));
        if (w && h && *w <= 100000 && *h <= 100000) {
          v.width = static_cast<int>(*w);
          v.height = static_cast<int>(*h);
        }
      }
      v.audioGroup = Get(a, "AUDIO");
      v.codecs = Get(a, "CODECS");
      master.variants.push_back(std::move(v));
    } else if (StartsWith(line, "#EXT-X-MEDIA:")) {
      const Attributes a = ParseAttributes(Value(line));
      if (Get(a, "TYPE") != "AUDIO") continue;
      if (master.audio.size() >= kMaxRenditions)
        throw StreamError("The HLS playlist lists more than " + std::to_string(kMaxRenditions) + " sound renditions.");
      HlsRendition r;
      r.groupId = Get(a, "GROUP-ID");
      r.name = Get(a, "NAME");
      r.language = Get(a, "LANGUAGE");
      const std::string uri = Get(a, "URI");
      if (!uri.empty()) r.url = Resolve(uri, base);
      r.isDefault = Get(a, "DEFAULT") == "YES";
      master.audio.push_back(std::move(r));
    }
  }
  if (master.variants.empty()) throw StreamError("The HLS playlist lists no variant to download.");
  return master;
}

namespace {

// Reads a media playlist one line at a time: the tags before a segment's
// address describe that segment (or all that follow, for a key or a map);
// the address adds it.
class MediaPlaylistReader {
 public:
  explicit MediaPlaylistReader(const std::string& base) : base_(base) {}

  HlsMedia Read(std::string_view text) {
    Lines lines(text);
    for (std::string_view line; lines.Next(line);) {
      if (line.front() != '#')
        AddSegment(line);
      else
        ReadTag(line);
    }
    return std::move(media_);
  }

 private:
  void AddSegment(std::string_view line) {
    Track& track = media_.track;
    if (track.pieces.size() >= kMaxSegments)
      throw StreamError("The HLS playlist lists more than " + std::to_string(kMaxSegments) + " segments.");
    Piece p;
    p.where.url = Resolve(line, base_);
    addressBytes_ += p.where.url.size();
    if (addressBytes_ > kMaxAddressBytes)
      throw StreamError("The HLS playlist's segment addresses take more than " +
                        std::to_string(kMaxAddressBytes >> 20) + " MiB.");
    if (haveRange_) {
      // A range without an offset goes on where the last one of the same
      // file ended.
      if (rangeOffset_ < 0) rangeOffset_ = p.where.url == lastRangedUrl_ ? lastRangeEnd_ : 0;
      p.where.offset = rangeOffset_;
      p.where.length = rangeLength_;
      lastRangedUrl_ = p.where.url;
      lastRangeEnd_ = rangeOffset_ + rangeLength_;
    }
    p.duration = haveInf_ ? duration_ : 0;
    p.discontinuity = discontinuity_;
    p.init = init_;
    p.key = key_;
    if (key_ >= 0)
      p.iv = explicitIv_ ? iv_ : SequenceIv(media_.mediaSequence + static_cast<std::int64_t>(track.pieces.size()));
    track.pieces.push_back(std::move(p));
    haveInf_ = discontinuity_ = haveRange_ = false;
  }

  void ReadTag(std::string_view line) {
    if (StartsWith(line, "#EXT-X-STREAM-INF")) throw StreamError("This is a master playlist, not a media playlist.");
    if (StartsWith(line, "#EXTINF:")) {
      const std::string_view v = Value(line);
      duration_ = ParseSeconds(v.substr(0, v.find(','))).value_or(0);
      haveInf_ = true;
    } else if (StartsWith(line, "#EXT-X-TARGETDURATION:")) {
      media_.targetDuration = ParseSeconds(Value(line)).value_or(0);
    } else if (StartsWith(line, "#EXT-X-MEDIA-SEQUENCE:")) {
      if (media_.track.pieces.empty()) media_.mediaSequence = ParseCount(Value(line)).value_or(0);
    } else if (StartsWith(line, "#EXT-X-ENDLIST")) {
      media_.ended = true;
    } else if (StartsWith(line, "#EXT-X-PLAYLIST-TYPE:")) {
      if (TrimView(Value(line)) == "VOD") media_.ended = true;
    } else if (StartsWith(line, "#EXT-X-DISCONTINUITY") && !StartsWith(line, "#EXT-X-DISCONTINUITY-SEQUENCE")) {
      discontinuity_ = true;
    } else if (StartsWith(line, "#EXT-X-BYTERANGE:")) {
      ReadByteRange(line);
    } else if (StartsWith(line, "#EXT-X-MAP:")) {
      ReadMap(line);
    } else if (StartsWith(line, "#EXT-X-KEY:")) {
      ReadKey(line);
    }
  }

  void ReadByteRange(std::string_view line) {
    bool hasOffset = false;
    std::int64_t offset = -1;
    if (!ParseByteRange(Value(line), rangeLength_, offset, hasOffset))
      throw StreamError("The HLS playlist has a broken EXT-X-BYTERANGE.");
    rangeOffset_ = hasOffset ? offset : -1;
    haveRange_ = true;
  }

  // The init section of the segments that follow; one already listed is
  // named again rather than added twice.
  void ReadMap(std::string_view line) {
    const Attributes a = ParseAttributes(Value(line));
    Resource r;
    r.url = Resolve(Get(a, "URI"), base_);
    const std::string range = Get(a, "BYTERANGE");
    if (!range.empty()) {
      bool hasOffset = false;
      std::int64_t offset = 0;
      if (!ParseByteRange(range, r.length, offset, hasOffset))
        throw StreamError("The HLS playlist has a broken EXT-X-MAP byte range.");
      r.offset = offset;
    }
    std::vector<Resource>& inits = media_.track.inits;
    const auto same = std::find(inits.begin(), inits.end(), r);
    init_ = static_cast<int>(same - inits.begin());
    if (same == inits.end()) inits.push_back(std::move(r));
  }

  // The key of the segments that follow: none, or AES-128 with its address
  // and IV; anything else cannot be saved.
  void ReadKey(std::string_view line) {
    const Attributes a = ParseAttributes(Value(line));
    const std::string method = Get(a, "METHOD");
    const std::string format = Get(a, "KEYFORMAT");
    if (method == "NONE") {
      key_ = -1;
      return;
    }
    if (!format.empty() && format != "identity")
      throw StreamError("This stream is protected by DRM (KEYFORMAT \"" + Printable(format, 100) +
                        "\") and cannot be downloaded.");
    if (method != "AES-128")
      throw StreamError("This stream is encrypted with " + (method.empty() ? std::string("an unnamed method") : Printable(method, 40)) +
                        ", which cannot be saved; only AES-128 streams are supported.");
    const std::string uri = Get(a, "URI");
    if (uri.empty()) throw StreamError("The HLS playlist names an AES-128 key without its URI.");
    const std::string url = Resolve(uri, base_);
    std::vector<std::string>& keys = media_.track.keys;
    const auto same = std::find(keys.begin(), keys.end(), url);
    key_ = static_cast<int>(same - keys.begin());
    if (same == keys.end()) keys.push_back(url);
    const std::string ivText = Get(a, "IV");
    explicitIv_ = !ivText.empty();
    if (explicitIv_ && !ParseIv(ivText, iv_)) throw StreamError("The HLS playlist has a broken key IV.");
  }

  const std::string& base_;
  HlsMedia media_;
  // What the tags said about the next segment.
  double duration_ = 0;
  bool haveInf_ = false, discontinuity_ = false;
  std::int64_t rangeLength_ = -1, rangeOffset_ = 0;
  bool haveRange_ = false;
  // Where the last byte range ended, and in which file.
  std::string lastRangedUrl_;
  std::int64_t lastRangeEnd_ = 0;
  // In force until the next key or map tag.
  int key_ = -1, init_ = -1;
  bool explicitIv_ = false;
  std::array<unsigned char, 16> iv_{};
  std::size_t addressBytes_ = 0;
};

}  // namespace

HlsMedia ParseHlsMedia(std::string_view text, const std::string& base) {
  return MediaPlaylistReader(base).Read(text);
}

std::size_t ChooseHlsVariant(const HlsMaster& master, int maxHeight) {
  const auto& v = master.variants;
  // When some variants name their picture size, one that names none is
  // sound alone (or unknown) and not what a video download wants.
  const bool sized = std::any_of(v.begin(), v.end(), [](const HlsVariant& x) { return x.height > 0; });
  auto usable = [&](const HlsVariant& x) { return !sized || x.height > 0; };
  auto fits = [&](const HlsVariant& x) { return usable(x) && (maxHeight <= 0 || x.height <= maxHeight); };
  std::size_t best = v.size();
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!fits(v[i])) continue;
    if (best == v.size() || v[i].bandwidth > v[best].bandwidth ||
        (v[i].bandwidth == v[best].bandwidth && v[i].height > v[best].height))
      best = i;
  }
  if (best != v.size()) return best;
  // Every variant is taller than asked: the smallest is the nearest.
  best = v.size();
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!usable(v[i])) continue;
    if (best == v.size() || v[i].height < v[best].height ||
        (v[i].height == v[best].height && v[i].bandwidth > v[best].bandwidth))
      best = i;
  }
  return best == v.size() ? 0 : best;
}

int ChooseHlsAudio(const HlsMaster& master, const HlsVariant& variant) {
  if (variant.audioGroup.empty()) return -1;
  int first = -1;
  for (std::size_t i = 0; i < master.audio.size(); ++i) {
    const HlsRendition& r = master.audio[i];
    if (r.groupId != variant.audioGroup) continue;
    // A rendition without a URI plays the sound inside the variant itself.
    if (r.url.empty()) {
      if (r.isDefault) return -1;
      continue;
    }
    if (r.isDefault) return static_cast<int>(i);
    if (first < 0) first = static_cast<int>(i);
  }
  return first;
}

}  // namespace larkvale::stream
