#pragma once
// Small text helpers the playlist and manifest readers share.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkvale::stream {

std::string_view TrimView(std::string_view s);
bool StartsWith(std::string_view s, std::string_view prefix);
// A whole decimal number that fits 63 bits; nothing for other text.
std::optional<std::int64_t> ParseCount(std::string_view s);
// A finite, non-negative decimal; nothing for other text.
std::optional<double> ParseSeconds(std::string_view s);
// Up to `max` bytes of `bytes` as text that is safe to show in a message:
// printable ASCII as it is, anything else (and quotes and backslashes) as
// \xNN, "..." when cut. Network text never reaches a terminal raw.
std::string Printable(std::string_view bytes, std::size_t max);
// `link` against the absolute address `base`; raises StreamError when it
// does not resolve to an http or https address.
std::string Resolve(std::string_view link, const std::string& base);

}  // namespace larkvale::stream
