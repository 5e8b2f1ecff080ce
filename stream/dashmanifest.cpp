#include "stream/dashmanifest.h"

#include <QXmlStreamReader>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "stream/textutil.h"

namespace larkvale::stream {
namespace {

// Bounds on what a manifest may make us hold, each with room over real
// ones: an on-demand manifest has a few periods and at most tens of
// thousands of segments a track; a long SegmentTimeline of single entries
// is what comes nearest the element cap.
constexpr std::size_t kMaxSegments = 100000;
constexpr std::size_t kMaxPeriods = 1000;
constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxNodes = 200000;
// What the segments' addresses may take together: each piece keeps its
// own, so a long template or base address times many segments must not add
// up without end.
constexpr std::size_t kMaxAddressBytes = 64ll << 20;
// The XML reader gets the text in slices of this size, so that it never
// holds a decoded copy of the whole document.
constexpr std::size_t kSlice = 64 * 1024;
// The longest single tag or text the reader may gather before it gives it
// to us: it holds what it gathers, in UTF-16, so one huge attribute would
// cost several times its size. Real ones are a few kilobytes at most.
constexpr std::size_t kMaxToken = 1 << 20;

StreamError TooManySegments() {
  return StreamError("The DASH manifest lists more than " + std::to_string(kMaxSegments) + " segments for one track.");
}

// One element, kept small: a manifest may hold a couple of hundred thousand.
struct Node {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attrs;
  std::string text;
  std::vector<std::unique_ptr<Node>> kids;

  std::string Attr(const char* n) const {
    for (const auto& a : attrs)
      if (a.first == n) return a.second;
    return {};
  }
  bool Has(const char* n) const {
    for (const auto& a : attrs)
      if (a.first == n) return true;
    return false;
  }
  const Node* Child(const char* n) const {
    for (const auto& k : kids)
      if (k->name == n) return k.get();
    return nullptr;
  }
  std::vector<const Node*> Children(const char* n) const {
    std::vector<const Node*> out;
    for (const auto& k : kids)
      if (k->name == n) out.push_back(k.get());
    return out;
  }
};

std::unique_ptr<Node> ReadTree(std::string_view text) {
  QXmlStreamReader xml;
  std::size_t fed = 0;
  auto feed = [&] {
    const std::size_t n = std::min(kSlice, text.size() - fed);
    xml.addData(QByteArray(text.data() + fed, static_cast<qsizetype>(n)));
    fed += n;
  };
  feed();
  std::unique_ptr<Node> root;
  std::vector<Node*> stack;
  std::size_t nodes = 0, periods = 0, fedAtToken = 0;
  bool over = false;
  while (!over) {
    const auto token = xml.readNext();
    if (token == QXmlStreamReader::Invalid) {
      // The slice ran out: the next one, until the text does.
      if (xml.error() == QXmlStreamReader::PrematureEndOfDocumentError && fed < text.size()) {
        if (fed - fedAtToken >= kMaxToken)
          throw StreamError("The DASH manifest has a tag or a text longer than " + std::to_string(kMaxToken >> 20) +
                            " MiB.");
        feed();
        continue;
      }
      break;
    }
    fedAtToken = fed;
    if (token == QXmlStreamReader::StartElement) {
      if (stack.size() >= static_cast<std::size_t>(kMaxDepth))
        throw StreamError("The DASH manifest is nested more than " + std::to_string(kMaxDepth) + " elements deep.");
      if (++nodes > kMaxNodes)
        throw StreamError("The DASH manifest has more than " + std::to_string(kMaxNodes) + " elements.");
      auto node = std::make_unique<Node>();
      node->name = xml.name().toString().toStdString();
      if (stack.size() == 1 && node->name == "Period" && ++periods > kMaxPeriods)
        throw StreamError("The DASH manifest has more than " + std::to_string(kMaxPeriods) + " periods.");
      const QXmlStreamAttributes attributes = xml.attributes();
      node->attrs.reserve(static_cast<std::size_t>(attributes.size()));
      for (const auto& a : attributes)
        node->attrs.emplace_back(a.qualifiedName().toString().toStdString(), a.value().toString().toStdString());
      Node* raw = node.get();
      if (stack.empty()) {
        if (root) break;
        root = std::move(node);
      } else {
        stack.back()->kids.push_back(std::move(node));
      }
      stack.push_back(raw);
    } else if (token == QXmlStreamReader::EndElement) {
      if (!stack.empty()) stack.pop_back();
      over = stack.empty();
    } else if (token == QXmlStreamReader::Characters && !stack.empty()) {
      if (stack.back()->text.size() < 8192) stack.back()->text += xml.text().toString().toStdString();
    }
  }
  if ((xml.hasError() && !over) || !root) throw StreamError("This is not a DASH manifest (the XML does not parse).");
  return root;
}

std::string BaseOf(const Node& n, const std::string& base) {
  const Node* b = n.Child("BaseURL");
  if (!b) return base;
  const std::string text(TrimView(b->text));
  return text.empty() ? base : Resolve(text, base);
}

// "a-b" as offset and length.
std::optional<Resource> Range(const std::string& text, const std::string& url) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const auto a = ParseCount(std::string_view(text).substr(0, dash));
  const auto b = ParseCount(std::string_view(text).substr(dash + 1));
  if (!a || !b || *b < *a) return std::nullopt;
  return Resource{url, *a, *b - *a + 1};
}

// The segment description in force for a representation: each level
// (period, adaptation set, representation) overrides what it names.
struct SegmentInfo {
  enum Kind { kNone, kTemplate, kList, kBase } kind = kNone;
  std::string media, initialization, indexRange, initRange, initSource;
  std::int64_t startNumber = 1, timescale = 1, duration = 0, presentationTimeOffset = 0;
  const Node* timeline = nullptr;
  std::vector<const Node*> segmentUrls;

