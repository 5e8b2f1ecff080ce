#include "extract/htmltags.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace larkvale::extract {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsAlpha(c) || IsDigit(c); }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Elements whose text is not markup, up to their own end tag.
bool IsRawTextElement(std::string_view name) {
  static constexpr std::string_view kNames[] = {"script", "style",    "textarea", "title",
                                                "xmp",    "iframe",   "noembed",  "noframes"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

// Numeric references to 0x80..0x9F mean windows-1252, as browsers read them.
constexpr char32_t kWindows1252[32] = {
    0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

struct NamedReference {
  std::string_view name;
  char32_t cp;
  bool legacy;  // also recognised without its ';'
};
// The references links are written with; others stay as written.
constexpr NamedReference kNamed[] = {
    {"amp", '&', true}, {"lt", '<', true},       {"gt", '>', true},    {"quot", '"', true},
    {"apos", '\'', false}, {"nbsp", 0xA0, true}, {"sol", '/', false}, {"colon", ':', false},
    {"quest", '?', false}, {"equals", '=', false}, {"num", '#', false}, {"percnt", '%', false},
    {"lowbar", '_', false}, {"period", '.', false}, {"commat", '@', false}, {"plus", '+', false},
};

// Decodes the reference after the '&' at `text[0]`; returns how many bytes
// it took (0: not a reference, the '&' stands for itself).
std::size_t DecodeReference(std::string_view text, std::string& out) {
  std::size_t i = 1;
  if (i < text.size() && text[i] == '#') {
    ++i;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const std::size_t digitsFrom = i;
    char32_t cp = 0;
    bool tooBig = false;
    while (i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0 : IsDigit(text[i]))) {
      const char c = Lower(text[i]);
      const unsigned digit = IsDigit(c) ? unsigned(c - '0') : unsigned(c - 'a' + 10);
      if (!tooBig) {
        cp = cp * (hex ? 16 : 10) + digit;
        tooBig = cp > 0x10FFFF;
      }
      ++i;
    }
    if (i == digitsFrom) return 0;
    if (i < text.size() && text[i] == ';') ++i;
    if (tooBig || cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
      cp = kReplacement;
    else if (cp >= 0x80 && cp <= 0x9F)
      cp = kWindows1252[cp - 0x80];
    AppendUtf8(out, cp);
    return i;
  }
  std::size_t end = i;
  while (end < text.size() && IsAlnum(text[end]) && end - i < 16) ++end;
  const std::string_view name = text.substr(i, end - i);
  const bool semicolon = end < text.size() && text[end] == ';';
  for (const NamedReference& ref : kNamed) {
    if (semicolon && name == ref.name) {
      AppendUtf8(out, ref.cp);
      return end + 1;
    }
    // Without ';' only the legacy names, and not where the name runs on or
    // an '=' follows: "?a=1&ampb=2" and "&amp=" stay as written.
    if (ref.legacy && name.substr(0, ref.name.size()) == ref.name) {
      const std::size_t after = i + ref.name.size();
      if (after < text.size() && (IsAlnum(text[after]) || text[after] == '=')) continue;
      AppendUtf8(out, ref.cp);
      return after;
    }
  }
  return 0;
}

// Length of the valid UTF-8 sequence at `text[0]`, or 0.
std::size_t Utf8Length(std::string_view text) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(0);
  if (c < 0x80) return c == 0 ? 0 : 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < n) return 0;
  if (b(1) < lo || b(1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (b(k) < 0x80 || b(k) > 0xBF) return 0;
  return n;
}

}  // namespace

const std::string* HtmlTag::Find(std::string_view attribute) const {
  for (const Attribute& a : attributes)
    if (a.name == attribute) return &a.value;
  return nullptr;
}

std::string DecodeAttributeValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == '&') {
      if (const std::size_t used = DecodeReference(value.substr(i), out)) {
        i += used;
        continue;
      }
      out += '&';
      ++i;
      continue;
    }
    if (const std::size_t n = Utf8Length(value.substr(i))) {
      out.append(value.substr(i, n));
      i += n;
    } else {
      AppendUtf8(out, kReplacement);
      ++i;
    }
  }
  return out;
}

