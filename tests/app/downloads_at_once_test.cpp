// "Downloads at once" in the real window: rows from several servers download
// together (the servers' logs overlap) under the names one at a time gives,
// at most two from one host, "Stop downloads" stops them all at once, and a
// row's Stop or Delete ends only that row. The default of 1 keeps the strict
// order.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include "platform/settings.h"
#include "support/fakes.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/video_site.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using queue::colFile;
using queue::colSize;
using queue::colUrl;
using queue::RowState;
using testing::Child;
using testing::FakeDesktop;
using testing::Only;
using testing::ReadFileBytes;
using testing::ScriptedServer;
using Span = ScriptedServer::Span;

std::string Pattern(std::size_t size, int seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977 + seed * 7) & 0xff);
  return s;
}

// A reply whose body comes in `pieces` pieces, `pauseMs` apart, as a paced
// server sends it.
ScriptedServer::Script Paced(const std::string& body, int pieces, int pauseMs) {
  ScriptedServer::Script script{ScriptedServer::ReadRequest(),
                                ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                                     std::to_string(body.size()) + "\r\n\r\n")};
  const std::size_t piece = (body.size() + pieces - 1) / pieces;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    if (at > 0) script.push_back(ScriptedServer::Pause(pauseMs));
    script.push_back(ScriptedServer::Send(body.substr(at, piece)));
  }
  return script;
}

// Some moment when every span was open.
bool AllOverlap(const std::vector<Span>& spans) {
  if (spans.empty()) return false;
  auto latestStart = spans.front().accepted;
  auto earliestEnd = spans.front().ended;
  for (const Span& s : spans) {
    latestStart = std::max(latestStart, s.accepted);
    earliestEnd = std::min(earliestEnd, s.ended);
  }
  return latestStart < earliestEnd;
}

std::vector<Span> Joined(std::initializer_list<const ScriptedServer*> servers) {
  std::vector<Span> all;
  for (const ScriptedServer* s : servers)
    for (const Span& span : s->Spans()) all.push_back(span);
  std::sort(all.begin(), all.end(), [](const Span& a, const Span& b) { return a.accepted < b.accepted; });
  return all;
}

class AtOnce : public ::testing::Test {
 public:
  AtOnce() {
    form = std::make_unique<MainWindow>(desktop.services);
    panel = Only<DownloadsPanel>(form.get());
  }
  queue::DownloadList& List() { return *form->state().downloadList; }
  int AddRow(const QString& link) {
    const int row = List().RowCount();
    List().AddRows(1);
    List().SetCellText(colUrl, row, link);
    return row;
  }
  static QString Link(const ScriptedServer& s, const char* path) {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(s.Port()).arg(path);
  }
  void SetAtOnce(int n) { Child<QComboBox>(form.get(), "DownloadsAtOnce")->setCurrentIndex(n - 1); }
  // A pass now: the first starts the loop, later ones end its pause.
  void RunPass() {
    QTimer& pause = panel->runner().PauseTimer();
    if (!panel->runner().Active()) {
      panel->startDownloads();
      return;
    }
    pause.start(0);
    QDeadlineTimer deadline(5000);
    for (;;) {
      QCoreApplication::processEvents();  // the timer fires
      QCoreApplication::processEvents();  // the pass it posted runs
      const bool retrying = pause.isActive() && pause.interval() <= queue::QueueRunner::kTopLevelRetryMs;
      if (!retrying || deadline.hasExpired()) break;
      QThread::msleep(1);
    }
  }
  // Runs `check` every few ms while a pass runs (from inside its waits).
  void During(std::function<void()> check) {
    watch_ = new QTimer(form.get());
    QObject::connect(watch_, &QTimer::timeout, form.get(), std::move(check));
    watch_->start(2);
  }
  void EndWatch() { delete watch_; }
  bool AllIn(std::initializer_list<int> rows, RowState state) {
    return std::all_of(rows.begin(), rows.end(), [&](int r) { return List().State(r) == state; });
  }
  bool AllDownloading(std::initializer_list<int> rows) {
    return std::all_of(rows.begin(), rows.end(), [this](int r) {
      return List().State(r) == RowState::Downloading && List().CellInt(colSize, r) > 0;
    });
  }
  QString Name(int row) { return QFileInfo(List().CellText(colFile, row)).fileName(); }
  QString Flv() const { return form->state().flvDir; }

