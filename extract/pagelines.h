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

#include <functional>
#include <string_view>

namespace larkvale::extract {

// The same for a page that arrives in pieces: each line goes out ended by
// CR LF as soon as it is complete, nothing is held but a pending CR.
class PageLineWriter {
 public:
  using Out = std::function<void(std::string_view)>;
  explicit PageLineWriter(Out out) : out_(std::move(out)) {}
  void Feed(std::string_view text);
  // Ends an unterminated last line.
  void Finish();

 private:
  Out out_;
  bool lineOpen_ = false;
  bool afterCr_ = false;
  bool ended_ = false;
};

}  // namespace larkvale::extract
