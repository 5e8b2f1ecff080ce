#pragma once
// Reads the start and end tags of an HTML page as it arrives, in pieces of any
// size, the way a browser's tokenizer reads them: comments, doctypes and
// processing instructions are skipped, the text of script, style, textarea,
// title and their kind is not read as markup, a tag cut off by the end of the
// page is dropped, and attribute values have their character references
// decoded (bytes that are not UTF-8 become U+FFFD, as a browser shows them).
//
// It builds no tree and holds one tag at a time, so a page of any size or
// nesting costs bounded memory and time linear in its length.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace larkvale::extract {

struct HtmlTag {
  struct Attribute {
    std::string name;  // lower case
    std::string value;
  };
  bool end = false;
  bool selfClosing = false;
  std::string name;  // lower case
  // The first of each name, as a browser keeps them.
  std::vector<Attribute> attributes;

  // The value of attribute `name` (lower case), or nullptr.
  const std::string* Find(std::string_view name) const;
};

class HtmlTagReader {
 public:
  // What one tag may hold; the rest of a longer name or value, or further
  // attributes, are dropped (an attribute whose value is cut is dropped whole:
  // a link cut short would be a wrong link).
  static constexpr std::size_t kMaxNameBytes = 64;
  static constexpr std::size_t kMaxValueBytes = 1u << 20;
  static constexpr std::size_t kMaxAttributes = 64;

  // The most text of one raw-text element that is handed out (see
  // `wantRawText`); a longer one is dropped whole.
  static constexpr std::size_t kMaxRawTextBytes = 1u << 20;

  explicit HtmlTagReader(std::function<void(const HtmlTag&)> onTag);
  void Feed(std::string_view bytes);

  // Optional: asked at the start tag of each raw-text element (script,
  // style, ...) whether its text is wanted; the text of one that is goes to
  // `onRawText` when its end tag comes.
  std::function<bool(const HtmlTag&)> wantRawText;
  std::function<void(std::string_view)> onRawText;

 private:
  enum class State {
    kData,
    kTagOpen,
    kEndTagOpen,
    kTagName,
    kBeforeAttributeName,
    kAttributeName,
    kAfterAttributeName,
    kBeforeAttributeValue,
    kValueDoubleQuoted,
    kValueSingleQuoted,
    kValueUnquoted,
    kAfterValueQuoted,
    kSelfClosing,
    kMarkupDeclaration,  // after "<!"
    kComment,            // after "<!--"
    kBogusComment,
    kRawText,  // the text of script, style, textarea, ...
    kPlainText,
  };

  void StartTag(bool end);
  void StartAttribute();
  void CommitAttribute();
  void Emit();
  void AppendValue(char c);
  std::size_t RawText(std::string_view bytes, std::size_t i);

  // One step of `Feed` per state. Those that take a run of bytes return the
  // index to go on from; those that take one character return whether they
  // took it (false: the state they switched to reads it again).
  std::size_t SkipData(std::string_view bytes, std::size_t i);
  std::size_t QuotedValue(std::string_view bytes, std::size_t i);
  std::size_t SkipBogusComment(std::string_view bytes, std::size_t i);
  bool TagOpen(char c);
  bool EndTagOpen(char c);
  bool TagName(char c);
  bool BeforeAttributeName(char c);
  bool AttributeName(char c);
  bool AfterAttributeName(char c);
  bool BeforeAttributeValue(char c);
  bool ValueUnquoted(char c);
  bool AfterValueQuoted(char c);
  bool SelfClosing(char c);
  bool MarkupDeclaration(char c);
  void Comment(char c);
  void Capture(std::string_view text);

  std::function<void(const HtmlTag&)> onTag_;
  State state_ = State::kData;
  HtmlTag tag_;
  bool inAttribute_ = false;
  std::string attributeName_;
  std::string attributeValue_;
  bool valueCut_ = false;
  // "<!" seen: the next two characters decide between a comment and a bogus one.
  std::string declaration_;
  // Inside a comment: its length so far, trailing dashes, and "--!" seen.
  std::size_t commentLength_ = 0;
  std::size_t dashes_ = 0;
  bool bang_ = false;
  // Inside raw text: the end tag that closes it, and how much of "</name" matched.
  std::string rawEnd_;
  std::size_t rawMatched_ = 0;
  // The raw text kept for `onRawText`; cut once it passed the limit.
  bool capturing_ = false;
  bool rawCut_ = false;
  std::string rawText_;
};

// `value` with its character references decoded and every byte sequence that
// is not UTF-8 (and NUL) replaced by U+FFFD.
std::string DecodeAttributeValue(std::string_view value);

}  // namespace larkvale::extract