  FakeDesktop desktop;
  std::unique_ptr<MainWindow> form;
  DownloadsPanel* panel = nullptr;
  QTimer* watch_ = nullptr;
};

TEST_F(AtOnce, TheChoiceIsStoredAndReadAtTheNextStart) {
  auto* choice = Child<QComboBox>(form.get(), "DownloadsAtOnce");
  EXPECT_EQ(choice->currentText(), "1");  // the default: one after the other
  EXPECT_EQ(choice->count(), 8);
  EXPECT_EQ(choice->accessibleName(), "Downloads at once");
  choice->setCurrentIndex(3);
  platform::SettingsAccessor accessor(platform::SettingsFilePath(desktop.services.environment.configHome));
  ASSERT_TRUE(accessor.OpenKey(kSettingsKey, false));
  EXPECT_EQ(accessor.ReadString("downloadsatonce"), "4");
  form = std::make_unique<MainWindow>(desktop.services);
  EXPECT_EQ(Child<QComboBox>(form.get(), "DownloadsAtOnce")->currentText(), "4");
}

TEST_F(AtOnce, RowsFromThreeHostsRunTogetherUnderTheNamesOneAtATimeGives) {
  // Three rows, two kinds of name, and bodies of different lengths so that
  // they end out of order when they run together: the first row last.
  const std::string bodies[] = {Pattern(48000, 0), Pattern(32000, 1), Pattern(16000, 2)};
  const char* paths[] = {"/a?fmt=18", "/b.flv", "/c?fmt=22"};
  const int pieces[] = {12, 8, 4};
  QStringList names[2];
  QSignalSpy finished(panel, &DownloadsPanel::downloadFinished);
  for (const int atOnce : {1, 3}) {
    SCOPED_TRACE(atOnce);
    SetAtOnce(atOnce);
    ScriptedServer servers[3];
    while (List().RowCount() > 0) List().DeleteRow(0);
    QDir(Flv()).removeRecursively();
    QDir().mkpath(Flv());
    finished.clear();
    for (int i = 0; i < 3; ++i) {
      servers[i].Expect(Paced(bodies[i], pieces[i], 40));
      AddRow(Link(servers[i], paths[i]));
    }
    RunPass();

    QStringList timeline;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(List().State(i), RowState::Done) << i;
      EXPECT_EQ(ReadFileBytes(List().CellText(colFile, i).toStdString()), bodies[i]) << i;
      names[atOnce == 1 ? 0 : 1] << Name(i);
      timeline << List().CellText(colFile, i);
    }
    // Each whole file reaches the Timeline once.
    QStringList added;
    for (const auto& call : finished) added << call.at(0).toString();
    added.sort();
    timeline.sort();
    EXPECT_EQ(added, timeline);

    const std::vector<Span> log = Joined({&servers[0], &servers[1], &servers[2]});
    ASSERT_EQ(log.size(), 3u);
    if (atOnce == 1) {
      // One after the other, in row order.
      for (int i = 0; i < 3; ++i) EXPECT_EQ(servers[i].Spans().size(), 1u);
      EXPECT_LE(servers[0].Spans()[0].ended, servers[1].Spans()[0].accepted);
      EXPECT_LE(servers[1].Spans()[0].ended, servers[2].Spans()[0].accepted);
    } else {
      EXPECT_TRUE(AllOverlap(log)) << "the three transfers did not run at the same time";
      EXPECT_LT(servers[2].Spans()[0].ended, servers[0].Spans()[0].ended);  // they did end out of order
    }
  }
  EXPECT_EQ(names[0].join(' ').toStdString(), "flv0video.avi flv0video.flv flv1video.avi");
  EXPECT_EQ(names[1].join(' ').toStdString(), names[0].join(' ').toStdString());
}

