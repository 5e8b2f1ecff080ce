#pragma once
// Joining files by copying their streams one after the other: nothing is
// decoded or encoded, so it takes seconds and loses nothing. Only files alike
// in container, codecs and stream parameters can be joined so; otherwise the
// plan names the first difference and nothing is written.

#include "engine/ffmpegutil.h"
#include "engine/filejob.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace larkvale::engine {

class OpenedParts;
class OutputFile;

struct JoinPlan {
  std::vector<std::string> files;
  std::string muxer;      // the first file's container, as FFmpeg writes it
  std::string extension;  // "mp4"
  std::string kind;       // as the user knows it: "MP4", "WebM", "MPEG-TS"
  double duration = 0;    // the files' lengths together, for progress
  // The files as the plan opened them, so that the join reads on from there
  // instead of opening and probing each again. The first join made from the
  // plan takes them; another one opens the files itself.
  std::shared_ptr<OpenedParts> opened;
};

// The plan for joining `files` in order, or nothing with the reason in
// `difference`, naming the file by its name alone and what sets it apart
// ("part2.mp4: 1280x720, the others 1920x1080").
std::optional<JoinPlan> PlanJoin(const std::vector<std::string>& files, std::string* difference);

// Copies the packets of every picture and sound stream of each file in turn,
// shifting each file's timestamps so that it starts where the one before
// ended. A file that yields less than its header describes (fewer packets
// than an MP4's tables list, or less than its length) fails the join with
// the file named and the reason, and nothing is left.
class JoinJob : public FileJob {
 public:
  JoinJob(JoinPlan plan, std::string target);
  ~JoinJob() override;

 protected:
  bool Write(const std::string& tmp) override;

 private:
  InputPtr OpenPart(size_t index);
  bool Fail(const std::string& why, int code = 0);
  bool AddStreams(OutputFile& out, const AVFormatContext* first);
  // Copies one file's packets on from `*offset` (microseconds) and moves it
  // to the file's end; false when the file fails its checks.
  bool CopyPart(OutputFile& out, AVFormatContext* in, const std::string& path, AVPacket* pkt, int64_t* offset);

  JoinPlan plan_;
  int referenceOut_ = 0;
};

}  // namespace larkvale::engine
