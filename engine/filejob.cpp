#include "engine/filejob.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace larkvale::engine {

FileJob::~FileJob() { Stop(); }

void FileJob::Stop() {
  abort_ = true;
  if (thread_.joinable()) thread_.join();
}

void FileJob::Start() { thread_ = std::thread([this] { Run(); }); }

bool FileJob::WaitFor(int ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done_; });
}

namespace {

// Linux keeps a priority per thread; elsewhere the call would lower the
// whole process, the caller included, so there the job runs as it is.
void LowerThisThread(int increment) {
#ifdef __linux__
  if (increment <= 0) return;
  const id_t self = id_t(gettid());
  errno = 0;
  const int now = getpriority(PRIO_PROCESS, self);
  if (now == -1 && errno != 0) return;
  // Best effort: a thread that may not change its priority still works.
  setpriority(PRIO_PROCESS, self, std::min(now + increment, 19));
#else
  (void)increment;
#endif
}

}  // namespace

void FileJob::Run() {
  LowerThisThread(niceness_);
  bool ok = false;
  std::string tmp;
  // Reserve a unique temporary name beside the target.
  std::string templ = target_ + ".XXXXXX.part";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  int fd = mkstemps(name.data(), 5);
  if (fd < 0) {
    error_ = "cannot write beside " + target_ + ": " + std::strerror(errno);
  } else {
    // mkstemps makes the file private; the result gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    tmp = name.data();
    ok = Write(tmp);
    if (ok && !abort_ && std::rename(tmp.c_str(), target_.c_str()) != 0) {
      error_ = "cannot rename to " + target_ + ": " + std::strerror(errno);
      ok = false;
    }
    if (abort_ && ok) {
      ok = false;
      error_ = "aborted";
    }
    if (!ok) std::remove(tmp.c_str());
  }
  {
    std::lock_guard lock(mutex_);
    ok_ = ok;
    done_ = true;
    cv_.notify_all();
  }
  if (OnFinished) OnFinished();
}

}  // namespace larkvale::engine
