#include "engine/probe.h"

#include "engine/ffmpegutil.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace larkvale::engine {

InputPtr OpenInputHeader(const std::string& path) {
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_FATAL);
    return true;
  }();
  (void)quiet;
  // Zero-length files and folders are not media; FFmpeg would still try.
  QFileInfo fi(QString::fromStdString(path));
  if (!fi.isFile() || fi.size() == 0) return nullptr;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  return InputPtr(raw);
}

InputPtr OpenInput(const std::string& path) {
  InputPtr in = OpenInputHeader(path);
  if (!in || avformat_find_stream_info(in.get(), nullptr) < 0) return nullptr;
  return in;
}

namespace {

double StreamStart(const AVFormatContext* fc) {
  return fc->start_time == AV_NOPTS_VALUE ? 0.0 : fc->start_time / double(AV_TIME_BASE);
}

// Formats whose header length may describe more than a cut-short file holds,
// and which can be read from any byte offset to find the last timestamp.
bool TailReadable(const AVFormatContext* fc) {
  const char* n = fc->iformat->name;
  return std::strcmp(n, "flv") == 0 || std::strcmp(n, "mpeg") == 0 ||
         std::strcmp(n, "mpegts") == 0 || std::strcmp(n, "mp3") == 0;
}

// End time (seconds from the file's start) of the last packet found in the
// final megabyte, or 0 when none is found.
double TailEnd(const std::string& path) {
  InputPtr fc = OpenInput(path);
  if (!fc) return 0;
  int64_t size = avio_size(fc->pb);
  if (size <= 0) return 0;
  int64_t from = std::max<int64_t>(0, size - (1 << 20));
  if (av_seek_frame(fc.get(), -1, from, AVSEEK_FLAG_BYTE) < 0) return 0;
  const double start = StreamStart(fc.get());
  double end = 0;
  PacketPtr pkt = MakePacket();
  while (av_read_frame(fc.get(), pkt.get()) >= 0) {
    const AVStream* st = fc->streams[pkt->stream_index];
    int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (ts != AV_NOPTS_VALUE && (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ||
                                 st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)) {
      double t = (ts + std::max<int64_t>(pkt->duration, 0)) * av_q2d(st->time_base) - start;
      end = std::max(end, t);
    }
    av_packet_unref(pkt.get());
  }
  return end;
}

// For files with an index (MP4, AVI): the end of the last indexed packet
// that lies wholly inside the file, or 0 when the index is complete or absent.
double IndexedEndWithinFile(AVFormatContext* fc) {
  int64_t size = avio_size(fc->pb);
  if (size <= 0) return 0;
  bool cut = false;
  double end = 0;
  const double start = StreamStart(fc);
  for (unsigned i = 0; i < fc->nb_streams; ++i) {
    AVStream* st = fc->streams[i];
    int n = avformat_index_get_entries_count(st);
    for (int k = 0; k < n; ++k) {
      const AVIndexEntry* e = avformat_index_get_entry(st, k);
      if (e->pos + e->size > size) {
        cut = true;
        continue;
      }
      end = std::max(end, e->timestamp * av_q2d(st->time_base) - start);
    }
  }
  return cut ? end : 0;
}

}  // namespace

namespace {

// Whether an MP4's header tells what the full probe would: its streams are
// H.264, HEVC or AAC with their set-up, size and rates in the header, and
// every packet's time in its index.
bool HeaderTellsAll(const AVFormatContext* fc) {
  if (std::strcmp(fc->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") != 0) return false;
  bool any = false;
  for (unsigned i = 0; i < fc->nb_streams; ++i) {
    const AVCodecParameters* p = fc->streams[i]->codecpar;
    if (p->codec_type != AVMEDIA_TYPE_VIDEO && p->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    if (fc->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) return false;
    const bool described = p->codec_id == AV_CODEC_ID_H264 || p->codec_id == AV_CODEC_ID_HEVC ||
                           p->codec_id == AV_CODEC_ID_AAC;
    if (!described || p->extradata_size <= 0) return false;
    if (p->codec_type == AVMEDIA_TYPE_VIDEO && (p->width <= 0 || p->height <= 0)) return false;
    if (p->codec_type == AVMEDIA_TYPE_AUDIO && (p->sample_rate <= 0 || p->ch_layout.nb_channels <= 0)) return false;
    any = true;
  }
  return any;
}

MediaInfo Describe(InputPtr fc, const std::string& path);

}  // namespace

MediaInfo ProbeFile(const std::string& path) {
  InputPtr fc = OpenInput(path);
  if (!fc) return {};
  return Describe(std::move(fc), path);
}

MediaInfo ProbeFileHeader(const std::string& path) {
  InputPtr fc = OpenInputHeader(path);
  if (!fc) return {};
  if (!HeaderTellsAll(fc.get())) {
    if (avformat_find_stream_info(fc.get(), nullptr) < 0) return {};
  }
  return Describe(std::move(fc), path);
}

namespace {

MediaInfo Describe(InputPtr fc, const std::string& path) {
  MediaInfo info;
  int v = av_find_best_stream(fc.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  int a = av_find_best_stream(fc.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (v < 0 && a < 0) return info;
  if (v >= 0) {
    const AVStream* st = fc->streams[v];
    // Cover art in an MP3 is a still, not a picture track.
    info.hasPictureStream = !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
    if (info.hasPictureStream && st->codecpar->width > 0) {
      info.hasVideo = true;
      info.width = st->codecpar->width;
      info.height = st->codecpar->height;
      AVRational fr = av_guess_frame_rate(fc.get(), const_cast<AVStream*>(st), nullptr);
      info.frameRate = fr.num > 0 && fr.den > 0 ? av_q2d(fr) : 0;
    }
  }
  if (a >= 0) {
    info.hasAudio = true;
    info.sampleRate = fc->streams[a]->codecpar->sample_rate;
  }
  double d = fc->duration != AV_NOPTS_VALUE && fc->duration > 0 ? fc->duration / double(AV_TIME_BASE) : 0;
  if (d <= 0) {
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
      const AVStream* st = fc->streams[i];
      if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        d = std::max(d, st->duration * av_q2d(st->time_base));
    }
  }
  // A stopped download keeps the full length in its header.
  if (double indexed = IndexedEndWithinFile(fc.get()); indexed > 0) {
    d = std::min(d, indexed);
  } else if (TailReadable(fc.get())) {
    fc.reset();
    double tail = TailEnd(path);
    if (tail > 0 && (d <= 0 || tail < d - 0.25)) d = tail;
  }
  info.duration = d;
  info.ok = info.hasVideo || info.hasAudio;
  return info;
}

}  // namespace

}  // namespace larkvale::engine
