#include "stream/readypieces.h"

namespace larkvale::stream {

void ReadyPieces::Mark(const std::string& path) {
  {
    const std::lock_guard lock(mutex_);
    whole_.insert(path);
  }
  changed_.notify_all();
}

void ReadyPieces::End() {
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

bool ReadyPieces::Wait(const std::string& path) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return ended_ || whole_.count(path) > 0; });
  return whole_.count(path) > 0;
}

}  // namespace larkvale::stream