// Many small files from four hosts, eight at once, in the real window:
// whatever order rows end in, every done row has a file of its own with
// its own bytes.
TEST_F(AtOnce, ManyRowsFromFourHostsNeverShareAFile) {
  constexpr int kRows = 600;
  testing::TempDir root;
  for (int i = 0; i < kRows; ++i) {
    std::string body = Pattern(1000 + (i * 7919) % 30000, i);
    body.replace(0, 8, QStringLiteral("%1").arg(i, 8, 10, QLatin1Char('0')).toStdString());
    testing::WriteFileBytes(root.File("v" + std::to_string(i) + ".mp4"), body);
  }
  std::vector<std::unique_ptr<testing::NginxServer>> hosts;
  for (int h = 0; h < 4; ++h) hosts.push_back(std::make_unique<testing::NginxServer>(root.Path()));
  SetAtOnce(8);
  for (int i = 0; i < kRows; ++i)
    AddRow(QString::fromStdString(hosts[i % 4]->BaseUrl() + "/v" + std::to_string(i) + ".mp4"));
  QDeadlineTimer deadline(120000);
  while (!deadline.hasExpired()) {
    RunPass();
    bool settled = true;
    for (int i = 0; i < kRows && settled; ++i)
      settled = List().State(i) == RowState::Done || List().State(i) == RowState::Failed;
    if (settled) break;
  }
  std::set<QString> files;
  for (int i = 0; i < kRows; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(List().State(i), RowState::Done) << List().ErrorText(i).toStdString();
    const QString file = List().CellText(colFile, i);
    EXPECT_TRUE(files.insert(file).second) << file.toStdString() << " is another row's too";
    EXPECT_TRUE(ReadFileBytes(file.toStdString()) == ReadFileBytes(root.File("v" + std::to_string(i) + ".mp4")));
  }
  EXPECT_EQ(QDir(Flv()).entryList(QDir::Files).size(), kRows);
}

TEST_F(AtOnce, AtMostTwoRowsFromOneHostAndTheNextHostDoesNotWait) {
  SetAtOnce(4);
  ScriptedServer busy, other;
  const std::string body = Pattern(24000, 3);
  for (int i = 0; i < 3; ++i) busy.Expect(Paced(body, 6, 40));
  other.Expect(Paced(body, 6, 40));
  for (int i = 0; i < 3; ++i) AddRow(Link(busy, "/v.flv"));
  AddRow(Link(other, "/v.flv"));
  RunPass();

  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(List().State(i), RowState::Done);
    EXPECT_EQ(ReadFileBytes(List().CellText(colFile, i).toStdString()), body);
    // Names in row order, also for the row that waited for its host.
    EXPECT_EQ(Name(i).toStdString(), "flv" + std::to_string(i) + "video.flv");
  }
  const std::vector<Span> host = busy.Spans();
  ASSERT_EQ(host.size(), 3u);
  std::vector<Span> byStart = Joined({&busy});
  // The third began only once one of the first two had ended.
  EXPECT_GE(byStart[2].accepted, std::min(byStart[0].ended, byStart[1].ended));
  // The other host's row, after it in the list, did not wait for it.
  ASSERT_EQ(other.Spans().size(), 1u);
  EXPECT_LT(other.Spans()[0].accepted, byStart[2].accepted);
  EXPECT_TRUE(AllOverlap({byStart[0], byStart[1], other.Spans()[0]}));
}

