// Peak memory (the resident set's high-water mark) of fetching and searching
// a large page, each run in a fresh process:
//   curl        the curl CLI saving the page to a file (the anchor)
//   action      the Download action (page client, copy into temp.txt, both
//               searches) in a process of its own, as the window runs it
//   larkvale    `larkvale download URL -o DIR`
// for a 100 MiB page whose video link is at its end (past the 64 MiB limit:
// only the first 64 MiB are fetched and searched) and a 60 MiB page whose
// link is at its end (found and queued; larkvale then downloads the small
// video). Prints each peak in MiB, its growth over the same process idle,
// and the ratio to curl's peak.
// Usage: bench_page_memory [rounds=1]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "queue/downloadaction.h"
#include "queue/downloadlist.h"
#include "support/nginx_server.h"

using larkvale::testing::NginxServer;
using larkvale::testing::TempDir;

namespace {

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(field));
  return -1;
}

// Runs `argv` and returns its peak resident set in KiB (-1 on failure);
// `out` receives its standard output.
long PeakOfChild(const std::vector<std::string>& argv, std::string* out = nullptr) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
  ::close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return -1;
  if (out) *out = text;
  return usage.ru_maxrss;
}

// The child that runs the Download action once: prints its idle size and
// its peak after the run, in KiB, and the status line's last text.
int RunAction(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string url = argv[2];
  QTemporaryDir scratch;
  larkvale::http::TNetHTTP client;
  larkvale::http::ApplyWindowConfiguration(client);
  larkvale::queue::DownloadList list;
  larkvale::queue::DownloadAction action(client, list, [] { QCoreApplication::processEvents(); });
  QString last;
  action.OnStatus = [&last](const QString& text) { last = text; };
  client.OnWork = [&action](larkvale::http::TNetComponent*, larkvale::http::TWorkMode, std::int64_t n) {
    action.Work(n);
  };
  larkvale::extract::SiteAddresses sites;
  sites.videoSite = sites.googleVideoServer = "http://127.0.0.1:1";
  const long idle = StatusKiB("VmHWM:");
  action.Run(url, scratch.path() + "/", sites);
  std::printf("%ld %ld %d %s\n", idle, StatusKiB("VmHWM:"), list.RowCount(), last.toUtf8().constData());
  return 0;
}

void WritePage(const std::string& path, std::size_t mib, const std::string& link) {
  std::ofstream page(path, std::ios::binary);
  page << "<!DOCTYPE html><html><body>\n";
  const std::string paragraph =
      "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore "
      "et dolore magna aliqua. <a href=\"/item.html\">An item</a> &amp; <img src=\"/i.jpg\"></p>\n";
  for (std::size_t written = 0; written < (mib << 20); written += paragraph.size()) page << paragraph;
  page << "<a href=\"" << link << "\">the video</a></body></html>\n";
}

double MiB(long kib) { return double(kib) / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--action") return RunAction(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  char self[4096];
  const ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (selfLength <= 0) return 1;
  self[selfLength] = '\0';
  std::string binDir(self);
  binDir.resize(binDir.rfind('/') + 1);

  TempDir root, out;
  WritePage(root.File("page100.html"), 100, "/video.mp4");
  WritePage(root.File("page60.html"), 60, "/video.mp4");
  {
    std::ofstream video(root.File("video.mp4"), std::ios::binary);
    video << std::string(64 * 1024, 'v');
  }
  NginxServer server(root.Path(), "    types { text/html html; video/mp4 mp4; }\n");
  std::printf("peak resident memory (VmHWM), MiB; %d round(s), the median shown; load: ", rounds);
  std::fflush(stdout);
  std::system("cut -d' ' -f1-3 /proc/loadavg");

  // The command line's own size: it starts, prints its version and ends.
  const long larkvaleIdle = PeakOfChild({binDir + "larkvale", "--version"});
  for (const char* page : {"page100.html", "page60.html"}) {
    const std::string url = server.BaseUrl() + "/" + page;
    std::vector<long> curl, action, actionIdle, cli;
    std::string actionOut;
    for (int r = 0; r < rounds; ++r) {
      curl.push_back(PeakOfChild({"curl", "-s", "-o", out.File("curl.html"), url}));
      std::string text;
      action.push_back(PeakOfChild({self, "--action", url}, &text));
      actionIdle.push_back(std::atol(text.c_str()));
      actionOut = text;
      const TempDir into;
      cli.push_back(PeakOfChild({binDir + "larkvale", "download", url, "-o", into.Path()}));
    }
    const auto median = [](std::vector<long> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    const long c = median(curl), a = median(action), l = median(cli), idle = median(actionIdle);
    std::string said = actionOut.substr(actionOut.find(' ', actionOut.find(' ') + 1) + 1);
    while (!said.empty() && said.back() == '\n') said.pop_back();
    std::printf("\n%s (rows queued, then the last status: %s)\n", page, said.c_str());
    std::printf("  %-10s %8.1f  (anchor)\n", "curl", MiB(c));
    std::printf("  %-10s %8.1f  growth over its idle %6.1f  ratio to curl %5.2f\n", "action", MiB(a), MiB(a - idle),
                double(a) / double(c));
    std::printf("  %-10s %8.1f  growth over its idle %6.1f  ratio to curl %5.2f\n", "larkvale", MiB(l),
                MiB(l - larkvaleIdle), double(l) / double(c));
  }
  return 0;
}
