// A large file over several connections, against a paced loopback nginx:
// faster by the number of connections, byte-identical, resumed part by part,
// and never taken for whole from its length alone.
#include "queue/splittransfer.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/httpclient.h"
#include "http/ratelimit.h"
#include "queue/downloadlist.h"
#include "queue/parttransfer.h"
#include "queue/queuerunner.h"
#include "support/runner_host.h"
#include "support/nginx_server.h"
#include "support/video_site.h"

namespace larkvale::queue {
namespace {

using testing::NginxServer;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::string Bytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed;
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    x = x * 1664525u + 1013904223u;
    std::memcpy(&bytes[i], &x, 4);
  }
  return bytes;
}

// One request in nginx's "timed" log.
struct Served {
  double start = 0, end = 0;
  int status = 0;
  std::int64_t bytes = 0;
  std::string range;
};

std::vector<Served> ReadLog(const std::string& path) {
  std::vector<Served> served;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    Served s;
    double took = 0;
    words >> s.end >> took >> s.status >> s.bytes >> s.range;
    s.start = s.end - took;
    if (s.range.size() >= 2) s.range = s.range.substr(1, s.range.size() - 2);
    if (s.range == "-") s.range.clear();
    served.push_back(s);
  }
  return served;
}

// The window's client and a .part transfer on it; `onBytes` sees the
// file's bytes so far (the sum of the parts), `onWait` every wait slice.
struct Download {
  explicit Download(int connections) {
    http::ApplyWindowConfiguration(client);
    transfer.connections = connections;
    client.OnWorkBegin = [this](http::TNetComponent*, http::TWorkMode mode, std::int64_t n) {
      if (mode == http::wmRead) transfer.Begin(n);
    };
    client.OnWork = [this](http::TNetComponent*, http::TWorkMode mode, std::int64_t n) {
      if (mode == http::wmRead && transfer.Counting() && onBytes) onBytes(transfer.Base() + n);
    };
    client.OnWaiting = [this](http::TNetComponent*) {
      if (onWait) onWait();
    };
  }
  PartTransfer::Result Run(const std::string& url, const std::string& part) {
    return transfer.Run(QString::fromStdString(url), QString::fromStdString(part));
  }
  http::TNetHTTP client;
  PartTransfer transfer{client};
  std::function<void(std::int64_t)> onBytes;
  std::function<void()> onWait;
};

class SplitTransferTest : public ::testing::Test {
 protected:
  void Serve(const std::string& locationConfig) {
    server_ = std::make_unique<NginxServer>(
        root_.Path(), "    access_log " + logs_.File("access.log") + " timed;\n" + locationConfig);
  }
  std::string Url(const std::string& name) const { return server_->BaseUrl() + "/" + name; }
  std::vector<Served> Log() const { return ReadLog(logs_.File("access.log")); }
  void ClearLog() const { std::ofstream(logs_.File("access.log"), std::ios::trunc); }

  TempDir root_, logs_, out_;
  std::unique_ptr<NginxServer> server_;
};

TEST_F(SplitTransferTest, FourConnectionsToAPacedServerTakeAQuarterOfTheTimeAndGiveTheSameBytes) {
  // Pacing, not the CPU, sets both times: 32 MiB at 4 MB/s a connection.
  const std::string video = Bytes(32 << 20, 7);
  WriteFileBytes(root_.File("big.mp4"), video);
  Serve("    location / { limit_rate 4m; }\n");
  double seconds[2] = {};
  for (const int connections : {1, 4}) {
    SCOPED_TRACE(connections);
    ClearLog();
    const std::string part = out_.File("v" + std::to_string(connections) + ".mp4.part");
    Download d(connections);
    QElapsedTimer timer;
    timer.start();
    const PartTransfer::Result result = d.Run(Url("big.mp4"), part);
    seconds[connections == 4] = timer.elapsed() / 1000.0;
    ASSERT_TRUE(result.complete) << result.error.toStdString();
    EXPECT_TRUE(ReadFileBytes(part.substr(0, part.size() - 5)) == video);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(part) + ".state"));
    const std::vector<Served> log = Log();
    std::vector<Served> ranged;
    for (const Served& s : log)
      if (s.status == 206) ranged.push_back(s);
    if (connections == 1) {
      EXPECT_EQ(log.size(), 1u);
      EXPECT_TRUE(ranged.empty());
    } else {
      // The first reply offered ranges and ended; the four parts ran at once.
      ASSERT_EQ(ranged.size(), 4u);
      double latestStart = 0, earliestEnd = 1e18;
      for (const Served& s : ranged) {
        latestStart = std::max(latestStart, s.start);
        earliestEnd = std::min(earliestEnd, s.end);
      }
      EXPECT_LT(latestStart, earliestEnd) << "the parts did not overlap";
      std::int64_t served = 0;
      for (const Served& s : ranged) served += s.bytes;
      EXPECT_EQ(served, std::int64_t(video.size()));
      // What the first reply sent before it was ended (for the record).
      for (const Served& s : log)
        if (s.status == 200) RecordProperty("first_reply_bytes", std::to_string(s.bytes));
    }
  }
  EXPECT_LE(seconds[1], 0.35 * seconds[0]) << seconds[1] << " s with 4, " << seconds[0] << " s with 1";
}

