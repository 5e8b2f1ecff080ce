#include "engine/trackreader.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>

namespace larkvale::engine {

namespace {

constexpr double kEps = 1e-6;

// One stream of one file, decoded frame by frame from a start time.
class Decoder {
 public:
  bool Open(const std::string& path, AVMediaType type, double seekTo) {
    fc_ = OpenInput(path);
    if (!fc_) return false;
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(fc_.get(), type, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec) return false;
    AVStream* st = fc_->streams[stream_];
    if (type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) return false;
    for (unsigned i = 0; i < fc_->nb_streams; ++i)
      if (int(i) != stream_) fc_->streams[i]->discard = AVDISCARD_ALL;
    cc_.reset(avcodec_alloc_context3(codec));
    if (!cc_ || avcodec_parameters_to_context(cc_.get(), st->codecpar) < 0) return false;
    cc_->thread_count = 0;
    cc_->pkt_timebase = st->time_base;
    if (avcodec_open2(cc_.get(), codec, nullptr) < 0) return false;
    tb_ = av_q2d(st->time_base);
    origin_ = fc_->start_time == AV_NOPTS_VALUE ? 0 : fc_->start_time / double(AV_TIME_BASE);
    // Seeking lands on the key frame before the target; frames up to the
    // target are read and dropped by the caller. Near the start it is not
    // worth it (and some files without an index seek poorly).
    if (seekTo > 0.5) {
      int64_t ts = int64_t((seekTo + origin_) / tb_);
      avformat_seek_file(fc_.get(), stream_, INT64_MIN, ts, ts, 0);
    }
    pkt_ = MakePacket();
    frame_ = MakeFrame();
    return true;
  }

  // The next decoded frame (valid until the next call), nullptr at the end.
  AVFrame* Next() {
    for (;;) {
      int r = avcodec_receive_frame(cc_.get(), frame_.get());
      if (r == 0) ++decoded_;
      if (r == 0) {
        int64_t ts = frame_->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) {
          lastTime_ += lastDur_;
        } else {
          lastTime_ = ts * tb_ - origin_;
        }
        lastDur_ = Duration();
        return frame_.get();
      }
      if (r != AVERROR(EAGAIN) && r != AVERROR_EOF && !flushed_)
        ++failed_;  // a picture the decoder refused: on to the next packet
      else if (r != AVERROR(EAGAIN) || flushed_)
        return nullptr;
      if (av_read_frame(fc_.get(), pkt_.get()) < 0) {
        avcodec_send_packet(cc_.get(), nullptr);
        flushed_ = true;
        continue;
      }
      // Damaged packets are skipped: a cut-short download still converts.
      if (pkt_->stream_index == stream_) {
        ++packets_;
        if (avcodec_send_packet(cc_.get(), pkt_.get()) < 0) ++failed_;
      }
      av_packet_unref(pkt_.get());
    }
  }

  // Packets of the stream read, pictures (or sound frames) decoded from them,
  // and packets the decoder refused.
  int64_t Packets() const { return packets_; }
  int64_t Decoded() const { return decoded_; }
  int64_t Failed() const { return failed_; }

  // Seconds from the file's start of the frame last returned.
  double Time() const { return lastTime_; }
  AVCodecContext* codec() const { return cc_.get(); }
  AVRational streamSar() const { return fc_->streams[stream_]->sample_aspect_ratio; }

 private:
  double Duration() const {
    if (cc_->codec_type == AVMEDIA_TYPE_AUDIO)
      return frame_->sample_rate > 0 ? frame_->nb_samples / double(frame_->sample_rate) : 0;
    AVRational fr = fc_->streams[stream_]->avg_frame_rate;
    return fr.num > 0 ? 1.0 / av_q2d(fr) : 0.04;
  }

