// The DASH manifest reader and the sidx reader over arbitrary bytes.
#include <string>

#include "fuzz/fuzz_check.h"
#include "stream/dashmanifest.h"

using namespace larkvale::stream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (const int h : {kBestHeight, 480}) {
    try {
      const StreamPlan plan = ParseDashManifest(input, "http://cdn.test/d/manifest.mpd", h);
      FUZZ_CHECK(!plan.tracks.empty() && plan.tracks.size() <= 2);
      for (const auto& t : plan.tracks) {
        FUZZ_CHECK(!t.pieces.empty() || t.NeedsIndex());
        for (const auto& p : t.pieces) {
          FUZZ_CHECK(p.where.url.rfind("http", 0) == 0);
          FUZZ_CHECK(p.init >= -1 && p.init < static_cast<int>(t.inits.size()));
        }
      }
    } catch (const StreamError&) {
    }
  }
  try {
    std::int64_t end = 1000;
    for (const auto& p : ParseSidx(input, 1000, "http://x.test/a.mp4")) {
      FUZZ_CHECK(p.where.length > 0 && p.where.offset >= end);
      end = p.where.offset + p.where.length;
    }
  } catch (const StreamError&) {
  }
  return 0;
}
