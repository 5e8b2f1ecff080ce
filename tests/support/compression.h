// Compressed bodies for tests of replies that come compressed.
#pragma once

#include <string>

namespace larkvale::testing {

// `data` deflated with zlib; `windowBits` as deflateInit2 takes them:
// 15 + 16 for gzip, 15 for a zlib stream, -15 for raw deflate.
std::string DeflateBytes(const std::string& data, int windowBits);
inline std::string GzipBytes(const std::string& data) { return DeflateBytes(data, 15 + 16); }

}  // namespace larkvale::testing
