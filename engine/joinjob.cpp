#include "engine/joinjob.h"

#include "engine/ffmpegutil.h"
#include "engine/outputfile.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

namespace larkvale::engine {

// Files a plan opened, held for the join that follows it.
class OpenedParts {
 public:
  void Keep(size_t index, InputPtr in) {
    const std::lock_guard lock(mutex_);
    if (inputs_.size() <= index) inputs_.resize(index + 1);
    inputs_[index] = std::move(in);
  }
  // Null when the file was not kept or was taken already.
  InputPtr Take(size_t index) {
    const std::lock_guard lock(mutex_);
    return index < inputs_.size() ? std::move(inputs_[index]) : nullptr;
  }

 private:
  std::mutex mutex_;
  std::vector<InputPtr> inputs_;
};

namespace {

// A plan keeps this many files open for its join; the rest are opened again
// when their turn comes. Each holds a descriptor and whatever its probe read
// ahead, so a join of hundreds of segments must not keep them all.
constexpr size_t kKeptParts = 16;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

std::string Extension(const std::string& path) {
  const std::string name = BaseName(path);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? std::string() : Lower(name.substr(dot + 1));
}

// The streams a join copies: pictures (not cover art) and sound.
std::vector<int> CopiedStreams(const AVFormatContext* fc) {
  std::vector<int> out;
  for (unsigned i = 0; i < fc->nb_streams; ++i) {
    const AVStream* st = fc->streams[i];
    const AVMediaType type = st->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO || (type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)))
      out.push_back(int(i));
  }
  return out;
}

std::string Layout(const AVFormatContext* fc, const std::vector<int>& streams) {
  std::string text;
  for (int i : streams) {
    if (!text.empty()) text += " and ";
    text += fc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? "picture" : "sound";
  }
  return text.empty() ? "no picture or sound" : text;
}

struct Kind {
  std::string muxer, extension, name;
};

bool WebMCodec(AVCodecID id) {
  return id == AV_CODEC_ID_VP8 || id == AV_CODEC_ID_VP9 || id == AV_CODEC_ID_AV1 || id == AV_CODEC_ID_VORBIS ||
         id == AV_CODEC_ID_OPUS;
}

// How the first file's container is written; empty muxer when a join into it
// is not offered.
Kind OutputKind(const AVFormatContext* fc, const std::vector<int>& streams, const std::string& path) {
  const std::string demuxer = fc->iformat->name;
  const std::string ext = Extension(path);
  if (demuxer == "mov,mp4,m4a,3gp,3g2,mj2") {
    if (ext == "mov") return {"mov", "mov", "QuickTime"};
    if (ext == "3gp") return {"3gp", "3gp", "3GP"};
    return {"mp4", "mp4", "MP4"};
  }
  if (demuxer == "matroska,webm") {
    bool webm = true;
    for (int i : streams) webm = webm && WebMCodec(fc->streams[i]->codecpar->codec_id);
    return webm ? Kind{"webm", "webm", "WebM"} : Kind{"matroska", "mkv", "Matroska"};
  }
  if (demuxer == "flv") return {"flv", "flv", "FLV"};
  if (demuxer == "mpegts") return {"mpegts", "ts", "MPEG-TS"};
  if (demuxer == "avi") return {"avi", "avi", "AVI"};
  if (demuxer == "asf") return {"asf", "wmv", "WMV"};
  if (demuxer == "mpeg") {
    for (int i : streams)
      if (fc->streams[i]->codecpar->codec_id == AV_CODEC_ID_MPEG2VIDEO) return {"vob", "mpg", "MPEG"};
    return {"mpeg", "mpg", "MPEG"};
  }
  return {{}, {}, fc->iformat->long_name ? fc->iformat->long_name : demuxer};
}

std::string Size(const AVCodecParameters* p) { return std::to_string(p->width) + "x" + std::to_string(p->height); }

std::string ChannelText(const AVCodecParameters* p) {
  char buf[64] = {};
  if (av_channel_layout_describe(&p->ch_layout, buf, sizeof buf) < 0) return std::to_string(p->ch_layout.nb_channels);
  return buf;
}

std::string PixelText(const AVCodecParameters* p) {
  const char* name = av_get_pix_fmt_name(AVPixelFormat(p->format));
  return std::string("pixel format ") + (name ? name : "unknown");
}

