#pragma once
// One save of the timeline into a file, run on worker threads: one thread
// decodes and scales the pictures, one reads and encodes the sound, and the
// job's own thread encodes the pictures and writes the file (each encoder may
// add threads of its own). Written as a `FileJob`: complete or not at all.

#include "engine/file_job.h"
#include "engine/output_formats.h"
#include "engine/timeline.h"

#include <string>

namespace larkvale::engine {

class SaveJob : public FileJob {
 public:
  SaveJob(Timeline timeline, EncodePlan plan, std::string target);
  ~SaveJob() override;  // aborts and joins

 protected:
  bool Write(const std::string& tmp) override;

 private:
  Timeline timeline_;
  EncodePlan plan_;
};

}  // namespace larkvale::engine