  void Apply(const Node& level) {
    auto common = [&](const Node& n) {
      if (n.Has("timescale")) timescale = std::max<std::int64_t>(1, ParseCount(n.Attr("timescale")).value_or(1));
      if (n.Has("duration")) duration = ParseCount(n.Attr("duration")).value_or(0);
      if (n.Has("startNumber")) startNumber = ParseCount(n.Attr("startNumber")).value_or(1);
      if (n.Has("presentationTimeOffset"))
        presentationTimeOffset = ParseCount(n.Attr("presentationTimeOffset")).value_or(0);
      if (const Node* t = n.Child("SegmentTimeline")) timeline = t;
      if (const Node* i = n.Child("Initialization")) {
        initSource = i->Attr("sourceURL");
        initRange = i->Attr("range");
      }
    };
    if (const Node* t = level.Child("SegmentTemplate")) {
      kind = kTemplate;
      common(*t);
      if (t->Has("media")) media = t->Attr("media");
      if (t->Has("initialization")) initialization = t->Attr("initialization");
    }
    if (const Node* l = level.Child("SegmentList")) {
      kind = kList;
      common(*l);
      const auto urls = l->Children("SegmentURL");
      if (!urls.empty()) segmentUrls = urls;
    }
    if (const Node* b = level.Child("SegmentBase")) {
      if (kind == kNone) kind = kBase;
      common(*b);
      if (b->Has("indexRange")) indexRange = b->Attr("indexRange");
    }
  }
};

// $RepresentationID$, $Number$, $Bandwidth$, $Time$ (with %0Nd widths), $$.
std::string Substitute(const std::string& t, const std::string& id, std::int64_t number, std::int64_t bandwidth,
                       std::int64_t time) {
  std::string out;
  std::size_t i = 0;
  while (i < t.size()) {
    const std::size_t open = t.find('$', i);
    if (open == std::string::npos) {
      out += t.substr(i);
      break;
    }
    out += t.substr(i, open - i);
    const std::size_t close = t.find('$', open + 1);
    if (close == std::string::npos) throw StreamError("The DASH manifest has a broken segment template.");
    const std::string tag = t.substr(open + 1, close - open - 1);
    i = close + 1;
    if (tag.empty()) {
      out += '$';
      continue;
    }
    const std::size_t pct = tag.find('%');
    const std::string name = tag.substr(0, pct);
    int width = 0;
    if (pct != std::string::npos) {
      const std::string fmt = tag.substr(pct + 1);
      if (fmt.size() < 2 || fmt.back() != 'd') throw StreamError("The DASH manifest has a broken segment template.");
      width = static_cast<int>(std::min<std::int64_t>(ParseCount(std::string_view(fmt).substr(0, fmt.size() - 1)).value_or(0), 32));
    }
    std::string value;
    if (name == "RepresentationID") value = id;
    else if (name == "Number") value = std::to_string(number);
    else if (name == "Bandwidth") value = std::to_string(bandwidth);
    else if (name == "Time") value = std::to_string(time);
    else throw StreamError("The DASH manifest uses an unknown template tag $" + Printable(name, 40) + "$.");
    if (name != "RepresentationID" && static_cast<int>(value.size()) < width)
      value.insert(0, static_cast<std::size_t>(width) - value.size(), '0');
    out += value;
  }
  return out;
}

enum class Kind { kOther, kVideo, kAudio };

Kind KindOf(const Node& set, const Node& rep) {
  const std::string contentType = set.Attr("contentType");
  std::string mime = rep.Has("mimeType") ? rep.Attr("mimeType") : set.Attr("mimeType");
  std::string codecs = rep.Has("codecs") ? rep.Attr("codecs") : set.Attr("codecs");
  if (contentType == "video" || StartsWith(mime, "video/")) return Kind::kVideo;
  if (contentType == "audio" || StartsWith(mime, "audio/")) return Kind::kAudio;
  for (const char* v : {"avc", "hvc", "hev", "vp0", "vp8", "vp9", "av01"})
    if (StartsWith(codecs, v)) return Kind::kVideo;
  for (const char* a : {"mp4a", "opus", "ac-3", "ec-3", "vorbis", "flac"})
    if (StartsWith(codecs, a)) return Kind::kAudio;
  return Kind::kOther;
}

struct Candidate {
  const Node* set = nullptr;
  const Node* rep = nullptr;
  std::int64_t bandwidth = 0;
  int width = 0, height = 0;
};

int IntAttr(const Node& rep, const Node& set, const char* name) {
  const auto v = ParseCount(rep.Has(name) ? rep.Attr(name) : set.Attr(name));
  return v && *v <= 100000 ? static_cast<int>(*v) : 0;
}

bool Protected(const Node& set, const Node& rep) {
  return set.Child("ContentProtection") || rep.Child("ContentProtection");
}

// How many more times timeline entry `s`, of duration `d` from time `t`,
// repeats; r="-1" repeats it to the period's `end` (in the timescale).
std::int64_t Repeats(const Node& s, std::int64_t t, std::int64_t d, double end) {
  const std::string r = s.Attr("r");
  if (r == "-1") {
    if (end < 0) throw StreamError("The DASH manifest repeats a segment without saying how long the period is.");
    return static_cast<std::int64_t>(std::ceil((end - static_cast<double>(t)) / static_cast<double>(d))) - 1;
  }
  return r.empty() ? 0 : ParseCount(r).value_or(0);
}

// Makes one representation's pieces for one period from its segment
// description, adding them to `track` within the manifest's bounds.
struct PieceMaker {
  Track& track;
  std::size_t& addressBytes;  // all tracks' addresses so far
  const SegmentInfo& info;
  const std::string id;
  const std::int64_t bandwidth;
  const std::string& base;
  const double periodSeconds;  // <= 0 when unknown

