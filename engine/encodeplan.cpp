#include "engine/encodeplan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace larkvale::engine {

namespace {

int EvenSize(int v, int fallback) {
  if (v <= 0) v = fallback;
  v = std::clamp(v, 16, 4096);
  return v & ~1;
}

int Nearest(int v, std::initializer_list<int> allowed) {
  int best = *allowed.begin();
  for (int a : allowed)
    if (std::abs(a - v) < std::abs(best - v)) best = a;
  return best;
}

// MPEG-1 and MPEG-2 video know only a few frame rates.
AVRational MpegFps(double src) {
  static const AVRational rates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                     {50, 1},       {60000, 1001}, {60, 1}};
  if (src <= 0) return {25, 1};
  AVRational best = rates[0];
  for (AVRational r : rates)
    if (std::abs(av_q2d(r) - src) < std::abs(av_q2d(best) - src)) best = r;
  return best;
}

// The source's rate, capped for players that cannot go faster.
AVRational PlainFps(double src, double cap) {
  if (src <= 0 || src > 240) return {25, 1};
  if (src > cap) src = cap;
  if (std::abs(src - 30000.0 / 1001) < 0.02) return {30000, 1001};
  if (std::abs(src - 24000.0 / 1001) < 0.02) return {24000, 1001};
  return av_d2q(src, 65535);
}

// A rough bit rate for codecs the user sets no rate for.
int64_t AutoBitrate(const VideoFormat& v, double bitsPerPixel) {
  return std::max<int64_t>(200000, int64_t(v.width * v.height * av_q2d(v.fps) * bitsPerPixel));
}

// Pixel shape that shows a `w` x `h` frame at the display aspect `dar`.
AVRational SarFor(int w, int h, AVRational dar) {
  AVRational sar;
  av_reduce(&sar.num, &sar.den, int64_t(dar.num) * h, int64_t(dar.den) * w, 1 << 16);
  return sar;
}

void Mp2Audio(EncodePlan& p, int rate, int channels, int bitrate) {
  p.audioEncoder = "mp2";
  p.audio.sampleRate = Nearest(rate, {16000, 22050, 24000, 32000, 44100, 48000});
  p.audio.channels = std::clamp(channels, 1, 2);
  int kbps = bitrate / 1000;
  kbps = p.audio.sampleRate >= 32000
             ? Nearest(kbps, {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384})
             : Nearest(kbps, {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160});
  p.audioBitrate = kbps * 1000;
}

// Disc formats: fixed sizes, rates and bit rates that players and authoring
// tools insist on.
EncodePlan DiscPlan(int type, int srcW, int srcH) {
  const bool pal = type % 2 == 1;
  EncodePlan p;
  p.hasVideo = true;
  p.video.fps = pal ? AVRational{25, 1} : AVRational{30000, 1001};
  p.gop = pal ? 15 : 18;
  p.maxBFrames = 2;
  Mp2Audio(p, 44100, 2, 224000);
  AVRational dar{4, 3};
  switch (type) {
    case otVCD_NTSC:
    case otVCD_PAL:
      p.muxer = "vcd";
      p.muxerOptions = {{"packetsize", "2324"}, {"muxrate", "1411200"}};
      p.videoEncoder = "mpeg1video";
      p.video.width = 352;
      p.video.height = pal ? 288 : 240;
      p.videoBitrate = p.maxRate = p.minRate = 1150000;
      p.bufSize = 40 * 1024 * 8;
      break;
    case otSVCD_NTSC:
    case otSVCD_PAL:
      p.muxer = "svcd";
      p.muxerOptions = {{"packetsize", "2324"}};
      p.videoEncoder = "mpeg2video";
      p.video.width = 480;
      p.video.height = pal ? 576 : 480;
      p.videoBitrate = 2040000;
      p.maxRate = 2516000;
      p.bufSize = 224 * 1024 * 8;
      p.videoOptions = {{"scan_offset", "1"}};
      break;
    default:  // DVD
      p.muxer = "dvd";
      p.muxerOptions = {{"packetsize", "2048"}, {"muxrate", "10080000"}};
      p.videoEncoder = "mpeg2video";
      p.video.width = 720;
      p.video.height = pal ? 576 : 480;
      p.videoBitrate = 6000000;
      p.maxRate = 9000000;
      p.bufSize = 224 * 1024 * 8;
      p.audioEncoder = "ac3";
      p.audio.sampleRate = 48000;
      p.audio.channels = 2;
      p.audioBitrate = 448000;
      // Wide sources go on a wide disc rather than being letterboxed.
      if (srcW > 0 && srcH > 0 && double(srcW) / srcH >= 1.5) dar = {16, 9};
      break;
  }
  p.video.sar = SarFor(p.video.width, p.video.height, dar);
  return p;
}