TEST_F(SplitTransferTest, SmallFilesAndServersWithoutRangesGetOneConnection) {
  const std::string big = Bytes(17 << 20, 3), small = Bytes((16 << 20) - 1, 4);
  WriteFileBytes(root_.File("small.mp4"), small);
  std::filesystem::create_directories(root_.File("noranges"));
  WriteFileBytes(root_.File("noranges/big.mp4"), big);
  Serve("    location /noranges/ { max_ranges 0; }\n");
  const struct {
    const char* name;
    std::string path;
    const std::string& bytes;
  } cases[] = {{"under 16 MiB", "small.mp4", small}, {"a server that takes no ranges", "noranges/big.mp4", big}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    const std::string part = out_.File(std::string(c.name) + ".mp4.part");
    Download d(4);
    const PartTransfer::Result result = d.Run(Url(c.path), part);
    ASSERT_TRUE(result.complete) << result.error.toStdString();
    EXPECT_TRUE(ReadFileBytes(part.substr(0, part.size() - 5)) == c.bytes);
    const std::vector<Served> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].range, "");
  }
}

// Stops a split download of `url` once about `fraction` of it is in, and
// returns how long the stop took.
double StopSplitDownload(const std::string& url, const std::string& part, double fraction, std::int64_t size) {
  Download d(4);
  QElapsedTimer sinceStop;
  bool stopping = false;
  d.onBytes = [&](std::int64_t have) {
    if (!stopping && have >= std::int64_t(fraction * double(size))) {
      stopping = true;
      sinceStop.start();
      d.transfer.Stop();
    }
  };
  const PartTransfer::Result result = d.Run(url, part);
  EXPECT_TRUE(result.stopped) << result.error.toStdString();
  EXPECT_TRUE(stopping);
  return stopping ? sinceStop.elapsed() / 1000.0 : 0;
}

TEST_F(SplitTransferTest, AStopKeepsEveryPartAndTheNextRunResumesEachOne) {
  const std::string video = Bytes(24 << 20, 11);
  WriteFileBytes(root_.File("v.mp4"), video);
  Serve("    location / { limit_rate 3m; }\n");
  const std::string part = out_.File("v.mp4.part");
  // Every part's connection ends with the stop, not at its part's end.
  EXPECT_LT(StopSplitDownload(Url("v.mp4"), part, 0.4, video.size()), 0.5);
  PartState state;
  ASSERT_TRUE(PartState::Load(QString::fromStdString(part), state));
  ASSERT_EQ(state.ranges.size(), 4u);
  ASSERT_TRUE(state.RangesValid());
  std::int64_t kept = 0;
  for (const PartState::Range& r : state.ranges) {
    EXPECT_GT(r.have, 0);
    EXPECT_LT(r.have, r.end - r.start);
    // What the state claims is on disk, as served.
    EXPECT_TRUE(ReadFileBytes(part).substr(r.start, r.have) == video.substr(r.start, r.have));
    kept += r.have;
  }
  ClearLog();
  Download d(4);
  std::int64_t firstShown = -1;
  d.onBytes = [&](std::int64_t have) {
    if (firstShown < 0) firstShown = have;
  };
  const PartTransfer::Result result = d.Run(Url("v.mp4"), part);
  ASSERT_TRUE(result.complete) << result.error.toStdString();
  EXPECT_TRUE(ReadFileBytes(out_.File("v.mp4")) == video);
  EXPECT_GE(firstShown, kept);
  EXPECT_EQ(d.transfer.Resumed(), kept);
  // One request checks the file; then each part asks for what it lacks.
  std::int64_t served = 0;
  int parts = 0;
  for (const Served& s : Log()) {
    if (s.range == "bytes=0-") continue;
    EXPECT_EQ(s.status, 206) << s.range;
    served += s.bytes;
    ++parts;
  }
  EXPECT_EQ(parts, 4);
  EXPECT_EQ(served, std::int64_t(video.size()) - kept);
}

