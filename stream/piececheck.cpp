#include "stream/piececheck.h"

#include <algorithm>
#include <array>

#include "stream/textutil.h"

namespace larkvale::stream {
namespace {

// How far the sync bytes of a transport stream are checked: enough to tell
// a page or a cut-in foreign body from media without reading back a whole
// large piece.
constexpr std::int64_t kSyncChecked = 4ll << 20;
// Box headers walked at most; beyond that the piece is taken as it is.
constexpr int kMaxBoxes = 4096;
constexpr std::size_t kShown = 24;

unsigned Byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

std::uint64_t Be32(std::string_view s, std::size_t at) {
  return (std::uint64_t(Byte(s, at)) << 24) | (std::uint64_t(Byte(s, at + 1)) << 16) |
         (std::uint64_t(Byte(s, at + 2)) << 8) | std::uint64_t(Byte(s, at + 3));
}

// Boxes that may open a file or a segment at its top level.
bool OpensMp4(std::string_view type) {
  static constexpr std::array<std::string_view, 16> kTop = {"ftyp", "styp", "moov", "moof", "mdat", "sidx",
                                                            "ssix", "emsg", "prft", "free", "skip", "uuid",
                                                            "pdin", "meta", "mfra", "wide"};
  return std::find(kTop.begin(), kTop.end(), type) != kTop.end();
}

bool PrintableType(std::string_view type) {
  for (const char c : type)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

std::string NotMedia(std::string_view head) {
  return "something that is not media (it begins \"" + Printable(head, kShown) + "\")";
}

// The box headers from the start to the end of the piece. Empty when they
// tile it; else why not. `sawMoov` tells whether a "moov" box was among them.
std::string WalkBoxes(std::int64_t size, const PieceRead& read, bool& sawMoov) {
  std::int64_t at = 0;
  for (int boxes = 0; at < size && boxes < kMaxBoxes; ++boxes) {
    const std::string h = read(at, 16);
    if (h.size() < 8) return "an MP4 piece cut inside a box header";
    std::uint64_t length = Be32(h, 0);
    std::int64_t header = 8;
    const std::string_view type = std::string_view(h).substr(4, 4);
    if (!PrintableType(type)) return "an MP4 piece with a broken box at byte " + std::to_string(at);
    if (length == 1) {
      if (h.size() < 16) return "an MP4 piece cut inside a box header";
      length = (Be32(h, 8) << 32) | Be32(h, 12);
      header = 16;
    } else if (length == 0) {
      length = static_cast<std::uint64_t>(size - at);  // the box runs to the end
    }
    if (type == "moov") sawMoov = true;
    if (length < static_cast<std::uint64_t>(header)) return "an MP4 piece with a broken box at byte " + std::to_string(at);
    if (length > static_cast<std::uint64_t>(size - at))
      return "an MP4 piece cut short (its \"" + std::string(type) + "\" box at byte " + std::to_string(at) +
             " needs " + std::to_string(length) + " bytes, " + std::to_string(size - at) + " came)";
    at += static_cast<std::int64_t>(length);
  }
  return {};
}

// Where the audio after any ID3 tags starts; -1 when the tags are broken or
// run past the piece.
std::int64_t AfterId3(std::int64_t size, const PieceRead& read) {
  std::int64_t at = 0;
  for (int tags = 0; tags < 16; ++tags) {
    const std::string h = read(at, 10);
    if (h.size() < 10 || h.compare(0, 3, "ID3") != 0) return at;
    if (Byte(h, 3) < 2 || Byte(h, 3) > 4 || Byte(h, 4) == 0xFF) return -1;
    std::int64_t length = 0;
    for (int i = 6; i < 10; ++i) {
      if (Byte(h, static_cast<std::size_t>(i)) & 0x80) return -1;  // sizes are "syncsafe": 7 bits a byte
      length = (length << 7) | Byte(h, static_cast<std::size_t>(i));
    }
    at += 10 + length + ((Byte(h, 5) & 0x10) ? 10 : 0);
    if (at >= size) return -1;
  }
  return -1;
}

// An ADTS or MPEG audio frame (11 sync bits), or an AC-3 / E-AC-3 frame.
bool AudioSync(std::string_view h) {
  if (h.size() < 2) return false;
  return (Byte(h, 0) == 0xFF && (Byte(h, 1) & 0xE0) == 0xE0) || (Byte(h, 0) == 0x0B && Byte(h, 1) == 0x77);
}

bool MatroskaStart(std::string_view h) {
  if (h.size() < 4) return false;
  const std::uint64_t id = Be32(h, 0);
  return id == 0x1A45DFA3 /* EBML */ || id == 0x18538067 /* Segment */ || id == 0x1F43B675 /* Cluster */;
}

std::string TransportStream(std::int64_t size, const PieceRead& read) {
  const std::int64_t checked = std::min(size, kSyncChecked);
  constexpr std::size_t kChunk = 188 * 1024;
  for (std::int64_t at = 0; at < checked; at += static_cast<std::int64_t>(kChunk)) {
    const std::string chunk = read(at, kChunk);
    for (std::size_t i = 0; i < chunk.size() && at + static_cast<std::int64_t>(i) < checked; i += 188)
      if (Byte(chunk, i) != 0x47)
        return "a transport stream that loses its sync at byte " + std::to_string(at + static_cast<std::int64_t>(i));
    if (chunk.size() < kChunk) break;
  }
  return {};
}

}  // namespace

bool IsPageType(std::string_view type) {
  std::string t;
  for (const char c : type.substr(0, type.find(';'))) {
    if (c == ' ' || c == '\t') continue;
    t += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return t == "text/html" || t == "application/xhtml+xml";
}

std::string WhyNotMedia(std::int64_t size, const PieceRead& read, PieceRole role) {
  if (size <= 0) return "an empty body";
  const std::string head = read(0, kShown + 1);
  if (head.empty()) return "an empty body";
  if (Byte(head, 0) == 0x47) {
    return TransportStream(size, read);
  }
  if (MatroskaStart(head)) return {};
  if (head.size() >= 8 && OpensMp4(std::string_view(head).substr(4, 4))) {
    bool sawMoov = false;
    std::string why = WalkBoxes(size, read, sawMoov);
    if (why.empty() && role == PieceRole::kInit && !sawMoov)
      why = "an initialisation section without its \"moov\" box";
    return why;
  }
  if (role == PieceRole::kSegment) {
    const std::int64_t audio = AfterId3(size, read);
    if (audio >= 0) {
      const std::string h = read(audio, 2);
      if (AudioSync(h) || (!h.empty() && Byte(h, 0) == 0x47 && audio > 0)) return {};
    }
  }
  return NotMedia(head);
}

std::string WhyNotMedia(std::string_view bytes, PieceRole role) {
  return WhyNotMedia(static_cast<std::int64_t>(bytes.size()),
                     [bytes](std::int64_t offset, std::size_t n) {
                       if (offset < 0 || offset >= static_cast<std::int64_t>(bytes.size())) return std::string();
                       return std::string(bytes.substr(static_cast<std::size_t>(offset), n));
                     },
                     role);
}

}  // namespace larkvale::stream