bool ParsePositive(const std::string& text, double lo, double hi, double* out) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  while (end && *end == ' ') ++end;
  if (text.empty() || !end || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

}  // namespace

bool ReadProfileFile(const std::string& path, WMVProfileData* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = "profile file not found: " + path;
    return false;
  }
  std::map<std::string, std::string> kv;
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
      if (error) *error = "profile line " + std::to_string(lineNo) + " is not \"key = value\"";
      return false;
    }
    kv[Trim(t.substr(0, eq))] = Trim(t.substr(eq + 1));
  }
  struct Field {
    const char* key;
    double lo, hi;
    double value = 0;
  };
  Field f[] = {{"width", 16, 4096},           {"height", 16, 4096},         {"frame_rate", 1, 60},
               {"video_bitrate", 8000, 5e7},  {"audio_bitrate", 8000, 640000},
               {"audio_sample_rate", 8000, 48000}, {"audio_channels", 1, 2}};
  for (Field& x : f) {
    auto it = kv.find(x.key);
    if (it == kv.end() || !ParsePositive(it->second, x.lo, x.hi, &x.value)) {
      if (error) *error = std::string("profile value missing or out of range: ") + x.key;
      return false;
    }
  }
  WMVProfileData d;
  d.name = kv.count("name") ? kv["name"] : path;
  d.width = int(f[0].value) & ~1;
  d.height = int(f[1].value) & ~1;
  d.frameRate = f[2].value;
  d.videoBitrate = int(f[3].value);
  d.audioBitrate = int(f[4].value);
  d.audioSampleRate = int(f[5].value);
  d.audioChannels = int(f[6].value);
  *out = d;
  return true;
}

const std::vector<WMVProfileData>& BuiltinWMVProfiles() {
  // name, size, rate, video and audio bit rates, sample rate, channels, hidden
  static const std::vector<WMVProfileData> list = {
      {"Video for dial-up modems (56 kbps)", 176, 144, 15, 32000, 24000, 22050, 1, false},
      {"Video for ISDN (128 kbps)", 240, 180, 15, 96000, 32000, 22050, 2, false},
      {"Video for broadband (256 kbps)", 320, 240, 25, 192000, 64000, 44100, 2, false},
      {"Video for broadband (512 kbps)", 320, 240, 25, 448000, 64000, 44100, 2, false},
      {"Video for LAN (768 kbps)", 480, 360, 25, 640000, 128000, 44100, 2, false},
      {"Video for LAN (1.5 Mbps)", 640, 480, 25, 1400000, 128000, 44100, 2, false},
      {"Video for Pocket PC (225 kbps)", 320, 240, 15, 160000, 64000, 44100, 2, false},
      // Kept for old projects that name it; not offered any more.
      {"Video for color pocket devices (150 kbps)", 208, 160, 15, 110000, 32000, 22050, 1, true},
      {"High definition 720p (5 Mbps)", 1280, 720, 30, 5000000, 192000, 48000, 2, false},
  };
  return list;
}

