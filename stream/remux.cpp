#include "stream/remux.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "engine/outputfile.h"
#include "stream/streamplan.h"

namespace larkvale::stream {
namespace {

std::string AvText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// Files read one after the other as one byte stream, front to back: a
// file is opened only when the one before it is used up, so it need not be
// there before. No seeking: the demuxers keep what they probe in their own
// buffer, as they do for a pipe.
class ConcatFiles {
 public:
  ConcatFiles(const std::vector<std::string>& files, const PieceWait& whole, std::atomic<bool>& gaveUp)
      : files_(files), whole_(whole), gaveUp_(gaveUp) {}
  ~ConcatFiles() {
    if (file_) std::fclose(file_);
  }

  int Read(std::uint8_t* buf, int size) {
    int done = 0;
    while (done < size) {
      if (!file_) {
        // What this file gave goes out first: the next may not be here yet.
        if (done > 0 || next_ >= files_.size()) break;
        const std::string& path = files_[next_++];
        if (whole_ && !whole_(path)) {
          gaveUp_ = true;
          return AVERROR_EXIT;
        }
        file_ = std::fopen(path.c_str(), "rb");
        if (!file_) throw StreamError("A fetched piece is missing: " + path);
      }
      const std::size_t n = std::fread(buf + done, 1, static_cast<std::size_t>(size - done), file_);
      if (n == 0) {
        const bool failed = std::ferror(file_) != 0;
        std::fclose(file_);
        file_ = nullptr;
        if (failed) throw StreamError("Cannot read the fetched piece " + files_[next_ - 1]);
        continue;
      }
      done += static_cast<int>(n);
    }
    return done > 0 ? done : AVERROR_EOF;
  }

 private:
  std::vector<std::string> files_;
  const PieceWait& whole_;
  std::atomic<bool>& gaveUp_;
  std::size_t next_ = 0;
  std::FILE* file_ = nullptr;
};

// One group opened as an input.
struct GroupInput {
  std::unique_ptr<ConcatFiles> data;
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;

  GroupInput(const std::vector<std::string>& files, const PieceWait& whole, std::atomic<bool>& gaveUp)
      : data(std::make_unique<ConcatFiles>(files, whole, gaveUp)) {
    constexpr int kBuffer = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
    io = avio_alloc_context(
        buffer, kBuffer, 0, data.get(),
        [](void* o, std::uint8_t* b, int n) {
          try {
            return static_cast<ConcatFiles*>(o)->Read(b, n);
          } catch (...) {
            return AVERROR(EIO);
          }
        },
        nullptr, nullptr);
    if (!io) {
      av_free(buffer);
      throw StreamError("Out of memory.");
    }
    fmt = avformat_alloc_context();
    fmt->pb = io;
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    int err = avformat_open_input(&fmt, nullptr, nullptr, nullptr);
    if (err < 0) {
      fmt = nullptr;
      Free();
      throw StreamError("The fetched stream is not media that can be joined (" + AvText(err) + ").");
    }
    err = avformat_find_stream_info(fmt, nullptr);
    if (err < 0) {
      Free();
      throw StreamError("The fetched stream cannot be read (" + AvText(err) + ").");
    }
  }
  ~GroupInput() { Free(); }
  void Free() {
    if (fmt) avformat_close_input(&fmt);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }
  // Start of the group's time in microseconds (0 when unknown).
  std::int64_t StartUs() const { return fmt->start_time == AV_NOPTS_VALUE ? 0 : fmt->start_time; }
};

// Reads one track's groups in order, giving packets with continued times.
class TrackReader {
 public:
  TrackReader(const RemuxTrack& track, bool takeVideo, bool takeAudio, const PieceWait& whole, std::atomic<bool>& gaveUp)
      : track_(track), takeVideo_(takeVideo), takeAudio_(takeAudio), whole_(whole), gaveUp_(gaveUp),
        packet_(av_packet_alloc()) {
    OpenGroup(0);
  }