TEST_F(SplitTransferTest, AFileThatChangedBetweenRunsStartsAgain) {
  const std::string before = Bytes(20 << 20, 21), after = Bytes(20 << 20, 22);
  WriteFileBytes(root_.File("v.mp4"), before);
  Serve("    location / { limit_rate 4m; }\n");
  const std::string part = out_.File("v.mp4.part");
  StopSplitDownload(Url("v.mp4"), part, 0.3, before.size());
  // Same length, another time: another ETag and Last-Modified.
  WriteFileBytes(root_.File("v.mp4"), after);
  const std::string path = root_.File("v.mp4");
  struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 100, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  Download d(4);
  const PartTransfer::Result result = d.Run(Url("v.mp4"), part);
  ASSERT_TRUE(result.complete) << result.error.toStdString();
  EXPECT_TRUE(ReadFileBytes(out_.File("v.mp4")) == after);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(part) + ".state"));
}

TEST_F(SplitTransferTest, ASplitPartWithoutASoundStateIsNeverTakenForWhole) {
  const std::string video = Bytes(20 << 20, 31);
  WriteFileBytes(root_.File("v.mp4"), video);
  Serve("    location / { limit_rate 4m; }\n");
  const struct {
    const char* name;
    std::string state;  // "" removes it
  } cases[] = {
      {"state gone", ""},
      {"state garbled", "larkvale-part 1\nlength: 20971520\nrange: 0 x 5\n"},
      {"ranges with a gap", "larkvale-part 1\nlength: 20971520\nrange: 0 10 10\nrange: 20 20971520 0\n"},
      {"not a state", "\x01\x02 nonsense"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string part = out_.File(std::string(c.name) + ".mp4.part");
    StopSplitDownload(Url("v.mp4"), part, 0.3, video.size());
    // The worst case for length-based rules: the .part as long as the file.
    ASSERT_EQ(::truncate(part.c_str(), off_t(video.size())), 0);
    const std::string state = part + ".state";
    if (c.state.empty())
      ASSERT_EQ(::unlink(state.c_str()), 0);
    else
      WriteFileBytes(state, c.state);
    Download d(4);
    const PartTransfer::Result result = d.Run(Url("v.mp4"), part);
    ASSERT_TRUE(result.complete) << result.error.toStdString();
    EXPECT_TRUE(ReadFileBytes(part.substr(0, part.size() - 5)) == video);
  }
}

TEST_F(SplitTransferTest, AFullDiskInAnyPartStopsWithDiskFullAndTheNextRunFinishes) {
  // A small tmpfs for the .part (needs the right to mount: root).
  const std::string folder = out_.File("disk");
  std::filesystem::create_directories(folder);
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=8m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
  struct Unmount {
    std::string at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  const std::string video = Bytes(20 << 20, 51);
  WriteFileBytes(root_.File("v.mp4"), video);
  Serve("    location / { limit_rate 8m; }\n");
  const std::string part = folder + "/v.mp4.part";
  {
    Download d(4);
    const PartTransfer::Result result = d.Run(Url("v.mp4"), part);
    EXPECT_FALSE(result.complete);
    EXPECT_TRUE(result.diskFull);
    EXPECT_EQ(result.error.left(11), QStringLiteral("Disk full: ")) << result.error.toStdString();
  }
  PartState state;
  ASSERT_TRUE(PartState::Load(QString::fromStdString(part), state));
  ASSERT_TRUE(state.RangesValid());
  for (const PartState::Range& r : state.ranges)
    EXPECT_TRUE(ReadFileBytes(part).substr(r.start, r.have) == video.substr(r.start, r.have));
  ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT, "size=48m"), 0) << std::strerror(errno);
  Download d(4);
  const PartTransfer::Result result = d.Run(Url("v.mp4"), part);
  ASSERT_TRUE(result.complete) << result.error.toStdString();
  EXPECT_TRUE(ReadFileBytes(folder + "/v.mp4") == video);
}

