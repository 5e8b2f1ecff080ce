#pragma once
// One save of the timeline into a file, run on worker threads: one thread
// decodes and scales the pictures, one reads and encodes the sound, and the
// job's own thread encodes the pictures and writes the file (each encoder may
// add threads of its own). Written as a `FileJob`: complete or not at all.

#include "engine/ffmpegutil.h"
#include "engine/filejob.h"
#include "engine/encodeplan.h"
#include "engine/timeline.h"

#include <string>

namespace larkvale::engine {

class OutputFile;
template <class Ptr>
class HandOver;

class SaveJob : public FileJob {
 public:
  SaveJob(Timeline timeline, EncodePlan plan, std::string target);
  ~SaveJob() override;  // aborts and joins

 protected:
  bool Write(const std::string& tmp) override;

 private:
  struct Encoders;
  bool Fail(const std::string& why, int code = 0);
  bool OpenPictureEncoder(OutputFile& out, Encoders& e);
  bool OpenSoundEncoder(OutputFile& out, Encoders& e);
  bool OpenAmrEncoder(Encoders& e);
  void ReadPictures(HandOver<FramePtr>& pictures, std::string& error);
  void EncodeSound(Encoders& e, HandOver<PacketPtr>& sounds, std::string& error);
  bool WriteInOrder(OutputFile& out, Encoders& e, HandOver<FramePtr>& pictures, HandOver<PacketPtr>& sounds,
                    bool& writeFailed);
  static void Drain(OutputFile& out, AVCodecContext* c, AVStream* st, AVPacket* pkt, bool& writeFailed);

  Timeline timeline_;
  EncodePlan plan_;
};

}  // namespace larkvale::engine
