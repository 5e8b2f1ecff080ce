// The HLS playlist reader over arbitrary text. The first line of the input
// is the playlist's address, the rest is the playlist. The whole input is
// also judged as a fetched piece (segment and init section), since pieces
// come from the same servers as playlists.
#include <string>

#include "fuzz/fuzz_check.h"
#include "stream/hlsplaylist.h"
#include "stream/piececheck.h"

using namespace larkvale::stream;

namespace {

void CheckUrl(const std::string& url) {
  FUZZ_CHECK(url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (const PieceRole role : {PieceRole::kSegment, PieceRole::kInit}) {
    const std::string why = WhyNotMedia(input, role);
    // Nothing empty or led by markup is ever media.
    if (input.empty() || input[0] == '<' || input[0] == '#') FUZZ_CHECK(!why.empty());
    for (const char c : why) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
  }
  const auto newline = input.find('\n');
  std::string base = newline == std::string::npos ? "" : input.substr(0, newline);
  if (base.rfind("http", 0) != 0) base = "http://cdn.test/p/index.m3u8";
  const std::string text = newline == std::string::npos ? input : input.substr(newline + 1);
  try {
    if (IsHlsMaster(text)) {
      const HlsMaster m = ParseHlsMaster(text, base);
      FUZZ_CHECK(!m.variants.empty());
      for (const int h : {kBestHeight, 1080, 720, 480, 360}) {
        const std::size_t v = ChooseHlsVariant(m, h);
        FUZZ_CHECK(v < m.variants.size());
        const int a = ChooseHlsAudio(m, m.variants[v]);
        FUZZ_CHECK(a >= -1 && a < static_cast<int>(m.audio.size()));
        if (a >= 0) CheckUrl(m.audio[static_cast<std::size_t>(a)].url);
      }
      for (const auto& v : m.variants) CheckUrl(v.url);
    } else {
      const HlsMedia media = ParseHlsMedia(text, base);
      for (const auto& p : media.track.pieces) {
        CheckUrl(p.where.url);
        FUZZ_CHECK(p.init >= -1 && p.init < static_cast<int>(media.track.inits.size()));
        FUZZ_CHECK(p.key >= -1 && p.key < static_cast<int>(media.track.keys.size()));
        FUZZ_CHECK(p.where.offset >= 0 && p.duration >= 0);
      }
      for (const auto& k : media.track.keys) CheckUrl(k);
    }
  } catch (const StreamError&) {
  }
  return 0;
}
