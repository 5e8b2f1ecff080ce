// A window's engine runs a save's threads (the job's, the reader and sound
// threads, the codecs' own) nicer than the UI thread, so that the window wins
// the cores whenever it has something to draw; the command line's engine
// leaves them as its caller runs.
#include "engine/engine_media.h"
#include "engine/videoengine.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace larkvale::enginetest {
namespace {

using engine::kWindowWorkerNiceness;
using engine::VideoEngineCore;

// The nice value of each thread of this process, by thread id.
std::map<int, int> ThreadNiceness() {
  std::map<int, int> out;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    std::ifstream stat("/proc/self/task/" + std::string(e->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    // After the name in parentheses: state is field 3, nice is field 19.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 19 && fields >> field; ++i)
      if (i == 19) out[tid] = std::atoi(field.c_str());
  }
  closedir(dir);
  return out;
}

struct PriorityCase {
  const char* what;
  std::function<std::unique_ptr<VideoEngineCore>()> make;
  int increment;  // over the caller's nice value
};

TEST(VideoEngineWorkers, AWindowsEngineRunsItsSaveNicerThanTheCaller) {
  const EngineMedia& m = Media();
  const std::vector<PriorityCase> cases = {
      {"the window's engine", [] { return std::make_unique<TVideoEngine>(); }, kWindowWorkerNiceness},
      {"the command line's engine", [] { return std::make_unique<VideoEngineCore>(); }, 0},
  };
  for (const PriorityCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<VideoEngineCore> e = c.make();
    EXPECT_EQ(e->WorkerNiceness(), c.increment);
    // Long enough to report progress before it ends: 16 s to DVD.
    for (int i = 0; i < 8; ++i) {
      ASSERT_TRUE(e->AddVideo(QString::fromStdString(m.mp4), 0, 2, 0));
      ASSERT_TRUE(e->AddAudio(QString::fromStdString(m.mp4), 0, 2));
    }
    e->OutputType = 4;
    const std::map<int, int> before = ThreadNiceness();
    const int caller = before.at(int(gettid()));
    std::map<int, int> during;
    e->OnProcessing = [&](double, double) {
      if (!during.empty()) return;
      for (const auto& [tid, nice] : ThreadNiceness())
        if (!before.count(tid)) during[tid] = nice;
      e->Abort();
    };
    EXPECT_FALSE(e->SaveTimeline(QString::fromStdString(FreshDir("priority") + "/out.mpg")));
    ASSERT_TRUE(e->LastSaveAborted()) << e->LastError().toStdString();
    // The job's thread, the reader and the sound thread at least, and the
    // codecs' threads they started.
    ASSERT_GE(during.size(), 3u);
    for (const auto& [tid, nice] : during) {
      SCOPED_TRACE("thread " + std::to_string(tid));
      EXPECT_EQ(nice, std::min(caller + c.increment, 19));
    }
    // The caller itself is left as it was.
    EXPECT_EQ(ThreadNiceness().at(int(gettid())), caller);
  }
}

}  // namespace
}  // namespace larkvale::enginetest
