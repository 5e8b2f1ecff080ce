#pragma once
// Readers that turn a track of the timeline into an even stream of output
// frames: pictures at one size, pixel format and rate (dropping or repeating
// source frames, letterboxing into frames of another shape), and sound at one
// rate, layout and sample format. Both fill what a file cannot give (no such
// stream, a download cut short) with black or silence, so that every span
// lasts exactly as long as the timeline says. Used by saving and preview.

#include "engine/ffmpegutil.h"
#include "engine/timeline.h"

#include <memory>
#include <string>
#include <vector>

namespace larkvale::engine {

struct VideoFormat {
  int width = 320;
  int height = 240;
  AVPixelFormat pixfmt = AV_PIX_FMT_YUV420P;
  AVRational fps{25, 1};
  AVRational sar{1, 1};  // pixel shape of the output; sets its display aspect
};

class VideoTrackReader {
 public:
  // Starts `from` seconds into the track.
  VideoTrackReader(std::vector<Clip> clips, VideoFormat fmt, double from = 0);
  ~VideoTrackReader();
  VideoTrackReader(const VideoTrackReader&) = delete;
  VideoTrackReader& operator=(const VideoTrackReader&) = delete;

  // The next frame, pts counted in 1/fps from the start of the track;
  // nullptr when the track has ended.
  FramePtr Next();
  // Why the track is not what its files hold, once `Next` has ended it: a
  // clip of which no picture, or not even half of them, could be decoded
  // ("<file>: <reason>"). Empty when all is well.
  const std::string& Undecodable() const { return undecodable_; }

 private:
  struct Source;
  void Judge(bool ended);
  bool OpenClip(size_t i);
  FramePtr Convert(const AVFrame* src);
  FramePtr Black();

  std::vector<Clip> clips_;
  VideoFormat fmt_;
  std::vector<int64_t> clipFirst_;  // first output frame index of each clip
  int64_t total_ = 0;
  int64_t next_ = 0;
  size_t clip_ = 0;
  std::unique_ptr<Source> src_;
  FramePtr shown_;   // converted frame currently repeated
  FramePtr black_;
  std::string undecodable_;
};

struct AudioFormat {
  int sampleRate = 44100;
  int channels = 2;
  AVSampleFormat sampleFmt = AV_SAMPLE_FMT_S16;
};

class AudioTrackReader {
 public:
  AudioTrackReader(std::vector<Clip> clips, AudioFormat fmt, double from = 0);
  ~AudioTrackReader();
  AudioTrackReader(const AudioTrackReader&) = delete;
  AudioTrackReader& operator=(const AudioTrackReader&) = delete;

  // A frame of up to `samples` samples per channel, pts counted in samples
  // from the start of the track; nullptr when the track has ended.
  FramePtr Next(int samples);
  const AudioFormat& format() const { return fmt_; }

 private:
  struct Source;
  void Fill(int want);

  std::vector<Clip> clips_;
  AudioFormat fmt_;
  std::vector<int64_t> clipFirst_;
  int64_t total_ = 0;
  int64_t next_ = 0;       // samples handed out
  int64_t queued_ = 0;     // samples handed out or waiting in the fifo
  size_t clip_ = 0;
  bool tried_ = false;     // the current clip's file was opened (or failed to)
  std::unique_ptr<Source> src_;
  FifoPtr fifo_;
};

}  // namespace larkvale::engine