TEST_F(AtOnce, StopDownloadsStopsEveryRunningRowAtOnceAndKeepsTheirParts) {
  SetAtOnce(3);
  ScriptedServer servers[3];
  const std::string body = Pattern(400000, 4);
  for (ScriptedServer& s : servers) {
    s.Expect(Paced(body, 100, 40));  // four seconds and more
    AddRow(Link(s, "/long.flv"));
  }
  auto* toggle = Child<QAbstractButton>(form.get(), "mxTPButton10");
  QElapsedTimer sinceStop;
  qint64 stoppedAfter = -1;
  QString statusWhileRunning;
  bool closed = false;
  const int rows[] = {0, 1, 2};
  During([&] {
    // Each row shows its own speed while it runs.
    const bool speeds = std::all_of(std::begin(rows), std::end(rows), [&](int r) {
      return List().data(List().index(r, queue::colProgress), Qt::ToolTipRole).toString().contains("B/s");
    });
    if (!sinceStop.isValid() && AllDownloading({0, 1, 2}) && speeds) {
      // Closing asks first (answered No: the window stays).
      closed = form->close();
      statusWhileRunning = Child<widgets::StatusLabel>(form.get(), "status")->Text();
      sinceStop.start();
      toggle->click();
    }
    if (sinceStop.isValid() && stoppedAfter < 0 && AllIn({0, 1, 2}, RowState::Stopped))
      stoppedAfter = sinceStop.elapsed();
  });
  QElapsedTimer pass;
  pass.start();
  RunPass();
  EndWatch();
  // The last rows may stop in the pass's last slice, between two looks.
  if (sinceStop.isValid() && stoppedAfter < 0 && AllIn({0, 1, 2}, RowState::Stopped))
    stoppedAfter = sinceStop.elapsed();

  ASSERT_TRUE(sinceStop.isValid()) << "the three rows never ran together, each with its speed";
  ASSERT_GE(stoppedAfter, 0);
  EXPECT_LE(stoppedAfter, 100);
  EXPECT_LT(pass.elapsed(), 3000);  // the pass did not wait for the bodies
  EXPECT_EQ(toggle->text(), "Start downloads");
  EXPECT_FALSE(closed);
  EXPECT_TRUE(desktop.dialogs.Texts().contains("A download is running. Quit anyway?"));
  EXPECT_TRUE(statusWhileRunning.startsWith("3 downloads: ")) << statusWhileRunning.toStdString();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(List().State(i), RowState::Stopped);
    EXPECT_EQ(List().data(List().index(i, queue::colProgress), Qt::ToolTipRole).toString(), "");
    const QString part = List().CellText(colFile, i);
    EXPECT_TRUE(part.endsWith(".part"));
    const std::string kept = ReadFileBytes(part.toStdString());
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), body.size());
    EXPECT_EQ(kept, body.substr(0, kept.size()));
  }
  EXPECT_FALSE(panel->downloading());
}

TEST_F(AtOnce, ARowsStopOrDeleteEndsOnlyThatRow) {
  SetAtOnce(3);
  ScriptedServer servers[3];
  const std::string body = Pattern(60000, 5);
  for (ScriptedServer& s : servers) {
    s.Expect(Paced(body, 15, 40));
    AddRow(Link(s, "/clip.flv"));
  }
  auto* grid = Child<widgets::DownloadGrid>(form.get(), "DownloadGrid1");
  auto* menu = Child<QMenu>(form.get(), "PopupMenu2");
  auto* stop = Child<QAction>(form.get(), "StopRow1");
  QString deletedPart;
  bool stopOffered = false, done = false;
  During([&] {
    if (done || !AllDownloading({0, 1, 2})) return;
    done = true;
    // Stop the first row from its menu, delete the second.
    grid->SelectRow(0);
    emit menu->aboutToShow();
    stopOffered = stop->isEnabled();
    stop->trigger();
    deletedPart = List().CellText(colFile, 1);
    grid->SelectRow(1);
    panel->deleteSelectedRow();
  });
  RunPass();
  EndWatch();

  ASSERT_TRUE(done) << "the three rows never ran together";
  EXPECT_TRUE(stopOffered);
  ASSERT_EQ(List().RowCount(), 2);
  // The stopped row keeps a correct start of its file.
  EXPECT_EQ(List().State(0), RowState::Stopped);
  const std::string kept = ReadFileBytes(List().CellText(colFile, 0).toStdString());
  EXPECT_LT(kept.size(), body.size());
  EXPECT_EQ(kept, body.substr(0, kept.size()));
  // The deleted row's transfer ended, its .part kept, as Stop would leave it.
  EXPECT_TRUE(QFileInfo::exists(deletedPart));
  EXPECT_LT(QFileInfo(deletedPart).size(), qint64(body.size()));
  // The third went on to the end.
  EXPECT_EQ(List().State(1), RowState::Done);
  EXPECT_EQ(ReadFileBytes(List().CellText(colFile, 1).toStdString()), body);
  EXPECT_EQ(Child<QAbstractButton>(form.get(), "mxTPButton10")->text(), "Stop downloads");
}

}  // namespace
}  // namespace larkvale::app
