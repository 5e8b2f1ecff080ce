// Address parsing, path merging and request resolution. Each input line is
// an address: parsed and composed on its own, merged with the next one as a
// path, and resolved in turn against one current URL, as a chain of
// redirects would be.
#include "fuzz/fuzz_check.h"
#include "http/exceptions.h"
#include "http/httpclient.h"
#include "http/uri.h"

using namespace larkvale::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto lines = larkvale::fuzz::SplitLines(data, size);
  TNetURI current;
  current.Port = "80";
  TNetHTTPRequest request;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    TNetURI u(line);
    if (line.find("://") != std::string::npos) FUZZ_CHECK(!u.Directory.empty() && u.Directory[0] == '/');
    try {
      const std::string composed = u.Compose();
      FUZZ_CHECK(composed.rfind(u.Scheme + "://", 0) == 0);
      // An IPv6 host goes out in brackets and comes back without them.
      if (TNetURI::IsBracketHost(u.Host) && u.Host.find(']') == std::string::npos) {
        FUZZ_CHECK(composed.find("[" + u.Host + "]") != std::string::npos);
        const TNetURI again(composed);
        FUZZ_CHECK(again.Host == u.Host);
      }
      (void)u.ComposeBare();
    } catch (const ENetURIException&) {
      FUZZ_CHECK(u.Scheme.empty() || u.Host.empty());
    }
    if (i + 1 < lines.size()) {
      const std::string merged = TNetURI::MergePath(line, lines[i + 1]);
      if (!lines[i + 1].empty() && lines[i + 1][0] == '/') {
        FUZZ_CHECK(merged == lines[i + 1]);
      } else {
        // Runs of slashes always collapse.
        FUZZ_CHECK(merged.find("//") == std::string::npos);
      }
    }
    const bool unsafe = line.find_first_of(std::string("\r\0", 2)) != std::string::npos;
    try {
      ResolveRequest(current, request, line);
      FUZZ_CHECK(!unsafe);
      FUZZ_CHECK(!current.Port.empty());
      FUZZ_CHECK(request.Target == current.Directory + current.Resource + current.Query);
      // Nothing that goes onto the request line or into Host can break a line.
      FUZZ_CHECK(request.Target.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
      FUZZ_CHECK(request.Host.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
      // A Host header names an IPv6 address only in brackets.
      if (TNetURI::IsBracketHost(current.Host)) FUZZ_CHECK(request.Host.rfind("[" + current.Host + "]", 0) == 0);
    } catch (const ENetUnknownProtocol&) {
    } catch (const ENetUnsafeRequestText&) {
      FUZZ_CHECK(unsafe);
    } catch (const ENetURIException&) {
      // A malformed IPv6 literal or a port outside 1-65535.
      FUZZ_CHECK(!unsafe);
    }
  }
  return 0;
}
