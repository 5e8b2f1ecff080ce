#pragma once
// Reads HLS playlists (RFC 8216): a master playlist lists variants of one
// video at several bitrates and sizes, plus alternative renditions such as a
// separate sound track; a media playlist lists the segments of one of them.
// Pure functions over text: the caller fetches the playlists.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stream/streamplan.h"

namespace larkvale::stream {

struct HlsVariant {
  std::string url;
  std::int64_t bandwidth = 0;
  int width = 0, height = 0;  // 0 when RESOLUTION is not given
  std::string audioGroup;
  std::string codecs;
};

struct HlsRendition {
  std::string groupId, name, language, url;  // url empty: muxed into the variant
  bool isDefault = false;
};

struct HlsMaster {
  std::vector<HlsVariant> variants;
  std::vector<HlsRendition> audio;
};

struct HlsMedia {
  Track track;
  double targetDuration = 0;
  std::int64_t mediaSequence = 0;
  bool ended = false;  // EXT-X-ENDLIST: nothing more will be added
};

// Whether the text is a master playlist (it names variants). Raises
// StreamError when it is no playlist at all.
bool IsHlsMaster(std::string_view text);

// `base` is the playlist's own (final) address; relative URIs resolve
// against it. Raise StreamError for text that is not a playlist, for a
// master without variants, and for what cannot be saved as it is:
// SAMPLE-AES and keys of a KEYFORMAT other than "identity" (DRM).
HlsMaster ParseHlsMaster(std::string_view text, const std::string& base);
HlsMedia ParseHlsMedia(std::string_view text, const std::string& base);

// The variant to fetch: the highest BANDWIDTH among those at most
// `maxHeight` lines high (kBestHeight: any). When every variant is taller,
// the smallest one. Variants without RESOLUTION count as fitting.
std::size_t ChooseHlsVariant(const HlsMaster& master, int maxHeight);

// The sound rendition of `variant`'s audio group that has its own playlist:
// the DEFAULT=YES one, else the first. -1 when the sound is in the variant.
int ChooseHlsAudio(const HlsMaster& master, const HlsVariant& variant);

}  // namespace larkvale::stream
