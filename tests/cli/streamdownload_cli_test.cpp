// `larkvale download` of an HLS stream, as a process: the same MP4 as an
// uninterrupted run after a kill -9 at about half and a second run, with no
// segment fetched twice (bytes nginx served at most 1.1 times the media).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "cli/larkvale_process.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"

namespace larkvale::testing {
namespace {

namespace fs = std::filesystem;
using testsupport::FfProbe;
using testsupport::RunCommand;
using testsupport::ShellQuote;

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class LarkvaleStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NginxServer::Executable().empty()) GTEST_SKIP() << "nginx is not installed";
    const std::string r = root_.Path();
    int status = 0;
    const std::string out = RunCommand(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=duration=8:size=320x240:rate=25 -f lavfi -i "
        "sine=duration=8 -c:v libx264 -preset ultrafast -g 25 -sc_threshold 0 -c:a aac -f hls -hls_time 1 "
        "-hls_playlist_type vod -hls_segment_filename " + ShellQuote(r + "/s%03d.ts") + " " +
            ShellQuote(r + "/index.m3u8") + " 2>&1",
        &status);
    ASSERT_EQ(status, 0) << out;
    for (const auto& e : fs::directory_iterator(r))
      if (e.path().extension() == ".ts") media_ += static_cast<std::int64_t>(e.file_size());
    // Segments paced, so that a run can be caught half way. nginx sends the
    // first second's worth of a reply at once, so the rate is well below a
    // segment's size (about 38 KB): a kill then cuts the next segment after
    // about 16 KB instead of after all of it.
    server_ = std::make_unique<NginxServer>(r, "    access_log " + logs_.File("access.log") +
                                                   ";\n    location ~ \\.ts$ { limit_rate 16k; }\n");
  }

  std::int64_t SegmentBytesServed() {
    std::ifstream in(logs_.File("access.log"));
    std::int64_t total = 0;
    const std::regex line("\"GET [^ ]+\\.ts [^\"]*\" [0-9]+ ([0-9]+)");
    for (std::string l; std::getline(in, l);) {
      std::smatch m;
      if (std::regex_search(l, m, line)) total += std::stoll(m[1].str());
    }
    return total;
  }

  TempDir root_, logs_, home_;
  std::unique_ptr<NginxServer> server_;
  std::int64_t media_ = 0;
};

TEST_F(LarkvaleStream, KillAtHalfThenRestartGivesTheSameFile) {
  TempDir whole, resumed;
  const std::string url = server_->BaseUrl() + "/index.m3u8";
  const LarkvaleRun first = RunLarkvale({"download", url, "-o", whole.Path()}, home_.Path());
  ASSERT_TRUE(first.exited && first.status == 0) << first.err;
  EXPECT_EQ(first.out, whole.File("flv0video.mp4") + "\n");
  const auto probed = FfProbe(whole.File("flv0video.mp4"));
  EXPECT_EQ(probed.video.codec, "h264");
  EXPECT_EQ(probed.audio.codec, "aac");
  EXPECT_NEAR(probed.duration, 8, 0.1);
  const std::int64_t servedOnce = SegmentBytesServed();
  EXPECT_EQ(servedOnce, media_);

  const std::string pieces = resumed.File("flv0video.mp4.segments");
  {
    LarkvaleProcess killed({"download", url, "-o", resumed.Path(), "--connections", "1"}, home_.Path());
    ASSERT_TRUE(killed.WaitUntil([&] {
      std::error_code ec;
      int whole = 0;
      for (const auto& e : fs::directory_iterator(pieces, ec))
        if (e.path().extension() == ".seg") ++whole;
      return whole >= 4;
    }));
    ::kill(killed.Pid(), SIGKILL);
    killed.Wait();
  }
  ASSERT_TRUE(fs::is_directory(pieces));
  EXPECT_FALSE(fs::exists(resumed.File("flv0video.mp4")));

  const LarkvaleRun again = RunLarkvale({"download", url, "-o", resumed.Path()}, home_.Path());
  ASSERT_TRUE(again.exited && again.status == 0) << again.err;
  EXPECT_EQ(again.out, resumed.File("flv0video.mp4") + "\n");
  EXPECT_EQ(Bytes(resumed.File("flv0video.mp4")), Bytes(whole.File("flv0video.mp4")));
  EXPECT_LE(SegmentBytesServed() - servedOnce, media_ * 11 / 10);
  EXPECT_FALSE(fs::exists(pieces));
  EXPECT_FALSE(fs::exists(resumed.File("flv0video.mp4.part")));
}

TEST_F(LarkvaleStream, AKilledLiveRecordingIsFinishedFromWhatItRecorded) {
  // The same segments as a live playlist (no end): recorded until a kill.
  std::string playlist = Bytes(root_.File("index.m3u8"));
  for (const std::string line : {"#EXT-X-ENDLIST\n", "#EXT-X-PLAYLIST-TYPE:VOD\n"})
    if (const auto at = playlist.find(line); at != std::string::npos) playlist.erase(at, line.size());
  std::ofstream(root_.File("live.m3u8"), std::ios::binary) << playlist;
  const std::string url = server_->BaseUrl() + "/live.m3u8";

  TempDir out;
  const std::string pieces = out.File("flv0video.mp4.segments");
  auto recorded = [&] {
    std::error_code ec;
    int whole = 0;
    for (const auto& e : fs::directory_iterator(pieces, ec))
      if (e.path().extension() == ".seg") ++whole;
    return whole;
  };
  {
    LarkvaleProcess killed({"download", url, "-o", out.Path(), "--connections", "1"}, home_.Path());
    ASSERT_TRUE(killed.WaitUntil([&] { return recorded() >= 3; }));
    ::kill(killed.Pid(), SIGKILL);
    killed.Wait();
  }
  const int kept = recorded();
  ASSERT_GE(kept, 3);
  EXPECT_FALSE(fs::exists(out.File("flv0video.mp4")));

  // Started again, it ends at once with the file of what was recorded.
  LarkvaleProcess again({"download", url, "-o", out.Path()}, home_.Path());
  const LarkvaleRun run = again.Wait(60000);
  ASSERT_TRUE(run.exited && run.status == 0) << run.err;
  EXPECT_EQ(run.out, out.File("flv0video.mp4") + "\n");
  const auto probed = FfProbe(out.File("flv0video.mp4"));
  EXPECT_EQ(probed.video.codec, "h264");
  EXPECT_EQ(probed.audio.codec, "aac");
  EXPECT_NEAR(probed.duration, kept, 0.1);
  EXPECT_FALSE(fs::exists(pieces));
  EXPECT_FALSE(fs::exists(out.File("flv0video.mp4.part")));
}

TEST_F(LarkvaleStream, StreamOptionsAreChecked) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--max-height", "tall"}, {"--max-height", "0"}, {"--connections", "17"}}) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    std::vector<std::string> all = {"download", server_->BaseUrl() + "/index.m3u8", "-o", root_.Path()};
    all.insert(all.end(), args.begin(), args.end());
    const LarkvaleRun run = RunLarkvale(all, home_.Path());
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(args[0]), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace larkvale::testing
