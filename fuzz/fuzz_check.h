// Shared by every fuzz target: an invariant that fails aborts, so libFuzzer
// keeps the input and the replay test turns red.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

namespace larkvale::fuzz {

// The input cut at LF; a final LF does not start an empty last piece.
inline std::vector<std::string> SplitLines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> out;
  std::string cur;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace larkvale::fuzz
