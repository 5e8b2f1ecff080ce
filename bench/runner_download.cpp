// The real queue runner of the real window (shown, with its grid and status
// line) downloading one large file from a private nginx on 127.0.0.1, against
// curl fetching the same file in the same run. Also the process's CPU time
// per GiB (and the window thread's part of it: the rest is other threads,
// such as the display's renderer), and its peak memory during the download against its size when idle.
//   bench_runner_download [rounds=3] [MiB=1024]
// The platform plugin is QT_QPA_PLATFORM when set (xcb under Xvfb is what a
// user runs; see scripts/bench-display.sh), offscreen otherwise.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/downloadspanel.h"
#include "app/mainwindow.h"
#include "platform/composition.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"
#include "support/nginx_server.h"

using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// The whole process's, or (with RUSAGE_THREAD) the window thread's.
double CpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  const long mib = argc > 2 ? std::atol(argv[2]) : 1024;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // The window's browser stays on this machine.
  qputenv("LARKVALE_START_PAGE", "about:blank");
  qputenv("LARKVALE_HOME_PAGE", "about:blank");
  QApplication app(argc, argv);

  larkvale::testing::TempDir site;
  const std::string file = site.File("big.bin");
  {
    // Real bytes, not a sparse file, so that nginx reads a file like a video's.
    std::ofstream out(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
    for (long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  larkvale::testing::NginxServer nginx(site.Path());
  const std::string url = nginx.BaseUrl() + "/big.bin";

  larkvale::testing::FakeDesktop desktop;
  larkvale::app::MainWindow form(desktop.services);
  form.show();
  auto* downloads = form.findChild<larkvale::app::DownloadsPanel*>();
  larkvale::queue::DownloadList* list = form.state().downloadList;
  // With a window manager the window is activated a moment after it is
  // shown, and its first activation starts the runner: let that happen
  // before the rounds take the runner in hand.
  for (auto until = Clock::now() + std::chrono::milliseconds(800); Clock::now() < until;) {
    QCoreApplication::processEvents();
    usleep(5000);
  }
  const long idleKiB = StatusKiB("VmRSS:");
  std::printf("platform %s, accessibility %s, window composed %s\n", qPrintable(QGuiApplication::platformName()),
              QAccessible::isActive() ? "active" : "off",
              larkvale::platform::ComposedInSoftware() ? "in software" : "by the platform's default");
  std::fflush(stdout);

  std::vector<double> curlTimes, runnerTimes, cpuPerGiB, windowCpuPerGiB;
  long peakKiB = 0;
  for (int r = 0; r < rounds; ++r) {
    const std::string curlOut = site.File("curl.out");
    auto t0 = Clock::now();
    if (std::system(("curl -s -o '" + curlOut + "' '" + url + "'").c_str()) != 0) return 1;
    curlTimes.push_back(Seconds(t0, Clock::now()));
    std::remove(curlOut.c_str());

    // A fresh row; the runner's pass downloads it at once.
    // Stop: ends any loop left from the last round (or from the activation).
    if (!form.state().downloadsStopped) downloads->toggleDownloads();
    downloads->runner().PauseTimer().start(0);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    while (list->RowCount() > 0) list->DeleteRow(0);
    list->AddRows(1);
    list->SetCellText(larkvale::queue::colUrl, 0, QString::fromStdString(url));
    t0 = Clock::now();
    const double cpu0 = CpuSeconds(), windowCpu0 = CpuSeconds(RUSAGE_THREAD);
    downloads->toggleDownloads();  // start (downloads are stopped here): runs the pass now
    runnerTimes.push_back(Seconds(t0, Clock::now()));
    cpuPerGiB.push_back((CpuSeconds() - cpu0) * 1024.0 / static_cast<double>(mib));
    windowCpuPerGiB.push_back((CpuSeconds(RUSAGE_THREAD) - windowCpu0) * 1024.0 / static_cast<double>(mib));
    peakKiB = std::max(peakKiB, StatusKiB("VmHWM:"));
    const QString got = list->CellText(larkvale::queue::colFile, 0);
    if (QFile(got).size() != mib * 1024 * 1024 || !desktop.dialogs.shown.empty()) {
      std::fprintf(stderr, "download failed: %s\n", qPrintable(desktop.dialogs.Texts().join("|")));
      return 1;
    }
    QFile::remove(got);
    std::printf("round %d: curl %.2f s, runner %.2f s, runner CPU %.2f s/GiB (window thread %.2f)\n", r + 1,
                curlTimes.back(), runnerTimes.back(), cpuPerGiB.back(), windowCpuPerGiB.back());
    std::fflush(stdout);
  }
  const double curl = Median(curlTimes), runner = Median(runnerTimes);
  std::printf("file %ld MiB, %d rounds, medians: curl %.2f s (%.0f MiB/s), runner %.2f s (%.0f MiB/s)\n", mib, rounds,
              curl, mib / curl, runner, mib / runner);
  std::printf("runner throughput / curl throughput = %.2f\n", curl / runner);
  std::printf("process CPU per GiB (median): %.2f s, of it the window thread %.2f s\n", Median(cpuPerGiB),
              Median(windowCpuPerGiB));
  std::printf("memory: idle %ld KiB, peak %ld KiB, growth %.1f MiB\n", idleKiB, peakKiB, (peakKiB - idleKiB) / 1024.0);
  return 0;
}
