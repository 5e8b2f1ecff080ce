#pragma once
// AES-128-CBC with PKCS#7 padding, as HLS encrypts whole segments.

#include <array>
#include <string>
#include <string_view>

namespace larkvale::stream {

using Key128 = std::array<unsigned char, 16>;

// The plain bytes; raises StreamError when the data is not a whole number of
// blocks or the padding is wrong (which is what a wrong key gives).
std::string DecryptAes128Cbc(std::string_view data, const Key128& key, const Key128& iv);

}  // namespace larkvale::stream