  void Add(Piece p) {
    if (track.pieces.size() >= kMaxSegments) throw TooManySegments();
    addressBytes += p.where.url.size();
    if (addressBytes > kMaxAddressBytes)
      throw StreamError("The DASH manifest's segment addresses take more than " +
                        std::to_string(kMaxAddressBytes >> 20) + " MiB.");
    track.pieces.push_back(std::move(p));
  }

  // The index of `r` in the track's init sections, added when new: periods
  // that share one keep one.
  int AddInit(const Resource& r) {
    const auto same = std::find(track.inits.begin(), track.inits.end(), r);
    const int index = static_cast<int>(same - track.inits.begin());
    if (same == track.inits.end()) track.inits.push_back(r);
    return index;
  }

  void FromTemplate() {
    if (info.media.empty()) throw StreamError("The DASH manifest has a SegmentTemplate without media.");
    int init = -1;
    if (!info.initialization.empty())
      init = AddInit({Resolve(Substitute(info.initialization, id, 0, bandwidth, 0), base), 0, -1});
    if (info.timeline)
      FromTimeline(init);
    else
      FromDuration(init);
  }

  // SegmentTimeline: each S entry is a segment of duration d at time t,
  // repeated r more times.
  void FromTimeline(int init) {
    const double scale = static_cast<double>(info.timescale);
    std::int64_t t = 0, number = info.startNumber;
    const double end = periodSeconds > 0 ? periodSeconds * scale + info.presentationTimeOffset : -1;
    for (const Node* s : info.timeline->Children("S")) {
      if (s->Has("t")) t = ParseCount(s->Attr("t")).value_or(t);
      const std::int64_t d = ParseCount(s->Attr("d")).value_or(0);
      if (d <= 0) throw StreamError("The DASH manifest has a SegmentTimeline entry without a duration.");
      const std::int64_t repeat = Repeats(*s, t, d, end);
      if (repeat >= static_cast<std::int64_t>(kMaxSegments)) throw TooManySegments();
      for (std::int64_t k = 0; k <= repeat; ++k, ++number, t += d) {
        Piece p;
        p.where.url = Resolve(Substitute(info.media, id, number, bandwidth, t), base);
        p.duration = static_cast<double>(d) / scale;
        p.init = init;
        Add(std::move(p));
      }
    }
  }

