#pragma once
// Small owners for FFmpeg's C objects, so that every early return frees what
// was opened. Internal to the engine.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace larkvale::engine {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFreer {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct SwrFreer {
  void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FifoFreer {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

// An output file's context, with its file if it was opened.
struct OutputCloser {
  void operator()(AVFormatContext* oc) const {
    if (oc->pb) avio_closep(&oc->pb);
    avformat_free_context(oc);
  }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFreer>;

inline FramePtr MakeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr MakePacket() { return PacketPtr(av_packet_alloc()); }

inline std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// Opens a media file for reading; nullptr when it is missing, empty or not
// media. Logging is kept quiet: a broken download is an expected input.
InputPtr OpenInput(const std::string& path);

// The same with the container's header read and nothing more: streams whose
// codec set-up the header does not give stay incomplete. The full probe
// decodes the first frames of every stream, which for a high-rate recording
// costs more than copying seconds of it.
InputPtr OpenInputHeader(const std::string& path);

}  // namespace larkvale::engine
