#include "engine/save_job.h"

#include "engine/ffmpeg_util.h"

extern "C" {
#include <opencore-amrnb/interf_enc.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace larkvale::engine {

namespace {

// Frames or packets handed from a producing thread to the writer.
template <class Ptr>
class HandOver {
 public:
  explicit HandOver(size_t cap) : cap_(cap) {}
  // False when the queue was closed by the reader.
  bool Push(Ptr f) {
    std::unique_lock lock(m_);
    notFull_.wait(lock, [&] { return q_.size() < cap_ || closed_; });
    if (closed_) return false;
    q_.push_back(std::move(f));
    notEmpty_.notify_one();
    return true;
  }
  // nullptr marks the end of the track.
  Ptr Pop() {
    std::unique_lock lock(m_);
    notEmpty_.wait(lock, [&] { return !q_.empty(); });
    Ptr f = std::move(q_.front());
    q_.pop_front();
    notFull_.notify_one();
    return f;
  }
  void Close() {
    std::lock_guard lock(m_);
    closed_ = true;
    notFull_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable notFull_, notEmpty_;
  std::deque<Ptr> q_;
  size_t cap_;
  bool closed_ = false;
};

struct AmrState {
  void* enc = nullptr;
  ~AmrState() {
    if (enc) Encoder_Interface_exit(enc);
  }
};

}  // namespace

SaveJob::SaveJob(Timeline timeline, EncodePlan plan, std::string target)
    : FileJob(std::move(target)), timeline_(std::move(timeline)), plan_(std::move(plan)) {
  // A track the caller left empty is filled to the other's length, so that
  // a picture-only timeline gets silence and a sound-only one gets black.
  auto blank = [](std::vector<Clip> clips) {
    for (Clip& c : clips) c.hasStream = false;
    return clips;
  };
  if (plan_.hasVideo && timeline_.video.empty()) timeline_.video = blank(timeline_.audio);
  if (plan_.hasAudio && timeline_.audio.empty()) timeline_.audio = blank(timeline_.video);
  duration_ = plan_.hasVideo ? timeline_.Duration() : Timeline::Length(timeline_.audio);
}

SaveJob::~SaveJob() { Stop(); }

bool SaveJob::Write(const std::string& tmp) {
  auto fail = [&](const std::string& why, int code = 0) {
    error_ = code ? why + ": " + AvError(code) : why;
    return false;
  };
  AVFormatContext* rawOc = nullptr;
  int r = avformat_alloc_output_context2(&rawOc, nullptr, plan_.muxer.c_str(), tmp.c_str());
  if (r < 0 || !rawOc) return fail("no muxer " + plan_.muxer, r);
  std::unique_ptr<AVFormatContext, OutputCloser> oc(rawOc);
  const bool globalHeader = oc->oformat->flags & AVFMT_GLOBALHEADER;

  // --- picture encoder
  CodecPtr venc;
  AVStream* vst = nullptr;
  if (plan_.hasVideo) {
    const AVCodec* codec = avcodec_find_encoder_by_name(plan_.videoEncoder.c_str());
    if (!codec) return fail("no video encoder " + plan_.videoEncoder);
    venc.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = venc.get();
    c->width = plan_.video.width;
    c->height = plan_.video.height;
    c->pix_fmt = plan_.video.pixfmt;
    c->time_base = av_inv_q(plan_.video.fps);
    c->framerate = plan_.video.fps;
    c->sample_aspect_ratio = plan_.video.sar;
    if (plan_.videoBitrate > 0) c->bit_rate = plan_.videoBitrate;
    if (plan_.maxRate > 0) c->rc_max_rate = plan_.maxRate;
    if (plan_.minRate > 0) c->rc_min_rate = plan_.minRate;
    if (plan_.bufSize > 0) c->rc_buffer_size = int(plan_.bufSize);
    if (plan_.gop > 0) c->gop_size = plan_.gop;
    if (plan_.maxBFrames >= 0) c->max_b_frames = plan_.maxBFrames;
    if (plan_.qscale > 0) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = FF_QP2LAMBDA * plan_.qscale;
    }
    if (plan_.video.pixfmt == AV_PIX_FMT_YUVJ420P) c->color_range = AVCOL_RANGE_JPEG;
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->thread_count = 0;
    AVDictionary* opts = nullptr;
    for (const auto& [k, v] : plan_.videoOptions) av_dict_set(&opts, k.c_str(), v.c_str(), 0);
    r = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    if (r < 0) return fail("cannot open video encoder " + plan_.videoEncoder, r);
    vst = avformat_new_stream(oc.get(), nullptr);
    avcodec_parameters_from_context(vst->codecpar, c);
    vst->time_base = c->time_base;
    vst->avg_frame_rate = plan_.video.fps;
    vst->sample_aspect_ratio = plan_.video.sar;
    if (plan_.videoTag) vst->codecpar->codec_tag = plan_.videoTag;
  }

  // --- sound encoder
  CodecPtr aenc;
  AVStream* ast = nullptr;
  AmrState amr;
  int frameSize = 1024;
  bool padLast = false;
  AudioFormat afmt = plan_.audio;
  if (plan_.hasAudio) {
    ast = avformat_new_stream(oc.get(), nullptr);
    if (plan_.audioEncoder == "amrnb") {
      // FFmpeg as shipped has no AMR encoder; the codec library does it.
      amr.enc = Encoder_Interface_init(0);
      if (!amr.enc) return fail("cannot start the AMR encoder");
      afmt = {8000, 1, AV_SAMPLE_FMT_S16};
      frameSize = 160;
      padLast = true;
      AVCodecParameters* cp = ast->codecpar;
      cp->codec_type = AVMEDIA_TYPE_AUDIO;
      cp->codec_id = AV_CODEC_ID_AMR_NB;
      cp->sample_rate = 8000;
      av_channel_layout_default(&cp->ch_layout, 1);
      cp->frame_size = 160;
      cp->bit_rate = 12200;
      ast->time_base = {1, 8000};
    } else {
      const AVCodec* codec = avcodec_find_encoder_by_name(plan_.audioEncoder.c_str());
      if (!codec) return fail("no audio encoder " + plan_.audioEncoder);
      aenc.reset(avcodec_alloc_context3(codec));
      AVCodecContext* c = aenc.get();
      afmt.sampleFmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
      // Packed 16 bit where the encoder takes it, else planar float (what
      // most decoders give and most encoders work in): the fewest conversions.
      bool s16 = false, fltp = false;
      for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f) {
        s16 |= *f == AV_SAMPLE_FMT_S16;
        fltp |= *f == AV_SAMPLE_FMT_FLTP;
      }
      if (s16) afmt.sampleFmt = AV_SAMPLE_FMT_S16;
      else if (fltp) afmt.sampleFmt = AV_SAMPLE_FMT_FLTP;
      if (codec->supported_samplerates) {
        int best = codec->supported_samplerates[0];
        for (const int* sr = codec->supported_samplerates; *sr; ++sr)
          if (std::abs(*sr - afmt.sampleRate) < std::abs(best - afmt.sampleRate)) best = *sr;
        afmt.sampleRate = best;
      }
      c->sample_fmt = afmt.sampleFmt;
      c->sample_rate = afmt.sampleRate;
      av_channel_layout_default(&c->ch_layout, afmt.channels);
      c->time_base = {1, afmt.sampleRate};
      if (plan_.audioBitrate > 0) c->bit_rate = plan_.audioBitrate;
      if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      r = avcodec_open2(c, codec, nullptr);
      if (r < 0) return fail("cannot open audio encoder " + plan_.audioEncoder, r);
      avcodec_parameters_from_context(ast->codecpar, c);
      ast->time_base = c->time_base;
      if (c->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) {
        frameSize = c->frame_size;
        padLast = !(codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
      }
    }
  }

  r = avio_open(&oc->pb, tmp.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) return fail("cannot write " + tmp, r);
  AVDictionary* mopts = nullptr;
  for (const auto& [k, v] : plan_.muxerOptions) av_dict_set(&mopts, k.c_str(), v.c_str(), 0);
  r = avformat_write_header(oc.get(), &mopts);
  av_dict_free(&mopts);
  if (r < 0) return fail("cannot start " + plan_.muxer, r);

  PacketPtr pkt = MakePacket();
  bool writeFailed = false;
  auto drain = [&](AVCodecContext* c, AVStream* st) {
    while (avcodec_receive_packet(c, pkt.get()) == 0) {
      av_packet_rescale_ts(pkt.get(), c->time_base, st->time_base);
      pkt->stream_index = st->index;
      if (av_interleaved_write_frame(oc.get(), pkt.get()) < 0) writeFailed = true;
    }
  };

  // Pictures are decoded and scaled ahead on one thread; sound is read and
  // encoded on another; this thread encodes the pictures and writes both in
  // time order.
  HandOver<FramePtr> pictures(8);
  HandOver<PacketPtr> sounds(64);
  std::thread picturer, sounder;
  std::string soundError, pictureError;
  if (plan_.hasVideo) {
    picturer = std::thread([&] {
      VideoTrackReader reader(timeline_.video, plan_.video);
      while (!abort_) {
        FramePtr f = reader.Next();
        bool end = !f;
        if (end) pictureError = reader.Undecodable();  // read after the end is popped
        if (!pictures.Push(std::move(f)) || end) return;
      }
      pictures.Push(nullptr);
    });
  }
  if (plan_.hasAudio) {
    sounder = std::thread([&] {
      AudioTrackReader sound(timeline_.audio, afmt);
      std::vector<unsigned char> amrOut(64);
      AVCodecContext* c = aenc.get();
      auto fail = [&](const std::string& why) {
        soundError = why;
        sounds.Push(nullptr);
      };
      auto collect = [&]() -> bool {
        for (;;) {
          PacketPtr p = MakePacket();
          if (avcodec_receive_packet(c, p.get()) != 0) return true;
          if (!sounds.Push(std::move(p))) return false;
        }
      };
      while (!abort_) {
        FramePtr f = sound.Next(frameSize);
        if (!f) break;
        if (padLast && f->nb_samples < frameSize) {
          // The encoder wants whole frames: the last one is topped up with silence.
          FramePtr full = MakeFrame();
          full->nb_samples = frameSize;
          full->format = f->format;
          full->sample_rate = f->sample_rate;
          av_channel_layout_copy(&full->ch_layout, &f->ch_layout);
          if (av_frame_get_buffer(full.get(), 0) < 0) return fail("out of memory");
          av_samples_set_silence(full->data, 0, frameSize, afmt.channels, afmt.sampleFmt);
          av_samples_copy(full->data, f->data, 0, 0, f->nb_samples, afmt.channels, afmt.sampleFmt);
          full->pts = f->pts;
          f = std::move(full);
        }
        if (amr.enc) {
          int n = Encoder_Interface_Encode(amr.enc, MR122, reinterpret_cast<const short*>(f->data[0]),
                                           amrOut.data(), 0);
          PacketPtr p = MakePacket();
          if (n <= 0 || av_new_packet(p.get(), n) < 0) return fail("AMR encoding failed");
          std::memcpy(p->data, amrOut.data(), n);
          p->pts = p->dts = f->pts;
          p->duration = frameSize;
          if (!sounds.Push(std::move(p))) return;
        } else {
          if (avcodec_send_frame(c, f.get()) < 0) return fail("audio encoding failed");
          if (!collect()) return;
        }
      }
      if (!abort_ && c) {
        avcodec_send_frame(c, nullptr);
        if (!collect()) return;
      }
      sounds.Push(nullptr);
    });
  }
  struct Joiner {
    HandOver<FramePtr>& pq;
    HandOver<PacketPtr>& sq;
    std::thread& pt;
    std::thread& st;
    ~Joiner() {
      pq.Close();
      sq.Close();
      if (pt.joinable()) pt.join();
      if (st.joinable()) st.join();
    }
  } joiner{pictures, sounds, picturer, sounder};

  const double fps = av_q2d(plan_.video.fps);
  const AVRational soundBase{1, afmt.sampleRate};
  FramePtr nextPicture = plan_.hasVideo ? pictures.Pop() : nullptr;
  PacketPtr nextSound = plan_.hasAudio ? sounds.Pop() : nullptr;
  while ((nextPicture || nextSound) && !writeFailed) {
    if (abort_) return fail("aborted");
    const double vt = nextPicture ? nextPicture->pts / fps : std::numeric_limits<double>::infinity();
    const double at = nextSound ? nextSound->pts * av_q2d(soundBase) : std::numeric_limits<double>::infinity();
    if (vt <= at) {
      r = avcodec_send_frame(venc.get(), nextPicture.get());
      if (r < 0) return fail("video encoding failed", r);
      drain(venc.get(), vst);
      nextPicture = pictures.Pop();
      position_ = vt;
    } else {
      av_packet_rescale_ts(nextSound.get(), soundBase, ast->time_base);
      nextSound->stream_index = ast->index;
      if (av_interleaved_write_frame(oc.get(), nextSound.get()) < 0) writeFailed = true;
      nextSound = sounds.Pop();
      position_ = at;
    }
  }
  if (!pictureError.empty()) return fail(pictureError);
  if (!soundError.empty()) return fail(soundError);
  if (writeFailed) return fail("writing " + tmp + " failed (disk full?)");
  if (abort_) return fail("aborted");
  if (venc) {
    avcodec_send_frame(venc.get(), nullptr);
    drain(venc.get(), vst);
  }
  r = av_write_trailer(oc.get());
  if (r < 0 || writeFailed) return fail("cannot finish " + tmp, r);
  r = avio_closep(&oc->pb);
  if (r < 0) return fail("cannot close " + tmp, r);
  position_ = duration_;
  return true;
}

}  // namespace larkvale::engine
