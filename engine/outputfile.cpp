#include "engine/outputfile.h"

#include <limits>

namespace larkvale::engine {

int OutputFile::Create(const std::string& muxer, const std::string& path) {
  AVFormatContext* raw = nullptr;
  const int r = avformat_alloc_output_context2(&raw, nullptr, muxer.c_str(), path.c_str());
  if (r < 0 || !raw) return r < 0 ? r : AVERROR_MUXER_NOT_FOUND;
  oc_.reset(raw);
  path_ = path;
  return 0;
}

AVStream* OutputFile::NewStream() {
  AVStream* st = avformat_new_stream(oc_.get(), nullptr);
  if (st) lastDts_.push_back(std::numeric_limits<int64_t>::min());
  return st;
}

AVStream* OutputFile::CopyStream(const AVStream* in) {
  AVStream* ost = NewStream();
  if (!ost || avcodec_parameters_copy(ost->codecpar, in->codecpar) < 0) return nullptr;
  const unsigned tag = in->codecpar->codec_tag;
  ost->codecpar->codec_tag = 0;
  if (tag && oc_->oformat->codec_tag && av_codec_get_id(oc_->oformat->codec_tag, tag) == in->codecpar->codec_id)
    ost->codecpar->codec_tag = tag;
  ost->time_base = in->time_base;
  ost->avg_frame_rate = in->avg_frame_rate;
  ost->r_frame_rate = in->r_frame_rate;
  ost->sample_aspect_ratio = in->sample_aspect_ratio;
  ost->disposition = in->disposition;
  return ost;
}

int OutputFile::Open(Start start) {
  AVDictionary* opts = nullptr;
  if (start == Start::kFreshEmptyFile) av_dict_set(&opts, "truncate", "0", 0);
  const int r = avio_open2(&oc_->pb, path_.c_str(), AVIO_FLAG_WRITE, nullptr, &opts);
  av_dict_free(&opts);
  return r;
}

int OutputFile::Begin(const std::map<std::string, std::string>& muxerOptions) {
  AVDictionary* opts = nullptr;
  for (const auto& [k, v] : muxerOptions) av_dict_set(&opts, k.c_str(), v.c_str(), 0);
  const int r = avformat_write_header(oc_.get(), &opts);
  av_dict_free(&opts);
  return r;
}

int OutputFile::Write(AVPacket* pkt) { return av_interleaved_write_frame(oc_.get(), pkt); }

int OutputFile::Copy(AVPacket* pkt, AVRational from, int64_t shiftUs, int out) {
  const AVStream* ost = oc_->streams[out];
  const AVRational us = AV_TIME_BASE_Q;
  // Into microseconds, moved, then into the output's own base.
  const auto place = [&](int64_t ts) {
    return ts == AV_NOPTS_VALUE ? ts : av_rescale_q(av_rescale_q(ts, from, us) + shiftUs, us, ost->time_base);
  };
  pkt->pts = place(pkt->pts);
  pkt->dts = place(pkt->dts);
  pkt->duration = pkt->duration > 0 ? av_rescale_q(pkt->duration, from, ost->time_base) : 0;
  if (pkt->dts != AV_NOPTS_VALUE) {
    // Only the packets that would go back move, with their presentation
    // time: moving a whole file with them would shift it at every join.
    int64_t& last = lastDts_[size_t(out)];
    if (last != std::numeric_limits<int64_t>::min() && pkt->dts <= last) {
      const int64_t n = last + 1 - pkt->dts;
      pkt->dts += n;
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += n;
    }
    if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
    last = pkt->dts;
  }
  pkt->stream_index = out;
  pkt->pos = -1;
  return Write(pkt);
}

void OutputFile::Flush() {
  if (oc_ && oc_->pb) avio_flush(oc_->pb);
}

int OutputFile::Finish() {
  const int r = av_write_trailer(oc_.get());
  if (r < 0) return r;
  return avio_closep(&oc_->pb);
}

}  // namespace larkvale::engine
