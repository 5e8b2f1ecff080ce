#pragma once
// Joins the fetched pieces of a stream into one MP4 with FFmpeg's
// libraries: packets are copied, never re-encoded. The picture comes from the
// first track (and the sound too when there is no second track), the sound
// from the second.
//
// Each track is a list of groups; a group is files read one after the other
// as one input (an init section and its segments, or transport stream
// segments). Groups start where a stream's timestamps may restart (a
// discontinuity, a new init section), and each continues the track's time
// where the previous group ended, so the file plays straight through.
//
// The files are read front to back only, each when it is needed, so the
// join can run while the pieces are still arriving: `whole` is asked before
// each file is opened and may wait until the piece is on disk.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace larkvale::stream {

struct RemuxTrack {
  std::vector<std::vector<std::string>> groups;
};

// Blocks until the piece at `path` is whole on disk; false when it never
// will be (the fetch failed or was stopped).
using PieceWait = std::function<bool(const std::string& path)>;

// Writes `outPath` (any name; the container is MP4). Returns false when
// `stop` was set meanwhile or `whole` gave up on a piece (the output is then
// incomplete). Raises StreamError when the pieces are not media or cannot be
// joined. Without `whole`, every piece must be on disk already.
bool RemuxToMp4(const std::vector<RemuxTrack>& tracks, const std::string& outPath,
                const std::atomic<bool>* stop = nullptr, const PieceWait& whole = nullptr);

}  // namespace larkvale::stream