HtmlTagReader::HtmlTagReader(std::function<void(const HtmlTag&)> onTag) : onTag_(std::move(onTag)) {}

void HtmlTagReader::StartTag(bool end) {
  tag_.end = end;
  tag_.selfClosing = false;
  tag_.name.clear();
  tag_.attributes.clear();
  inAttribute_ = false;
}

void HtmlTagReader::StartAttribute() {
  CommitAttribute();
  inAttribute_ = true;
  attributeName_.clear();
  attributeValue_.clear();
  valueCut_ = false;
}

void HtmlTagReader::CommitAttribute() {
  if (!inAttribute_) return;
  inAttribute_ = false;
  if (valueCut_ || tag_.attributes.size() >= kMaxAttributes || tag_.Find(attributeName_) != nullptr) return;
  tag_.attributes.push_back({attributeName_, DecodeAttributeValue(attributeValue_)});
}

void HtmlTagReader::AppendValue(char c) {
  if (attributeValue_.size() < kMaxValueBytes)
    attributeValue_ += c;
  else
    valueCut_ = true;
}

void HtmlTagReader::Emit() {
  CommitAttribute();
  state_ = State::kData;
  if (tag_.end) {
    if (onTag_) onTag_(tag_);
    return;
  }
  if (onTag_) onTag_(tag_);
  if (tag_.name == "plaintext") {
    state_ = State::kPlainText;
  } else if (IsRawTextElement(tag_.name)) {
    state_ = State::kRawText;
    rawEnd_ = "</" + tag_.name;
    rawMatched_ = 0;
    capturing_ = wantRawText && onRawText && wantRawText(tag_);
    rawCut_ = false;
    rawText_.clear();
  }
}

void HtmlTagReader::Capture(std::string_view text) {
  if (!capturing_ || rawCut_) return;
  if (rawText_.size() + text.size() > kMaxRawTextBytes) {
    rawCut_ = true;
    rawText_.clear();
    return;
  }
  rawText_.append(text);
}

// Skips raw text up to "</name" followed by a blank, '/' or '>', which
// begins the closing end tag. Returns the index to go on from.
std::size_t HtmlTagReader::RawText(std::string_view bytes, std::size_t i) {
  while (i < bytes.size()) {
    const char c = bytes[i];
    if (rawMatched_ == rawEnd_.size()) {
      rawMatched_ = 0;
      if (IsSpace(c) || c == '/' || c == '>') {
        if (capturing_) {
          // The kept text ends in the "</name" just matched.
          capturing_ = false;
          if (!rawCut_) onRawText(std::string_view(rawText_).substr(0, rawText_.size() - rawEnd_.size()));
          rawText_.clear();
        }
        StartTag(true);
        tag_.name = rawEnd_.substr(2);
        state_ = State::kBeforeAttributeName;  // an end tag's attributes are read and dropped
        return i;
      }
    }
    if (rawMatched_ == 0) {
      const void* lt = std::memchr(bytes.data() + i, '<', bytes.size() - i);
      if (lt == nullptr) {
        Capture(bytes.substr(i));
        return bytes.size();
      }
      const std::size_t next = static_cast<std::size_t>(static_cast<const char*>(lt) - bytes.data()) + 1;
      Capture(bytes.substr(i, next - i));
      i = next;
      rawMatched_ = 1;
      continue;
    }
    if (Lower(c) == rawEnd_[rawMatched_]) {
      Capture(bytes.substr(i, 1));
      ++rawMatched_;
      ++i;
    } else {
      rawMatched_ = 0;  // a '<' here starts the next try
    }
  }
  return i;
}

