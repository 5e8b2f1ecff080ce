// An HLS stream of 4-second 720p segments (made by the ffmpeg CLI) on a
// private nginx on 127.0.0.1 that paces each connection (limit_rate, as CDNs
// pace single connections), downloaded in the same run by:
//   - the queue runner (headless, the window's download logic), at 4, 6 and
//     8 connections,
//   - `larkvale download URL`, at 4, 6 and 8 connections,
//   - `ffmpeg -i URL -c copy` (the anchor),
//   - `yt-dlp -N 4` (when installed).
// Prints the median wall time, the speed ratio against ffmpeg, and the
// processor time per GiB of media; then, from nginx's access log, where each
// program's time went: requests in flight, time to the first segment, the
// gaps between requests on one connection, the time after the last segment.
//
// nginx sends the first second's worth of every reply unpaced and paces the
// rest, so a segment of k seconds' worth takes about k - 1 seconds: the
// picture's bitrate must make a segment several seconds' worth for the
// pacing to bound the run (at 2m, 12 Mbit/s gives 6 MB segments, about 2.9
// seconds' worth, paced for 1.9 s; 16M paces more of each segment but takes
// longer).
//   bench_stream_download [rounds=3] [minutes=10] [rate=2m] [video bitrate=12M]
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
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
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// nginx's size notation: "2m" is 2 MiB.
double RateBytes(const std::string& rate) {
  double n = std::atof(rate.c_str());
  const char unit = rate.empty() ? ' ' : rate.back();
  if (unit == 'k' || unit == 'K') n *= 1024;
  if (unit == 'm' || unit == 'M') n *= 1024 * 1024;
  return n;
}

struct Sample {
  double seconds = 0, cpu = 0;
  double from = 0, to = 0;  // wall clock (epoch seconds), to match nginx's log
  bool ok = false;
};

