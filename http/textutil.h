// Small text helpers shared by the URL, header, date and cookie code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace larkvale::http {

std::string UpperCase(std::string s);
bool SameText(const std::string& a, const std::string& b);
// Trims spaces and control characters.
std::string Trim(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
// A whole decimal number with an optional sign, nothing else; nullopt for
// anything else, including numbers out of the 64-bit range.
std::optional<std::int64_t> ParseInteger(const std::string& s);
std::int64_t StrToInt64Def(const std::string& s, std::int64_t fallback);
// Raises EConvertError for text that is not a number within int range.
int StrToInt(const std::string& s);

// The text before the first `delimiter`; with `remove`, that part and the
// delimiter are deleted from `text` (all of it when the delimiter is absent).
std::string SplitOff(std::string& text, const std::string& delimiter = " ", bool remove = true);
// 1-based position of the last case-insensitive occurrence of `sought` that
// begins at or before `start` (-1 = the end), or 0.
int LastPos(const std::string& sought, const std::string& text, int start = -1);

// Text from the network made safe to show in a message, a terminal or the
// window: bytes below 0x20, 0x7F, the C1 controls (U+0080 to U+009F) and
// bytes that are not valid UTF-8 become "\xNN"; everything else stays. At
// most `maxBytes` of `text` are shown, "..." marking a cut.
std::string EscapedText(const std::string& text, std::size_t maxBytes = std::string::npos);

}  // namespace larkvale::http