// Text between tags: nothing in it is wanted, so jump to the next '<'.
std::size_t HtmlTagReader::SkipData(std::string_view bytes, std::size_t i) {
  const void* lt = std::memchr(bytes.data() + i, '<', bytes.size() - i);
  if (lt == nullptr) return bytes.size();
  state_ = State::kTagOpen;
  return static_cast<std::size_t>(static_cast<const char*>(lt) - bytes.data()) + 1;
}

bool HtmlTagReader::TagOpen(char c) {
  if (c == '!') {
    state_ = State::kMarkupDeclaration;
    declaration_.clear();
  } else if (c == '/') {
    state_ = State::kEndTagOpen;
  } else if (IsAlpha(c)) {
    StartTag(false);
    state_ = State::kTagName;
    return false;
  } else if (c == '?') {
    state_ = State::kBogusComment;
  } else if (c != '<') {  // "<<" keeps the second '<' as a possible tag
    state_ = State::kData;
  }
  return true;
}

bool HtmlTagReader::EndTagOpen(char c) {
  if (IsAlpha(c)) {
    StartTag(true);
    state_ = State::kTagName;
    return false;
  }
  state_ = c == '>' ? State::kData : State::kBogusComment;
  return true;
}

bool HtmlTagReader::TagName(char c) {
  if (IsSpace(c)) {
    state_ = State::kBeforeAttributeName;
  } else if (c == '/') {
    state_ = State::kSelfClosing;
  } else if (c == '>') {
    Emit();
  } else if (tag_.name.size() < kMaxNameBytes) {
    tag_.name += Lower(c);
  }
  return true;
}

bool HtmlTagReader::BeforeAttributeName(char c) {
  if (IsSpace(c)) return true;
  if (c == '/' || c == '>') {
    state_ = State::kAfterAttributeName;
    return false;
  }
  StartAttribute();
  state_ = State::kAttributeName;
  if (c == '=') {  // a leading '=' is part of the name
    attributeName_ += c;
    return true;
  }
  return false;
}

bool HtmlTagReader::AttributeName(char c) {
  if (IsSpace(c) || c == '/' || c == '>') {
    state_ = State::kAfterAttributeName;
    return false;
  }
  if (c == '=') {
    state_ = State::kBeforeAttributeValue;
  } else if (attributeName_.size() < kMaxNameBytes) {
    attributeName_ += Lower(c);
  }
  return true;
}

bool HtmlTagReader::AfterAttributeName(char c) {
  if (IsSpace(c)) return true;
  if (c == '/') {
    state_ = State::kSelfClosing;
  } else if (c == '=') {
    state_ = State::kBeforeAttributeValue;
  } else if (c == '>') {
    Emit();
  } else {
    StartAttribute();
    state_ = State::kAttributeName;
    return false;
  }
  return true;
}

bool HtmlTagReader::BeforeAttributeValue(char c) {
  if (IsSpace(c)) return true;
  if (c == '"') {
    state_ = State::kValueDoubleQuoted;
  } else if (c == '\'') {
    state_ = State::kValueSingleQuoted;
  } else if (c == '>') {
    Emit();
  } else {
    state_ = State::kValueUnquoted;
    return false;
  }
  return true;
}

// Takes the value up to its closing quote (or all of `bytes`) at once, kept
// up to the limit; a value that passed it is marked cut.
std::size_t HtmlTagReader::QuotedValue(std::string_view bytes, std::size_t i) {
  const char quote = state_ == State::kValueDoubleQuoted ? '"' : '\'';
  const void* end = std::memchr(bytes.data() + i, quote, bytes.size() - i);
  const std::size_t stop =
      end == nullptr ? bytes.size() : static_cast<std::size_t>(static_cast<const char*>(end) - bytes.data());
  const std::size_t room = kMaxValueBytes - std::min(kMaxValueBytes, attributeValue_.size());
  attributeValue_.append(bytes.substr(i, std::min(room, stop - i)));
  if (stop - i > room) valueCut_ = true;
  if (end == nullptr) return stop;
  state_ = State::kAfterValueQuoted;
  return stop + 1;
}

