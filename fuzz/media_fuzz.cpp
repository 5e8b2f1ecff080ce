// The media finder over arbitrary pages. The first line of the input is the
// page's address, the rest is the page.
#include <string>
#include <string_view>
#include <unordered_set>

#include "extract/linkresolver.h"
#include "extract/mediafinder.h"
#include "extract/mediatypes.h"
#include "fuzz/fuzz_check.h"

namespace {

using larkvale::extract::MediaLinks;
using larkvale::extract::MediaSource;

void CheckLinks(const MediaLinks& found, std::size_t cap) {
  FUZZ_CHECK(found.links.size() <= cap);
  FUZZ_CHECK((found.source == MediaSource::kNone) == (found.links.empty() && found.more == 0));
  if (found.more > 0) FUZZ_CHECK(found.links.size() == cap);
  std::unordered_set<std::string> seen;
  for (const auto& link : found.links) {
    FUZZ_CHECK(seen.insert(link).second);  // no link twice
    const std::string_view rest = link.rfind("http://", 0) == 0    ? std::string_view(link).substr(7)
                                  : link.rfind("https://", 0) == 0 ? std::string_view(link).substr(8)
                                                                   : std::string_view();
    // Some authority, and at most one '@' in it.
    FUZZ_CHECK(!rest.empty() && rest.front() != '/' && rest.front() != '@');
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
    FUZZ_CHECK(authority.find('@') == authority.rfind('@'));
    for (const char c : link) {
      const auto u = static_cast<unsigned char>(c);
      FUZZ_CHECK(u > 0x20 && u < 0x7F && c != '#' && c != '\\' && c != '"' && c != '<' && c != '>');
    }
    // A found link stands for itself on any page.
    FUZZ_CHECK(larkvale::extract::ResolveLink(link, "") == link);
    FUZZ_CHECK(larkvale::extract::ResolveLink(link, "https://other.test/a/b") == link);
    if (found.source == MediaSource::kFileLink || found.source == MediaSource::kStructuredData ||
        found.source == MediaSource::kPoster)
      FUZZ_CHECK(larkvale::extract::HasVideoFileExtension(link) || larkvale::extract::HasStreamExtension(link));
    const std::string name = larkvale::extract::MediaFileName(7, link);
    FUZZ_CHECK(name.rfind("flv7video.", 0) == 0 && name.find('/') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto newline = input.find('\n');
  const std::string address = newline == std::string::npos ? std::string() : input.substr(0, newline);
  const std::string_view page =
      newline == std::string::npos ? std::string_view(input) : std::string_view(input).substr(newline + 1);

  const MediaLinks all = larkvale::extract::FindMediaLinks(page, address);
  CheckLinks(all, larkvale::extract::kMediaLinkCap);
  // The page as it arrives, in pieces, reads as the whole page.
  larkvale::extract::MediaFinder finder;
  const std::size_t piece = 1 + size % 13;
  for (std::size_t at = 0; at < page.size(); at += piece) finder.Feed(page.substr(at, piece));
  const MediaLinks pieces = finder.Finish(address);
  FUZZ_CHECK(pieces.source == all.source && pieces.links == all.links && pieces.more == all.more);

  // A smaller cap keeps the start of the same list and counts the rest.
  const MediaLinks few = larkvale::extract::FindMediaLinks(page, address, 2);
  CheckLinks(few, 2);
  FUZZ_CHECK(few.source == all.source);
  FUZZ_CHECK(few.links.size() + few.more == all.links.size() + all.more);
  for (std::size_t i = 0; i < few.links.size(); ++i) FUZZ_CHECK(few.links[i] == all.links[i]);

  // The address itself resolves to something that stands for itself.
  if (const auto resolved = larkvale::extract::ResolveLink(address, ""))
    FUZZ_CHECK(larkvale::extract::ResolveLink(*resolved, "") == resolved);
  return 0;
}
