#include "extract/pagelines.h"

#include <cstring>

namespace larkvale::extract {

std::vector<std::string> SplitPageLines(const std::string& page) {
  const std::size_t end = std::min(page.size(), std::strlen(page.c_str()));  // up to the first NUL
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < end) {
    const char c = page[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    lines.emplace_back(page, start, i - start);
    i += (c == '\r' && i + 1 < end && page[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < end) lines.emplace_back(page, start, end - start);
  return lines;
}

std::string JoinLinesCrLf(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const std::string& l : lines) size += l.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& l : lines) text.append(l).append("\r\n");
  return text;
}

}  // namespace larkvale::extract

namespace larkvale::extract {

void PageLineWriter::Feed(std::string_view text) {
  breaks_.Feed(
      text,
      [this](std::string_view run) {
        out_(run);
        lineOpen_ = true;
      },
      [this] {
        out_("\r\n");
        lineOpen_ = false;
      });
}

void PageLineWriter::Finish() {
  if (lineOpen_) out_("\r\n");
  lineOpen_ = false;
}

}  // namespace larkvale::extract
