#include "cli/larkvale_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/video_site.h"

extern char** environ;

namespace larkvale::testing {

std::string LarkvaleExecutable() { return std::string(LARKVALE_APPDIR) + "larkvale"; }

std::vector<std::string> LarkvaleRun::ErrLines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

LarkvaleProcess::LarkvaleProcess(const std::vector<std::string>& args, const std::string& home,
                                 const std::map<std::string, std::string>& env) {
  outPath_ = home + "/.larkvale-stdout";
  errPath_ = home + "/.larkvale-stderr";
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos && entry.rfind("LARKVALE_", 0) != 0) all[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  all["HOME"] = home;
  all["XDG_CONFIG_HOME"] = home + "/.config";
  // No display: the command line must not need one.
  all.erase("DISPLAY");
  all.erase("WAYLAND_DISPLAY");
  all.erase("QT_QPA_PLATFORM");
  for (const auto& [k, v] : env) all[k] = v;
  std::vector<std::string> envText;
  for (const auto& [k, v] : all) envText.push_back(k + "=" + v);

  std::vector<std::string> argText{LarkvaleExecutable()};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    // The test runner may ignore signals; the child starts with the defaults.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
}

LarkvaleProcess::~LarkvaleProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool LarkvaleProcess::WaitUntil(const std::function<bool()>& ready, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    if (!reaped_ && ::waitpid(pid_, &rawStatus_, WNOHANG) == pid_) reaped_ = true;
    if (reaped_) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

LarkvaleRun LarkvaleProcess::Wait(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!reaped_) {
    if (::waitpid(pid_, &rawStatus_, WNOHANG) == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &rawStatus_, 0);
      reaped_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  LarkvaleRun run;
  run.exited = WIFEXITED(rawStatus_);
  run.status = run.exited ? WEXITSTATUS(rawStatus_) : WTERMSIG(rawStatus_);
  run.out = ReadFileBytes(outPath_);
  run.err = ReadFileBytes(errPath_);
  return run;
}

LarkvaleRun RunLarkvale(const std::vector<std::string>& args, const std::string& home,
                        const std::map<std::string, std::string>& env) {
  LarkvaleProcess process(args, home, env);
  return process.Wait();
}

}  // namespace larkvale::testing
