// An HLS stream of 4-second 720p segments (made by the ffmpeg CLI) on a
// private nginx on 127.0.0.1 that paces each connection (limit_rate, as CDNs
// pace single connections), downloaded in the same run by:
// (nginx sends the first second's worth of a reply unpaced, so the picture
// runs at 8 Mbit/s: a 4 MB segment is then paced for half its length.)
//   - the queue runner (headless, the window's download logic),
//   - `larkvale download URL`,
//   - `ffmpeg -i URL -c copy` (the anchor),
//   - `yt-dlp -N 4` (when installed).
// Prints the median wall time, the speed ratio against ffmpeg, and the
// processor time per GiB of media.
//   bench_stream_download [rounds=3] [minutes=10] [rate=2m]
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "support/nginx_server.h"

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double Cpu(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Sample {
  double seconds = 0, cpu = 0;
  bool ok = false;
};

// Wall and processor time of one run of `body`, ours or a child's.
Sample Measure(const std::function<bool()>& body) {
  const double self = Cpu(RUSAGE_SELF), children = Cpu(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  Sample s;
  s.ok = body();
  s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  s.cpu = (Cpu(RUSAGE_SELF) - self) + (Cpu(RUSAGE_CHILDREN) - children);
  return s;
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const double minutes = argc > 2 ? std::atof(argv[2]) : 10;
  const std::string rate = argc > 3 ? argv[3] : "2m";
  QCoreApplication app(argc, argv);

  larkvale::testing::TempDir site, out;
  std::printf("making a %.1f-minute 720p HLS stream of 4 s segments...\n", minutes);
  std::fflush(stdout);
  const std::string seconds = std::to_string(static_cast<int>(minutes * 60));
  if (!Run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=duration=" + seconds +
           ":size=1280x720:rate=25 -f lavfi -i sine=duration=" + seconds +
           " -c:v libx264 -preset ultrafast -b:v 8M -maxrate 8M -bufsize 8M -g 100 -sc_threshold 0 -c:a aac -f hls -hls_time 4 "
           "-hls_playlist_type vod -hls_segment_filename '" + site.Path() + "/s%05d.ts' '" + site.Path() +
           "/index.m3u8'")) {
    std::fprintf(stderr, "ffmpeg could not make the stream\n");
    return 1;
  }
  double media = 0;
  for (const auto& e : fs::directory_iterator(site.Path()))
    if (e.path().extension() == ".ts") media += static_cast<double>(e.file_size());
  const double gib = media / (1024.0 * 1024 * 1024);
  larkvale::testing::NginxServer nginx(site.Path(), "    location ~ \\.ts$ { limit_rate " + rate + "; }\n");
  const std::string url = nginx.BaseUrl() + "/index.m3u8";
  const std::string larkvale = std::string(LARKVALE_APPDIR) + "larkvale";
  std::printf("%.1f MiB of segments, limit_rate %s per connection, %d rounds\n", media / 1048576, rate.c_str(), rounds);

  int round = 0;
  auto fresh = [&] {
    const std::string dir = out.File("r" + std::to_string(round++));
    fs::create_directories(dir);
    return dir;
  };
  struct Contender {
    const char* name;
    std::function<bool(const std::string& dir)> run;
  };
  std::vector<Contender> contenders = {
      {"ffmpeg -c copy (anchor)",
       [&](const std::string& dir) { return Run("ffmpeg -nostdin -v error -y -i '" + url + "' -c copy '" + dir + "/o.mp4'"); }},
      {"queue runner",
       [&](const std::string& dir) {
         larkvale::queue::DownloadList list;
         larkvale::http::TNetHTTP client;
         int current = 0;
         larkvale::queue::RunnerHooks hooks;
         hooks.stopped = [] { return false; };
         const QString flv = QString::fromStdString(dir) + "/";
         hooks.flvDir = [flv] { return flv; };
         hooks.status = [](const QString&) {};
         hooks.addToTimeline = [](const QString&) {};
         hooks.processMessages = [] { QCoreApplication::processEvents(); };
         hooks.reportError = [](std::exception_ptr) {};
         larkvale::queue::QueueRunner runner(list, client, current, hooks);
         list.AddRows(1);
         list.SetCellText(larkvale::queue::colUrl, 0, QString::fromStdString(url));
         runner.Start();
         return list.State(0) == larkvale::queue::RowState::Done;
       }},
      {"larkvale download",
       [&](const std::string& dir) { return Run("'" + larkvale + "' download '" + url + "' -o '" + dir + "'"); }},
      // ffmpeg's HLS reader itself keeps two connections busy; the pacing
      // per connection is what more connections buy back.
      {"larkvale --connections 8", [&](const std::string& dir) {
         return Run("'" + larkvale + "' download '" + url + "' -o '" + dir + "' --connections 8");
       }},
  };
  if (Run("command -v yt-dlp"))
    contenders.push_back({"yt-dlp -N 4", [&](const std::string& dir) {
                            return Run("yt-dlp -q --no-part -N 4 -o '" + dir + "/o.%(ext)s' '" + url + "'");
                          }});
  else
    std::printf("yt-dlp is not installed: not measured\n");

  std::vector<std::vector<Sample>> samples(contenders.size());
  for (int r = 0; r < rounds; ++r)
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      const std::string dir = fresh();
      samples[c].push_back(Measure([&] { return contenders[c].run(dir); }));
      fs::remove_all(dir);
    }
  std::vector<double> anchor;
  for (const auto& s : samples[0]) anchor.push_back(s.seconds);
  const double base = Median(anchor);
  std::printf("%-26s %10s %10s %12s %s\n", "program", "median s", "x ffmpeg", "CPU s/GiB", "");
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    std::vector<double> wall, cpu;
    bool ok = true;
    for (const auto& s : samples[c]) {
      wall.push_back(s.seconds);
      cpu.push_back(s.cpu);
      ok = ok && s.ok;
    }
    std::printf("%-26s %10.2f %10.2f %12.2f %s\n", contenders[c].name, Median(wall), base / Median(wall),
                Median(cpu) / gib, ok ? "" : "(a run failed)");
  }
  return 0;
}
