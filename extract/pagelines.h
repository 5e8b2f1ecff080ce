#pragma once
#include <string>
#include <vector>

namespace larkvale::extract {

// The lines of a fetched page: cut at CR LF, CR or LF; a NUL ends the text.
// A final line break does not start an empty last line.
std::vector<std::string> SplitPageLines(const std::string& page);

// The lines joined, each ended by CR LF.
std::string JoinLinesCrLf(const std::vector<std::string>& lines);

}  // namespace larkvale::extract