const std::vector<Compressor>& VideoCompressorList() {
  static const std::vector<Compressor> list = {
      {"MJPEG Compressor", "mjpeg", AV_PIX_FMT_YUVJ420P, 0},
      {"MPEG-4 Video (Xvid compatible)", "mpeg4", AV_PIX_FMT_YUV420P, MKTAG('X', 'V', 'I', 'D')},
      {"Microsoft MPEG-4 Video Codec V2", "msmpeg4v2", AV_PIX_FMT_YUV420P, 0},
      {"Microsoft MPEG-4 Video Codec V3", "msmpeg4", AV_PIX_FMT_YUV420P, 0},
  };
  return list;
}

const std::vector<Compressor>& AudioCompressorList() {
  static const std::vector<Compressor> list = {
      {"PCM", "pcm_s16le"},
      {"MPEG Layer-3", "libmp3lame"},
      {"MPEG Layer-2", "mp2"},
      {"AC-3", "ac3"},
  };
  return list;
}

namespace {

// A plan refused, with the reason for the caller.
std::optional<EncodePlan> Refuse(std::string* error, const std::string& why) {
  if (error) *error = why;
  return std::nullopt;
}

// Plain MPEG-1 or MPEG-2 program stream at the user's bit rates.
EncodePlan MpegPlan(EncodePlan p, const OutputSettings& s, double srcFps) {
  p.muxer = s.outputType == otMPEG1 ? "mpeg" : "vob";
  p.videoEncoder = s.outputType == otMPEG1 ? "mpeg1video" : "mpeg2video";
  p.video.fps = MpegFps(srcFps);
  p.videoBitrate = std::clamp(s.mpegVideoBitrate, 100000, 80000000);
  p.gop = 15;
  p.maxBFrames = 2;
  Mp2Audio(p, s.mpegAudioSampleRate, s.mpegAudioChannels, s.mpegAudioBitrate);
  return p;
}

// AVI's picture: the chosen compressor from the list, or raw frames.
bool ChooseAviVideo(EncodePlan& p, const OutputSettings& s, std::string* error) {
  if (!s.useVideoCompressor) {
    p.videoEncoder = "rawvideo";
    p.video.pixfmt = AV_PIX_FMT_BGR24;
    return true;
  }
  const auto& list = VideoCompressorList();
  if (s.videoCompressor < 0 || s.videoCompressor >= int(list.size())) {
    Refuse(error, "no video compressor with index " + std::to_string(s.videoCompressor));
    return false;
  }
  const Compressor& c = list[s.videoCompressor];
  p.videoEncoder = c.encoder;
  p.video.pixfmt = c.pixfmt;
  p.videoTag = c.codecTag;
  if (c.encoder == "mjpeg")
    p.qscale = 3;
  else
    p.videoBitrate = AutoBitrate(p.video, 0.25);
  return true;
}

// AVI's sound: the chosen compressor from the list, or plain PCM.
bool ChooseAviAudio(EncodePlan& p, const OutputSettings& s, std::string* error) {
  if (!s.useAudioCompressor) {
    p.audioEncoder = "pcm_s16le";
    return true;
  }
  const auto& list = AudioCompressorList();
  if (s.audioCompressor < 0 || s.audioCompressor >= int(list.size())) {
    Refuse(error, "no audio compressor with index " + std::to_string(s.audioCompressor));
    return false;
  }
  p.audioEncoder = list[s.audioCompressor].encoder;
  p.audioBitrate = p.audioEncoder == "pcm_s16le" ? 0 : 192000;
  return true;
}

std::optional<EncodePlan> AviPlan(EncodePlan p, const OutputSettings& s, std::string* error) {
  p.muxer = "avi";
  double fr = s.frameRate > 0 && s.frameRate <= 120 ? s.frameRate : 25;
  p.video.fps = std::abs(fr - 29.97) < 0.01 ? AVRational{30000, 1001} : av_d2q(fr, 65535);
  if (!ChooseAviVideo(p, s, error) || !ChooseAviAudio(p, s, error)) return std::nullopt;
  return p;
}

// WMV takes everything from a profile: the user's own file when that was
// chosen last, otherwise one of the built-in list.
std::optional<EncodePlan> WmvPlan(EncodePlan p, const OutputSettings& s, std::string* error) {
  WMVProfileData prof;
  if (s.wmvCustomChosen) {
    if (!ReadProfileFile(s.wmvCustomFileName, &prof, error)) return std::nullopt;
  } else {
    const auto& list = BuiltinWMVProfiles();
    if (s.wmvProfile < 0 || s.wmvProfile >= int(list.size()))
      return Refuse(error, "no WMV profile with index " + std::to_string(s.wmvProfile));
    prof = list[s.wmvProfile];
  }
  p.muxer = "asf";
  p.videoEncoder = "wmv2";
  p.video.width = EvenSize(prof.width, 320);
  p.video.height = EvenSize(prof.height, 240);
  p.video.fps = PlainFps(prof.frameRate, 60);
  p.videoBitrate = prof.videoBitrate;
  p.gop = int(std::lround(av_q2d(p.video.fps) * 5));
  p.audioEncoder = "wmav2";
  p.audio.sampleRate = prof.audioSampleRate;
  p.audio.channels = prof.audioChannels;
  p.audioBitrate = prof.audioBitrate;
  return p;
}

EncodePlan QuickTimePlan(EncodePlan p, double srcFps) {
  p.muxer = "mov";
  p.videoEncoder = "mpeg4";
  p.video.fps = PlainFps(srcFps, 60);
  p.videoBitrate = AutoBitrate(p.video, 0.2);
  p.gop = 250;
  p.audioEncoder = "aac";
  p.audioBitrate = 128000;
  return p;
}

// RealVideo 2 and AC-3: what FFmpeg can write into RealMedia.
EncodePlan RealMediaPlan(EncodePlan p, double srcFps) {
  p.muxer = "rm";
  p.videoEncoder = "rv20";
  p.video.width = std::max(16, p.video.width / 16 * 16);
  p.video.height = std::max(16, p.video.height / 16 * 16);
  p.video.fps = PlainFps(srcFps, 30);
  p.videoBitrate = AutoBitrate(p.video, 0.2);
  p.gop = 250;
  p.audioEncoder = "ac3";
  p.audioBitrate = 128000;
  return p;
}

// The iPod plays H.264 Baseline up to 640 x 480 at 30 frames a second.
EncodePlan IPodPlan(EncodePlan p, double srcFps) {
  const int w = p.video.width, h = p.video.height;
  double scale = std::min({1.0, 640.0 / w, 480.0 / h});
  p.video.width = EvenSize(int(w * scale), 320);
  p.video.height = EvenSize(int(h * scale), 240);
  p.muxer = "ipod";
  p.videoEncoder = "libx264";
  p.video.fps = PlainFps(srcFps, 30);
  p.videoBitrate = 768000;
  p.maxRate = 1500000;
  p.bufSize = 2000000;
  p.videoOptions = {{"profile", "baseline"}, {"level", "3.0"}, {"preset", "fast"}};
  p.audioEncoder = "aac";
  p.audioBitrate = 128000;
  return p;
}

// The PSP wants its own screen size, H.264 Main and 48 kHz AAC.
EncodePlan PspPlan(EncodePlan p, double srcFps) {
  p.muxer = "psp";
  p.videoEncoder = "libx264";
  p.video.width = 480;
  p.video.height = 272;
  p.video.fps = srcFps > 0 && srcFps <= 25.5 ? AVRational{25, 1} : AVRational{30000, 1001};
  p.videoBitrate = 768000;
  p.maxRate = 1500000;
  p.bufSize = 2000000;
  p.videoOptions = {{"profile", "main"}, {"level", "3.0"}, {"preset", "fast"}};
  p.audioEncoder = "aac";
  p.audio.sampleRate = 48000;
  p.audioBitrate = 128000;
  return p;
}

EncodePlan FlvPlan(EncodePlan p, const OutputSettings& s, double srcFps) {
  p.muxer = "flv";
  p.videoEncoder = "flv";
  p.video.fps = PlainFps(srcFps, 60);
  p.videoBitrate = std::clamp(s.flvVideoBitrate, 10000, 50000000);
  p.gop = 250;
  p.audioEncoder = "libmp3lame";
  // FLV stores MP3 only at these rates.
  p.audio.sampleRate = Nearest(s.flvAudioSampleRate, {11025, 22050, 44100});
  p.audio.channels = std::clamp(s.flvAudioChannels, 1, 2);
  p.audioBitrate = std::clamp(s.flvAudioBitrate, 8000, 320000);
  return p;
}

// H.263 knows five picture sizes; take the largest that fits.
void H263Size(EncodePlan& p) {
  static const int sizes[][2] = {{1408, 1152}, {704, 576}, {352, 288}, {176, 144}, {128, 96}};
  const int w = p.video.width, h = p.video.height;
  p.video.width = 128;
  p.video.height = 96;
  for (auto& sz : sizes)
    if (sz[0] <= w && sz[1] <= h) {
      p.video.width = sz[0];
      p.video.height = sz[1];
      break;
    }
}

EncodePlan ThreeGpPlan(EncodePlan p, const OutputSettings& s, double srcFps) {
  p.muxer = "3gp";
  if (s.video3gpVideoCodec == vcH263) {
    p.videoEncoder = "h263";
    H263Size(p);
  } else {
    p.videoEncoder = "mpeg4";
  }
  p.video.fps = PlainFps(srcFps, 30);
  p.videoBitrate = std::clamp(s.video3gpVideoBitrate, 10000, 50000000);
  p.gop = 250;
  if (s.video3gpAudioCodec == acAMR) {
    p.audioEncoder = "amrnb";
    p.audio.sampleRate = 8000;
    p.audio.channels = 1;
    p.audioBitrate = 12200;
  } else {
    p.audioEncoder = "aac";
    p.audio.sampleRate =
        Nearest(s.video3gpAudioSampleRate, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000});
    p.audioBitrate = p.audio.sampleRate <= 24000 ? 64000 : 128000;
  }
  return p;
}