// Whether the container carries the codec's set-up once for the whole
// stream (so that files coded with other set-ups cannot share it).
bool GlobalSetup(const std::string& muxer) { return muxer != "mpegts" && muxer != "mpeg" && muxer != "vob"; }

// The first way `p` differs from `first`, as "what p has, the others what
// first has"; empty when none matters for a copy.
std::string Difference(const AVCodecParameters* p, const AVCodecParameters* first, bool globalSetup) {
  const auto differ = [](const std::string& mine, const std::string& theirs) { return mine + ", the others " + theirs; };
  const std::string what = p->codec_type == AVMEDIA_TYPE_VIDEO ? "picture " : "sound ";
  if (p->codec_id != first->codec_id)
    return differ(what + avcodec_get_name(p->codec_id), avcodec_get_name(first->codec_id));
  if (p->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (p->width != first->width || p->height != first->height) return differ(Size(p), Size(first));
    if (p->format != first->format) return differ(PixelText(p), PixelText(first));
  } else {
    if (p->sample_rate != first->sample_rate)
      return differ(std::to_string(p->sample_rate) + " Hz", std::to_string(first->sample_rate) + " Hz");
    if (av_channel_layout_compare(&p->ch_layout, &first->ch_layout) != 0)
      return differ(ChannelText(p), ChannelText(first));
    if (p->format != first->format) {
      const char* mine = av_get_sample_fmt_name(AVSampleFormat(p->format));
      const char* theirs = av_get_sample_fmt_name(AVSampleFormat(first->format));
      return differ(std::string("samples ") + (mine ? mine : "unknown"), theirs ? theirs : "unknown");
    }
  }
  if (globalSetup && (p->extradata_size != first->extradata_size ||
                      (p->extradata_size > 0 && std::memcmp(p->extradata, first->extradata, size_t(p->extradata_size)) != 0)))
    return std::string(avcodec_get_name(p->codec_id)) + " coded with other settings than the first file";
  return {};
}