  GroupInput& Current() { return *input_; }
  // The input stream index picked for each kind, in the current group.
  int videoIn = -1, audioIn = -1;
  // Output stream index for each kind, set by the caller.
  int videoOut = -1, audioOut = -1;
  std::int64_t offsetUs = 0;  // added to every time of the current group

  // The next packet with times in its input stream's base, not yet moved
  // by `offsetUs`; false at the end of the track.
  bool Next(AVPacket*& out, AVRational& timeBase, int& outIndex) {
    for (;;) {
      const int err = av_read_frame(input_->fmt, packet_.get());
      if (err < 0) {
        if (err != AVERROR_EOF && err != AVERROR(EIO) && err != AVERROR_INVALIDDATA)
          throw StreamError("Reading the fetched stream failed (" + AvText(err) + ").");
        if (group_ + 1 >= track_.groups.size()) return false;
        OpenGroup(group_ + 1);
        continue;
      }
      AVPacket* p = packet_.get();
      const int kindOut = p->stream_index == videoIn ? videoOut : p->stream_index == audioIn ? audioOut : -1;
      if (kindOut < 0) {
        av_packet_unref(p);
        continue;
      }
      const AVRational tb = input_->fmt->streams[p->stream_index]->time_base;
      if (p->dts == AV_NOPTS_VALUE) p->dts = p->pts;
      if (p->dts == AV_NOPTS_VALUE) {
        av_packet_unref(p);
        continue;
      }
      if (p->pts == AV_NOPTS_VALUE) p->pts = p->dts;
      const std::int64_t end =
          av_rescale_q(p->dts + std::max<std::int64_t>(p->duration, 0), tb, AV_TIME_BASE_Q) + offsetUs;
      endUs_ = std::max(endUs_, end);
      out = p;
      timeBase = tb;
      outIndex = kindOut;
      return true;
    }
  }

