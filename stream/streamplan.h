#pragma once
// What a stream download fetches, once its playlist or manifest is read: one
// or two tracks (the picture, or picture and sound together, and a separate
// sound track when the stream has one), each an ordered list of pieces.
// Both readers (HLS and DASH) produce this; the fetcher and the remux only
// ever see it.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace larkvale::stream {

// A failure the user is told about as it stands: a refused or broken stream,
// a segment that could not be fetched, a key that does not fit.
class StreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An address with an optional byte range; `length` < 0 means the whole body.
struct Resource {
  std::string url;
  std::int64_t offset = 0;
  std::int64_t length = -1;
  bool operator==(const Resource&) const = default;
};

struct Piece {
  Resource where;
  double duration = 0;          // seconds, 0 when the manifest does not say
  bool discontinuity = false;   // timestamps may restart here
  int init = -1;                // index into Track::inits, -1 for none
  int key = -1;                 // index into Track::keys, -1 when clear
  std::array<unsigned char, 16> iv{};
  bool operator==(const Piece&) const = default;
};

struct Track {
  std::vector<Resource> inits;   // initialisation sections (fMP4)
  std::vector<std::string> keys; // AES-128 key addresses
  std::vector<Piece> pieces;
  // DASH SegmentBase: the pieces are listed by the "sidx" box in this range
  // of `index.url`, read by the fetcher before the pieces (see ParseSidx).
  Resource index;
  // The init section (index into `inits`) that the pieces the index lists
  // need in front of them: the Initialization range, or the bytes before the
  // index; -1 for none.
  int indexInit = -1;
  bool NeedsIndex() const { return !index.url.empty(); }
  bool operator==(const Track&) const = default;
};

struct StreamPlan {
  // tracks[0] holds the picture (and the sound when it is muxed in);
  // tracks[1], when present, is the sound alone.
  std::vector<Track> tracks;
  // A live HLS playlist: more segments come until the user stops.
  bool live = false;
  // HLS target duration, for refreshing a live playlist.
  double targetDuration = 0;
  std::int64_t firstSequence = 0;
  // What was chosen, for the status line ("1280x720, 2.5 Mbit/s").
  std::string chosen;
};

// Heights the user can limit the choice to; 0 means "Best".
inline constexpr int kBestHeight = 0;

}  // namespace larkvale::stream
