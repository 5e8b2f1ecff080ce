// Header lines as a reply delivers them (every lookup on each), and
// `SetHeader` wrapping of a value at a width taken from the input's first
// byte.
#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "http/headerlist.h"

using namespace larkvale::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int width = 1 + data[0] * 4;  // 1 .. 1021
  const auto lines = larkvale::fuzz::SplitLines(data + 1, size - 1);

  TNetHeaderList reply;
  reply.WrapWidth = 1024;
  for (const auto& l : lines) reply.Add(l);
  std::vector<std::string> collected;
  for (int i = -1; i <= reply.Count(); ++i) {
    const std::string name = reply.NameAt(i);
    const std::string value = reply.ValueAt(i);
    if (i < 0 || i >= reply.Count()) FUZZ_CHECK(value.empty());
    const int found = reply.IndexOfHeader(name);
    FUZZ_CHECK(found >= -1 && found < reply.Count());
    (void)reply.ValueOf(name);
    reply.CollectValues(name, &collected);
  }
  reply.CollectValues("Set-cookie", nullptr);

  // The first line names a header, the rest of the input is its value.
  if (lines.empty()) return 0;
  std::string name = lines[0];
  std::string value;
  for (std::size_t i = 1; i < lines.size(); ++i) value += (i > 1 ? " " : "") + lines[i];
  TNetHeaderList request;
  request.WrapWidth = width;
  request.Add("Accept: text/html, */*");
  request.SetHeader(name, value);
  request.Add("X-After: 1");
  const int before = request.Count();
  request.SetHeader(name, value);
  // For a plain token name, replacing in place keeps the list's shape. A comma
  // or a quote is no token character: wrapping may break inside such a name.
  const bool plainName = !name.empty() && name.find_first_of(": \t\r,\"") == std::string::npos;
  if (plainName && !value.empty()) FUZZ_CHECK(request.Count() == before);
  // Every piece of a wrapped line after the first continues it.
  const auto pieces = WrapHeaderLine(name + ": " + value, width);
  for (std::size_t i = 1; i < pieces.size(); ++i) FUZZ_CHECK(!pieces[i].empty() && pieces[i][0] == ' ');
  if (pieces.size() > 1)
    for (const auto& p : pieces) FUZZ_CHECK(p.empty() || (p.back() != ' ' && p.back() != '\t'));
  request.SetHeader(name, "");
  (void)request.Text();
  return 0;
}
