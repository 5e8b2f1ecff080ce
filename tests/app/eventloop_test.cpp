// The window stays live while a transfer is stuck: against loopback servers
// that stall (silent, after the status line, mid-body) and a listener whose
// accept queue is full, a posted timer fires, a page switch takes effect and
// Stop ends the call, each within 100 ms. And runner passes start only from
// the top-level event loop. Widgets are found by objectName, as a user
// (or a screen reader) finds them, not through the window's fields.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QElapsedTimer>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>
#include <optional>

#include "app/mainwindow.h"
#include "queue/downloadlist.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/scripted_server.h"
#include "support/stalling_servers.h"
#include "widgets/statuslabel.h"
#include "widgets/taskpane.h"

namespace larkvale::app {
namespace {

using testing::FakeDesktop;
using testing::FullAcceptQueue;
using testing::ScriptedServer;
using S = ScriptedServer;
using Clock = std::chrono::steady_clock;

// Bound on everything the window must still do while a call is stuck.
constexpr double kFrameBoundMs = 100;
// How long the servers stall: far beyond the bound, so that a call that only
// ends with the stall is told apart from one that Stop ended.
constexpr int kStallMs = 4000;

double Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

class EventLoop : public ::testing::Test {
 public:
  EventLoop() {
    form = std::make_unique<MainWindow>(desktop.services);
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->activateWindow();  // page shortcuts need an active window
    QCoreApplication::processEvents();
    urls = Find<QComboBox>("URLs");
    download = Find<QAbstractButton>("mxImageButton4");
    browserStop = Find<QAbstractButton>("mxTPButton3");
    downloadsToggle = Find<QAbstractButton>("mxTPButton10");
    pages = Find<widgets::TaskPane>("mxTaskPanePro1");
    status = Find<widgets::StatusLabel>("status");
    list = form->findChild<queue::DownloadList*>();
  }