TEST_F(SplitTransferTest, TheRunnerSplitsARowAndStopDownloadsEndsEveryPart) {
  const std::string video = Bytes(20 << 20, 61);
  WriteFileBytes(root_.File("v.mp4"), video);
  Serve("    location / { limit_rate 4m; }\n");
  DownloadList list;
  int currentRow = 0;
  testing::RecordingRunnerHost host;
  host.failOnPassError = true;
  bool& stopped = host.stopped;
  host.settings.folder = QString::fromStdString(out_.Path()) + "/";
  host.settings.connections = 4;
  QElapsedTimer sinceStop;
  // "Stop downloads" once the row shows 40 %, the first time.
  bool armed = true;
  host.onReceived = [&](std::int64_t) {
    if (armed && !stopped && list.CellInt(colProgress, 0) >= 40) {
      armed = false;
      stopped = true;
      sinceStop.start();
    }
  };
  QueueRunner runner(list, host, currentRow);
  list.AddRows(1);
  list.SetCellText(colUrl, 0, QString::fromStdString(Url("v.mp4")));
  list.SetCellInt(colSize, 0, 0);
  list.SetCellInt(colProgress, 0, 0);

  runner.Start();
  ASSERT_TRUE(stopped);
  EXPECT_LT(sinceStop.elapsed(), 500);
  EXPECT_EQ(list.State(0), RowState::Stopped) << list.ErrorText(0).toStdString();
  EXPECT_EQ(list.CellInt(colSize, 0), std::int64_t(video.size()));
  // nginx logs a reply cut by the client once it sees the close: a moment later.
  const auto parts = [](const std::vector<Served>& log) {
    return std::count_if(log.begin(), log.end(), [](const Served& s) { return s.status == 206; });
  };
  std::vector<Served> first = Log();
  for (QElapsedTimer logged; !logged.isValid() || (parts(first) < 4 && logged.elapsed() < 2000); first = Log()) {
    if (!logged.isValid()) logged.start();
    QThread::msleep(20);
  }
  EXPECT_EQ(parts(first), 4);

  // "Start downloads": the next pass resumes every part.
  stopped = false;
  runner.Start();
  QElapsedTimer waited;
  waited.start();
  while (list.State(0) != RowState::Done && list.State(0) != RowState::Failed && waited.elapsed() < 60000) {
    runner.PauseTimer().start(0);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  const std::vector<Served> both = Log();
  EXPECT_EQ(std::count_if(both.begin(), both.end(), [](const Served& s) { return s.status == 206; }), 9)
      << "four parts, the check of the file, four parts";
  ASSERT_EQ(list.State(0), RowState::Done) << list.ErrorText(0).toStdString();
  EXPECT_EQ(list.CellInt(colProgress, 0), 100);
  EXPECT_TRUE(ReadFileBytes(list.CellText(colFile, 0).toStdString()) == video);
}

TEST(RateLimit, TwoTransfersShareOneMegabyteASecondFairly) {
  // 10 MiB in all at 1 MiB/s: ten seconds, each transfer half of it.
  TempDir root;
  const std::string a = Bytes(5 << 20, 41), b = Bytes(5 << 20, 42);
  WriteFileBytes(root.File("a.bin"), a);
  WriteFileBytes(root.File("b.bin"), b);
  NginxServer server(root.Path());
  http::RateLimit::Global().SetBytesPerSecond(1 << 20);
  struct Reset {
    ~Reset() { http::RateLimit::Global().SetBytesPerSecond(0); }
  } reset;
  const auto start = std::chrono::steady_clock::now();
  double done[2] = {};
  std::string got[2];
  std::vector<std::thread> transfers;
  for (int i = 0; i < 2; ++i)
    transfers.emplace_back([&, i] {
      http::TNetHTTP client;
      http::ApplyWindowConfiguration(client);
      // Waits slice, as the window's do.
      client.OnWaiting = [](http::TNetComponent*) {};
      try {
        got[i] = client.Get(server.BaseUrl() + (i == 0 ? "/a.bin" : "/b.bin"));
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
      done[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
  for (auto& t : transfers) t.join();
  EXPECT_TRUE(got[0] == a);
  EXPECT_TRUE(got[1] == b);
  const double all = std::max(done[0], done[1]);
  EXPECT_NEAR(all, 10.0, 0.5) << "10 MiB took " << all << " s";
  // A fair share ends both at about the same time.
  EXPECT_NEAR(done[0], done[1], 0.5) << done[0] << " s and " << done[1] << " s";
}

TEST(RateLimit, RatesAreKilobytesWithOptionalSuffixes) {
  const struct {
    const char* text;
    std::int64_t bytes;
  } cases[] = {{"800", 800 * 1024}, {"500k", 500 * 1024}, {"2m", 2 << 20}, {"1.5M", 3 << 19}, {"0", 0},
               {"", -1},           {"-5", -1},          {"2g", -1},      {"k", -1},         {"1e3", -1},
               {"99999999999m", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(http::ParseRateKBps(c.text), c.bytes);
  }
}

}  // namespace
}  // namespace larkvale::queue