  InputPtr fc_;
  CodecPtr cc_;
  PacketPtr pkt_;
  FramePtr frame_;
  int stream_ = -1;
  double tb_ = 0;
  double origin_ = 0;
  bool flushed_ = false;
  double lastTime_ = 0;
  double lastDur_ = 0;
  int64_t packets_ = 0;
  int64_t decoded_ = 0;
  int64_t failed_ = 0;
};

// Clip index holding output position `pos` given each clip's first position.
size_t ClipAt(const std::vector<int64_t>& first, int64_t pos) {
  size_t i = 0;
  while (i + 1 < first.size() && pos >= first[i + 1]) ++i;
  return i;
}

// Where the picture goes inside the output frame, keeping its shape.
struct Placement {
  int x = 0, y = 0, w = 0, h = 0;
};

Placement Place(int srcW, int srcH, AVRational srcSar, const VideoFormat& out) {
  if (srcSar.num <= 0 || srcSar.den <= 0) srcSar = {1, 1};
  AVRational outSar = out.sar.num > 0 ? out.sar : AVRational{1, 1};
  double srcDar = srcW * av_q2d(srcSar) / srcH;
  double outDar = out.width * av_q2d(outSar) / out.height;
  Placement p{0, 0, out.width, out.height};
  if (std::abs(srcDar - outDar) > 0.01 * outDar) {
    if (srcDar > outDar)
      p.h = int(std::lround(out.height * outDar / srcDar / 2.0)) * 2;
    else
      p.w = int(std::lround(out.width * srcDar / outDar / 2.0)) * 2;
  }
  p.w = std::clamp(p.w, 2, out.width);
  p.h = std::clamp(p.h, 2, out.height);
  p.x = (out.width - p.w) / 4 * 2;
  p.y = (out.height - p.h) / 4 * 2;
  return p;
}

FramePtr AllocPicture(const VideoFormat& fmt) {
  FramePtr f = MakeFrame();
  f->width = fmt.width;
  f->height = fmt.height;
  f->format = fmt.pixfmt;
  f->sample_aspect_ratio = fmt.sar;
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  return f;
}

void FillBlack(AVFrame* f) {
  ptrdiff_t ls[4] = {f->linesize[0], f->linesize[1], f->linesize[2], f->linesize[3]};
  AVColorRange range = AVPixelFormat(f->format) == AV_PIX_FMT_YUVJ420P ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  av_image_fill_black(f->data, ls, AVPixelFormat(f->format), range, f->width, f->height);
}

}  // namespace

// ---------------------------------------------------------------- pictures

struct VideoTrackReader::Source {
  Decoder dec;
  AVFrame* pending = nullptr;  // decoded, not yet due
  FramePtr raw = MakeFrame();  // latest due frame
  bool haveRaw = false;
  bool fresh = false;          // raw not yet converted
  bool ended = false;
  SwsPtr sws;
  int swsW = 0, swsH = 0, swsFmt = -1;
};

VideoTrackReader::VideoTrackReader(std::vector<Clip> clips, VideoFormat fmt, double from)
    : clips_(std::move(clips)), fmt_(fmt) {
  const double fps = av_q2d(fmt_.fps);
  double offset = 0;
  for (const Clip& c : clips_) {
    clipFirst_.push_back(int64_t(std::ceil(offset * fps - kEps)));
    offset += c.length();
  }
  total_ = int64_t(std::ceil(offset * fps - kEps));
  next_ = std::clamp<int64_t>(int64_t(std::ceil(from * fps - kEps)), 0, total_);
  if (!clips_.empty()) clip_ = ClipAt(clipFirst_, next_);
}

VideoTrackReader::~VideoTrackReader() = default;

bool VideoTrackReader::OpenClip(size_t i) {
  src_.reset();
  shown_.reset();
  const Clip& c = clips_[i];
  if (!c.hasStream) return false;
  auto s = std::make_unique<Source>();
  double at = c.start + (next_ - clipFirst_[i]) / av_q2d(fmt_.fps);
  if (!s->dec.Open(c.path, AVMEDIA_TYPE_VIDEO, at)) return false;
  src_ = std::move(s);
  return true;
}