// H.264 and AAC in MP4.
bool ChooseMp4Codecs(EncodePlan& p, const OutputSettings& s, int srcRate, std::string* error) {
  if (s.videoQuality < 0 || s.videoQuality > 51) {
    Refuse(error, "H.264 quality must be 0 to 51");
    return false;
  }
  p.muxer = "mp4";
  // The index first, so that a browser plays the file while it loads.
  p.muxerOptions = {{"movflags", "+faststart"}};
  p.videoEncoder = "libx264";
  p.videoOptions = {{"crf", std::to_string(s.videoQuality)}, {"preset", "medium"}};
  p.audioEncoder = "aac";
  p.audio.sampleRate = srcRate > 0 ? Nearest(srcRate, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100,
                                                       48000, 88200, 96000})
                                   : 48000;
  return true;
}

// VP9 and Opus in WebM.
bool ChooseWebMCodecs(EncodePlan& p, const OutputSettings& s, std::string* error) {
  if (s.videoQuality < 0 || s.videoQuality > 63) {
    Refuse(error, "VP9 quality must be 0 to 63");
    return false;
  }
  p.muxer = "webm";
  p.videoEncoder = "libvpx-vp9";
  // Constant quality (a zero bit rate lets CRF alone decide); rows and
  // tile columns coded in parallel; speed 4 of "good", a desktop's
  // usual trade of time against size.
  p.videoOptions = {{"crf", std::to_string(s.videoQuality)}, {"b", "0"},         {"row-mt", "1"},
                    {"tile-columns", "1"},                    {"deadline", "good"}, {"cpu-used", "4"}};
  p.audioEncoder = "libopus";
  p.audio.sampleRate = 48000;  // Opus codes at 48 kHz only
  return true;
}

