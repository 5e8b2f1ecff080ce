// What counts as a fetched piece of media: each kind the join reads, and the
// bodies servers send in its place (pages, empty bodies, cut boxes).
#include "stream/piececheck.h"

#include <gtest/gtest.h>

namespace larkvale::stream {
namespace {

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string Box(const std::string& type, const std::string& body) {
  return Be32(static_cast<std::uint32_t>(body.size() + 8)) + type + body;
}

// `n` transport stream packets.
std::string Ts(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += "\x47" + std::string(187, static_cast<char>(i + 1));
  return out;
}

std::string Adts() { return std::string("\xFF\xF1\x50\x80\x02\x1F\xFC", 7) + std::string(9, '\0'); }

std::string Id3(const std::string& body) {
  // Version 4, no flags, a syncsafe size.
  return std::string("ID3\x04\x00\x00", 6) + std::string(3, '\0') + static_cast<char>(body.size()) + body;
}

const std::string kPage = "<!DOCTYPE html>\n<html><body>Sign in to continue</body></html>\n";

TEST(PieceCheck, MediaOfEachKindCountsAndWhatIsNotIsRefused) {
  const std::string init = Box("ftyp", "isom\0\0\0\1isomiso6") + Box("moov", Box("mvhd", std::string(100, '\0')));
  const std::string fragment = Box("styp", "msdh\0\0\0\0") + Box("moof", Box("mfhd", std::string(8, '\0'))) +
                               Box("mdat", std::string(500, 'x'));
  std::string ts = Ts(5);
  std::string brokenTs = ts;
  brokenTs[188 * 3] = '<';
  const struct {
    const char* name;
    std::string bytes;
    PieceRole role;
    const char* refusal;  // nullptr: media
  } cases[] = {
      {"transport stream", ts, PieceRole::kSegment, nullptr},
      {"transport stream as init section", Ts(2), PieceRole::kInit, nullptr},
      {"fMP4 fragment", fragment, PieceRole::kSegment, nullptr},
      {"init section", init, PieceRole::kInit, nullptr},
      {"whole MP4 file", init + Box("mdat", "abc"), PieceRole::kSegment, nullptr},
      {"mdat to the end (size 0)", Box("moof", "") + Be32(0) + "mdat" + std::string(40, 'y'), PieceRole::kSegment, nullptr},
      {"64-bit box size", Be32(1) + "mdat" + Be32(0) + Be32(20) + "abcd", PieceRole::kSegment, nullptr},
      {"WebM", std::string("\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01", 9), PieceRole::kInit, nullptr},
      {"ADTS sound", Adts() + Adts(), PieceRole::kSegment, nullptr},
      {"ID3 then ADTS", Id3("PRIV timestamp") + Adts(), PieceRole::kSegment, nullptr},
      {"AC-3 sound", std::string("\x0B\x77\x12\x34", 4) + std::string(60, '\0'), PieceRole::kSegment, nullptr},
      {"empty body", "", PieceRole::kSegment, "an empty body"},
      {"page", kPage, PieceRole::kSegment, "it begins \"<!DOCTYPE html>"},
      {"page as init section", kPage, PieceRole::kInit, "not media"},
      {"JSON error", "{\"error\":\"expired token\"}", PieceRole::kSegment, "not media"},
      {"transport stream losing its sync", brokenTs, PieceRole::kSegment, "loses its sync at byte 564"},
      {"transport stream then a page", Ts(1) + kPage, PieceRole::kSegment, "loses its sync at byte 188"},
      {"fragment cut inside its mdat", fragment.substr(0, fragment.size() - 10), PieceRole::kSegment, "cut short"},
      {"fragment cut inside a box header", fragment + std::string("\0\0", 2), PieceRole::kSegment, "cut inside a box header"},
      {"box smaller than its header", Box("moof", "") + Be32(3) + "mdat", PieceRole::kSegment, "broken box"},
      {"box of unprintable type", Box("moof", "") + Box(std::string("\x01\x02\x03\x04", 4), "z"), PieceRole::kSegment,
       "broken box"},
      {"fragment as init section", fragment, PieceRole::kInit, "without its \"moov\" box"},
      {"ID3 and nothing after", Id3("PRIV"), PieceRole::kSegment, "not media"},
      {"ID3 then a page", Id3("PRIV") + kPage, PieceRole::kSegment, "not media"},
      {"ADTS as init section", Adts(), PieceRole::kInit, "not media"},
      {"control bytes shown escaped", std::string("\x1B[2J\x07 hello", 11), PieceRole::kSegment,
       "it begins \"\\x1B[2J\\x07 hello\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string why = WhyNotMedia(c.bytes, c.role);
    if (!c.refusal) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
    }
  }
}

TEST(PieceCheck, PagesAreKnownByTheirType) {
  const struct {
    const char* type;
    bool page;
  } cases[] = {{"text/html", true},
               {"text/html; charset=utf-8", true},
               {"TEXT/HTML", true},
               {"application/xhtml+xml", true},
               {" text/html ;charset=x", true},
               {"video/mp2t", false},
               {"video/mp4", false},
               {"application/octet-stream", false},
               {"text/plain", false},
               {"", false},
               {"text/htmlx", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(IsPageType(c.type), c.page);
  }
}

TEST(PieceCheck, ALargePieceIsCheckedThroughItsReader) {
  // Box headers are read where they are, not the whole piece: a 300 MB
  // "mdat" needs two reads of a header.
  const std::int64_t size = 16 + 300ll * 1024 * 1024;
  int reads = 0;
  const auto read = [&](std::int64_t offset, std::size_t n) -> std::string {
    ++reads;
    std::string header = Be32(8) + "moof" + Be32(static_cast<std::uint32_t>(size - 8)) + "mdat";
    if (offset >= static_cast<std::int64_t>(header.size())) return std::string(std::min<std::int64_t>(n, size - offset), 'x');
    return header.substr(static_cast<std::size_t>(offset), n);
  };
  EXPECT_EQ(WhyNotMedia(size, read, PieceRole::kSegment), "");
  EXPECT_LE(reads, 4);
  // Its last box claiming more than the piece holds is a cut piece.
  EXPECT_NE(WhyNotMedia(size - 1, read, PieceRole::kSegment).find("cut short"), std::string::npos);
}

}  // namespace
}  // namespace larkvale::stream