  // Numbered segments of one duration that fill the period; the last may be
  // shorter.
  void FromDuration(int init) {
    if (info.duration <= 0) throw StreamError("The DASH manifest's SegmentTemplate gives neither a duration nor a timeline.");
    if (periodSeconds <= 0) throw StreamError("The DASH manifest does not say how long the video is.");
    const double each = static_cast<double>(info.duration) / static_cast<double>(info.timescale);
    const double count = std::ceil(periodSeconds / each - 1e-9);
    if (count > static_cast<double>(kMaxSegments)) throw TooManySegments();
    for (std::int64_t k = 0; k < static_cast<std::int64_t>(count); ++k) {
      Piece p;
      p.where.url = Resolve(Substitute(info.media, id, info.startNumber + k, bandwidth,
                                       info.presentationTimeOffset + k * info.duration), base);
      p.duration = std::min(each, periodSeconds - static_cast<double>(k) * each);
      p.init = init;
      Add(std::move(p));
    }
  }

  // The Initialization of a SegmentList: its own address or the base, whole
  // or a range of it; -1 when there is none.
  int ListInit() {
    if (info.initSource.empty() && info.initRange.empty()) return -1;
    const std::string url = info.initSource.empty() ? base : Resolve(info.initSource, base);
    Resource r{url, 0, -1};
    if (!info.initRange.empty()) {
      const auto range = Range(info.initRange, url);
      if (!range) throw StreamError("The DASH manifest has a broken Initialization range.");
      r = *range;
    }
    return AddInit(r);
  }

