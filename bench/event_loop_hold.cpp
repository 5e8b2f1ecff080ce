// How long the window's event loop is held while a transfer is stuck. The
// real window (shown) fetches from a server on 127.0.0.1 that stalls; a 1 ms
// timer runs meanwhile, and the longest gap between two of its firings is the
// longest time nothing else could run (no repaint, no click, no Stop).
//   bench_event_loop_hold [rounds=3]
// Cases, each stalling for 2 s before the server gives up (closes, or for the
// full accept queue starts accepting again):
//   silent       the server accepts and never answers (page fetch, HTTP1)
//   status-line  the server stalls after "HTTP/1.0 200 OK" (page fetch)
//   mid-body     the server stalls half-way through the body (page fetch)
//   full-queue   the listener's accept queue is full (page fetch)
//   runner       the server stalls half-way through a download (queue runner)
//   convert      a DVD PAL conversion of a 20 s 640x360 clip (made with the
//                ffmpeg CLI), run to its end; nothing stops it
// One second into the stall the matching Stop is pressed (the browser page's
// Stop, or "Stop downloads"); where Stop cannot run, the call lasts until the
// server gives up. The platform plugin is QT_QPA_PLATFORM when set,
// offscreen otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/mainwindow.h"
#include "platform/composition.h"
#include "queue/downloadlist.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/scripted_server.h"

using larkvale::testing::ScriptedServer;

namespace {

constexpr int kStallMs = 2000;
constexpr int kStopAfterMs = 1000;

// A listener whose accept queue is full: further connects hang in SYN
// retries. After `releaseMs` it accepts everything, so a waiting connect
// completes at its next retry.
class FullListener {
 public:
  explicit FullListener(int releaseMs) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    // Fill the queue until a connect no longer completes.
    for (int i = 0; i < 64; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(c);
      pollfd p{c, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) break;
    }
    release_ = std::thread([this, releaseMs] {
      for (int waited = 0; waited < releaseMs && !stop_; waited += 10) ::usleep(10000);
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
          int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
          if (c >= 0) ::close(c);  // the client sees a close
        }
      }
    });
  }
  ~FullListener() {
    stop_ = true;
    release_.join();
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
  std::atomic<bool> stop_{false};
  std::thread release_;
};

struct Result {
  double heldMs;
  double callMs;
  double heldAtMs;  // when the longest gap ended, from the start of the call
};

template <class T>
T* Find(QObject* root, const char* name) {
  T* w = root->findChild<T*>(QString::fromLatin1(name));
  if (!w) {
    std::fprintf(stderr, "no widget %s\n", name);
    std::exit(1);
  }
  return w;
}