 private:
  void OpenGroup(std::size_t g) {
    input_.reset();
    group_ = g;
    input_ = std::make_unique<GroupInput>(track_.groups[g], whole_, gaveUp_);
    videoIn = takeVideo_ ? av_find_best_stream(input_->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    audioIn = takeAudio_ ? av_find_best_stream(input_->fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    if (videoIn < 0) videoIn = -1;
    if (audioIn < 0) audioIn = -1;
    // A later group continues where the track has got to.
    if (g > 0) offsetUs = endUs_ - input_->StartUs();
  }

  const RemuxTrack& track_;
  bool takeVideo_, takeAudio_;
  const PieceWait& whole_;
  std::atomic<bool>& gaveUp_;
  engine::PacketPtr packet_;
  std::unique_ptr<GroupInput> input_;
  std::size_t group_ = 0;
  std::int64_t endUs_ = 0;
};

using Readers = std::vector<std::unique_ptr<TrackReader>>;

// The output's streams, from each track's first group: the picture and
// sound of the first track, the sound of the second.
void AddStreams(engine::OutputFile& out, Readers& readers) {
  auto add = [&](TrackReader& r, int in, int& outIndex) {
    if (in < 0) return;
    const AVStream* o = out.CopyStream(r.Current().fmt->streams[in]);
    if (!o) throw StreamError("Cannot make an MP4 file.");
    outIndex = o->index;
  };
  add(*readers[0], readers[0]->videoIn, readers[0]->videoOut);
  add(*readers[0], readers[0]->audioIn, readers[0]->audioOut);
  if (readers.size() == 2) add(*readers[1], readers[1]->audioIn, readers[1]->audioOut);
  if (out.Context()->nb_streams == 0) throw StreamError("The fetched stream holds neither picture nor sound.");
}

// Every track moves by the earliest start among them, so separate picture
// and sound keep their relative timing. A start before zero is left as it
// is: it marks the encoder's priming samples, which the MP4's edit list then
// skips as the source's did.
void AlignStarts(Readers& readers) {
  std::int64_t start = std::numeric_limits<std::int64_t>::max();
  for (auto& r : readers) start = std::min(start, r->Current().StartUs());
  start = std::max<std::int64_t>(start, 0);
  for (auto& r : readers) r->offsetUs = -start;
}

// Copies the tracks' packets into `out`, the earliest first; false when
// stopped or a piece never came.
bool CopyInterleaved(engine::OutputFile& out, Readers& readers, const std::atomic<bool>* stop,
                     const std::atomic<bool>& gaveUp) {
  struct Pending {
    AVPacket* packet = nullptr;
    AVRational tb{};
    int index = -1;
    std::int64_t offsetUs = 0;  // its group's, as it was read
    bool done = false;
  };
  std::vector<Pending> pending(readers.size());
  for (;;) {
    if ((stop && *stop) || gaveUp) return false;
    std::size_t pick = pending.size();
    std::int64_t best = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      Pending& p = pending[i];
      if (!p.done && !p.packet) {
        p.done = !readers[i]->Next(p.packet, p.tb, p.index);
        p.offsetUs = readers[i]->offsetUs;
      }
      if (p.done) continue;
      const std::int64_t t = av_rescale_q(p.packet->dts, p.tb, AV_TIME_BASE_Q) + p.offsetUs;
      if (pick == pending.size() || t < best) {
        pick = i;
        best = t;
      }
    }
    if (pick == pending.size()) return true;
    Pending& p = pending[pick];
    AVPacket* packet = std::exchange(p.packet, nullptr);
    const int err = out.Copy(packet, p.tb, p.offsetUs, p.index);
    if (err < 0) throw StreamError("Writing the MP4 file failed (" + AvText(err) + ").");
  }
}

bool Remux(const std::vector<RemuxTrack>& tracks, const std::string& outPath, const std::atomic<bool>* stop,
           const PieceWait& wait, std::atomic<bool>& gaveUp) {
  // While the next piece is on its way, what is joined so far goes to the
  // disk, rather than waiting in the output's buffer.
  engine::OutputFile out;
  bool open = false;
  const PieceWait whole = wait ? PieceWait([&](const std::string& path) {
    if (open) out.Flush();
    return wait(path);
  })
                               : PieceWait();
  if (tracks.empty() || tracks.size() > 2) throw StreamError("Nothing to join.");
  for (const auto& t : tracks)
    if (t.groups.empty()) throw StreamError("Nothing to join.");
  av_log_set_level(AV_LOG_ERROR);

  Readers readers;
  readers.push_back(std::make_unique<TrackReader>(tracks[0], true, tracks.size() == 1, whole, gaveUp));
  if (tracks.size() == 2) readers.push_back(std::make_unique<TrackReader>(tracks[1], false, true, whole, gaveUp));

  if (out.Create("mp4", outPath) < 0) throw StreamError("Cannot make an MP4 file.");
  AddStreams(out, readers);
  AlignStarts(readers);
  if (out.Open() < 0) throw StreamError("Cannot create " + outPath + ".");
  open = true;
  int err = out.Begin();
  if (err < 0) throw StreamError("Cannot write the MP4 header (" + AvText(err) + ").");
  if (!CopyInterleaved(out, readers, stop, gaveUp)) return false;
  // A read cut short by a piece that never came may look like the end.
  if (gaveUp) return false;
  err = out.Finish();
  if (err < 0) throw StreamError("Finishing the MP4 file failed (" + AvText(err) + ").");
  return true;
}

}  // namespace

bool RemuxToMp4(const std::vector<RemuxTrack>& tracks, const std::string& outPath, const std::atomic<bool>* stop,
                const PieceWait& whole) {
  std::atomic<bool> gaveUp{false};
  try {
    return Remux(tracks, outPath, stop, whole, gaveUp);
  } catch (const StreamError&) {
    // The pieces ended early: the fetch's own result says why.
    if (gaveUp) return false;
    throw;
  }
}

}  // namespace larkvale::stream
