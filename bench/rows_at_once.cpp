// The real window's queue runner downloading many files from several private
// nginx servers on 127.0.0.1 with "Downloads at once", against curl fetching
// the same files one after the other and aria2c -x4 -s4 in the same run; with
// the process's CPU time per GiB.
//   bench_rows_at_once [files=20] [MiB=8] [hosts=4] [atonce=4] [rate=2m]
// `rate` is each connection's nginx limit_rate (as CDNs pace), 0 for none.
// File i comes from host i % hosts. The platform plugin is QT_QPA_PLATFORM
// when set, offscreen otherwise.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/downloadspanel.h"
#include "app/mainwindow.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"
#include "support/nginx_server.h"

using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 20;
  const long mib = argc > 2 ? std::atol(argv[2]) : 8;
  const int hosts = argc > 3 ? std::max(1, std::atoi(argv[3])) : 4;
  const int atOnce = argc > 4 ? std::atoi(argv[4]) : 4;
  const std::string rate = argc > 5 ? argv[5] : "2m";
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // The window's browser stays on this machine.
  qputenv("LARKVALE_START_PAGE", "about:blank");
  qputenv("LARKVALE_HOME_PAGE", "about:blank");
  QApplication app(argc, argv);

  larkvale::testing::TempDir site;
  {
    std::vector<char> block(1 << 20);
    for (int f = 0; f < files; ++f) {
      std::ofstream out(site.File("v" + std::to_string(f) + ".bin"), std::ios::binary);
      for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + f);
      for (long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  std::vector<std::unique_ptr<larkvale::testing::NginxServer>> servers;
  for (int h = 0; h < hosts; ++h)
    servers.push_back(std::make_unique<larkvale::testing::NginxServer>(
        site.Path(), rate == "0" ? std::string() : "limit_rate " + rate + ";"));
  std::vector<std::string> urls;
  for (int f = 0; f < files; ++f) urls.push_back(servers[f % hosts]->BaseUrl() + "/v" + std::to_string(f) + ".bin");

  // curl, one file after the other.
  const std::string curlOut = site.File("curl.out");
  auto t0 = Clock::now();
  for (const std::string& url : urls)
    if (std::system(("curl -s -o '" + curlOut + "' '" + url + "'").c_str()) != 0) return 1;
  const double curl = Seconds(t0, Clock::now());
  std::remove(curlOut.c_str());

  // aria2c -x4 -s4 with its other defaults (five downloads at once), given
  // the addresses as a list: on its command line they would be mirrors of
  // one file.
  const std::string ariaDir = site.File("aria");
  const std::string ariaList = site.File("aria.txt");
  {
    std::ofstream out(ariaList, std::ios::trunc);
    for (const std::string& url : urls) out << url << "\n";
  }
  t0 = Clock::now();
  if (std::system(("aria2c -q -x4 -s4 --allow-overwrite=true --dir='" + ariaDir + "' -i '" + ariaList + "'").c_str()) != 0)
    return 1;
  const double aria = Seconds(t0, Clock::now());
  std::system(("rm -rf '" + ariaDir + "'").c_str());

  larkvale::testing::FakeDesktop desktop;
  larkvale::app::MainWindow form(desktop.services);
  form.show();
  auto* downloads = form.findChild<larkvale::app::DownloadsPanel*>();
  form.findChild<QComboBox*>(QStringLiteral("DownloadsAtOnce"))->setCurrentIndex(atOnce - 1);
  larkvale::queue::DownloadList* list = form.state().downloadList;
  for (auto until = Clock::now() + std::chrono::milliseconds(800); Clock::now() < until;) {
    QCoreApplication::processEvents();
    usleep(5000);
  }
  // Stop: ends any loop left from the activation; the start below runs the pass now.
  if (!form.state().downloadsStopped) downloads->toggleDownloads();
  downloads->runner().PauseTimer().start(0);
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  while (list->RowCount() > 0) list->DeleteRow(0);
  list->AddRows(files);
  for (int f = 0; f < files; ++f) list->SetCellText(larkvale::queue::colUrl, f, QString::fromStdString(urls[f]));
  t0 = Clock::now();
  const double cpu0 = CpuSeconds();
  downloads->toggleDownloads();
  const double runner = Seconds(t0, Clock::now());
  const double cpu = CpuSeconds() - cpu0;
  for (int f = 0; f < files; ++f) {
    const QString got = list->CellText(larkvale::queue::colFile, f);
    if (list->State(f) != larkvale::queue::RowState::Done || QFile(got).size() != mib * 1024 * 1024) {
      std::fprintf(stderr, "row %d did not finish: %s\n", f, qPrintable(list->FileDisplayText(f)));
      return 1;
    }
  }
  const double gib = static_cast<double>(files) * static_cast<double>(mib) / 1024.0;
  std::printf("%d files of %ld MiB from %d hosts, limit_rate %s, downloads at once %d\n", files, mib, hosts,
              rate.c_str(), atOnce);
  std::printf("curl one after the other %.2f s (%.1f MiB/s), runner %.2f s (%.1f MiB/s)\n", curl, files * mib / curl,
              runner, files * mib / runner);
  std::printf("runner throughput / sequential curl throughput = %.2f\n", curl / runner);
  std::printf("aria2c -x4 -s4 %.2f s (%.1f MiB/s); runner throughput / aria2 throughput = %.2f\n", aria,
              files * mib / aria, aria / runner);
  std::printf("process CPU per GiB: %.2f s\n", cpu / gib);
  return 0;
}
