// `larkvale download` of a large file over several connections, killed with
// SIGKILL half-way and run again: every part resumes where its state says,
// and the file comes out byte for byte.
#include <gtest/gtest.h>
#include <signal.h>

#include <QString>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/larkvale_process.h"
#include "queue/parttransfer.h"
#include "support/nginx_server.h"
#include "support/video_site.h"

namespace larkvale::testing {
namespace {

std::string Bytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed;
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    x = x * 1664525u + 1013904223u;
    std::memcpy(&bytes[i], &x, 4);
  }
  return bytes;
}

// The bytes the split state says are on disk; -1 without a split state.
std::int64_t StateHas(const std::string& part) {
  queue::PartState state;
  if (!queue::PartState::Load(QString::fromStdString(part), state) || !state.Split()) return -1;
  std::int64_t have = 0;
  for (const auto& r : state.ranges) have += r.have;
  return have;
}

TEST(LarkvaleSplitDownload, KillAtHalfThenRestartResumesEveryPart) {
  TempDir root, logs, home, out;
  const std::string video = Bytes(32 << 20, 5);
  WriteFileBytes(root.File("big.mp4"), video);
  NginxServer server(root.Path(), "    access_log " + logs.File("access.log") +
                                      " timed;\n    location / { limit_rate 1m; }\n");
  const std::string url = server.BaseUrl() + "/big.mp4";
  const std::vector<std::string> args = {"download", url, "-o", out.Path(), "--connections", "4"};
  const std::string part = out.File("flv0video.mp4.part");
  {
    LarkvaleProcess killed(args, home.Path());
    ASSERT_TRUE(killed.WaitUntil([&] { return StateHas(part) >= std::int64_t(video.size() / 2); }));
    ::kill(killed.Pid(), SIGKILL);
    killed.Wait(20000);
  }
  const std::int64_t kept = StateHas(part);
  ASSERT_GE(kept, std::int64_t(video.size() / 2));
  ASSERT_LT(kept, std::int64_t(video.size()));

  const LarkvaleRun run = RunLarkvale(args, home.Path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFileBytes(out.File("flv0video.mp4")) == video);

  // nginx's log: what every part was served across both runs. Beyond the
  // file, each part may get again what arrived after its last state save.
  std::ifstream in(logs.File("access.log"));
  std::string line;
  std::int64_t partsServed = 0;
  int parts = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    double end = 0, took = 0;
    int status = 0;
    std::int64_t bytes = 0;
    std::string range;
    words >> end >> took >> status >> bytes >> range;
    // Ranged requests from byte 0 to the end check the file; the others are parts.
    if (status != 206 || range == "\"bytes=0-\"") continue;
    partsServed += bytes;
    ++parts;
  }
  EXPECT_EQ(parts, 8) << "four parts in each run";
  RecordProperty("fetched_twice", std::to_string(partsServed - std::int64_t(video.size())));
  constexpr std::int64_t kBlockPerPart = 512 * 1024;
  EXPECT_GE(partsServed, std::int64_t(video.size()));
  EXPECT_LE(partsServed, std::int64_t(video.size()) + 4 * kBlockPerPart)
      << "fetched twice: " << partsServed - std::int64_t(video.size());
}

TEST(LarkvaleSplitDownload, LimitRateIsCheckedAndHoldsTheDownloadBack) {
  TempDir root, home, out;
  const std::string video = Bytes(3 << 19, 9);  // 1.5 MiB
  WriteFileBytes(root.File("clip.mp4"), video);
  NginxServer server(root.Path());
  const std::string url = server.BaseUrl() + "/clip.mp4";
  for (const char* bad : {"fast", "-1", "2g", "1e3"}) {
    SCOPED_TRACE(bad);
    const LarkvaleRun run = RunLarkvale({"download", url, "-o", out.Path(), "--limit-rate", bad}, home.Path());
    EXPECT_EQ(run.status, 2) << run.err;
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.ErrLines()[0].find("--limit-rate"), std::string::npos) << run.err;
  }
  // 1.5 MiB at 512 KB/s: three seconds at the least, however idle the machine.
  const auto start = std::chrono::steady_clock::now();
  const LarkvaleRun run = RunLarkvale({"download", url, "-o", out.Path(), "--limit-rate", "512k"}, home.Path());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadFileBytes(out.File("flv0video.mp4")) == video);
  EXPECT_GE(seconds, 2.8);
}

}  // namespace
}  // namespace larkvale::testing
