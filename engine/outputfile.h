#pragma once
// One file written by FFmpeg's muxers, and the step every packet takes into
// it. Saves, joins and the stream remux all write through this: the output's
// set-up (container, streams, header, trailer) and the copy of a packet from
// another file (its time moved and kept in decode order) live here once.
// Errors come back as FFmpeg's codes; the callers word them.

#include "engine/ffmpegutil.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace larkvale::engine {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Sets up `muxer` ("mp4", "matroska") for `path`; nothing is opened yet.
  int Create(const std::string& muxer, const std::string& path);
  AVFormatContext* Context() const { return oc_.get(); }
  // Whether the container wants the codecs' set-up in its header rather
  // than in the stream.
  bool GlobalHeader() const { return oc_->oformat->flags & AVFMT_GLOBALHEADER; }

  // A new stream, to be filled by an encoder's parameters.
  AVStream* NewStream();
  // A new stream with `in`'s codec parameters, time base and rates, for a
  // copy. The source's tag stays where the container knows it for the
  // codec; else the container picks its own.
  AVStream* CopyStream(const AVStream* in);

  // Opens the file; then the header, once the streams are set. A file
  // made empty just now (a job's temporary file) is opened as it is:
  // truncating it, even at no length, makes ext4 write the whole file out
  // when it is closed, which the writer would wait for.
  enum class Start { kTruncate, kFreshEmptyFile };
  int Open(Start start = Start::kTruncate);
  int Begin(const std::map<std::string, std::string>& muxerOptions = {});
  // Writes a packet whose times are in its output stream's base.
  int Write(AVPacket* pkt);
  // Writes a packet copied from a stream of base `from`, moved by `shiftUs`
  // microseconds, into output stream `out`. A packet whose decode time would
  // not follow the stream's last (a tick of rounding at a join, or a file's
  // first sound under the one before's padded end) goes just after it.
  int Copy(AVPacket* pkt, AVRational from, int64_t shiftUs, int out);
  // Sends what is buffered to the disk.
  void Flush();
  // The trailer, then the file closed.
  int Finish();

 private:
  std::unique_ptr<AVFormatContext, OutputCloser> oc_;
  std::string path_;
  std::vector<int64_t> lastDts_;
};

}  // namespace larkvale::engine
