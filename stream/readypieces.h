#pragma once
// The pieces the fetcher has made whole, told to the join that reads them
// while the fetch goes on: the fetcher marks each piece as it lands (and
// those found whole from an earlier run), and the join waits on it rather
// than looking at the disk.

#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_set>

namespace larkvale::stream {

class ReadyPieces {
 public:
  // From any thread: the piece at `path` is whole on disk.
  void Mark(const std::string& path);
  // No more pieces will come: the fetch ended, failed or was stopped.
  void End();
  // Blocks until `path` is marked; false once the fetch ended without it.
  bool Wait(const std::string& path);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_set<std::string> whole_;
  bool ended_ = false;
};

}  // namespace larkvale::stream