  void FromList() {
    const int init = ListInit();
    const double each = info.duration > 0 ? static_cast<double>(info.duration) / static_cast<double>(info.timescale) : 0;
    for (const Node* s : info.segmentUrls) {
      const std::string media = s->Attr("media");
      const std::string url = media.empty() ? base : Resolve(media, base);
      Piece p;
      p.where = {url, 0, -1};
      if (s->Has("mediaRange")) {
        const auto range = Range(s->Attr("mediaRange"), url);
        if (!range) throw StreamError("The DASH manifest has a broken mediaRange.");
        p.where = *range;
      }
      p.duration = each;
      p.init = init;
      Add(std::move(p));
    }
    if (info.segmentUrls.empty()) throw StreamError("The DASH manifest has a SegmentList without segments.");
  }

  // SegmentBase: one file, whole, or listed by its sidx index, which the
  // fetcher reads later; the init section is the Initialization range or
  // what comes before the index.
  void FromIndexedFile() {
    if (info.indexRange.empty()) {
      WholeFile();
      return;
    }
    const auto index = Range(info.indexRange, base);
    if (!index) throw StreamError("The DASH manifest has a broken indexRange.");
    if (!track.pieces.empty() || track.NeedsIndex())
      throw StreamError("DASH manifests with an indexed file in more than one period are not supported.");
    Resource initRes{base, 0, index->offset};
    if (!info.initRange.empty()) {
      const auto range = Range(info.initRange, base);
      if (!range) throw StreamError("The DASH manifest has a broken Initialization range.");
      initRes = *range;
    }
    track.index = *index;
    track.indexInit = initRes.length > 0 ? AddInit(initRes) : -1;
  }

  void WholeFile() { Add(Piece{Resource{base, 0, -1}, periodSeconds > 0 ? periodSeconds : 0}); }
};

void AddPieces(Track& track, const Node& period, const Candidate& c, const std::string& base,
               double periodSeconds, bool periodStart, std::size_t& addressBytes) {
  if (Protected(*c.set, *c.rep))
    throw StreamError("This stream is protected by DRM (ContentProtection) and cannot be downloaded.");
  SegmentInfo info;
  info.Apply(period);
  info.Apply(*c.set);
  info.Apply(*c.rep);
  PieceMaker maker{track, addressBytes, info, c.rep->Attr("id"), c.bandwidth, base, periodSeconds};
  const std::size_t first = track.pieces.size();
  switch (info.kind) {
    case SegmentInfo::kTemplate:
      maker.FromTemplate();
      break;
    case SegmentInfo::kList:
      maker.FromList();
      break;
    case SegmentInfo::kBase:
      maker.FromIndexedFile();
      break;
    case SegmentInfo::kNone:
      // The representation's BaseURL is the whole media file.
      maker.WholeFile();
      break;
  }
  if (periodStart && first < track.pieces.size()) track.pieces[first].discontinuity = true;
}

Candidate Best(const std::vector<Candidate>& all, int maxHeight) {
  const Candidate* best = nullptr;
  for (const auto& c : all) {
    if (maxHeight > 0 && c.height > maxHeight) continue;
    if (!best || c.bandwidth > best->bandwidth || (c.bandwidth == best->bandwidth && c.height > best->height)) best = &c;
  }
  if (best) return *best;
  for (const auto& c : all)
    if (!best || c.height < best->height || (c.height == best->height && c.bandwidth > best->bandwidth)) best = &c;
  return best ? *best : Candidate{};
}

}  // namespace

double ParseIsoDuration(std::string_view text) {
  text = TrimView(text);
  if (text.empty() || text.front() != 'P') return -1;
  text.remove_prefix(1);
  double total = 0;
  bool time = false, any = false;
  while (!text.empty()) {
    if (text.front() == 'T') {
      time = true;
      text.remove_prefix(1);
      continue;
    }
    std::size_t n = 0;
    while (n < text.size() && ((text[n] >= '0' && text[n] <= '9') || text[n] == '.')) ++n;
    if (n == 0 || n == text.size()) return -1;
    const auto v = ParseSeconds(text.substr(0, n));
    if (!v) return -1;
    const char unit = text[n];
    double factor;
    if (!time && unit == 'Y') factor = 365 * 86400.0;
    else if (!time && unit == 'M') factor = 30 * 86400.0;
    else if (!time && unit == 'D') factor = 86400;
    else if (time && unit == 'H') factor = 3600;
    else if (time && unit == 'M') factor = 60;
    else if (time && unit == 'S') factor = 1;
    else return -1;
    total += *v * factor;
    any = true;
    text.remove_prefix(n + 1);
  }
  return any && std::isfinite(total) ? total : -1;
}