// Wall and processor time of one run of `body`, ours or a child's.
Sample Measure(const std::function<bool()>& body) {
  const double self = Cpu(RUSAGE_SELF), children = Cpu(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  Sample s;
  s.from = Epoch();
  s.ok = body();
  s.to = Epoch();
  s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  s.cpu = (Cpu(RUSAGE_SELF) - self) + (Cpu(RUSAGE_CHILDREN) - children);
  return s;
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// One line of the "timing" log: when the request began and ended, on which
// connection, how many bytes, which address.
struct Request {
  double start = 0, end = 0;
  long connection = 0;
  double bytes = 0;
  std::string target;
  bool Segment() const { return target.find(".m3u8") == std::string::npos; }
};

std::vector<Request> ReadLog(const std::string& path) {
  std::vector<Request> all;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    Request r;
    double took = 0;
    long nth = 0;
    int status = 0;
    std::string method;
    if (!(f >> r.end >> took >> r.connection >> nth >> status >> r.bytes >> method >> r.target)) continue;
    r.start = r.end - took;
    all.push_back(r);
  }
  return all;
}

// Where one run's time went, from the requests nginx logged in its window.
struct Breakdown {
  double requests = 0, playlists = 0, connections = 0;
  double firstSegment = 0;  // from the start to the first segment's request
  double fetching = 0;      // first segment's start to last segment's end
  double afterLast = 0;     // last segment's end to the program's end
  double inFlight = 0;      // mean segment requests in flight while fetching
  double peak = 0;          // most segment requests in flight at once
  double gapMs = 0;         // mean idle time between requests on one connection
  double ofPace = 0;        // bytes / fetching / (connections x rate)
};

Breakdown Analyse(const std::vector<Request>& log, const Sample& s, double rate) {
  Breakdown b;
  std::vector<Request> seg;
  for (const Request& r : log) {
    if (r.end < s.from || r.start > s.to) continue;
    ++b.requests;
    if (r.Segment()) seg.push_back(r);
    else ++b.playlists;
  }
  if (seg.empty()) return b;
  std::sort(seg.begin(), seg.end(), [](const Request& a, const Request& c) { return a.start < c.start; });
  double first = seg.front().start, last = 0, busy = 0, bytes = 0;
  std::map<long, std::vector<const Request*>> byConnection;
  std::vector<std::pair<double, int>> edges;
  for (const Request& r : seg) {
    last = std::max(last, r.end);
    busy += r.end - r.start;
    bytes += r.bytes;
    byConnection[r.connection].push_back(&r);
    edges.push_back({r.start, 1});
    edges.push_back({r.end, -1});
  }
  std::sort(edges.begin(), edges.end());
  int now = 0;
  for (const auto& e : edges) b.peak = std::max<double>(b.peak, now += e.second);
  double gaps = 0;
  int gapCount = 0;
  for (const auto& [id, rs] : byConnection)
    for (std::size_t i = 1; i < rs.size(); ++i) {
      gaps += std::max(0.0, rs[i]->start - rs[i - 1]->end);
      ++gapCount;
    }
  b.connections = static_cast<double>(byConnection.size());
  b.firstSegment = first - s.from;
  b.fetching = last - first;
  b.afterLast = s.to - last;
  b.inFlight = b.fetching > 0 ? busy / b.fetching : 0;
  b.gapMs = gapCount ? gaps / gapCount * 1000 : 0;
  b.ofPace = b.fetching > 0 ? bytes / b.fetching / (b.peak * rate) : 0;
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const double minutes = argc > 2 ? std::atof(argv[2]) : 10;
  const std::string rate = argc > 3 ? argv[3] : "2m";
  const std::string bitrate = argc > 4 ? argv[4] : "12M";
  QCoreApplication app(argc, argv);

  larkvale::testing::TempDir site, out;
  std::printf("making a %.1f-minute 720p HLS stream of 4 s segments at %s...\n", minutes, bitrate.c_str());
  std::fflush(stdout);
  const std::string seconds = std::to_string(static_cast<int>(minutes * 60));
  if (!Run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=duration=" + seconds +
           ":size=1280x720:rate=25 -f lavfi -i sine=duration=" + seconds + " -c:v libx264 -preset ultrafast -b:v " +
           bitrate + " -minrate " + bitrate + " -maxrate " + bitrate + " -bufsize " + bitrate +
           " -x264-params nal-hrd=cbr -g 100 -sc_threshold 0 -c:a aac -f hls -hls_time 4 "
           "-hls_playlist_type vod -hls_segment_filename '" + site.Path() + "/s%05d.ts' '" + site.Path() +
           "/index.m3u8'")) {
    std::fprintf(stderr, "ffmpeg could not make the stream\n");
    return 1;
  }
  double media = 0, largest = 0;
  int segments = 0;
  for (const auto& e : fs::directory_iterator(site.Path()))
    if (e.path().extension() == ".ts") {
      media += static_cast<double>(e.file_size());
      largest = std::max(largest, static_cast<double>(e.file_size()));
      ++segments;
    }
  const double gib = media / (1024.0 * 1024 * 1024);
  const double rateBytes = RateBytes(rate);
  const std::string log = out.File("access.log");
  larkvale::testing::NginxServer nginx(
      site.Path(), "    access_log " + log + " timing;\n    location ~ \\.ts$ { limit_rate " + rate + "; }\n");
  const std::string url = nginx.BaseUrl() + "/index.m3u8";
  const std::string larkvale = std::string(LARKVALE_APPDIR) + "larkvale";
  std::printf("%.1f MiB in %d segments (mean %.1f s, largest %.1f s worth at the rate), limit_rate %s per "
              "connection, %d rounds\n",
              media / 1048576, segments, media / segments / rateBytes, largest / rateBytes, rate.c_str(), rounds);

  int round = 0;
  auto fresh = [&] {
    const std::string dir = out.File("r" + std::to_string(round++));
    fs::create_directories(dir);
    return dir;
  };
  struct Contender {
    std::string name;
    std::function<bool(const std::string& dir)> run;
  };
  auto runner = [&](int connections) {
    return [&, connections](const std::string& dir) {
      larkvale::queue::DownloadList list;
      int current = 0;
      struct Host : larkvale::queue::RunnerHost {
        larkvale::queue::RunnerSettings settings;
        bool Stopped() override { return false; }
        larkvale::queue::RunnerSettings Settings() override { return settings; }
        void PumpMessages() override { QCoreApplication::processEvents(); }
        void Status(const QString&) override {}
        void RowDone(const QString&) override {}
        void PassFailed(std::exception_ptr) override {}
      } host;
      host.settings.folder = QString::fromStdString(dir) + "/";
      host.settings.connections = connections;
      larkvale::queue::QueueRunner runner(list, host, current);
      list.AddRows(1);
      list.SetCellText(larkvale::queue::colUrl, 0, QString::fromStdString(url));
      runner.Start();
      return list.State(0) == larkvale::queue::RowState::Done;
    };
  };
  auto download = [&](int connections) {
    return [&, connections](const std::string& dir) {
      return Run("'" + larkvale + "' download '" + url + "' -o '" + dir + "' --connections " +
                 std::to_string(connections));
    };
  };
  std::vector<Contender> contenders = {
      {"ffmpeg -c copy (anchor)",
       [&](const std::string& dir) { return Run("ffmpeg -nostdin -v error -y -i '" + url + "' -c copy '" + dir + "/o.mp4'"); }},
      {"queue runner (4)", runner(4)},
      {"queue runner 6", runner(6)},
      {"queue runner 8", runner(8)},
      {"larkvale download (4)", download(4)},
      {"larkvale download 6", download(6)},
      {"larkvale download 8", download(8)},
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
      // Apart in the log: no request of one run ends in the next one's window.
      QThread::msleep(300);
    }
  std::vector<double> anchor;
  for (const auto& s : samples[0]) anchor.push_back(s.seconds);
  const double base = Median(anchor);
  std::printf("%-24s %9s %9s %10s\n", "program", "median s", "x ffmpeg", "CPU s/GiB");
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    std::vector<double> wall, cpu;
    bool ok = true;
    for (const auto& s : samples[c]) {
      wall.push_back(s.seconds);
      cpu.push_back(s.cpu);
      ok = ok && s.ok;
    }
    std::printf("%-24s %9.2f %9.2f %10.2f %s\n", contenders[c].name.c_str(), Median(wall), base / Median(wall),
                Median(cpu) / gib, ok ? "" : "(a run failed)");
  }

  // Medians over the rounds of where the time went.
  const std::vector<Request> requests = ReadLog(log);
  std::printf("\nfrom nginx's log (medians): requests, playlist requests, connections used, s to the first segment,\n"
              "s fetching, s after the last segment, segments in flight (mean, peak), ms idle between requests\n"
              "on one connection, and bytes per second against peak x limit_rate\n");
  std::printf("%-24s %5s %4s %5s %7s %8s %7s %6s %5s %7s %6s\n", "program", "req", "pl", "conn", "first", "fetching",
              "after", "mean", "peak", "gap ms", "pace");
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    std::vector<std::vector<double>> f(10);
    for (const auto& s : samples[c]) {
      const Breakdown b = Analyse(requests, s, rateBytes);
      const double v[] = {b.requests, b.playlists, b.connections, b.firstSegment, b.fetching,
                          b.afterLast, b.inFlight, b.peak,      b.gapMs,        b.ofPace};
      for (std::size_t i = 0; i < 10; ++i) f[i].push_back(v[i]);
    }
    std::printf("%-24s %5.0f %4.0f %5.0f %7.2f %8.2f %7.2f %6.2f %5.0f %7.1f %6.2f\n", contenders[c].name.c_str(),
                Median(f[0]), Median(f[1]), Median(f[2]), Median(f[3]), Median(f[4]), Median(f[5]), Median(f[6]),
                Median(f[7]), Median(f[8]), Median(f[9]));
  }
  return 0;
}
