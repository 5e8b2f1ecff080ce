#include "engine/savejob.h"

#include "engine/ffmpegutil.h"
#include "engine/outputfile.h"

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

// The save's encoders and the streams they feed.
struct SaveJob::Encoders {
  CodecPtr video, audio;
  AVStream* vst = nullptr;
  AVStream* ast = nullptr;
  AmrState amr;
  AudioFormat sound;  // what the sound encoder takes
  int frameSize = 1024;
  bool padLast = false;
};


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

bool SaveJob::Fail(const std::string& why, int code) {
  error_ = code ? why + ": " + AvError(code) : why;
  return false;
}

bool SaveJob::OpenPictureEncoder(OutputFile& out, Encoders& e) {
  const AVCodec* codec = avcodec_find_encoder_by_name(plan_.videoEncoder.c_str());
  if (!codec) return Fail("no video encoder " + plan_.videoEncoder);
  e.video.reset(avcodec_alloc_context3(codec));
  AVCodecContext* c = e.video.get();
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
  if (out.GlobalHeader()) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c->thread_count = 0;
  AVDictionary* opts = nullptr;
  for (const auto& [k, v] : plan_.videoOptions) av_dict_set(&opts, k.c_str(), v.c_str(), 0);
  const int r = avcodec_open2(c, codec, &opts);
  av_dict_free(&opts);
  if (r < 0) return Fail("cannot open video encoder " + plan_.videoEncoder, r);
  e.vst = out.NewStream();
  if (!e.vst) return Fail("out of memory");
  avcodec_parameters_from_context(e.vst->codecpar, c);
  e.vst->time_base = c->time_base;
  e.vst->avg_frame_rate = plan_.video.fps;
  e.vst->sample_aspect_ratio = plan_.video.sar;
  if (plan_.videoTag) e.vst->codecpar->codec_tag = plan_.videoTag;
  return true;
}

// FFmpeg as shipped has no AMR encoder; the codec library does it.
bool SaveJob::OpenAmrEncoder(Encoders& e) {
  e.amr.enc = Encoder_Interface_init(0);
  if (!e.amr.enc) return Fail("cannot start the AMR encoder");
  e.sound = {8000, 1, AV_SAMPLE_FMT_S16};
  e.frameSize = 160;
  e.padLast = true;
  AVCodecParameters* cp = e.ast->codecpar;
  cp->codec_type = AVMEDIA_TYPE_AUDIO;
  cp->codec_id = AV_CODEC_ID_AMR_NB;
  cp->sample_rate = 8000;
  av_channel_layout_default(&cp->ch_layout, 1);
  cp->frame_size = 160;
  cp->bit_rate = 12200;
  e.ast->time_base = {1, 8000};
  return true;
}

