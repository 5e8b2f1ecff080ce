// Many small files through the real window's queue runner, and long lists.
//
// Part one: `files` files of `KB` each from private nginx servers on
// 127.0.0.1, with "Downloads at once" 8: from one host (the limit per host
// set to 8), from four hosts (the default limit of 2), and from one host
// behind `history` done rows; against `aria2c -j 8 -i list` and one curl
// fetching them one after the other, in the same run. Files per second,
// processor seconds, peak memory, and the longest hold of the window's event
// loop while the files come (a timer every 5 ms on the window's thread).
//
// Part two: a saved list of 1,000, 10,000 and 100,000 done rows (their files
// present): the time from making the window to its first answer against an
// empty list's, the processor time over 10 idle seconds, the longest hold
// while idle, and the longest hold while one row is added and downloads.
//
//   bench_many_files [files=1000,4000] [KB=200] [history=10000] [lists=1000,10000,100000]
// The platform plugin is QT_QPA_PLATFORM when set, offscreen otherwise.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/downloadspanel.h"
#include "app/mainwindow.h"
#include "platform/settings.h"
#include "queue/downloadlist.h"
#include "queue/liststore.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"
#include "support/nginx_server.h"

using Clock = std::chrono::steady_clock;
namespace queue = larkvale::queue;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double CpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs `command` through the shell: its wall seconds, processor seconds and
// peak memory (its own and its waited-for children's).
struct Run {
  bool ok = false;
  double cpu = 0;
  long peakKb = 0;
};
Run RunCommand(const std::string& command) {
  Run run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage u{};
  if (pid < 0 || ::wait4(pid, &status, 0, &u) != pid) return run;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
            static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  run.peakKb = u.ru_maxrss;
  return run;
}

// Resident memory now, in kB.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::vector<int> Numbers(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

// The longest gap between the firings of a timer on this thread.
class HoldWatch {
 public:
  HoldWatch() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  }
  void Start() {
    longest_ = 0;
    last_ = Clock::now();
    timer_.start(5);
  }
  double Stop() {
    Tick();
    timer_.stop();
    return longest_ * 1000;
  }

 private:
  void Tick() {
    const Clock::time_point now = Clock::now();
    longest_ = std::max(longest_, Seconds(last_, now));
    last_ = now;
  }
  QTimer timer_;
  Clock::time_point last_;
  double longest_ = 0;
};

void Pump(int ms) {
  for (auto until = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < until;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    usleep(2000);
  }
}

void WriteSetting(const larkvale::testing::FakeDesktop& desktop, const QString& name, const QString& value) {
  larkvale::platform::SettingsAccessor accessor(
      larkvale::platform::SettingsFilePath(desktop.services.environment.configHome));
  accessor.OpenKey(larkvale::platform::kSettingsKey, true);
  accessor.WriteString(name, value);
}

// A window that has settled after its first activation, its downloads stopped.
struct Window {
  explicit Window(const std::function<void(larkvale::testing::FakeDesktop&)>& prepare = {}) {
    if (prepare) prepare(desktop);
    made = Clock::now();
    form = std::make_unique<larkvale::app::MainWindow>(desktop.services);
    form->show();
    downloads = form->findChild<larkvale::app::DownloadsPanel*>();
    list = form->state().downloadList;
  }
  void StopDownloads() {
    if (!form->state().downloadsStopped) downloads->toggleDownloads();
    downloads->runner().PauseTimer().start(0);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }
  larkvale::testing::FakeDesktop desktop;
  Clock::time_point made;
  std::unique_ptr<larkvale::app::MainWindow> form;
  larkvale::app::DownloadsPanel* downloads = nullptr;
  queue::DownloadList* list = nullptr;
};

struct Figures {
  double seconds = 0, cpu = 0, holdMs = 0;
  long peakKb = 0;
  bool ok = true;
};

void Print(const char* who, int files, const Figures& f) {
  std::printf("  %-34s %7.2f s  %7.1f files/s  CPU %6.2f s  memory %5ld MB", who, f.seconds, files / f.seconds, f.cpu,
              (f.peakKb + 512) / 1024);
  if (f.holdMs > 0) std::printf("  longest hold %5.0f ms", f.holdMs);
  std::printf("%s\n", f.ok ? "" : "  FAILED");
  std::fflush(stdout);
}

Figures Aria(const std::vector<std::string>& urls, const std::string& dir) {
  const std::string list = dir + ".txt";
  {
    std::ofstream out(list, std::ios::trunc);
    for (const std::string& url : urls) out << url << "\n";
  }
  Figures f;
  const auto t0 = Clock::now();
  const Run run = RunCommand("aria2c -q -j 8 --allow-overwrite=true --dir='" + dir + "' -i '" + list + "'");
  f.seconds = Seconds(t0, Clock::now());
  f.ok = run.ok;
  f.cpu = run.cpu;
  f.peakKb = run.peakKb;
  std::system(("rm -rf '" + dir + "' '" + list + "'").c_str());
  return f;
}