  template <class T>
  T* Find(const char* name) {
    T* w = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  // What happened while a call was stuck, measured by the steady clock.
  struct Probe {
    Clock::time_point posted, fired, switched, stopped;
    int pageAfterSwitch = -1;
  };

  // Schedules, 300 ms from now, a zero-delay timer and Ctrl+2 (the Video
  // Converter page), and 500 ms from now `stop`.
  void ScheduleProbe(Probe& p, std::function<void()> stop) {
    QTimer::singleShot(300, form.get(), [this, &p] {
      p.posted = Clock::now();
      QTimer::singleShot(0, form.get(), [&p] { p.fired = Clock::now(); });
      QTest::keyClick(form.get(), Qt::Key_2, Qt::ControlModifier);
      p.switched = Clock::now();
      p.pageAfterSwitch = pages->ActivePage();
    });
    QTimer::singleShot(500, form.get(), [&p, stop = std::move(stop)] {
      p.stopped = Clock::now();
      stop();
    });
  }

  void ExpectLive(const Probe& p, Clock::time_point ended) {
    ASSERT_NE(p.posted, Clock::time_point{}) << "the window's timers never ran during the call";
    ASSERT_NE(p.fired, Clock::time_point{});
    EXPECT_LT(Ms(p.posted, p.fired), kFrameBoundMs);
    EXPECT_EQ(p.pageAfterSwitch, MainWindow::pgConverter);
    ASSERT_NE(p.stopped, Clock::time_point{});
    EXPECT_LT(Ms(p.stopped, ended), kFrameBoundMs) << "Stop did not end the call";
  }

  FakeDesktop desktop;
  std::unique_ptr<MainWindow> form;
  QComboBox* urls = nullptr;
  QAbstractButton* download = nullptr;
  QAbstractButton* browserStop = nullptr;
  QAbstractButton* downloadsToggle = nullptr;
  widgets::TaskPane* pages = nullptr;
  widgets::StatusLabel* status = nullptr;
  queue::DownloadList* list = nullptr;
};

TEST_F(EventLoop, APageFetchStuckOnAServerStaysLiveAndStopEndsIt) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 20000\r\n\r\n";
  const struct {
    const char* name;
    S::Script script;
    bool fullQueue;
    QStringList dialogs;  // what the user is shown afterwards
    QString status;
  } cases[] = {
      // Nothing of the page came: the fetch fails, the status line keeps
      // the "Disconnected." the Stop left there.
      {"server never answers", {S::ReadRequest(), S::Pause(kStallMs), S::Close()}, false, {"Not Connected."},
       "Disconnected."},
      {"stall after the status line", {S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\n"), S::Pause(kStallMs), S::Close()},
       false, {"Not Connected."}, "Disconnected."},
      // Part of the page came: the scan runs on it.
      {"stall mid-body", {S::ReadRequest(), S::Send(head + std::string(5000, 'p')), S::Pause(kStallMs), S::Close()},
       false, {"No video"}, "Done"},
      {"accept queue full", {}, true, {"Not Connected."}, "Disconnected."},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    desktop.dialogs.shown.clear();
    pages->SetActivePage(MainWindow::pgBrowser);
    ScriptedServer server;
    std::unique_ptr<FullAcceptQueue> full;
    int port = server.Port();
    if (t.fullQueue) {
      full = std::make_unique<FullAcceptQueue>();
      port = full->Port();
    } else {
      server.Expect(t.script);
    }
    urls->setEditText(QStringLiteral("http://127.0.0.1:%1/watch?v=stalled").arg(port));
    Probe p;
    ScheduleProbe(p, [this] { browserStop->click(); });
    download->click();
    const Clock::time_point ended = Clock::now();
    ExpectLive(p, ended);
    EXPECT_EQ(desktop.dialogs.Texts(), t.dialogs);
    EXPECT_EQ(status->Text(), t.status);
  }
}

TEST_F(EventLoop, ADownloadStuckOnAServerStaysLiveAndStopDownloadsEndsIt) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n";
  const std::string part(50000, 'v');
  ScriptedServer server;
  server.Expect({S::ReadRequest(), S::Send(head + part), S::Pause(kStallMs), S::Close()});
  // The runner started at the window's first activation; it takes the row
  // at its next pass, which runs from the top-level loop below.
  list->AddRows(1);
  list->SetCellText(queue::colUrl, 0, QStringLiteral("http://127.0.0.1:%1/video.flv").arg(server.Port()));
  Probe p;
  std::optional<Clock::time_point> finished;
  bool scheduled = false;
  QObject::connect(list, &QAbstractItemModel::dataChanged, form.get(), [&] {
    // The body has begun: its length is in the Size cell.
    if (!scheduled && list->CellInt(queue::colSize, 0) == 200000) {
      scheduled = true;
      ScheduleProbe(p, [this] { downloadsToggle->click(); });  // "Stop downloads"
    }
    if (!finished && !list->CellText(queue::colFile, 0).isEmpty()) finished = Clock::now();
  });
  for (int i = 0; i < 800 && !finished; ++i) QTest::qWait(10);
  ASSERT_TRUE(finished) << "the row never finished";
  ExpectLive(p, *finished);
  // Cut as by a work event: no error, the part that came is the row's file.
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(downloadsToggle->text(), "Start downloads");
  QFile file(list->CellText(queue::colFile, 0));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray got = file.readAll();
  EXPECT_GT(got.size(), 0);
  EXPECT_LE(got.size(), qsizetype(part.size()));
  EXPECT_EQ(got, QByteArray(got.size(), 'v'));
  EXPECT_LT(list->CellInt(queue::colProgress, 0), 100);
}

TEST_F(EventLoop, APauseEndingDuringAPageFetchWaitsForTheTopLevelLoop) {
  // A page that takes 3.6 s to arrive, in four pieces, so that the runner's
  // pause (at most 3 s from the window's first activation) ends while the
  // fetch pumps messages; and a small video.
  const std::string page(3000, 'h');
  S::Script slowPage = {S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n")};
  for (int i = 0; i < 4; ++i) {
    if (i > 0) slowPage.push_back(S::Pause(1200));
    slowPage.push_back(S::Send(page.substr(static_cast<std::size_t>(i) * 750, 750)));
  }
  slowPage.push_back(S::Close());
  ScriptedServer pageServer, videoServer;
  pageServer.Expect(slowPage);
  videoServer.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 4000\r\n\r\n" +
                                                std::string(4000, 'v')),
                      S::Close()});
  urls->setEditText(QStringLiteral("http://127.0.0.1:%1/watch?v=slow").arg(pageServer.Port()));
  // The row becomes pending once the fetch is under way.
  QTimer::singleShot(100, form.get(), [&] {
    list->AddRows(1);
    list->SetCellText(queue::colUrl, 0, QStringLiteral("http://127.0.0.1:%1/video.flv").arg(videoServer.Port()));
  });
  const Clock::time_point start = Clock::now();
  download->click();
  const double pageMs = Ms(start, Clock::now());
  ASSERT_EQ(list->RowCount(), 1);
  // The pass did not run inside the fetch; the page took its own time only.
  EXPECT_EQ(list->CellText(queue::colFile, 0), "");
  EXPECT_EQ(videoServer.Connections(), 0);
  EXPECT_GE(pageMs, 3500);
  EXPECT_LT(pageMs, 3600 + 1000);
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"No video"});
  // Back at the top level, the waiting pass runs at once.
  const Clock::time_point back = Clock::now();
  for (int i = 0; i < 300 && list->CellText(queue::colFile, 0).isEmpty(); ++i) QTest::qWait(10);
  EXPECT_NE(list->CellText(queue::colFile, 0), "");
  EXPECT_LT(Ms(back, Clock::now()), 1000);
  EXPECT_EQ(list->CellInt(queue::colProgress, 0), 100);
}

