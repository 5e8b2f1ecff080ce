// `larkvale download` from paced loopback nginx servers (limit_rate, as
// video hosts and CDNs pace each connection), against aria2c -x4 -s4 and
// curl fetching the same files in the same run, all run as black boxes:
//   1. one large file from one server;
//   2. many 8 MiB files spread over four servers.
// Prints the median wall time of each tool, its ratio to aria2's (below 1:
// faster than aria2), and its CPU time per GiB (user + system of the process
// and its children).
//   bench_split_download [runs=3] [MiB=256] [rate=2m] [files=20] [connections=4]
// `larkvale download` is measured one file after another and with
// --parallel 8; the window's runner with several rows at once is measured
// by bench_rows_at_once, which runs aria2c and curl beside it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/nginx_server.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using larkvale::testing::NginxServer;
using larkvale::testing::TempDir;

struct Run {
  double seconds = 0, cpu = 0;
  bool ok = false;
};

// Runs `args` to its end; its wall time and the CPU time it and its
// children used.
Run Execute(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Run run;
  const auto start = Clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    return run;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void WriteFile(const std::string& path, long mib, unsigned seed) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (long i = 0; i < mib; ++i) {
    for (std::size_t j = 0; j < block.size(); ++j) block[j] = char((j * 31 + i * 7 + seed) & 0xff);
    out.write(block.data(), std::streamsize(block.size()));
  }
}

std::uintmax_t BytesIn(const std::string& dir) {
  std::uintmax_t sum = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) sum += e.file_size();
  return sum;
}

struct Tool {
  std::string name;
  // The command that fetches `urls` into `dir`.
  std::function<std::vector<std::string>(const std::vector<std::string>& urls, const std::string& dir)> command;
};

void Measure(const char* title, const std::vector<Tool>& tools, const std::vector<std::string>& urls, long totalMiB,
             int runs) {
  std::printf("%s\n", title);
  std::vector<double> medians;
  for (const Tool& tool : tools) {
    std::vector<double> seconds, cpu;
    bool ok = true;
    for (int r = 0; r < runs; ++r) {
      TempDir out;
      const Run run = Execute(tool.command(urls, out.Path()));
      const bool whole = BytesIn(out.Path()) == std::uintmax_t(totalMiB) << 20;
      ok = ok && run.ok && whole;
      seconds.push_back(run.seconds);
      cpu.push_back(run.cpu);
    }
    medians.push_back(Median(seconds));
    const double gib = double(totalMiB) / 1024.0;
    std::printf("  %-26s median %7.2f s  %7.1f MB/s  CPU %6.2f s/GiB%s\n", tool.name.c_str(), Median(seconds),
                double(totalMiB) * 1.048576 / Median(seconds), Median(cpu) / gib, ok ? "" : "  (FAILED or incomplete)");
  }
  // aria2 is the first tool.
  for (std::size_t i = 1; i < tools.size(); ++i)
    std::printf("  %s / aria2: %.2f of its time\n", tools[i].name.c_str(), medians[i] / medians[0]);
}

// The window's runner with several rows at once has a benchmark of its own.
void MeasureWindowRunner(const std::vector<std::string>& /*urls*/) {
  std::printf("  window runner: see bench_rows_at_once\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line: the nginx servers start as forked children.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const long mib = argc > 2 ? std::max(1L, std::atol(argv[2])) : 256;
  const std::string rate = argc > 3 ? argv[3] : "2m";
  const int files = argc > 4 ? std::max(1, std::atoi(argv[4])) : 20;
  const std::string connections = argc > 5 ? argv[5] : "4";
  const std::string self = fs::canonical("/proc/self/exe").parent_path().string();
  const std::string larkvale = self + "/larkvale";
  if (!fs::exists(larkvale) || NginxServer::Executable().empty()) {
    std::fprintf(stderr, "needs %s and nginx\n", larkvale.c_str());
    return 1;
  }
  // A home of its own, so that the window's settings do not apply.
  TempDir home;
  ::setenv("HOME", home.Path().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home.Path() + "/config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home.Path() + "/data").c_str(), 1);

  TempDir lists;
  const std::vector<Tool> tools = {
      {"aria2c -x" + connections + " -s" + connections,
       [&](const std::vector<std::string>& urls, const std::string& dir) {
         // Its defaults otherwise (five downloads at once, no split under 20 MiB).
         // Addresses on its command line are mirrors of one file: a list
         // makes each a download of its own.
         const std::string list = lists.File("urls.txt");
         std::ofstream out(list, std::ios::trunc);
         for (const std::string& url : urls) out << url << "\n";
         return std::vector<std::string>{"aria2c", "-q", "-x" + connections, "-s" + connections, "--dir=" + dir,
                                         "--allow-overwrite=true", "-i", list};
       }},
      {"curl", [](const std::vector<std::string>& urls, const std::string& dir) {
         std::vector<std::string> c = {"curl", "-s", "-f", "--output-dir", dir};
         for (std::size_t i = 0; i < urls.size(); ++i) {
           c.push_back("-o");
           c.push_back("f" + std::to_string(i));
           c.push_back(urls[i]);
         }
         return c;
       }},
      {"larkvale --connections " + connections,
       [&](const std::vector<std::string>& urls, const std::string& dir) {
         std::vector<std::string> c = {larkvale, "download", "-o", dir, "--connections", connections};
         c.insert(c.end(), urls.begin(), urls.end());
         return c;
       }},
      // Several files at once, as the window's "Downloads at once" 8.
      {"larkvale --parallel 8 --connections " + connections,
       [&](const std::vector<std::string>& urls, const std::string& dir) {
         std::vector<std::string> c = {larkvale, "download", "-o", dir, "--parallel", "8", "--connections", connections};
         c.insert(c.end(), urls.begin(), urls.end());
         return c;
       }},
  };

  std::printf("runs %d, limit_rate %s a connection; medians; figures are noisy on a loaded machine\n", runs,
              rate.c_str());
  {
    TempDir root;
    WriteFile(root.File("big.mp4"), mib, 1);
    NginxServer server(root.Path(), "    location / { limit_rate " + rate + "; }\n");
    char title[128];
    std::snprintf(title, sizeof title, "one file of %ld MiB from one server:", mib);
    Measure(title, tools, {server.BaseUrl() + "/big.mp4"}, mib, runs);
  }
  {
    TempDir root;
    for (int i = 0; i < files; ++i) WriteFile(root.File("clip" + std::to_string(i) + ".mp4"), 8, unsigned(i));
    std::vector<std::unique_ptr<NginxServer>> servers;
    for (int i = 0; i < 4; ++i)
      servers.push_back(std::make_unique<NginxServer>(root.Path(), "    location / { limit_rate " + rate + "; }\n"));
    std::vector<std::string> urls;
    for (int i = 0; i < files; ++i)
      urls.push_back(servers[std::size_t(i % 4)]->BaseUrl() + "/clip" + std::to_string(i) + ".mp4");
    char title[128];
    std::snprintf(title, sizeof title, "%d files of 8 MiB from 4 servers:", files);
    Measure(title, tools, urls, 8L * files, runs);
    MeasureWindowRunner(urls);
  }
  return 0;
}
