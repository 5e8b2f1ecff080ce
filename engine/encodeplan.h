#pragma once
// What each output type means in codecs, sizes and rates: the engine's
// settings in, one encoding plan out. Also the engine's lists (WMV profiles,
// AVI compressors) and the WMV profile file format.
//
// Profile files (*.prx) are plain text, one "key = value" per line, '#'
// starts a comment:
//
//   name = Zune
//   width = 320              even, 16 to 4096
//   height = 240
//   frame_rate = 29.97       1 to 60
//   video_bitrate = 768000   bit/s
//   audio_bitrate = 128000   bit/s
//   audio_sample_rate = 44100
//   audio_channels = 2       1 or 2

#include "engine/trackreader.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace larkvale::engine {

enum TOutputType {
  otVCD_NTSC = 0,
  otVCD_PAL = 1,
  otSVCD_NTSC = 2,
  otSVCD_PAL = 3,
  otDVD_NTSC = 4,
  otDVD_PAL = 5,
  otMPEG1 = 6,
  otMPEG2 = 7,
  otAVI = 8,
  otWMV = 9,
  otQT = 10,
  otRM = 11,
  otIPod = 12,
  otPSP = 13,
  otFLV = 14,
  ot3GP = 15,
  // Today's formats, numbered apart from the classic sixteen so that no
  // value a caller took for "unknown" gains a meaning.
  otMP4 = 64,   // H.264 and AAC at a chosen quality
  otWebM = 65,  // VP9 and Opus at a chosen quality
};

enum T3GPAudioCodec { acAAC = 0, acAMR = 1 };
enum T3GPVideoCodec { vcMPEG4 = 0, vcH263 = 1 };

// The engine's properties that shape an output file.
struct OutputSettings {
  int outputType = otAVI;
  int outputFileWidth = 320;
  int outputFileHeight = 240;
  int mpegAudioBitrate = 224000;
  int mpegAudioChannels = 2;
  int mpegAudioSampleRate = 44100;
  int mpegVideoBitrate = 4600000;
  int flvAudioBitrate = 128000;
  int flvAudioChannels = 2;
  int flvAudioSampleRate = 44100;
  int flvVideoBitrate = 512000;
  int video3gpAudioCodec = acAAC;
  int video3gpVideoCodec = vcMPEG4;
  int video3gpAudioSampleRate = 22050;
  int video3gpVideoBitrate = 4600000;
  int videoCompressor = 0;
  int audioCompressor = 0;
  bool useVideoCompressor = true;
  bool useAudioCompressor = true;
  float frameRate = 25;
  int wmvProfile = 0;
  std::string wmvCustomFileName;  // used instead of `wmvProfile` when set last
  bool wmvCustomChosen = false;
  // MP4 and WebM: the encoder's constant-quality level (CRF), the sound's
  // bit rate, and whether the picture keeps the first clip's size rather
  // than taking `outputFileWidth` x `outputFileHeight`.
  int videoQuality = 21;
  int audioBitrate = 160000;
  bool keepSourceSize = true;
};

struct WMVProfileData {
  std::string name;
  int width = 320;
  int height = 240;
  double frameRate = 25;
  int videoBitrate = 300000;
  int audioBitrate = 64000;
  int audioSampleRate = 44100;
  int audioChannels = 2;
  bool hidden = false;
};

// Reads a profile file; false (with a reason) when it is missing, unreadable
// or lacks a sane value for any key.
bool ReadProfileFile(const std::string& path, WMVProfileData* out, std::string* error);
const std::vector<WMVProfileData>& BuiltinWMVProfiles();

struct Compressor {
  std::string name;     // as listed to the user
  std::string encoder;  // FFmpeg encoder name
  AVPixelFormat pixfmt = AV_PIX_FMT_NONE;  // video only
  unsigned codecTag = 0;                   // AVI FourCC, 0 for the default
};
const std::vector<Compressor>& VideoCompressorList();
const std::vector<Compressor>& AudioCompressorList();

// Everything needed to write one file.
struct EncodePlan {
  std::string muxer;
  std::map<std::string, std::string> muxerOptions;

  bool hasVideo = false;
  std::string videoEncoder;
  VideoFormat video;
  int64_t videoBitrate = 0;  // 0: quality-based or the encoder's default
  int64_t maxRate = 0, minRate = 0, bufSize = 0;
  int gop = 0;
  int maxBFrames = -1;
  int qscale = 0;  // fixed quantiser when > 0
  unsigned videoTag = 0;
  std::map<std::string, std::string> videoOptions;

  bool hasAudio = true;
  std::string audioEncoder;  // "amrnb" means our own AMR-NB encoder
  AudioFormat audio;
  int64_t audioBitrate = 0;
};

// The plan for `SaveTimeline`; `sourceFps` is the frame rate of the first
// picture clip (0 when unknown), `sourceSampleRate` that of the first sound. Empty, with a reason, for settings that
// cannot be honoured (unknown type, bad profile file).
std::optional<EncodePlan> PlanOutput(const OutputSettings& s, double sourceFps, int sourceWidth, int sourceHeight,
                                     std::string* error, int sourceSampleRate = 0);
std::optional<EncodePlan> PlanWav(int channels, int sampleRate, int sampleSize, std::string* error);
std::optional<EncodePlan> PlanMp3(int sampleRate, int kbps, std::string* error);

}  // namespace larkvale::engine