FramePtr VideoTrackReader::Black() {
  if (!black_) {
    black_ = AllocPicture(fmt_);
    if (!black_) return nullptr;
    FillBlack(black_.get());
  }
  return FramePtr(av_frame_clone(black_.get()));
}

FramePtr VideoTrackReader::Convert(const AVFrame* in) {
  AVRational sar = in->sample_aspect_ratio.num > 0 ? in->sample_aspect_ratio : src_->dec.streamSar();
  Placement p = Place(in->width, in->height, sar, fmt_);
  // Same size and format: pass the decoded picture on untouched.
  if (p.w == fmt_.width && p.h == fmt_.height && in->width == fmt_.width && in->height == fmt_.height &&
      in->format == fmt_.pixfmt) {
    FramePtr f(av_frame_clone(in));
    f->pict_type = AV_PICTURE_TYPE_NONE;
    f->sample_aspect_ratio = fmt_.sar;
    return f;
  }
  FramePtr out = AllocPicture(fmt_);
  if (!out) return nullptr;
  if (p.w != fmt_.width || p.h != fmt_.height) FillBlack(out.get());
  if (!src_->sws || src_->swsW != in->width || src_->swsH != in->height || src_->swsFmt != in->format) {
    // Without a change of size only the pixel format changes, and the cheap
    // filter gives the same picture.
    int flags = p.w == in->width && p.h == in->height ? SWS_POINT : SWS_BICUBIC;
    src_->sws.reset(sws_getContext(in->width, in->height, AVPixelFormat(in->format), p.w, p.h, fmt_.pixfmt,
                                   flags, nullptr, nullptr, nullptr));
    src_->swsW = in->width;
    src_->swsH = in->height;
    src_->swsFmt = in->format;
  }
  if (!src_->sws) return nullptr;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt_.pixfmt);
  int steps[4] = {};
  av_image_fill_max_pixsteps(steps, nullptr, desc);
  uint8_t* dst[4] = {};
  for (int k = 0; k < 4 && out->data[k]; ++k) {
    bool chroma = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) && (k == 1 || k == 2);
    int xs = chroma ? desc->log2_chroma_w : 0;
    int ys = chroma ? desc->log2_chroma_h : 0;
    dst[k] = out->data[k] + (p.y >> ys) * out->linesize[k] + (p.x >> xs) * steps[k];
  }
  sws_scale(src_->sws.get(), in->data, in->linesize, 0, in->height, dst, out->linesize);
  return out;
}

// A clip whose pictures mostly fail to decode would come out black (or
// frozen): a conversion must not pass that off as done. Half is the line;
// the decoder's own delay and the first packets before a key frame stay far
// below it. A stream of nothing but failures is found out early, so that a
// long file is not read to its end for nothing.
void VideoTrackReader::Judge(bool ended) {
  if (!src_ || !undecodable_.empty()) return;
  const Decoder& dec = src_->dec;
  constexpr int64_t kEnoughToTell = 100;
  const int64_t packets = dec.Packets();
  if (packets == 0) return;
  const std::string& path = clips_[clip_].path;
  if (dec.Decoded() == 0 && (ended || dec.Failed() >= kEnoughToTell)) {
    undecodable_ = path + ": none of its pictures could be decoded";
  } else if (ended && dec.Failed() * 2 > packets) {
    undecodable_ = path + ": " + std::to_string(dec.Failed()) + " of its " + std::to_string(packets) +
                   " pictures could not be decoded";
  }
}