// Whether the header alone describes the copied streams as fully as the
// probe would. MP4 carries each stream's size or rates and, for these codecs,
// the coder's whole set-up (parameter sets, audio configuration) in its
// header, and every packet's time and length in its index. Files alike in
// that set-up decode alike, so nothing a join compares can hide from it.
bool HeaderSuffices(const AVFormatContext* fc) {
  if (std::strcmp(fc->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") != 0) return false;
  const std::vector<int> streams = CopiedStreams(fc);
  if (streams.empty()) return false;
  for (int i : streams) {
    const AVCodecParameters* p = fc->streams[i]->codecpar;
    const bool described = p->codec_id == AV_CODEC_ID_H264 || p->codec_id == AV_CODEC_ID_HEVC ||
                           p->codec_id == AV_CODEC_ID_AAC;
    if (!described || p->extradata_size <= 0) return false;
    if (p->codec_type == AVMEDIA_TYPE_VIDEO && (p->width <= 0 || p->height <= 0)) return false;
    if (p->codec_type == AVMEDIA_TYPE_AUDIO && (p->sample_rate <= 0 || p->ch_layout.nb_channels <= 0)) return false;
  }
  return true;
}

// Opens a file for joining: the header alone where it tells all, else with
// the full probe. `headerOnly` says which it was.
InputPtr OpenPart(const std::string& path, bool* headerOnly) {
  InputPtr in = OpenInputHeader(path);
  if (!in) return nullptr;
  *headerOnly = HeaderSuffices(in.get());
  if (!*headerOnly && avformat_find_stream_info(in.get(), nullptr) < 0) return nullptr;
  return in;
}

// What one part gave the join: for each copied stream the packets read
// whole, and where its last packet ended (microseconds, the part's own time),
// with the longest packet as the measure of "a frame".
struct PartTally {
  std::vector<int64_t> whole;
  int64_t last = std::numeric_limits<int64_t>::min();
  int64_t longest = 0;
};

std::string Seconds(double s, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, s);
  return buf;
}

bool IsMp4(const AVFormatContext* fc) { return std::strcmp(fc->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") == 0; }

// The packets an MP4 stream's sample tables list, as the demuxer's index
// holds them (less what an edit list leaves out); where its header counts
// samples that the tables place nowhere (a count no index can hold, offsets
// cut off), that count: none of them can be read.
int64_t Listed(const AVStream* st) {
  const int64_t indexed = avformat_index_get_entries_count(st);
  return indexed == 0 && st->nb_frames > 0 ? st->nb_frames : indexed;
}

// "only 35 of its 50 pictures could be read; ..."
std::string ReadOf(const AVStream* st, int64_t read, int64_t listed) {
  const bool picture = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  const std::string what = std::to_string(listed) + (picture ? " pictures" : " sound frames");
  return (read == 0 ? "none of its " + what : "only " + std::to_string(read) + " of its " + what) +
         " could be read; the file is cut short or damaged.";
}

// An MP4 part with a stream of which nothing can be read, found from its
// header before anything is copied; empty when there is none.
std::string Unplaced(const AVFormatContext* fc, const std::vector<int>& streams) {
  if (!IsMp4(fc)) return {};
  for (int i : streams) {
    const AVStream* st = fc->streams[i];
    if (avformat_index_get_entries_count(st) == 0 && Listed(st) > 0) return ReadOf(st, 0, Listed(st));
  }
  return {};
}

// Why the part's packets fall short of what its header describes, or empty
// when they do not. Only a shortfall counts: more than the header says is
// nothing lost.
//
// An MP4 stream: every packet its tables list must have been read whole, with
// no tolerance, since one missing picture spoils those after it. Where a
// parser cuts a stream into packets anew, its count says nothing and the
// length has to do.
//
// Any container with a length of its own, not one guessed from the bit rate:
// the packets read must reach the end of the streams copied (or of the file,
// where the streams give none) within one frame, the part's longest packet,
// and 50 ms for a header's rounding.
std::string Shortfall(const std::string& path, const AVFormatContext* in, const std::vector<int>& streams,
                      const PartTally& tally) {
  const std::string name = BaseName(path);
  if (IsMp4(in)) {
    for (size_t i = 0; i < streams.size(); ++i) {
      const AVStream* st = in->streams[streams[i]];
      if (av_stream_get_parser(st)) continue;
      const int64_t listed = Listed(st);
      if (tally.whole[i] < listed) return name + ": " + ReadOf(st, tally.whole[i], listed);
    }
  }
  if (in->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return {};
  const AVRational us = AV_TIME_BASE_Q;
  int64_t start = std::numeric_limits<int64_t>::max(), end = std::numeric_limits<int64_t>::min();
  for (int i : streams) {
    const AVStream* st = in->streams[i];
    if (st->duration == AV_NOPTS_VALUE || st->duration <= 0) continue;
    const int64_t from = st->start_time != AV_NOPTS_VALUE ? av_rescale_q(st->start_time, st->time_base, us) : 0;
    start = std::min(start, from);
    end = std::max(end, from + av_rescale_q(st->duration, st->time_base, us));
  }
  if (end == std::numeric_limits<int64_t>::min()) {
    if (in->duration == AV_NOPTS_VALUE || in->duration <= 0) return {};
    start = in->start_time != AV_NOPTS_VALUE ? in->start_time : 0;
    end = start + in->duration;
  }
  const int64_t reached = tally.last == std::numeric_limits<int64_t>::min() ? start : tally.last;
  if (reached + tally.longest + AV_TIME_BASE / 20 >= end) return {};
  const double had = std::max<int64_t>(reached - start, 0) / double(AV_TIME_BASE);
  const double holds = (end - start) / double(AV_TIME_BASE);
  int decimals = 1;
  while (decimals < 3 && Seconds(had, decimals) == Seconds(holds, decimals)) ++decimals;
  return name + ": only " + Seconds(had, decimals) + " s of its " + Seconds(holds, decimals) +
         " s could be read; the file is cut short or damaged.";
}

}  // namespace

std::optional<JoinPlan> PlanJoin(const std::vector<std::string>& files, std::string* difference) {
  auto refuse = [&](const std::string& path, const std::string& why) -> std::optional<JoinPlan> {
    if (difference) *difference = BaseName(path) + ": " + why;
    return std::nullopt;
  };
  if (files.empty()) {
    if (difference) *difference = "nothing to join";
    return std::nullopt;
  }
  JoinPlan plan;
  plan.files = files;
  plan.opened = std::make_shared<OpenedParts>();
  InputPtr first;
  bool firstHeaderOnly = false;
  std::vector<int> firstStreams;
  for (size_t index = 0; index < files.size(); ++index) {
    const std::string& path = files[index];
    bool headerOnly = false;
    InputPtr in = OpenPart(path, &headerOnly);
    if (!in) return refuse(path, "not a media file that can be read");
    const std::vector<int> streams = CopiedStreams(in.get());
    if (streams.empty()) return refuse(path, "no picture or sound");
    // Before it is compared with the others: a stream lost to damage would
    // otherwise be named as a difference, and of the wrong file.
    if (const std::string why = Unplaced(in.get(), streams); !why.empty()) return refuse(path, why);
    if (in->duration != AV_NOPTS_VALUE && in->duration > 0) plan.duration += in->duration / double(AV_TIME_BASE);
    if (!first) {
      const Kind kind = OutputKind(in.get(), streams, path);
      if (kind.muxer.empty()) return refuse(path, kind.name + " files cannot be joined without re-encoding");
      plan.muxer = kind.muxer;
      plan.extension = kind.extension;
      plan.kind = kind.name;
      first = std::move(in);
      firstHeaderOnly = headerOnly;
      firstStreams = streams;
      continue;
    }
    if (std::strcmp(in->iformat->name, first->iformat->name) != 0)
      return refuse(path, OutputKind(in.get(), streams, path).name + " file, the others " + plan.kind);
    const std::string layout = Layout(in.get(), streams), firstLayout = Layout(first.get(), firstStreams);
    if (streams.size() != firstStreams.size() || layout != firstLayout)
      return refuse(path, layout + ", the others " + firstLayout);
    const auto firstDifference = [&] {
      for (size_t i = 0; i < streams.size(); ++i) {
        std::string d = Difference(in->streams[streams[i]]->codecpar, first->streams[firstStreams[i]]->codecpar,
                                   GlobalSetup(plan.muxer));
        if (!d.empty()) return d;
      }
      return std::string();
    };
    std::string d = firstDifference();
    if (!d.empty() && (headerOnly || firstHeaderOnly)) {
      // A header names the codec's set-up, not what differs in it ("pixel
      // format yuv444p"): the probe finds that, and may find them alike.
      if ((firstHeaderOnly && avformat_find_stream_info(first.get(), nullptr) < 0) ||
          (headerOnly && avformat_find_stream_info(in.get(), nullptr) < 0))
        return refuse(path, "not a media file that can be read");
      firstHeaderOnly = headerOnly = false;
      d = firstDifference();
    }
    if (!d.empty()) return refuse(path, d);
    if (index < kKeptParts) plan.opened->Keep(index, std::move(in));
  }
  plan.opened->Keep(0, std::move(first));
  return plan;
}

JoinJob::JoinJob(JoinPlan plan, std::string target) : FileJob(std::move(target)), plan_(std::move(plan)) {
  duration_ = plan_.duration;
}

JoinJob::~JoinJob() { Stop(); }

InputPtr JoinJob::OpenPart(size_t index) {
  // Each file as the plan left it open, or opened anew.
  if (plan_.opened)
    if (InputPtr in = plan_.opened->Take(index)) return in;
  bool headerOnly = false;
  return engine::OpenPart(plan_.files[index], &headerOnly);
}

bool JoinJob::Fail(const std::string& why, int code) {
  error_ = code ? why + ": " + AvError(code) : why;
  return false;
}

// Every file's copied streams, in order, go to the output stream of the
// same place; the plan made sure they are alike. The stream whose end marks
// a file's end is the picture, if any.
bool JoinJob::AddStreams(OutputFile& out, const AVFormatContext* first) {
  bool pictureFound = false;
  for (int i : CopiedStreams(first)) {
    const AVStream* ist = first->streams[i];
    if (!out.CopyStream(ist)) return Fail("cannot copy stream parameters");
    if (!pictureFound && ist->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      pictureFound = true;
      referenceOut_ = int(out.Context()->nb_streams) - 1;
    }
  }
  return true;
}

bool JoinJob::Write(const std::string& tmp) {
  OutputFile out;
  int r = out.Create(plan_.muxer, tmp);
  if (r < 0) return Fail("no muxer " + plan_.muxer, r);
  InputPtr firstIn = OpenPart(0);
  if (!firstIn) return Fail("cannot read " + plan_.files.front());
  if (!AddStreams(out, firstIn.get())) return false;
  r = out.Open(OutputFile::Start::kFreshEmptyFile);  // FileJob made it
  if (r < 0) return Fail("cannot write " + tmp, r);
  r = out.Begin();
  if (r < 0) return Fail("cannot start " + plan_.muxer, r);
  // Output time is kept in microseconds: `offset` is where the next file
  // begins.
  int64_t offset = 0;
  PacketPtr pkt = MakePacket();
  for (size_t index = 0; index < plan_.files.size(); ++index) {
    if (abort_) return Fail("aborted");
    InputPtr in = index == 0 ? std::move(firstIn) : OpenPart(index);
    if (!in) return Fail("cannot read " + plan_.files[index]);
    if (!CopyPart(out, in.get(), plan_.files[index], pkt.get(), &offset)) return false;
  }
  r = out.Finish();
  if (r < 0) return Fail("cannot finish " + tmp, r);
  position_ = duration_;
  return true;
}

namespace {

// A frame's length where the container leaves it out; the stream's rate
// gives it.
int64_t PacketLength(const AVPacket* pkt, const AVStream* ist) {
  if (pkt->duration > 0) return pkt->duration;
  const AVCodecParameters* cp = ist->codecpar;
  if (cp->codec_type == AVMEDIA_TYPE_VIDEO && ist->avg_frame_rate.num > 0)
    return av_rescale_q(1, av_inv_q(ist->avg_frame_rate), ist->time_base);
  if (cp->codec_type == AVMEDIA_TYPE_AUDIO && cp->frame_size > 0 && cp->sample_rate > 0)
    return av_rescale_q(cp->frame_size, AVRational{1, cp->sample_rate}, ist->time_base);
  return pkt->duration;
}

}  // namespace

bool JoinJob::CopyPart(OutputFile& out, AVFormatContext* in, const std::string& path, AVPacket* pkt,
                       int64_t* offset) {
  const AVRational us = AV_TIME_BASE_Q;
  const std::vector<int> streams = CopiedStreams(in);
  if (streams.size() != out.Context()->nb_streams) return Fail(path + " changed since it was checked");
  std::vector<int> outOf(in->nb_streams, -1);
  for (size_t i = 0; i < streams.size(); ++i) outOf[size_t(streams[i])] = int(i);
  // The file starts where its reference stream starts; its other streams
  // keep their places relative to it.
  const AVStream* ref = in->streams[streams[size_t(referenceOut_)]];
  const int64_t start = ref->start_time != AV_NOPTS_VALUE ? av_rescale_q(ref->start_time, ref->time_base, us)
                        : in->start_time != AV_NOPTS_VALUE ? in->start_time
                                                            : 0;
  int64_t end = start;
  PartTally tally;
  tally.whole.assign(streams.size(), 0);
  while (true) {
    if (abort_) return Fail("aborted");
    int r = av_read_frame(in, pkt);
    if (r == AVERROR_EOF) break;
    if (r < 0) return Fail("cannot read " + path, r);
    const int o = pkt->stream_index < int(outOf.size()) ? outOf[size_t(pkt->stream_index)] : -1;
    if (o < 0) {
      av_packet_unref(pkt);
      continue;
    }
    const AVStream* ist = in->streams[pkt->stream_index];
    pkt->duration = PacketLength(pkt, ist);
    const int64_t at = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    const int64_t length = av_rescale_q(std::max<int64_t>(pkt->duration, 0), ist->time_base, us);
    if (at != AV_NOPTS_VALUE) {
      const int64_t to = av_rescale_q(at, ist->time_base, us) + length;
      if (o == referenceOut_) end = std::max(end, av_rescale_q(at + std::max<int64_t>(pkt->duration, 0), ist->time_base, us));
      tally.last = std::max(tally.last, to);
      tally.longest = std::max(tally.longest, length);
    }
    // A packet cut off by the file's end comes flagged; it is no whole one.
    if (!(pkt->flags & AV_PKT_FLAG_CORRUPT)) ++tally.whole[size_t(o)];
    if (pkt->pts != AV_NOPTS_VALUE)
      position_ = std::max(0.0, double(av_rescale_q(pkt->pts, ist->time_base, us) + *offset - start) / AV_TIME_BASE);
    r = out.Copy(pkt, ist->time_base, *offset - start, o);
    if (r < 0) return Fail("writing " + std::string(out.Context()->url) + " failed (disk full?)", r);
  }
  // Checked from what the copy counted anyway: a part that yields less
  // than it says it holds fails the join rather than leave a hole in it.
  if (const std::string why = Shortfall(path, in, streams, tally); !why.empty()) return Fail(why);
  *offset += end - start;
  return true;
}

}  // namespace larkvale::engine