StreamPlan ParseDashManifest(std::string_view text, const std::string& manifestUrl, int maxHeight) {
  const auto root = ReadTree(text);
  if (root->name != "MPD") throw StreamError("This is not a DASH manifest.");
  if (root->Attr("type") == "dynamic")
    throw StreamError("Live DASH streams (a dynamic manifest) are not supported; only complete (static) ones are.");
  const double total = ParseIsoDuration(root->Attr("mediaPresentationDuration"));
  const std::string mpdBase = BaseOf(*root, manifestUrl);

  StreamPlan plan;
  Track video, audio;
  const auto periods = root->Children("Period");
  double start = 0;
  bool periodHadVideo = false;
  std::size_t addressBytes = 0;
  for (std::size_t i = 0; i < periods.size(); ++i) {
    const Node& period = *periods[i];
    if (period.Has("start")) start = std::max(0.0, ParseIsoDuration(period.Attr("start")));
    double length = ParseIsoDuration(period.Attr("duration"));
    if (length < 0 && i + 1 < periods.size() && periods[i + 1]->Has("start"))
      length = ParseIsoDuration(periods[i + 1]->Attr("start")) - start;
    if (length < 0 && total >= 0) length = total - start;
    const std::string periodBase = BaseOf(period, mpdBase);

    std::vector<Candidate> videos, audios;
    for (const Node* set : period.Children("AdaptationSet")) {
      for (const Node* rep : set->Children("Representation")) {
        Candidate c{set, rep, ParseCount(rep->Attr("bandwidth")).value_or(0), IntAttr(*rep, *set, "width"),
                    IntAttr(*rep, *set, "height")};
        const Kind k = KindOf(*set, *rep);
        if (k == Kind::kVideo) videos.push_back(c);
        if (k == Kind::kAudio) audios.push_back(c);
      }
    }
    if (videos.empty() && audios.empty()) continue;
    auto baseFor = [&](const Candidate& c) { return BaseOf(*c.rep, BaseOf(*c.set, periodBase)); };
    if (!videos.empty()) {
      const Candidate v = Best(videos, maxHeight);
      AddPieces(video, period, v, baseFor(v), length, i > 0, addressBytes);
      if (plan.chosen.empty())
        plan.chosen = std::to_string(v.width) + "x" + std::to_string(v.height) + ", " +
                      std::to_string(v.bandwidth / 1000) + " kbit/s";
      periodHadVideo = true;
    }
    if (!audios.empty()) {
      const Candidate a = Best(audios, kBestHeight);
      AddPieces(audio, period, a, baseFor(a), length, i > 0, addressBytes);
    }
    start += std::max(0.0, length);
  }
  if (video.pieces.empty() && !video.NeedsIndex() && audio.pieces.empty() && !audio.NeedsIndex())
    throw StreamError("The DASH manifest holds no video or audio to download.");
  if (periodHadVideo) plan.tracks.push_back(std::move(video));
  if (!audio.pieces.empty() || audio.NeedsIndex()) plan.tracks.push_back(std::move(audio));
  return plan;
}

