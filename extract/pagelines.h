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

#include <cstddef>
#include <functional>
#include <string_view>

namespace larkvale::extract {

// The line breaks of a page that arrives in pieces: CR, LF and CR LF end a
// line (a CR LF split between two pieces counts once) and a NUL ends the
// page. `piece` gets each run of a line's text, `lineEnd` each break.
class LineBreaks {
 public:
  template <class Piece, class LineEnd>
  void Feed(std::string_view text, Piece&& piece, LineEnd&& lineEnd) {
    std::size_t i = 0;
    while (i < text.size() && !ended_) {
      if (afterCr_) {
        afterCr_ = false;
        if (text[i] == '\n') ++i;
        continue;
      }
      const std::size_t stop = text.find_first_of(std::string_view("\r\n\0", 3), i);
      const std::size_t end = stop == std::string_view::npos ? text.size() : stop;
      if (end > i) piece(text.substr(i, end - i));
      if (stop == std::string_view::npos) return;
      if (text[stop] == '\0') {
        ended_ = true;
        return;
      }
      lineEnd();
      afterCr_ = text[stop] == '\r';
      i = stop + 1;
    }
  }

 private:
  bool afterCr_ = false;
  bool ended_ = false;  // a NUL was read
};

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
  LineBreaks breaks_;
  bool lineOpen_ = false;
};

}  // namespace larkvale::extract
