#pragma once
// Turns a link as a page writes it (relative or absolute) into the absolute
// http or https address a download can request, the way a browser resolves
// it: surrounding blanks dropped, tabs and line breaks removed, "." and ".."
// segments resolved, the fragment dropped (it is never sent), scheme and host
// in lower case, a default port left out, and bytes that may not stand in a
// request line percent-encoded. The result resolves to itself again.

#include <optional>
#include <string>
#include <string_view>

namespace larkvale::extract {

// `base` must itself be such an absolute address (a result of this function)
// or empty. Nothing comes back for an empty link, for a scheme other than http
// and https (javascript:, data:, blob:, mailto:, ...), for a relative link
// without a base, and for a host that is empty or not plain ASCII.
std::optional<std::string> ResolveLink(std::string_view link, std::string_view base);

// The path of an absolute address, without query: "/a/b.mp4" for
// "http://h/a/b.mp4?x=1". Also takes a bare path.
std::string_view LinkPath(std::string_view address);

}  // namespace larkvale::extract
