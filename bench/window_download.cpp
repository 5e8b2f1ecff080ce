// The whole program as a user has it: the real Larkvale_HD, started on a
// fresh home with its start page loaded (served, like the video, by a private
// nginx on 127.0.0.1), is handed a watch page's address by a later start, as
// a link from a browser or the desktop hands it. Timed from that hand-over to
// the file under its final name in the download folder; curl fetches the
// same file to the same disk in the same run. Also the program's processor
// time per GiB and its window thread's part of it.
//   bench_window_download [rounds=3] [MiB=1024]
// The display is the caller's (QT_QPA_PLATFORM, DISPLAY, the accessibility
// bus): run it under scripts/bench-display.sh for the four settings.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/nginx_server.h"

using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// User and system seconds of a process or one of its threads, from /proc.
double CpuSeconds(const std::string& statPath) {
  std::ifstream in(statPath);
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  // After the name: state is field 3; utime and stime are 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());
  return ticks / double(sysconf(_SC_CLK_TCK));
}

// Processor seconds of the waited-for children (curl).
double ChildCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_CHILDREN, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A file in `folder` not among `before`, whole: not a part still being written.
QString FinishedFile(const QString& folder, qint64 size, const QStringList& before) {
  for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files))
    if (!f.fileName().endsWith(QLatin1String(".part")) && f.size() == size && !before.contains(f.fileName()))
      return f.filePath();
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const long mib = argc > 2 ? std::max(1L, std::atol(argv[2])) : 1024;
  QCoreApplication app(argc, argv);
  const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/Larkvale_HD");

  larkvale::testing::TempDir site, home;
  std::system(("mkdir -p '" + site.Path() + "/videos' '" + home.Path() + "/run'").c_str());
  ::chmod((home.Path() + "/run").c_str(), 0700);
  {
    // Real bytes, not a sparse file, so that nginx reads a file like a video's.
    std::ofstream out(site.File("videos/big.bin"), std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
    for (long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  WriteText(site.File("start.html"),
            "<html><head><title>Start</title></head><body><h1>Videos</h1><p>A start page.</p></body></html>\n");
  WriteText(site.File("watch.html"), "<html>\r\n<body>\r\n  var swfHTML = '<embed src=\"/p.swf?video_id=bigbigbigbi&t=" +
                                         std::string(46, 'T') + "\">';\r\n</body>\r\n</html>\r\n");
  const std::string started = site.File("started.log");
  const std::string extra =
      "    location = /start.html { access_log " + started + "; }\n"
      "    location = /watch { default_type text/html; try_files /watch.html =404; }\n"
      "    location = /get_video { return 303 /videos/big.bin; }\n";
  larkvale::testing::NginxServer nginx(site.Path(), extra);
  const QString base = QString::fromStdString(nginx.BaseUrl());

  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const QString h = QString::fromStdString(home.Path());
  env.insert("HOME", h);
  env.insert("XDG_RUNTIME_DIR", h + "/run");
  env.insert("XDG_CONFIG_HOME", h + "/config");
  env.insert("XDG_DATA_HOME", h + "/data");
  env.insert("XDG_STATE_HOME", h + "/state");
  env.insert("XDG_CACHE_HOME", h + "/cache");
  env.insert("LARKVALE_VIDEO_SITE", base);
  env.insert("LARKVALE_START_PAGE", base + "/start.html");
  env.insert("LARKVALE_HOME_PAGE", base + "/start.html");
  if (::geteuid() == 0) env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");

  QProcess window;
  window.setProcessEnvironment(env);
  window.setProcessChannelMode(QProcess::ForwardedChannels);
  window.start(program, {});
  if (!window.waitForStarted(10000)) {
    std::fprintf(stderr, "cannot start %s\n", qPrintable(program));
    return 1;
  }
  const auto begun = Clock::now();
  // Ready when the web view has asked for its start page, and a moment after
  // for the page to show and the window to settle.
  while (QFileInfo(QString::fromStdString(started)).size() <= 0) {
    if (window.state() == QProcess::NotRunning || Seconds(begun, Clock::now()) > 60) {
      std::fprintf(stderr, "the window did not load its start page\n");
      return 1;
    }
    QThread::msleep(20);
  }
  QThread::msleep(3000);
  std::printf("platform %s, accessibility %s, start page loaded after %.1f s\n",
              qEnvironmentVariable("QT_QPA_PLATFORM", "xcb").toUtf8().constData(),
              qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON") ? "on" : "off",
              Seconds(begun, Clock::now()) - 3.0);
  std::fflush(stdout);

  const QString flv = h + QStringLiteral("/larkvale/Larkvale_HD/flv");
  const qint64 size = qint64(mib) << 20;
  const std::string pid = std::to_string(window.processId());
  std::vector<double> curlTimes, windowTimes, cpuPerGiB, windowCpuPerGiB, curlCpuPerGiB, handOvers, begins, inWindow;
  for (int r = 0; r < rounds; ++r) {
    const std::string curlOut = home.File("curl.out");
    const double curlCpu0 = ChildCpuSeconds();
    auto t0 = Clock::now();
    if (std::system(("curl -s -o '" + curlOut + "' '" + nginx.BaseUrl() + "/videos/big.bin'").c_str()) != 0) return 1;
    curlTimes.push_back(Seconds(t0, Clock::now()));
    curlCpuPerGiB.push_back((ChildCpuSeconds() - curlCpu0) * 1024.0 / double(mib));
    std::remove(curlOut.c_str());
    ::sync();

    const double cpu0 = CpuSeconds("/proc/" + pid + "/stat");
    const double windowCpu0 = CpuSeconds("/proc/" + pid + "/task/" + pid + "/stat");
    // Earlier rounds' files keep their names, emptied (see below).
    const QStringList before = QDir(flv).entryList(QDir::Files);
    t0 = Clock::now();
    QProcess later;
    later.setProcessEnvironment(env);
    later.start(program, {base + QStringLiteral("/watch?v=bigbigbigbi&round=%1").arg(r + 1)});
    // Where the time goes: the later start's hand-over, the wait until the
    // row's transfer begins (its .part appears), the transfer and rename.
    double handedOver = 0, begun = 0;
    QString got;
    while ((got = FinishedFile(flv, size, before)).isEmpty()) {
      if (window.state() == QProcess::NotRunning || Seconds(t0, Clock::now()) > 600) {
        std::fprintf(stderr, "the download did not finish\n");
        return 1;
      }
      if (handedOver == 0 && later.waitForFinished(0)) handedOver = Seconds(t0, Clock::now());
      if (begun == 0)
        for (const QString& name : QDir(flv).entryList(QDir::Files))
          if (name.endsWith(QLatin1String(".part")) && !before.contains(name)) begun = Seconds(t0, Clock::now());
      QThread::usleep(500);
    }
    windowTimes.push_back(Seconds(t0, Clock::now()));
    later.waitForFinished(10000);
    if (handedOver == 0) handedOver = Seconds(t0, Clock::now());
    handOvers.push_back(handedOver);
    begins.push_back(begun);
    inWindow.push_back(windowTimes.back() - handedOver);
    // What the download cost the program, also the work it does on the
    // finished file a moment after.
    QThread::msleep(500);
    cpuPerGiB.push_back((CpuSeconds("/proc/" + pid + "/stat") - cpu0) * 1024.0 / double(mib));
    windowCpuPerGiB.push_back((CpuSeconds("/proc/" + pid + "/task/" + pid + "/stat") - windowCpu0) * 1024.0 /
                              double(mib));
    // Emptied, not removed: the program would fetch a deleted download
    // again. Its pages leave the cache as curl's do.
    QFile::resize(got, 0);
    std::printf("round %d: curl %.2f s, program %.2f s (handed over at %.2f s, transfer begun at %.2f s), "
                "CPU per GiB: program %.2f s (window thread %.2f), curl %.2f s\n",
                r + 1, curlTimes.back(), windowTimes.back(), handedOver, begun, cpuPerGiB.back(),
                windowCpuPerGiB.back(), curlCpuPerGiB.back());
    std::fflush(stdout);
  }
  window.terminate();
  if (!window.waitForFinished(10000)) window.kill();
  window.waitForFinished(5000);

  const double curl = Median(curlTimes), program_ = Median(windowTimes);
  std::printf("file %ld MiB, %d rounds, medians: curl %.2f s (%.0f MiB/s), program %.2f s (%.0f MiB/s)\n", mib,
              rounds, curl, double(mib) / curl, program_, double(mib) / program_);
  std::printf("program throughput / curl throughput = %.2f\n", curl / program_);
  // The later start is a second process of the program: its start-up is
  // part of a link handed from outside, not of a Download in the window.
  std::printf("medians: hand-over by the later start %.2f s, transfer begun at %.2f s; from the hand-over on "
              "%.2f s, throughput / curl's = %.2f\n",
              Median(handOvers), Median(begins), Median(inWindow), curl / Median(inWindow));
  std::printf("CPU per GiB (medians): program %.2f s, of it the window thread %.2f s; curl %.2f s\n",
              Median(cpuPerGiB), Median(windowCpuPerGiB), Median(curlCpuPerGiB));
  return 0;
}