TEST_F(EventLoop, DownloadsStartedDuringAConversionWaitForItsEnd) {
  QTemporaryDir media;
  const QString clip = media.path() + "/clip.flv";
  testsupport::FixtureSpec longClip;
  longClip.seconds = 40;  // a save of a second or more, with progress every 200 ms
  ASSERT_TRUE(testsupport::MakeMediaFixture(clip.toStdString(), longClip));
  // A video that takes 3 s to arrive: run inside the save, it would stop the
  // conversion's progress for that long.
  ScriptedServer videoServer;
  S::Script slow = {S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n")};
  for (int i = 0; i < 3; ++i) {
    slow.push_back(S::Send(std::string(1000, 'v')));
    slow.push_back(S::Pause(1000));
  }
  slow.push_back(S::Close());
  videoServer.Expect(slow);
  // Downloads stopped, and the loop the activation started over (its pause
  // is at most 3 s).
  downloadsToggle->click();
  ASSERT_EQ(downloadsToggle->text(), "Start downloads");
  QTest::qWait(3200);
  list->AddRows(1);
  list->SetCellText(queue::colUrl, 0, QStringLiteral("http://127.0.0.1:%1/video.flv").arg(videoServer.Port()));

  auto* progress = Find<QProgressBar>("ProgressBar2");
  std::vector<Clock::time_point> moves;
  bool startPosted = false;
  QObject::connect(progress, &QProgressBar::valueChanged, form.get(), [&] {
    moves.push_back(Clock::now());
    // "Start downloads" pressed while the conversion runs: the click comes
    // through the event queue, as a user's does.
    if (!startPosted) {
      startPosted = true;
      QTimer::singleShot(0, form.get(), [this] { downloadsToggle->click(); });
    }
  });
  desktop.dialogs.openAnswers.push_back({clip});
  Find<QAbstractButton>("mxTPButton11")->click();
  desktop.dialogs.saveAnswers.push_back(media.path() + "/out.avi");
  const Clock::time_point start = Clock::now();
  Find<QAbstractButton>("mxImageButton3")->click();  // Convert: returns when the save is done
  moves.push_back(Clock::now());
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(downloadsToggle->text(), "Stop downloads") << moves.size() << " moves in " << Ms(start, moves.back()) << " ms";
  ASSERT_GE(moves.size(), 3u);
  double longest = Ms(start, moves.front());
  for (std::size_t i = 1; i < moves.size(); ++i) longest = std::max(longest, Ms(moves[i - 1], moves[i]));
  EXPECT_LT(longest, 1000) << "a pass ran inside the conversion";
  EXPECT_EQ(list->CellText(queue::colFile, 0), "");
  // Back at the top level, the row downloads.
  for (int i = 0; i < 800 && list->CellText(queue::colFile, 0).isEmpty(); ++i) QTest::qWait(10);
  EXPECT_NE(list->CellText(queue::colFile, 0), "");
}

TEST_F(EventLoop, AConversionLeavesTheWindowLive) {
  QTemporaryDir media;
  const QString clip = media.path() + "/long.mp4";
  testsupport::FixtureSpec longClip;
  longClip.seconds = 90;  // a DVD save of a few seconds, also on a quiet machine
  longClip.width = 640;
  longClip.height = 360;
  longClip.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  ASSERT_TRUE(testsupport::MakeMediaFixture(clip.toStdString(), longClip));
  desktop.dialogs.openAnswers.push_back({clip});
  Find<QAbstractButton>("mxTPButton11")->click();
  auto* format = Find<QComboBox>("ComboBox1");
  format->setCurrentIndex(format->findText("DVD_PAL"));
  ASSERT_EQ(format->currentText(), "DVD_PAL");

  // A timer every 10 ms: the longest gap between two firings is the longest
  // the window could not answer.
  std::vector<Clock::time_point> ticks;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, form.get(), [&] { ticks.push_back(Clock::now()); });
  // "Files" pressed half a second in, through the event queue as a user's
  // click comes: its page must be painted soon after.
  auto* explorer = Find<QWidget>("mxTaskPanePageExplorer");
  Clock::time_point pressed{}, shown{};
  struct PaintSeen : QObject {
    std::function<void()> seen;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint && seen) seen();
      return false;
    }
  } paints;
  paints.seen = [&] {
    if (pressed != Clock::time_point{} && shown == Clock::time_point{}) shown = Clock::now();
  };
  explorer->installEventFilter(&paints);
  QTimer::singleShot(500, form.get(), [&] {
    pressed = Clock::now();
    Find<QAbstractButton>("FilesPageButton")->click();
  });
  desktop.dialogs.saveAnswers.push_back(media.path() + "/out.mpg");
  tick.start(10);
  const Clock::time_point start = Clock::now();
  Find<QAbstractButton>("mxImageButton3")->click();  // Convert: returns when the save is done
  const Clock::time_point ended = Clock::now();
  tick.stop();
  explorer->removeEventFilter(&paints);

  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(Find<QLabel>("Label2")->text(), "Done.");
  EXPECT_TRUE(QFile::exists(media.path() + "/out.mpg"));
  // The save lasted long enough for the measure to mean something.
  ASSERT_GT(Ms(start, ended), 1000);
  ASSERT_GE(ticks.size(), 20u);
  double longest = Ms(start, ticks.front());
  for (std::size_t i = 1; i < ticks.size(); ++i) longest = std::max(longest, Ms(ticks[i - 1], ticks[i]));
  longest = std::max(longest, Ms(ticks.back(), ended));
  EXPECT_LT(longest, 50) << ticks.size() << " ticks in " << Ms(start, ended) << " ms";
  ASSERT_NE(pressed, Clock::time_point{}) << "the click never ran during the save";
  ASSERT_NE(shown, Clock::time_point{}) << "the Files page was never painted";
  EXPECT_LT(shown, ended) << "the Files page was painted only after the save";
  EXPECT_LT(Ms(pressed, shown), 200);
  EXPECT_EQ(pages->ActivePage(), MainWindow::pgExplorer);
}

