#pragma once
// Runs the built `larkvale` program (next to the test executable) as a child
// process with its own environment, standard output and standard error
// captured in files.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace larkvale::testing {

struct LarkvaleRun {
  bool exited = false;  // ended by exit(); otherwise by a signal
  int status = -1;      // the exit status, or the signal's number
  std::string out, err;
  // The lines of standard error.
  std::vector<std::string> ErrLines() const;
};

class LarkvaleProcess {
 public:
  // `home` becomes HOME and the root of XDG_CONFIG_HOME; `env` adds to the
  // environment (LARKVALE_* addresses, ...).
  LarkvaleProcess(const std::vector<std::string>& args, const std::string& home,
                  const std::map<std::string, std::string>& env = {});
  ~LarkvaleProcess();
  pid_t Pid() const { return pid_; }
  // Waits for the end, killing the child after `timeoutMs`.
  LarkvaleRun Wait(int timeoutMs = 240000);
  // Polls `ready` every 20 ms until it holds or the child ends; true when it held.
  bool WaitUntil(const std::function<bool()>& ready, int timeoutMs = 120000);

 private:
  pid_t pid_ = -1;
  std::string outPath_, errPath_;
  bool reaped_ = false;
  int rawStatus_ = 0;
};

// Runs to the end.
LarkvaleRun RunLarkvale(const std::vector<std::string>& args, const std::string& home,
                        const std::map<std::string, std::string>& env = {});

// build/bin/larkvale
std::string LarkvaleExecutable();

}  // namespace larkvale::testing
