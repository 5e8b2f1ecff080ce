#pragma once
// Damage done to MP4 files made by the ffmpeg CLI, byte by byte, for the
// tests of what a join does with parts that are cut short or lie about
// themselves.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace larkvale::enginetest {

// A box of an MP4 file: where it starts and its whole size, header included.
struct Mp4Box {
  std::size_t at = 0;
  std::size_t size = 0;
};

// The box at `path` ("moov/trak/mdia/minf/stbl/stsz"), through the track
// whose handler is `handler` ("vide", "soun") where the path passes a trak.
std::optional<Mp4Box> FindMp4Box(const std::string& bytes, const std::string& path, const char* handler = "vide");

std::uint32_t GetBe32(const std::string& bytes, std::size_t at);
void PutBe32(std::string& bytes, std::size_t at, std::uint32_t value);

// The track's sample size box says it holds `count` samples, each of `size`
// bytes (or, with size 0, each listed in a table that it does not hold).
// False when the file has no such track.
bool ClaimSamples(std::string& bytes, const char* handler, std::uint32_t size, std::uint32_t count);

// The size listed for the track's sample `index` reaches past the file's end.
bool SampleSizePastTheEnd(std::string& bytes, const char* handler, std::uint32_t index);

std::string ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace larkvale::enginetest