// Counts paints of one widget and accessibility text updates about it.
class ShownCounter : public QObject {
 public:
  explicit ShownCounter(QWidget* w) : widget_(w) {
    w->installEventFilter(this);
    current_ = this;
    previous_ = QAccessible::installUpdateHandler([](QAccessibleEvent* e) {
      if (current_ && e->object() == current_->widget_ && e->type() == QAccessible::TextUpdated) ++current_->announced;
    });
  }
  ~ShownCounter() override {
    QAccessible::installUpdateHandler(previous_);
    current_ = nullptr;
  }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
  int paints = 0;
  int announced = 0;

 private:
  QWidget* widget_;
  QAccessible::UpdateHandler previous_ = nullptr;
  static inline ShownCounter* current_ = nullptr;
};

TEST_F(EventLoop, TheStatusLineShowsAndAnnouncesItsNewestTextAtMostOncePerFrame) {
  QAccessible::setActive(true);
  QCoreApplication::processEvents();
  ShownCounter counter(status);
  QElapsedTimer clock;
  clock.start();
  // As a transfer does: a new text per block, the pump between blocks.
  for (int i = 1; i <= 20000; ++i) {
    status->SetText(QString::number(i * 1024) + QStringLiteral(" bytes."));
    QCoreApplication::processEvents();
  }
  const qint64 elapsed = clock.elapsed();
  QTest::qWait(60);
  // The model text is the newest at once; the label shows it by the next frame.
  EXPECT_EQ(status->Text(), QStringLiteral("20480000 bytes."));
  EXPECT_EQ(status->text(), QStringLiteral("20480000 bytes."));
  EXPECT_GE(counter.paints, 1);
  EXPECT_LE(counter.paints, elapsed / 16 + 3);
  if (QAccessible::isActive()) {
    EXPECT_GE(counter.announced, 1);
    EXPECT_LE(counter.announced, elapsed / 16 + 3);
  }
  QAccessible::setActive(false);
}

}  // namespace
}  // namespace larkvale::app