Figures Curl(const std::vector<std::string>& urls, const std::string& dir) {
  // One curl for all: one file after the other, on a kept-alive connection.
  const std::string config = dir + ".curl";
  {
    std::ofstream out(config, std::ios::trunc);
    for (std::size_t i = 0; i < urls.size(); ++i)
      out << "url = \"" << urls[i] << "\"\noutput = \"" << dir << "/" << i << ".bin\"\n";
  }
  Figures f;
  const auto t0 = Clock::now();
  const Run run = RunCommand("mkdir -p '" + dir + "' && curl -s -K '" + config + "'");
  f.seconds = Seconds(t0, Clock::now());
  f.ok = run.ok;
  f.cpu = run.cpu;
  f.peakKb = run.peakKb;
  std::system(("rm -rf '" + dir + "' '" + config + "'").c_str());
  return f;
}

// The window downloads `urls` with 8 at once (and `perHost` from one host),
// behind `history` done rows.
Figures Runner(const std::vector<std::string>& urls, long bytes, int perHost, int history) {
  Window w([&](larkvale::testing::FakeDesktop& d) {
    WriteSetting(d, QStringLiteral("perhost"), QString::number(perHost));
    WriteSetting(d, QStringLiteral("downloadsatonce"), QStringLiteral("8"));
  });
  Pump(800);
  w.StopDownloads();
  while (w.list->RowCount() > 0) w.list->DeleteRow(0);
  if (history > 0) {
    const QString old = w.form->state().flvDir + "old.flv";
    QFile out(old);
    out.open(QIODevice::WriteOnly);
    out.write("whole");
    out.close();
    w.list->AddRows(history);
    w.list->BeginUpdate();
    for (int r = 0; r < history; ++r) {
      w.list->SetCellText(queue::colUrl, r, QStringLiteral("http://127.0.0.1:9/old%1.flv").arg(r));
      w.list->SetCellText(queue::colFile, r, old);
      w.list->SetCellInt(queue::colSize, r, 5);
      w.list->SetCellInt(queue::colProgress, r, 100);
      w.list->SetState(r, queue::RowState::Done);
    }
    w.list->EndUpdate();
    Pump(1500);  // its save
  }
  const int first = w.list->RowCount();
  w.list->AddRows(int(urls.size()));
  w.list->BeginUpdate();
  for (std::size_t i = 0; i < urls.size(); ++i)
    w.list->SetCellText(queue::colUrl, first + int(i), QString::fromStdString(urls[i]));
  w.list->EndUpdate();
  HoldWatch hold;
  Figures f;
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  hold.Start();
  w.downloads->toggleDownloads();  // the pass runs until every row is done
  f.seconds = Seconds(t0, Clock::now());
  f.holdMs = hold.Stop();
  f.cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  f.peakKb = ResidentKb();  // the window's, with its rows, as the last file lands
  for (int r = first; r < w.list->RowCount(); ++r) {
    if (w.list->State(r) != queue::RowState::Done || QFileInfo(w.list->CellText(queue::colFile, r)).size() != bytes) {
      std::fprintf(stderr, "row %d did not finish: %s\n", r, qPrintable(w.list->FileDisplayText(r)));
      f.ok = false;
      break;
    }
  }
  w.StopDownloads();
  QDir(w.form->state().flvDir).removeRecursively();
  return f;
}

void ManyFiles(int files, long kb, int history, const std::vector<std::string>& oneHost,
               const std::vector<std::string>& fourHosts, const std::string& scratch) {
  const long bytes = kb * 1024;
  std::vector<std::string> one(oneHost.begin(), oneHost.begin() + files);
  std::vector<std::string> four(fourHosts.begin(), fourHosts.begin() + files);
  std::printf("%d files of %ld KB:\n", files, kb);
  std::fflush(stdout);
  const Figures curl = Curl(one, scratch + "/curl");
  Print("curl, one after the other", files, curl);
  const Figures aria = Aria(one, scratch + "/aria");
  Print("aria2c -j 8, one host", files, aria);
  const Figures ours = Runner(one, bytes, 8, 0);
  Print("window, 8 at once, one host (8)", files, ours);
  const Figures aria4 = Aria(four, scratch + "/aria4");
  Print("aria2c -j 8, four hosts", files, aria4);
  const Figures ours4 = Runner(four, bytes, 2, 0);
  Print("window, 8 at once, four hosts (2)", files, ours4);
  const Figures behind = Runner(one, bytes, 8, history);
  const std::string label = "window, one host, behind " + std::to_string(history);
  Print(label.c_str(), files, behind);
  std::printf("  files/s against aria2: one host %.2f, four hosts %.2f, behind %d done rows %.2f\n",
              aria.seconds / ours.seconds, aria4.seconds / ours4.seconds, history, aria.seconds / behind.seconds);
  std::fflush(stdout);
}

