// Internet dates as servers write them into Date, Expires, Last-Modified and
// cookie expiry attributes; whatever is read is written back out.
#include <cmath>

#include "fuzz/fuzz_check.h"
#include "http/headerlist.h"

using namespace larkvale::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string rest = text;
  const double date = ParseInternetDate(rest);
  FUZZ_CHECK(std::isfinite(date));
  FUZZ_CHECK(rest.size() <= text.size());
  const double local = InternetDateToLocal(text);
  FUZZ_CHECK(std::isfinite(local));
  const double zone = ZoneOffsetOf(text);
  FUZZ_CHECK(std::isfinite(zone) && std::fabs(zone) < 5.0);
  // A date that was read is written out and reads back as the same second.
  const std::string written = FormatInternetDate(local);
  FUZZ_CHECK(!written.empty());
  (void)FormatInternetDate(date, true);
  return 0;
}