FramePtr VideoTrackReader::Next() {
  if (next_ >= total_ || clips_.empty()) {
    Judge(true);
    return nullptr;
  }
  bool opened = false;
  while (clip_ + 1 < clips_.size() && next_ >= clipFirst_[clip_ + 1]) {
    Judge(true);
    ++clip_;
    src_.reset();
    shown_.reset();
  }
  if (!src_ && !shown_) {
    opened = OpenClip(clip_);
    // A picture stream the probe saw but no decoder takes is as black as
    // one whose every picture fails.
    if (!opened && clips_[clip_].hasStream && undecodable_.empty()) {
      undecodable_ = clips_[clip_].path + ": its pictures cannot be decoded";
      return nullptr;
    }
  }

  if (src_) {
    const Clip& c = clips_[clip_];
    const double frameDur = 1.0 / av_q2d(fmt_.fps);
    const double due = c.start + (next_ - clipFirst_[clip_]) * frameDur + frameDur / 2;
    while (!src_->ended) {
      if (!src_->pending) {
        src_->pending = src_->dec.Next();
        if (!src_->pending) {
          src_->ended = true;
          break;
        }
      }
      if (src_->haveRaw && src_->dec.Time() > due) break;
      av_frame_unref(src_->raw.get());
      av_frame_move_ref(src_->raw.get(), src_->pending);
      src_->pending = nullptr;
      src_->haveRaw = true;
      src_->fresh = true;
    }
    if (src_->fresh) {
      src_->fresh = false;
      if (FramePtr f = Convert(src_->raw.get())) shown_ = std::move(f);
    }
    Judge(false);
    if (!undecodable_.empty()) return nullptr;
  }
  FramePtr out = shown_ ? FramePtr(av_frame_clone(shown_.get())) : Black();
  if (!out) return nullptr;
  out->pts = next_++;
  return out;
}

// ---------------------------------------------------------------- sound

struct AudioTrackReader::Source {
  Decoder dec;
  SwrPtr swr;
  bool ended = false;
  bool first = true;
};

AudioTrackReader::AudioTrackReader(std::vector<Clip> clips, AudioFormat fmt, double from)
    : clips_(std::move(clips)), fmt_(fmt) {
  double offset = 0;
  for (const Clip& c : clips_) {
    clipFirst_.push_back(std::llround(offset * fmt_.sampleRate));
    offset += c.length();
  }
  total_ = std::llround(offset * fmt_.sampleRate);
  next_ = queued_ = std::clamp<int64_t>(std::llround(from * fmt_.sampleRate), 0, total_);
  if (!clips_.empty()) clip_ = ClipAt(clipFirst_, next_);
  fifo_.reset(av_audio_fifo_alloc(fmt_.sampleFmt, fmt_.channels, 4096));
}

AudioTrackReader::~AudioTrackReader() = default;

namespace {

// Pointers `n` samples into a buffer of the given layout.
void Advance(uint8_t** data, uint8_t** out, int n, AVSampleFormat fmt, int channels) {
  int bps = av_get_bytes_per_sample(fmt);
  if (av_sample_fmt_is_planar(fmt)) {
    for (int c = 0; c < channels; ++c) out[c] = data[c] + n * bps;
  } else {
    out[0] = data[0] + n * bps * channels;
  }
}

}  // namespace

