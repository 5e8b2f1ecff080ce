#include "extract/mediafinder.h"

#include <gumbo.h>

#include <memory>
#include <optional>
#include <unordered_set>

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

// An attribute's value (character references already decoded by the parser),
// or nothing when the element does not have it.
std::optional<std::string_view> Attribute(const GumboElement& element, const char* name) {
  const GumboAttribute* attribute = gumbo_get_attribute(&element.attributes, name);
  if (attribute == nullptr) return std::nullopt;
  return std::string_view(attribute->value);
}

bool IsHtml(const GumboNode* node, GumboTag tag) {
  return node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == tag &&
         node->v.element.tag_namespace == GUMBO_NAMESPACE_HTML;
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
  std::vector<OpenGraphVideo> openGraph;
  std::vector<std::string> anchors;
  std::vector<std::string> structured;  // JSON-LD contentUrl/embedUrl values
};

// The string values of "contentUrl" and "embedUrl" in a JSON-LD script that
// describes a VideoObject. A scan for the two keys, not a JSON parser: the
// values are then held to being video files or streams.
void CollectJsonLd(std::string_view json, PageLinks& links) {
  if (json.find("VideoObject") == std::string_view::npos) return;
  for (const std::string_view key : {"\"contentUrl\"", "\"embedUrl\""}) {
    for (std::size_t at = json.find(key); at != std::string_view::npos; at = json.find(key, at + 1)) {
      std::size_t i = at + key.size();
      while (i < json.size() && (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r')) ++i;
      if (i >= json.size() || json[i] != ':') continue;
      ++i;
      while (i < json.size() && (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r')) ++i;
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
      links.structured.push_back(std::move(value));
    }
  }
}

void CollectVideo(const GumboElement& video, PageLinks& links) {
  std::vector<std::string> candidates;
  if (const auto src = Attribute(video, "src")) candidates.emplace_back(*src);
  for (unsigned i = 0; i < video.children.length; ++i) {
    const auto* child = static_cast<const GumboNode*>(video.children.data[i]);
    if (!IsHtml(child, GUMBO_TAG_SOURCE)) continue;
    const auto src = Attribute(child->v.element, "src");
    if (!src) continue;
    const std::string type = Lowered(Trimmed(Attribute(child->v.element, "type").value_or("")));
    if (type.empty() || type.rfind("video/", 0) == 0 || IsStreamType(type, "")) candidates.emplace_back(*src);
  }
  links.videoCandidates.push_back(std::move(candidates));
}

void CollectMeta(const GumboElement& meta, PageLinks& links) {
  // Pages that write name= where Open Graph says property= are common.
  auto key = Attribute(meta, "property");
  if (!key) key = Attribute(meta, "name");
  const auto content = Attribute(meta, "content");
  if (!key || !content) return;
  const std::string property = Lowered(Trimmed(*key));
  if (property == "og:video") {
    links.openGraph.push_back({{std::string(*content)}, std::nullopt});
  } else if (property == "og:video:url" || property == "og:video:secure_url") {
    if (links.openGraph.empty()) links.openGraph.emplace_back();
    links.openGraph.back().addresses.emplace_back(*content);
  } else if (property == "og:video:type" && !links.openGraph.empty()) {
    links.openGraph.back().type = Lowered(Trimmed(*content));
  }
}

// Walks the tree in document order with a stack of its own: a page of deeply
// nested elements must not exhaust ours.
PageLinks Collect(const GumboNode* root) {
  PageLinks links;
  std::vector<const GumboNode*> stack{root};
  while (!stack.empty()) {
    const GumboNode* node = stack.back();
    stack.pop_back();
    const GumboVector* children = nullptr;
    if (node->type == GUMBO_NODE_DOCUMENT) {
      children = &node->v.document.children;
    } else if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) {
      const GumboElement& element = node->v.element;
      children = &element.children;
      if (element.tag_namespace == GUMBO_NAMESPACE_HTML) {
        switch (element.tag) {
          case GUMBO_TAG_VIDEO:
            CollectVideo(element, links);
            break;
          case GUMBO_TAG_META:
            CollectMeta(element, links);
            break;
          case GUMBO_TAG_A:
            if (const auto href = Attribute(element, "href")) links.anchors.emplace_back(*href);
            break;
          case GUMBO_TAG_SCRIPT:
            if (Lowered(Trimmed(Attribute(element, "type").value_or(""))) == "application/ld+json")
              for (unsigned i = 0; i < element.children.length; ++i) {
                const auto* text = static_cast<const GumboNode*>(element.children.data[i]);
                if (text->type == GUMBO_NODE_TEXT || text->type == GUMBO_NODE_CDATA)
                  CollectJsonLd(text->v.text.text, links);
              }
            break;
          case GUMBO_TAG_BASE:
            if (const auto href = Attribute(element, "href"); href && !links.base) links.base = std::string(*href);
            break;
          default:
            break;
        }
      }
    }
    if (children != nullptr)
      for (unsigned i = children->length; i > 0; --i)
        stack.push_back(static_cast<const GumboNode*>(children->data[i - 1]));
  }
  return links;
}

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

MediaLinks Find(std::string_view page, std::string_view pageAddress, std::size_t cap) {
  GumboOptions options = kGumboDefaultOptions;
  // Parse errors are of no use here, and a broken page could have millions.
  options.max_errors = 0;
  const std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> output(
      gumbo_parse_with_options(&options, page.empty() ? "" : page.data(), page.size()),
      [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
  const PageLinks raw = Collect(output->document);

  // The base is the page's own address, or its <base href> resolved against
  // that; a <base> that does not resolve to http or https is ignored.
  std::string base = ResolveLink(pageAddress, "").value_or("");
  if (raw.base)
    if (auto resolved = ResolveLink(*raw.base, base)) base = std::move(*resolved);

  {
    LinkList list(cap);
    for (const auto& candidates : raw.videoCandidates)
      if (auto link = FirstResolved(candidates, base)) list.Add(std::move(*link));
    MediaLinks result = list.Take(MediaSource::kVideoElement);
    if (result.source != MediaSource::kNone) return result;
  }
  {
    LinkList list(cap);
    for (const auto& video : raw.openGraph) {
      if (video.type && !video.type->empty() && video.type->rfind("video/", 0) != 0 && !IsStreamType(*video.type, ""))
        continue;
      if (auto link = FirstResolved(video.addresses, base)) list.Add(std::move(*link));
    }
    MediaLinks result = list.Take(MediaSource::kOpenGraph);
    if (result.source != MediaSource::kNone) return result;
  }
  {
    LinkList list(cap);
    for (const auto& value : raw.structured) {
      auto link = ResolveLink(value, base);
      if (link && (HasVideoFileExtension(*link) || HasStreamExtension(*link))) list.Add(std::move(*link));
    }
    MediaLinks result = list.Take(MediaSource::kStructuredData);
    if (result.source != MediaSource::kNone) return result;
  }
  LinkList list(cap);
  for (const auto& anchor : raw.anchors) {
    auto link = ResolveLink(anchor, base);
    if (link && (HasVideoFileExtension(*link) || HasStreamExtension(*link))) list.Add(std::move(*link));
  }
  return list.Take(MediaSource::kFileLink);
}

}  // namespace

MediaLinks FindMediaLinks(std::string_view page, std::string_view pageAddress, std::size_t cap) {
  MediaLinks result = Find(page.substr(0, kMaxParsedPageBytes), pageAddress, cap);
  result.cut = page.size() > kMaxParsedPageBytes;
  return result;
}

}  // namespace larkvale::extract
