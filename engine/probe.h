#pragma once
// Probing of media files: length, frame size and rate (the first picture is
// in firstframe.h).
// Everything here answers "nothing" (zeros, a null image) for a file that is
// missing, empty, truncated beyond use or not media; nothing throws.

#include <string>

namespace larkvale::engine {

struct MediaInfo {
  bool ok = false;        // FFmpeg could open it and found a picture or sound
  double duration = 0;    // seconds of decodable content
  int width = 0;          // displayed frame size in pixels (0 without picture)
  int height = 0;
  double frameRate = 0;   // frames per second (0 without picture)
  bool hasVideo = false;
  // A picture track, also one whose size the probe could not learn because
  // its pictures do not decode (hasVideo is false then).
  bool hasPictureStream = false;
  bool hasAudio = false;
  int sampleRate = 0;     // of the first sound stream
};

// Opens the file once and reads its header. For downloads cut short (FLV,
// MPEG, MP3 and files whose index points past the end) the duration is that
// of the part present, not the length the header announces.
MediaInfo ProbeFile(const std::string& path);

// The same, from the header alone where it tells all (an MP4 of H.264, HEVC
// or AAC: no frame is decoded), else as ProbeFile. For a join, which copies
// packets and needs no decoder's view of them.
MediaInfo ProbeFileHeader(const std::string& path);

}  // namespace larkvale::engine
