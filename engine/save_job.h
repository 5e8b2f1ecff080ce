#pragma once
// One save of the timeline into a file, run on worker threads: one thread
// decodes and scales the pictures, the other reads the sound, encodes both and
// writes the file (each encoder may add threads of its own). The file is
// written under a temporary name beside the target and renamed over it only
// when complete, so a failed or aborted save leaves no broken file and keeps
// an existing one.

#include "engine/output_formats.h"
#include "engine/timeline.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace larkvale::engine {

class SaveJob {
 public:
  SaveJob(Timeline timeline, EncodePlan plan, std::string target);
  ~SaveJob();  // aborts and joins
  SaveJob(const SaveJob&) = delete;
  SaveJob& operator=(const SaveJob&) = delete;

  void Start();
  // Waits up to `ms` for the end; true once the job has ended.
  bool WaitFor(int ms);
  void Abort() { abort_ = true; }

  double Position() const { return position_; }  // seconds written
  double Duration() const { return duration_; }
  bool Succeeded() const { return ok_; }
  const std::string& Error() const { return error_; }

 private:
  void Run();
  bool Write(const std::string& tmp);

  Timeline timeline_;
  EncodePlan plan_;
  std::string target_;
  double duration_ = 0;
  std::atomic<bool> abort_{false};
  std::atomic<double> position_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool ok_ = false;
  std::string error_;
};

}  // namespace larkvale::engine