// Part two: a saved list of `rows` done rows.
void LongList(int rows, const std::string& fileUrl, long bytes) {
  auto prepare = [&](larkvale::testing::FakeDesktop& d) {
    if (rows == 0) return;
    const QString flv = d.root.path() + "/done/";
    QDir().mkpath(flv);
    queue::DownloadList list;
    list.AddRows(rows);
    for (int r = 0; r < rows; ++r) {
      const QString file = flv + QStringLiteral("flv%1video.flv").arg(r);
      if (r < 2000 || r % 50 == 0) {  // present; the rest is one shared file
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write("whole");
      }
      list.SetCellText(queue::colUrl, r, QStringLiteral("http://videos.example/watch/%1/clip.flv").arg(r));
      list.SetCellText(queue::colFile, r, r < 2000 || r % 50 == 0 ? file : flv + "flv0video.flv");
      list.SetCellInt(queue::colSize, r, 5);
      list.SetCellInt(queue::colProgress, r, 100);
      list.SetState(r, queue::RowState::Done);
    }
    const QString path = queue::DownloadListFilePath(d.services.environment.dataHome);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(queue::SerializeDownloadList(list));
  };
  // From making the window to its first answer.
  Window w(prepare);
  bool answered = false;
  QTimer::singleShot(0, [&] { answered = true; });
  while (!answered) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  const double start = Seconds(w.made, Clock::now());
  // Settled: its first pass and save over.
  HoldWatch hold;
  hold.Start();
  Pump(3000);
  const double settling = hold.Stop();
  // Idle: nothing to watch it but the clock.
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  QTimer idle;
  idle.setSingleShot(true);
  QEventLoop loop;
  QObject::connect(&idle, &QTimer::timeout, &loop, &QEventLoop::quit);
  idle.start(10000);
  loop.exec();
  const double idleCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  hold.Start();
  Pump(4000);
  const double idleHold = hold.Stop();
  // One row added, downloaded and saved.
  hold.Start();
  const int row = w.list->RowCount();
  w.list->AddRows(1);
  w.list->SetCellText(queue::colUrl, row, QString::fromStdString(fileUrl));
  w.downloads->runner().PauseTimer().start(0);
  for (auto until = Clock::now() + std::chrono::seconds(10);
       Clock::now() < until && w.list->State(row) != queue::RowState::Done;)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  Pump(1000);  // its save
  const double addHold = hold.Stop();
  const bool done = w.list->State(row) == queue::RowState::Done &&
                    QFileInfo(w.list->CellText(queue::colFile, row)).size() == bytes;
  std::printf("  %6d rows: first answer %6.2f s, longest hold settling %5.0f ms, idle CPU %.3f %% of a core, "
              "longest hold idle %4.0f ms, adding a row %4.0f ms%s\n",
              rows, start, settling, idleCpu / 10.0 * 100.0, idleHold, addHold, done ? "" : "  (the row FAILED)");
  std::fflush(stdout);
  w.StopDownloads();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int> counts = Numbers(argc > 1 ? argv[1] : "1000,4000");
  const long kb = argc > 2 ? std::atol(argv[2]) : 200;
  const int history = argc > 3 ? std::atoi(argv[3]) : 10000;
  const std::vector<int> lists = Numbers(argc > 4 ? argv[4] : "1000,10000,100000");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // The window's browser stays on this machine.
  qputenv("LARKVALE_START_PAGE", "about:blank");
  qputenv("LARKVALE_HOME_PAGE", "about:blank");
  QApplication app(argc, argv);
  std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));

  const int most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
  larkvale::testing::TempDir site;
  {
    std::vector<char> block(std::size_t(kb) * 1024);
    for (int f = 0; f < std::max(most, 1); ++f) {
      for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + f);
      std::ofstream(site.File("v" + std::to_string(f) + ".bin"), std::ios::binary)
          .write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  std::vector<std::unique_ptr<larkvale::testing::NginxServer>> servers;
  for (int h = 0; h < 4; ++h) servers.push_back(std::make_unique<larkvale::testing::NginxServer>(site.Path(), ""));
  std::vector<std::string> oneHost, fourHosts;
  for (int f = 0; f < most; ++f) {
    oneHost.push_back(servers[0]->BaseUrl() + "/v" + std::to_string(f) + ".bin");
    fourHosts.push_back(servers[std::size_t(f % 4)]->BaseUrl() + "/v" + std::to_string(f) + ".bin");
  }
  larkvale::testing::TempDir scratch;
  for (int files : counts) ManyFiles(files, kb, history, oneHost, fourHosts, scratch.Path());

  std::printf("long lists (done rows, files present):\n");
  std::fflush(stdout);
  LongList(0, servers[0]->BaseUrl() + "/v0.bin", kb * 1024);
  for (int rows : lists) LongList(rows, servers[0]->BaseUrl() + "/v0.bin", kb * 1024);
  return 0;
}