// MP4 and WebM: constant quality, the source's size and rate where asked.
std::optional<EncodePlan> ModernPlan(EncodePlan p, const OutputSettings& s, double srcFps, int srcW, int srcH,
                                     int srcRate, std::string* error) {
  if (s.keepSourceSize && srcW > 0 && srcH > 0) {
    p.video.width = EvenSize(srcW, 320);
    p.video.height = EvenSize(srcH, 240);
  }
  p.video.fps = PlainFps(srcFps, 120);
  p.audio.channels = 2;
  const bool chosen =
      s.outputType == otMP4 ? ChooseMp4Codecs(p, s, srcRate, error) : ChooseWebMCodecs(p, s, error);
  if (!chosen) return std::nullopt;
  p.audioBitrate = std::clamp(s.audioBitrate, 6000, 512000);
  return p;
}

}  // namespace

std::optional<EncodePlan> PlanOutput(const OutputSettings& s, double srcFps, int srcW, int srcH,
                                     std::string* error, int srcRate) {
  // Every type but the discs starts from the user's size (or the source's).
  EncodePlan p;
  p.hasVideo = true;
  p.video.width = EvenSize(s.outputFileWidth, srcW > 0 ? srcW : 320);
  p.video.height = EvenSize(s.outputFileHeight, srcH > 0 ? srcH : 240);
  switch (s.outputType) {
    case otVCD_NTSC:
    case otVCD_PAL:
    case otSVCD_NTSC:
    case otSVCD_PAL:
    case otDVD_NTSC:
    case otDVD_PAL:
      return DiscPlan(s.outputType, srcW, srcH);
    case otMPEG1:
    case otMPEG2:
      return MpegPlan(p, s, srcFps);
    case otAVI:
      return AviPlan(p, s, error);
    case otWMV:
      return WmvPlan(p, s, error);
    case otQT:
      return QuickTimePlan(p, srcFps);
    case otRM:
      return RealMediaPlan(p, srcFps);
    case otIPod:
      return IPodPlan(p, srcFps);
    case otPSP:
      return PspPlan(p, srcFps);
    case otFLV:
      return FlvPlan(p, s, srcFps);
    case ot3GP:
      return ThreeGpPlan(p, s, srcFps);
    case otMP4:
    case otWebM:
      return ModernPlan(p, s, srcFps, srcW, srcH, srcRate, error);
    default:
      return Refuse(error, "unknown output type " + std::to_string(s.outputType));
  }
}

std::optional<EncodePlan> PlanWav(int channels, int sampleRate, int sampleSize, std::string* error) {
  if (channels < 1 || channels > 8 || sampleRate < 1000 || sampleRate > 192000 || (sampleSize != 1 && sampleSize != 2)) {
    if (error) *error = "unsupported wave format";
    return std::nullopt;
  }
  EncodePlan p;
  p.muxer = "wav";
  p.audioEncoder = sampleSize == 1 ? "pcm_u8" : "pcm_s16le";
  p.audio.channels = channels;
  p.audio.sampleRate = sampleRate;
  return p;
}

std::optional<EncodePlan> PlanMp3(int sampleRate, int kbps, std::string* error) {
  if (sampleRate <= 0 || kbps <= 0 || kbps > 320) {
    if (error) *error = "unsupported MP3 format";
    return std::nullopt;
  }
  EncodePlan p;
  p.muxer = "mp3";
  p.audioEncoder = "libmp3lame";
  p.audio.sampleRate = Nearest(sampleRate, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000});
  p.audio.channels = 2;
  p.audioBitrate = int64_t(kbps) * 1000;
  return p;
}

}  // namespace larkvale::engine
