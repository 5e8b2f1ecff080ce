#pragma once
// Work that writes one file on a thread of its own. The file is written
// under a temporary name beside the target and renamed over it only when
// complete, so a failed or aborted job leaves no broken file and keeps an
// existing one.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace larkvale::engine {

class FileJob {
 public:
  explicit FileJob(std::string target) : target_(std::move(target)) {}
  virtual ~FileJob();  // aborts and joins
  FileJob(const FileJob&) = delete;
  FileJob& operator=(const FileJob&) = delete;

  // How much nicer than the caller the job's threads run: its own, the
  // reader and encoder threads it starts and the codecs' threads they start
  // in turn (a thread inherits its creator's priority). 0 runs them as the
  // caller runs; set before `Start`.
  void SetNiceness(int increment) { niceness_ = increment; }
  void Start();
  // Waits up to `ms` for the end; true once the job has ended.
  bool WaitFor(int ms);
  void Abort() { abort_ = true; }
  // Called on the job's thread once it has ended (set before `Start`).
  std::function<void()> OnFinished;

  double Position() const { return position_; }  // seconds written
  double Duration() const { return duration_; }
  bool Succeeded() const { return ok_; }
  const std::string& Error() const { return error_; }

 protected:
  // Writes the whole file into `tmp`, which exists and is empty; false with
  // `error_` set on failure.
  virtual bool Write(const std::string& tmp) = 0;
  // Joins the thread; a subclass calls it first in its destructor, so that
  // `Write` never runs on a half-destroyed object.
  void Stop();

  std::string target_;
  double duration_ = 0;
  std::atomic<bool> abort_{false};
  std::atomic<double> position_{0};
  std::string error_;

 private:
  void Run();

  int niceness_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool ok_ = false;
};

}  // namespace larkvale::engine