bool SaveJob::OpenSoundEncoder(OutputFile& out, Encoders& e) {
  e.sound = plan_.audio;
  e.ast = out.NewStream();
  if (!e.ast) return Fail("out of memory");
  if (plan_.audioEncoder == "amrnb") return OpenAmrEncoder(e);
  const AVCodec* codec = avcodec_find_encoder_by_name(plan_.audioEncoder.c_str());
  if (!codec) return Fail("no audio encoder " + plan_.audioEncoder);
  e.audio.reset(avcodec_alloc_context3(codec));
  AVCodecContext* c = e.audio.get();
  AudioFormat& afmt = e.sound;
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
  if (out.GlobalHeader()) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int r = avcodec_open2(c, codec, nullptr);
  if (r < 0) return Fail("cannot open audio encoder " + plan_.audioEncoder, r);
  avcodec_parameters_from_context(e.ast->codecpar, c);
  e.ast->time_base = c->time_base;
  if (c->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) {
    e.frameSize = c->frame_size;
    e.padLast = !(codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
  }
  return true;
}

namespace {

// The last sound frame topped up with silence, for an encoder that takes
// whole frames only; null when out of memory.
FramePtr PadWithSilence(const AVFrame* f, int frameSize, const AudioFormat& afmt) {
  FramePtr full = MakeFrame();
  full->nb_samples = frameSize;
  full->format = f->format;
  full->sample_rate = f->sample_rate;
  av_channel_layout_copy(&full->ch_layout, &f->ch_layout);
  if (av_frame_get_buffer(full.get(), 0) < 0) return nullptr;
  av_samples_set_silence(full->data, 0, frameSize, afmt.channels, afmt.sampleFmt);
  av_samples_copy(full->data, f->data, 0, 0, f->nb_samples, afmt.channels, afmt.sampleFmt);
  full->pts = f->pts;
  return full;
}

}  // namespace

// Pictures are decoded and scaled ahead on one thread.
void SaveJob::ReadPictures(HandOver<FramePtr>& pictures, std::string& error) {
  VideoTrackReader reader(timeline_.video, plan_.video);
  while (!abort_) {
    FramePtr f = reader.Next();
    const bool end = !f;
    if (end) error = reader.Undecodable();  // read after the end is popped
    if (!pictures.Push(std::move(f)) || end) return;
  }
  pictures.Push(nullptr);
}

// Sound is read and encoded on another thread.
void SaveJob::EncodeSound(Encoders& e, HandOver<PacketPtr>& sounds, std::string& error) {
  AudioTrackReader sound(timeline_.audio, e.sound);
  std::vector<unsigned char> amrOut(64);
  AVCodecContext* c = e.audio.get();
  auto fail = [&](const std::string& why) {
    error = why;
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
    FramePtr f = sound.Next(e.frameSize);
    if (!f) break;
    if (e.padLast && f->nb_samples < e.frameSize) {
      f = PadWithSilence(f.get(), e.frameSize, e.sound);
      if (!f) return fail("out of memory");
    }
    if (e.amr.enc) {
      const int n = Encoder_Interface_Encode(e.amr.enc, MR122, reinterpret_cast<const short*>(f->data[0]),
                                             amrOut.data(), 0);
      PacketPtr p = MakePacket();
      if (n <= 0 || av_new_packet(p.get(), n) < 0) return fail("AMR encoding failed");
      std::memcpy(p->data, amrOut.data(), n);
      p->pts = p->dts = f->pts;
      p->duration = e.frameSize;
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
}

// This thread encodes the pictures and writes both in time order.
bool SaveJob::WriteInOrder(OutputFile& out, Encoders& e, HandOver<FramePtr>& pictures, HandOver<PacketPtr>& sounds,
                           bool& writeFailed) {
  PacketPtr pkt = MakePacket();
  const double fps = av_q2d(plan_.video.fps);
  const AVRational soundBase{1, e.sound.sampleRate};
  FramePtr nextPicture = plan_.hasVideo ? pictures.Pop() : nullptr;
  PacketPtr nextSound = plan_.hasAudio ? sounds.Pop() : nullptr;
  while ((nextPicture || nextSound) && !writeFailed) {
    if (abort_) return Fail("aborted");
    const double vt = nextPicture ? nextPicture->pts / fps : std::numeric_limits<double>::infinity();
    const double at = nextSound ? nextSound->pts * av_q2d(soundBase) : std::numeric_limits<double>::infinity();
    if (vt <= at) {
      const int r = avcodec_send_frame(e.video.get(), nextPicture.get());
      if (r < 0) return Fail("video encoding failed", r);
      Drain(out, e.video.get(), e.vst, pkt.get(), writeFailed);
      nextPicture = pictures.Pop();
      position_ = vt;
    } else {
      av_packet_rescale_ts(nextSound.get(), soundBase, e.ast->time_base);
      nextSound->stream_index = e.ast->index;
      if (out.Write(nextSound.get()) < 0) writeFailed = true;
      nextSound = sounds.Pop();
      position_ = at;
    }
  }
  return true;
}

void SaveJob::Drain(OutputFile& out, AVCodecContext* c, AVStream* st, AVPacket* pkt, bool& writeFailed) {
  while (avcodec_receive_packet(c, pkt) == 0) {
    av_packet_rescale_ts(pkt, c->time_base, st->time_base);
    pkt->stream_index = st->index;
    if (out.Write(pkt) < 0) writeFailed = true;
  }
}

bool SaveJob::Write(const std::string& tmp) {
  OutputFile out;
  int r = out.Create(plan_.muxer, tmp);
  if (r < 0) return Fail("no muxer " + plan_.muxer, r);
  Encoders e;
  if (plan_.hasVideo && !OpenPictureEncoder(out, e)) return false;
  if (plan_.hasAudio && !OpenSoundEncoder(out, e)) return false;
  r = out.Open(OutputFile::Start::kFreshEmptyFile);  // FileJob made it
  if (r < 0) return Fail("cannot write " + tmp, r);
  r = out.Begin(plan_.muxerOptions);
  if (r < 0) return Fail("cannot start " + plan_.muxer, r);

  HandOver<FramePtr> pictures(8);
  HandOver<PacketPtr> sounds(64);
  std::thread picturer, sounder;
  std::string soundError, pictureError;
  if (plan_.hasVideo) picturer = std::thread([&] { ReadPictures(pictures, pictureError); });
  if (plan_.hasAudio) sounder = std::thread([&] { EncodeSound(e, sounds, soundError); });
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

  bool writeFailed = false;
  if (!WriteInOrder(out, e, pictures, sounds, writeFailed)) return false;
  if (!pictureError.empty()) return Fail(pictureError);
  if (!soundError.empty()) return Fail(soundError);
  if (writeFailed) return Fail("writing " + tmp + " failed (disk full?)");
  if (abort_) return Fail("aborted");
  if (e.video) {
    avcodec_send_frame(e.video.get(), nullptr);
    PacketPtr pkt = MakePacket();
    Drain(out, e.video.get(), e.vst, pkt.get(), writeFailed);
  }
  r = out.Finish();
  if (r < 0 || writeFailed) return Fail("cannot finish " + tmp, r);
  position_ = duration_;
  return true;
}

}  // namespace larkvale::engine