// Runs `call` with a 1 ms probe timer and a Stop scheduled one second in.
Result Measure(const std::function<void()>& call, const std::function<void()>& stop) {
  QElapsedTimer clock;
  qint64 last = -1;
  qint64 held = 0, heldAt = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(1);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (last >= 0 && now - last > held) {
      held = now - last;
      heldAt = now;
    }
    last = now;
  });
  QTimer::singleShot(kStopAfterMs, stop);
  clock.start();
  probe.start();
  call();
  const qint64 end = clock.nsecsElapsed();
  if (end - std::max<qint64>(last, 0) > held) {
    held = end - std::max<qint64>(last, 0);
    heldAt = end;
  }
  probe.stop();
  // The scheduled Stop, if the call outlived it without running it, runs now.
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  return {held / 1e6, end / 1e6, heldAt / 1e6};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  qputenv("LARKVALE_START_PAGE", "about:blank");
  qputenv("LARKVALE_HOME_PAGE", "about:blank");
  QApplication app(argc, argv);

  larkvale::testing::FakeDesktop desktop;
  larkvale::app::MainWindow form(desktop.services);
  form.show();
  // With a window manager the window is activated a moment after it is
  // shown, and its first activation starts the runner: let that happen first.
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 800) {
    QCoreApplication::processEvents();
    ::usleep(5000);
  }
  std::printf("platform %s, accessibility %s, window composed %s\n", qPrintable(QGuiApplication::platformName()),
              QAccessible::isActive() ? "active" : "off",
              larkvale::platform::ComposedInSoftware() ? "in software" : "by the platform's default");
  std::fflush(stdout);

  auto* urls = Find<QComboBox>(&form, "URLs");
  auto* download = Find<QAbstractButton>(&form, "mxImageButton4");
  auto* browserStop = Find<QAbstractButton>(&form, "mxTPButton3");
  auto* runnerToggle = Find<QAbstractButton>(&form, "mxTPButton10");
  auto* list = form.findChild<larkvale::queue::DownloadList*>();
  // Downloads stay stopped except in the runner case, which starts them.
  if (runnerToggle->text() == QStringLiteral("Stop downloads")) runnerToggle->click();

  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n";
  const std::string half(100000, 'x');
  using S = ScriptedServer;
  const char* names[] = {"silent", "status-line", "mid-body", "full-queue", "runner", "convert"};
  QTemporaryDir media;
  const QString clip = media.path() + "/clip.mp4";
  larkvale::testsupport::FixtureSpec clipSpec;
  clipSpec.seconds = 20;
  clipSpec.width = 640;
  clipSpec.height = 360;
  clipSpec.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  if (!larkvale::testsupport::MakeMediaFixture(clip.toStdString(), clipSpec)) {
    std::fprintf(stderr, "ffmpeg could not make the clip\n");
    return 1;
  }
  desktop.dialogs.openAnswers.push_back({clip});
  Find<QAbstractButton>(&form, "mxTPButton11")->click();
  auto* format = Find<QComboBox>(&form, "ComboBox1");
  format->setCurrentIndex(format->findText(QStringLiteral("DVD_PAL")));
  auto* convert = Find<QAbstractButton>(&form, "mxImageButton3");
  std::printf("%-12s %14s %14s  %s\n", "case", "held ms (med)", "call ms (med)", "longest holds ended at (ms into the call)");
  for (int c = 0; c < 6; ++c) {
    std::vector<double> held, call;
    std::string at;
    for (int r = 0; r < rounds; ++r) {
      ScriptedServer server;
      std::unique_ptr<FullListener> full;
      int port = server.Port();
      if (c == 0) server.Expect({S::ReadRequest(), S::Pause(kStallMs), S::Close()});
      if (c == 1) server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\n"), S::Pause(kStallMs), S::Close()});
      if (c == 2 || c == 4) server.Expect({S::ReadRequest(), S::Send(head + half), S::Pause(kStallMs), S::Close()});
      if (c == 3) {
        full = std::make_unique<FullListener>(kStallMs);
        port = full->Port();
      }
      const QString url = QStringLiteral("http://127.0.0.1:%1/watch?v=x").arg(port);
      Result res;
      if (c == 5) {
        const QString out = media.path() + "/out.mpg";
        desktop.dialogs.saveAnswers.push_back(out);
        res = Measure([&] { convert->click(); }, [] {});
        QFile::remove(out);
      } else if (c < 4) {
        urls->setEditText(url);
        res = Measure([&] { download->click(); }, [&] { browserStop->click(); });
      } else {
        while (list->RowCount() > 0) list->DeleteRow(0);
        list->AddRows(1);
        list->SetCellText(larkvale::queue::colUrl, 0, url);
        // Start downloads; the pass runs now or when the runner's pause
        // ends; "Stop downloads" ends it. The call lasts until the row is done.
        res = Measure(
            [&] {
              runnerToggle->click();
              QElapsedTimer wait;
              wait.start();
              while (list->CellText(larkvale::queue::colFile, 0).isEmpty() && wait.elapsed() < 8000) {
                QCoreApplication::processEvents();
                ::usleep(1000);
              }
            },
            [&] {
              if (runnerToggle->text() == QStringLiteral("Stop downloads")) runnerToggle->click();
            });
        if (runnerToggle->text() == QStringLiteral("Stop downloads")) runnerToggle->click();
        const QString file = list->CellText(larkvale::queue::colFile, 0);
        if (!file.isEmpty()) QFile::remove(file);
      }
      if (c != 5) server.WaitIdle(kStallMs + 3000);
      held.push_back(res.heldMs);
      char text[32];
      std::snprintf(text, sizeof text, " %.0f", res.heldAtMs);
      at += text;
      call.push_back(res.callMs);
    }
    std::printf("%-12s %14.1f %14.1f %s\n", names[c], Median(held), Median(call), at.c_str());
    std::fflush(stdout);
  }
  return 0;
}
