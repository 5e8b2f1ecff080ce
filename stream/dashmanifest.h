#pragma once
// Reads DASH manifests (MPD, ISO/IEC 23009-1), static ones only: the best
// video and the best audio representation of each period under a height
// limit, with their segments from SegmentTemplate ($Number$ or
// SegmentTimeline/$Time$), SegmentList or SegmentBase (the "sidx" index,
// read by the fetcher through ParseSidx). BaseURL counts at every level.
// Pure functions: the caller fetches.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stream/streamplan.h"

namespace larkvale::stream {

// `base` is the manifest's own (final) address. Raises StreamError for text
// that is not an MPD, for dynamic (live) manifests, for protected content
// (ContentProtection) and for a manifest without any video or audio.
// tracks[0] is the video (or the only track), tracks[1] the audio when the
// manifest has both. Each period after the first starts with a
// discontinuity.
StreamPlan ParseDashManifest(std::string_view text, const std::string& base, int maxHeight);

// The pieces a "sidx" box lists. `box` holds the bytes of the index range,
// which starts at byte `boxOffset` of the file; each piece addresses `url`.
// Raises StreamError when no usable sidx is there.
std::vector<Piece> ParseSidx(std::string_view box, std::int64_t boxOffset, const std::string& url);

// "PT1H2M3.5S" in seconds; -1 for text that is no such duration.
double ParseIsoDuration(std::string_view text);

}  // namespace larkvale::stream