bool HtmlTagReader::ValueUnquoted(char c) {
  if (IsSpace(c)) {
    state_ = State::kBeforeAttributeName;
  } else if (c == '>') {
    Emit();
  } else {
    AppendValue(c);
  }
  return true;
}

bool HtmlTagReader::AfterValueQuoted(char c) {
  if (IsSpace(c)) {
    state_ = State::kBeforeAttributeName;
  } else if (c == '/') {
    state_ = State::kSelfClosing;
  } else if (c == '>') {
    Emit();
  } else {
    state_ = State::kBeforeAttributeName;
    return false;
  }
  return true;
}

bool HtmlTagReader::SelfClosing(char c) {
  if (c != '>') {
    state_ = State::kBeforeAttributeName;
    return false;
  }
  tag_.selfClosing = true;
  Emit();
  return true;
}

bool HtmlTagReader::MarkupDeclaration(char c) {
  declaration_ += c;
  if (declaration_ == "-") return true;
  if (declaration_ == "--") {
    state_ = State::kComment;
    commentLength_ = 0;
    dashes_ = 0;
    bang_ = false;
    return true;
  }
  // A doctype, CDATA or anything else runs to the next '>'.
  state_ = State::kBogusComment;
  return false;
}

// Ends at "-->", "--!>", and at once for "<!-->" and "<!--->".
void HtmlTagReader::Comment(char c) {
  if (c == '>' && (dashes_ >= 2 || bang_ || commentLength_ == dashes_)) {
    state_ = State::kData;
  } else if (c == '-') {
    ++dashes_;
    bang_ = false;
  } else {
    bang_ = c == '!' && dashes_ >= 2;
    dashes_ = 0;
  }
  ++commentLength_;
}

std::size_t HtmlTagReader::SkipBogusComment(std::string_view bytes, std::size_t i) {
  const void* gt = std::memchr(bytes.data() + i, '>', bytes.size() - i);
  if (gt == nullptr) return bytes.size();
  state_ = State::kData;
  return static_cast<std::size_t>(static_cast<const char*>(gt) - bytes.data()) + 1;
}

void HtmlTagReader::Feed(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const char c = bytes[i];
    bool took = true;  // false: the state just entered looks at `c` again
    switch (state_) {
      // States that take a run of bytes at once say where to go on.
      case State::kData:
        i = SkipData(bytes, i);
        continue;
      case State::kValueDoubleQuoted:
      case State::kValueSingleQuoted:
        i = QuotedValue(bytes, i);
        continue;
      case State::kBogusComment:
        i = SkipBogusComment(bytes, i);
        continue;
      case State::kRawText:
        i = RawText(bytes, i);
        continue;
      case State::kPlainText:
        return;  // the rest of the page is text
      // The others take one character.
      case State::kTagOpen: took = TagOpen(c); break;
      case State::kEndTagOpen: took = EndTagOpen(c); break;
      case State::kTagName: took = TagName(c); break;
      case State::kBeforeAttributeName: took = BeforeAttributeName(c); break;
      case State::kAttributeName: took = AttributeName(c); break;
      case State::kAfterAttributeName: took = AfterAttributeName(c); break;
      case State::kBeforeAttributeValue: took = BeforeAttributeValue(c); break;
      case State::kValueUnquoted: took = ValueUnquoted(c); break;
      case State::kAfterValueQuoted: took = AfterValueQuoted(c); break;
      case State::kSelfClosing: took = SelfClosing(c); break;
      case State::kMarkupDeclaration: took = MarkupDeclaration(c); break;
      case State::kComment: Comment(c); break;
    }
    if (took) ++i;
  }
}

}  // namespace larkvale::extract
