#include "engine/damaged_mp4.h"

#include <fstream>
#include <iterator>
#include <vector>

namespace larkvale::enginetest {

std::uint32_t GetBe32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

void PutBe32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<char>((value >> (24 - 8 * i)) & 0xff);
}

namespace {

// The child boxes of the range [from, to), in order.
std::vector<std::pair<std::string, Mp4Box>> Children(const std::string& bytes, std::size_t from, std::size_t to) {
  std::vector<std::pair<std::string, Mp4Box>> out;
  while (from + 8 <= to && from + 8 <= bytes.size()) {
    const std::size_t size = GetBe32(bytes, from);
    if (size < 8 || from + size > to) break;
    out.emplace_back(bytes.substr(from + 4, 4), Mp4Box{from, size});
    from += size;
  }
  return out;
}

// Whether the trak's handler box names `handler`.
bool TrackIs(const std::string& bytes, const Mp4Box& trak, const char* handler) {
  for (const auto& [name, mdia] : Children(bytes, trak.at + 8, trak.at + trak.size))
    if (name == "mdia")
      for (const auto& [kind, hdlr] : Children(bytes, mdia.at + 8, mdia.at + mdia.size))
        if (kind == "hdlr") return bytes.compare(hdlr.at + 16, 4, handler) == 0;
  return false;
}

}  // namespace

std::optional<Mp4Box> FindMp4Box(const std::string& bytes, const std::string& path, const char* handler) {
  std::size_t from = 0, to = bytes.size();
  std::optional<Mp4Box> found;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    found.reset();
    for (const auto& [kind, box] : Children(bytes, from, to))
      if (kind == name && (name != "trak" || TrackIs(bytes, box, handler))) {
        found = box;
        break;
      }
    if (!found) return std::nullopt;
    from = found->at + 8;
    to = found->at + found->size;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return found;
}

bool ClaimSamples(std::string& bytes, const char* handler, std::uint32_t size, std::uint32_t count) {
  const auto stsz = FindMp4Box(bytes, "moov/trak/mdia/minf/stbl/stsz", handler);
  if (!stsz || stsz->size < 20) return false;
  // version and flags, then the one size for all samples, then the count
  PutBe32(bytes, stsz->at + 12, size);
  PutBe32(bytes, stsz->at + 16, count);
  return true;
}

bool SampleSizePastTheEnd(std::string& bytes, const char* handler, std::uint32_t index) {
  const auto stsz = FindMp4Box(bytes, "moov/trak/mdia/minf/stbl/stsz", handler);
  if (!stsz || GetBe32(bytes, stsz->at + 12) != 0 || index >= GetBe32(bytes, stsz->at + 16)) return false;
  PutBe32(bytes, stsz->at + 20 + 4 * std::size_t(index), std::uint32_t(bytes.size()) * 2);
  return true;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out);
}

}  // namespace larkvale::enginetest