namespace {

std::uint64_t U32At(std::string_view box, std::size_t at) {
  return (std::uint64_t(static_cast<unsigned char>(box[at])) << 24) |
         (std::uint64_t(static_cast<unsigned char>(box[at + 1])) << 16) |
         (std::uint64_t(static_cast<unsigned char>(box[at + 2])) << 8) | std::uint64_t(static_cast<unsigned char>(box[at + 3]));
}

StreamError SidxCutShort() { return StreamError("The DASH segment index is cut short."); }

// The fields of a sidx box before its entries.
struct SidxHeader {
  std::uint64_t timescale = 0;
  std::uint64_t firstOffset = 0;  // from the end of the box to the first segment
  std::size_t count = 0;
  std::size_t entries = 0;  // where the entries start in the box's bytes
};

// Reads the sidx fields from `box[p]` (after the box header) up to `end`.
SidxHeader ReadSidxHeader(std::string_view box, std::size_t p, std::size_t end) {
  if (p + 12 > end) throw SidxCutShort();
  SidxHeader h;
  const int version = static_cast<unsigned char>(box[p]);
  p += 8;  // version, flags, reference_ID
  h.timescale = U32At(box, p);
  p += 4;
  if (version == 0) {
    if (p + 8 > end) throw SidxCutShort();
    h.firstOffset = U32At(box, p + 4);
    p += 8;
  } else {
    if (p + 16 > end) throw SidxCutShort();
    h.firstOffset = (U32At(box, p + 8) << 32) | U32At(box, p + 12);
    p += 16;
  }
  if (p + 4 > end) throw SidxCutShort();
  h.count = static_cast<std::size_t>(U32At(box, p) & 0xFFFF);
  p += 4;
  if (h.count == 0 || p + h.count * 12 > end) throw SidxCutShort();
  h.entries = p;
  return h;
}

// The pieces listed by the sidx box at box[at, end), header bytes `header`.
std::vector<Piece> ReadSidx(std::string_view box, std::size_t at, std::size_t header, std::size_t end,
                            std::int64_t boxOffset, const std::string& url) {
  const SidxHeader h = ReadSidxHeader(box, at + header, end);
  if (h.count * url.size() > kMaxAddressBytes)
    throw StreamError("The DASH segment index's addresses take more than " +
                      std::to_string(kMaxAddressBytes >> 20) + " MiB.");
  if (h.firstOffset > (std::uint64_t(1) << 50)) throw StreamError("The DASH segment index is broken.");
  std::int64_t offset = boxOffset + static_cast<std::int64_t>(end) + static_cast<std::int64_t>(h.firstOffset);
  std::vector<Piece> pieces;
  std::size_t p = h.entries;
  for (std::size_t k = 0; k < h.count; ++k, p += 12) {
    const std::uint64_t ref = U32At(box, p);
    if (ref & 0x80000000u) throw StreamError("Nested DASH segment indexes are not supported.");
    Piece piece;
    piece.where = {url, offset, static_cast<std::int64_t>(ref & 0x7FFFFFFFu)};
    piece.duration = h.timescale ? static_cast<double>(U32At(box, p + 4)) / static_cast<double>(h.timescale) : 0;
    if (piece.where.length <= 0) throw StreamError("The DASH segment index lists an empty segment.");
    offset += piece.where.length;
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

}  // namespace

std::vector<Piece> ParseSidx(std::string_view box, std::int64_t boxOffset, const std::string& url) {
  // The index range may hold other boxes before the sidx.
  std::size_t at = 0;
  for (;;) {
    if (at + 8 > box.size()) throw StreamError("The DASH index range holds no segment index (sidx).");
    std::uint64_t size = U32At(box, at);
    std::size_t header = 8;
    if (size == 1) {  // a 64-bit size follows the type
      if (at + 16 > box.size()) throw SidxCutShort();
      size = (U32At(box, at + 8) << 32) | U32At(box, at + 12);
      header = 16;
    }
    if (size < header || size > box.size() - at) throw SidxCutShort();
    if (box.substr(at + 4, 4) == "sidx")
      return ReadSidx(box, at, header, at + static_cast<std::size_t>(size), boxOffset, url);
    at += static_cast<std::size_t>(size);
  }
}

}  // namespace larkvale::stream