void AudioTrackReader::Fill(int want) {
  auto clipEnd = [&](size_t i) { return i + 1 < clips_.size() ? clipFirst_[i + 1] : total_; };
  std::vector<uint8_t*> planes(std::max(fmt_.channels, 1));
  auto writeSilence = [&](int64_t n) {
    while (n > 0) {
      int chunk = int(std::min<int64_t>(n, 4096));
      uint8_t** buf = nullptr;
      av_samples_alloc_array_and_samples(&buf, nullptr, fmt_.channels, chunk, fmt_.sampleFmt, 0);
      av_samples_set_silence(buf, 0, chunk, fmt_.channels, fmt_.sampleFmt);
      av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(buf), chunk);
      av_freep(&buf[0]);
      av_freep(&buf);
      queued_ += chunk;
      n -= chunk;
    }
  };

  while (av_audio_fifo_size(fifo_.get()) < want) {
    while (clip_ < clips_.size() && queued_ >= clipEnd(clip_)) {
      ++clip_;
      src_.reset();
      tried_ = false;
    }
    if (clip_ >= clips_.size()) {
      writeSilence(want - av_audio_fifo_size(fifo_.get()));
      return;
    }
    const Clip& c = clips_[clip_];
    const int64_t end = clipEnd(clip_);
    if (!src_ && !tried_ && c.hasStream) {
      tried_ = true;
      auto s = std::make_unique<Source>();
      double at = c.start + (queued_ - clipFirst_[clip_]) / double(fmt_.sampleRate);
      if (s->dec.Open(c.path, AVMEDIA_TYPE_AUDIO, at)) src_ = std::move(s);
    }
    if (!src_ || src_->ended) {
      // No sound in this file, or it ended early: silence to the span's end.
      writeSilence(std::min<int64_t>(end - queued_, want - av_audio_fifo_size(fifo_.get())));
      continue;
    }
    AVFrame* f = src_->dec.Next();
    if (!f) {
      src_->ended = true;
      continue;
    }
    if (!src_->swr) {
      AVChannelLayout in = f->ch_layout;
      AVChannelLayout def{};
      if (in.order == AV_CHANNEL_ORDER_UNSPEC || in.nb_channels <= 0) {
        av_channel_layout_default(&def, std::max(1, src_->dec.codec()->ch_layout.nb_channels));
        in = def;
      }
      AVChannelLayout out{};
      av_channel_layout_default(&out, fmt_.channels);
      SwrContext* swr = nullptr;
      if (swr_alloc_set_opts2(&swr, &out, fmt_.sampleFmt, fmt_.sampleRate, &in, AVSampleFormat(f->format),
                              f->sample_rate, 0, nullptr) < 0 ||
          swr_init(swr) < 0) {
        swr_free(&swr);
        src_->ended = true;
        continue;
      }
      src_->swr.reset(swr);
    }
    // Where this frame belongs in the output, to drop what lies before the
    // span's start and to fill gaps in the source with silence.
    int64_t at = clipFirst_[clip_] + std::llround((src_->dec.Time() - c.start) * fmt_.sampleRate);
    int64_t drop = 0;
    if (src_->first) {
      src_->first = false;
      if (at < queued_) drop = queued_ - at;
      else if (at > queued_) writeSilence(std::min<int64_t>(at - queued_, end - queued_));
    } else if (at > queued_ + fmt_.sampleRate / 10) {
      writeSilence(std::min<int64_t>(at - queued_, end - queued_));
    }
    int cap = swr_get_out_samples(src_->swr.get(), f->nb_samples);
    uint8_t** buf = nullptr;
    if (av_samples_alloc_array_and_samples(&buf, nullptr, fmt_.channels, std::max(cap, 1), fmt_.sampleFmt, 0) < 0)
      return;
    int got = swr_convert(src_->swr.get(), buf, cap, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (got > drop) {
      int64_t n = std::min<int64_t>(got - drop, end - queued_);
      if (n > 0) {
        Advance(buf, planes.data(), int(drop), fmt_.sampleFmt, fmt_.channels);
        av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes.data()), int(n));
        queued_ += n;
      }
    }
    av_freep(&buf[0]);
    av_freep(&buf);
  }
}

FramePtr AudioTrackReader::Next(int samples) {
  if (next_ >= total_) return nullptr;
  int want = int(std::min<int64_t>(samples, total_ - next_));
  Fill(want);
  FramePtr f = MakeFrame();
  f->nb_samples = want;
  f->format = fmt_.sampleFmt;
  f->sample_rate = fmt_.sampleRate;
  av_channel_layout_default(&f->ch_layout, fmt_.channels);
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  int got = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->data), want);
  if (got < want) av_samples_set_silence(f->data, std::max(got, 0), want - std::max(got, 0), fmt_.channels, fmt_.sampleFmt);
  f->pts = next_;
  next_ += want;
  return f;
}

}  // namespace larkvale::engine
