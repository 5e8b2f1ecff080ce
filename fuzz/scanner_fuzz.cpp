// The watch-page scanner over arbitrary page text, split into lines the way
// the Download action splits a fetched page.
#include "extract/pagelines.h"
#include "extract/scanner.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string page(reinterpret_cast<const char*>(data), size);
  const auto lines = larkvale::extract::SplitPageLines(page);
  for (const auto& line : lines) FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
  const auto result = larkvale::extract::ScanWatchPage(lines, "http://v.test", "http://g.test");
  // Without a link marker nothing can have been built.
  if (!result.found) FUZZ_CHECK(result.link.empty());
  if (result.found && !result.link.empty())
    FUZZ_CHECK(result.link.rfind("http://v.test/get_video?asv=&video_id=", 0) == 0 ||
               result.link.rfind("http://g.test/videodownload?version=0&secureurl=", 0) == 0);
  // The page as it arrives, in pieces, scans as its lines do.
  larkvale::extract::WatchPageScanner scanner("http://v.test", "http://g.test");
  const std::size_t piece = 1 + size % 13;
  for (std::size_t at = 0; at < page.size(); at += piece) scanner.Feed(std::string_view(page).substr(at, piece));
  const auto pieces = scanner.Finish();
  FUZZ_CHECK(pieces.found == result.found && pieces.link == result.link);
  // Joining and splitting again gives the same lines.
  FUZZ_CHECK(larkvale::extract::SplitPageLines(larkvale::extract::JoinLinesCrLf(lines)) == lines);
  return 0;
}
