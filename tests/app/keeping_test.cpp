// The real window keeps the queue across failures, closes and restarts: the
// grid's look per row state, Retry in the row's menu, the question on
// closing during a download, and a start that restores the list, the
// Timeline and the converter's choices and resumes a cut download.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <optional>

#include "convert/outputformats.h"
#include "platform/settings.h"
#include "queue/liststore.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/scripted_server.h"
#include "support/video_site.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using queue::colFile;
using queue::colProgress;
using queue::colSize;
using queue::colUrl;
using queue::RowState;
using testing::Child;
using testing::FakeDesktop;
using testing::Only;
using testing::ReadFileBytes;
using testing::ScriptedServer;
using testing::WriteFileBytes;
using widgets::TColor;

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  return s;
}

class Keeping : public ::testing::Test {
 public:
  void Open() {
    form = std::make_unique<MainWindow>(desktop.services);
    panel = Only<DownloadsPanel>(form.get());
  }
  void Activate() {
    form->show();
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(form.get(), &activate);
  }
  queue::DownloadList& List() { return *form->state().downloadList; }
  int AddRow(const QString& link) {
    const int row = List().RowCount();
    List().AddRows(1);
    List().SetCellText(colUrl, row, link);
    return row;
  }
  QString Flv() const { return form->state().flvDir; }
  QString DataFile(const char* name) const { return desktop.root.path() + "/data/Larkvale_HD/" + name; }
  // Finished downloads are probed on a worker: wait (at most 20 s) until
  // every one has reached the Timeline.
  bool WaitForProbes() {
    auto* converter = Only<ConverterPage>(form.get());
    for (int i = 0; i < 2000 && converter->pendingDownloads() > 0; ++i) QTest::qWait(10);
    return converter->pendingDownloads() == 0;
  }

  FakeDesktop desktop;
  std::unique_ptr<MainWindow> form;
  DownloadsPanel* panel = nullptr;
};

TEST_F(Keeping, EachRowStateHasItsLookAndRetryWaitsAgain) {
  Open();
  widgets::DownloadGrid* grid = Child<widgets::DownloadGrid>(form.get(), "DownloadGrid1");
  const struct {
    RowState state;
    int progress;
    const char* shown;  // the File cell
    std::optional<TColor> text;  // none: the grid's own
    bool struck;
  } rows[] = {
      {RowState::Failed, 100, "Failed: HTTP/1.0 404 Not Found.", TColor::Rgb(192, 0, 0), false},
      {RowState::Stopped, 28, "Stopped at 28 %", std::nullopt, false},
      {RowState::Done, 100, "/f/flv0video.avi", TColor::System(widgets::clGrayTextIndex), true},
      {RowState::Waiting, 0, "", std::nullopt, false},
  };
  for (const auto& r : rows) {
    const int row = AddRow("http://127.0.0.1:9/x");
    List().SetCellInt(colProgress, row, r.progress);
    if (r.state == RowState::Done) List().SetCellText(colFile, row, "/f/flv0video.avi");
    List().SetState(row, r.state, "HTTP/1.0 404 Not Found.");
  }
  form->state().currentDownloadRow = List().RowCount();  // no row is blue
  const TColor plain = grid->LookOf(colUrl, 3).text;
  for (int row = 0; row < 4; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(List().data(List().index(row, colFile)).toString(), rows[row].shown);
    const auto look = grid->LookOf(colUrl, row);
    EXPECT_EQ(look.text, rows[row].text.value_or(plain));
    EXPECT_EQ(bool(look.style & widgets::fsStrikeOut), rows[row].struck);
  }

  // "Retry" is offered for the failed and the stopped row only.
  QMenu* menu = Child<QMenu>(form.get(), "PopupMenu2");
  QAction* retry = Child<QAction>(form.get(), "Retry1");
  EXPECT_EQ(retry->text(), "Retry");
  for (int row = 0; row < 4; ++row) {
    grid->SelectRow(row);
    emit menu->aboutToShow();
    EXPECT_EQ(retry->isEnabled(), row < 2) << row;
  }
  grid->SelectRow(0);
  emit menu->aboutToShow();
  retry->trigger();
  EXPECT_EQ(List().State(0), RowState::Waiting);
  EXPECT_EQ(List().ErrorText(0), "");
  EXPECT_FALSE(grid->LookOf(colUrl, 0).text == TColor::Rgb(192, 0, 0));
}

TEST_F(Keeping, AFailedRowBetweenGoodOnesShowsNoBox) {
  ScriptedServer server;
  const std::string body = Pattern(5000);
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + body;
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(ok), ScriptedServer::Close()});
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nNot Found"),
                 ScriptedServer::Close()});
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(ok), ScriptedServer::Close()});
  Open();
  for (const char* path : {"/a.flv", "/gone.flv", "/b.flv"})
    AddRow(QStringLiteral("http://127.0.0.1:%1%2").arg(server.Port()).arg(path));
  panel->startDownloads();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(ReadFileBytes(List().CellText(colFile, 0).toStdString()), body);
  EXPECT_EQ(ReadFileBytes(List().CellText(colFile, 2).toStdString()), body);
  EXPECT_EQ(List().State(1), RowState::Failed);
  EXPECT_EQ(List().data(List().index(1, colFile)).toString(), "Failed: HTTP/1.0 404 Not Found.");
  EXPECT_EQ(QDir(Flv()).entryList(QDir::Files).size(), 2);  // no empty file for the failed row
  EXPECT_TRUE(WaitForProbes());
  EXPECT_EQ(Only<ConverterPage>(form.get())->timeline().Count(), 2);
}

// A finished download is probed off the window's thread and then joins the
// Timeline: rows come in the order the downloads finished, with the lengths
// the probe found, and a window closed before a probe is done still keeps
// the file in the Timeline it saves.
TEST_F(Keeping, FinishedDownloadsReachTheTimelineInTheirOrder) {
  testing::TempDir media;
  struct Clip {
    const char* name;
    double seconds;
    std::string bytes;
  } clips[] = {{"/long.mp4", 7, {}}, {"/short.mp4", 2, {}}, {"/middle.mp4", 4, {}}};
  for (Clip& c : clips) {
    testsupport::FixtureSpec shape;
    shape.seconds = c.seconds;
    shape.width = 160;
    shape.height = 120;
    const std::string path = media.File(c.name + 1);
    ASSERT_TRUE(testsupport::MakeMediaFixture(path, shape));
    c.bytes = ReadFileBytes(path);
  }
  for (bool closeAtOnce : {false, true}) {
    SCOPED_TRACE(closeAtOnce ? "closed at once" : "left open");
    ScriptedServer server;
    Open();
    for (const Clip& c : clips) {
      server.Expect({ScriptedServer::ReadRequest(),
                     ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(c.bytes.size()) +
                                          "\r\n\r\n" + c.bytes),
                     ScriptedServer::Close()});
      AddRow(QStringLiteral("http://127.0.0.1:%1%2").arg(server.Port()).arg(c.name));
    }
    panel->startDownloads();
    ASSERT_EQ(List().State(2), RowState::Done);
    QStringList files;
    for (int row = 0; row < 3; ++row) files << List().CellText(colFile, row);
    if (closeAtOnce) {
      form.reset();
      Open();
    } else {
      EXPECT_TRUE(WaitForProbes());
    }
    const convert::TimelineModel& timeline = Only<ConverterPage>(form.get())->timeline();
    ASSERT_EQ(timeline.Count(), 3);
    for (int row = 0; row < 3; ++row) {
      SCOPED_TRACE(row);
      EXPECT_EQ(timeline.Path(row), files[row]);
      EXPECT_EQ(timeline.End(row), QString::number(clips[row].seconds));
    }
    form.reset();
    QFile::remove(DataFile("timeline.json"));
    QFile::remove(DataFile("downloads.json"));
    for (const QString& f : files) QFile::remove(f);
  }
}

// Closing while a row downloads asks first. No: the download goes on to its
// end. Yes: the window closes, and the row is stopped with its .part file.
TEST_F(Keeping, ClosingDuringADownloadAsks) {
  const std::string body = Pattern(300000);
  for (bool quit : {false, true}) {
    SCOPED_TRACE(quit ? "Yes" : "No");
    desktop.dialogs.shown.clear();
    Open();
    Activate();  // downloads start, on an empty list
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n" + body.substr(0, 100000)),
                   ScriptedServer::Pause(400), ScriptedServer::Send(body.substr(100000)), ScriptedServer::Close()});
    const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/clip.flv").arg(server.Port()));
    desktop.dialogs.yesNoAnswers.push_back(quit);
    bool closed = !quit;
    // Closed by the user in the middle of the transfer: once the body has
    // begun (its length is in the Size cell), not while the request still
    // waits for the reply, which would leave nothing to keep.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!panel->downloading() || List().CellInt(colSize, row) != 300000) return;
      watch.stop();
      closed = form->close();
    });
    watch.start(5);
    // The loop's next pass, now.
    panel->runner().PauseTimer().start(0);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    ASSERT_EQ(desktop.dialogs.shown.size(), 1u);
    EXPECT_EQ(desktop.dialogs.shown[0].kind, "question");
    EXPECT_EQ(desktop.dialogs.shown[0].text, "A download is running. Quit anyway?");
    EXPECT_EQ(closed, quit);
    EXPECT_EQ(form->isVisible(), !quit);
    // The first round's row comes back with its file gone: it is asked for
    // again, fails against its server that has gone, and keeps flv0 for its
    // Retry, so this round's row takes the next name.
    const QString file = Flv() + (quit ? "flv1video.flv" : "flv0video.flv");
    if (quit) {
      EXPECT_TRUE(form->state().downloadsStopped);
      EXPECT_EQ(List().State(row), RowState::Stopped);
      EXPECT_EQ(List().CellText(colFile, row), file + ".part");
      const std::string partial = ReadFileBytes((file + ".part").toStdString());
      EXPECT_GT(partial.size(), 0u);
      EXPECT_LT(partial.size(), body.size());
      EXPECT_FALSE(QFile::exists(file));
    } else {
      EXPECT_EQ(List().State(row), RowState::Done);
      EXPECT_TRUE(ReadFileBytes(file.toStdString()) == body);
      QFile::remove(file);
      // Closing with nothing running asks nothing.
      desktop.dialogs.shown.clear();
      EXPECT_TRUE(form->close());
      EXPECT_TRUE(desktop.dialogs.shown.empty());
    }
    form.reset();  // saves the list
    if (quit) {
      const std::string saved = ReadFileBytes(DataFile("downloads.json").toStdString());
      EXPECT_NE(saved.find("\"stopped\""), std::string::npos) << saved;
    }
  }
}

// A start after the program ended in the middle of a download: the list, the
// Timeline and the converter's choices come back; the row that was
// downloading shows stopped and resumes with a Range request.
TEST_F(Keeping, AStartRestoresWhatTheLastRunLeft) {
  const std::string body = Pattern(200000);
  Open();
  const QString flv = Flv();
  const QString part = flv + "flv0video.flv.part";
  const QString clip = flv + "earlier.avi";
  WriteFileBytes(part.toStdString(), body.substr(0, 80000));
  WriteFileBytes(clip.toStdString(), "an earlier download");
  form.reset();

  ScriptedServer server;
  queue::DownloadList last;
  last.AddRows(3);
  last.SetCellText(colUrl, 0, QStringLiteral("http://127.0.0.1:%1/clip.flv").arg(server.Port()));
  last.SetCellInt(colSize, 0, 200000);
  last.SetCellInt(colProgress, 0, 40);
  last.SetCellText(colFile, 0, part);
  last.SetState(0, RowState::Downloading);
  last.SetCellText(colUrl, 1, "http://127.0.0.1:9/earlier.avi?fmt=18");
  last.SetCellInt(colProgress, 1, 100);
  last.SetCellText(colFile, 1, clip);
  last.SetState(1, RowState::Done);
  last.SetCellText(colUrl, 2, "http://127.0.0.1:9/gone.flv");
  last.SetState(2, RowState::Failed, "HTTP/1.0 404 Not Found.");
  QDir().mkpath(desktop.root.path() + "/data/Larkvale_HD");
  WriteFileBytes(DataFile("downloads.json").toStdString(), queue::SerializeDownloadList(last).toStdString());
  WriteFileBytes(DataFile("timeline.json").toStdString(),
                 "{\"version\": 1, \"entries\": [{\"file\": \"" + clip.toStdString() +
                     "\", \"start\": \"0\", \"end\": \"12\"}]}");
  const QString settings = platform::SettingsFilePath(desktop.services.environment.configHome);
  QDir().mkpath(QFileInfo(settings).absolutePath());
  WriteFileBytes(settings.toStdString(),
                 "[Software\\Larkvale_HD]\n\"videodir\"=\"" + (desktop.home + "/larkvale/Larkvale_HD").toStdString() +
                     "\"\n\"convert.format\"=\"MP3\"\n\"convert.mp3.bitrate\"=\"192\"\n\"someday\"=\"kept\"\n");

  Open();
  ASSERT_EQ(List().RowCount(), 3);
  EXPECT_EQ(List().State(0), RowState::Stopped);
  EXPECT_EQ(List().data(List().index(0, colFile)).toString(), "Stopped at 40 %");
  EXPECT_EQ(List().State(1), RowState::Done);
  EXPECT_EQ(List().State(2), RowState::Failed);
  const convert::TimelineModel& timeline = Only<ConverterPage>(form.get())->timeline();
  ASSERT_EQ(timeline.Count(), 1);
  EXPECT_EQ(timeline.Path(0), clip);
  EXPECT_EQ(timeline.End(0), "12");
  EXPECT_EQ(Child<QComboBox>(form.get(), "ComboBox1")->currentText(), "MP3");
  EXPECT_EQ(Only<ConverterPage>(form.get())->outputChoices().mp3Bitrate, "192");

  // The first activation starts downloads: the stopped row continues.
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 80000-199999/200000\r\n"
                                      "Content-Length: 120000\r\n\r\n" +
                                      body.substr(80000)),
                 ScriptedServer::Close()});
  Activate();
  server.WaitIdle();
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_NE(server.Requests()[0].find("\r\nRange: bytes=80000-\r\n"), std::string::npos) << server.Requests()[0];
  EXPECT_EQ(List().State(0), RowState::Done);
  EXPECT_TRUE(ReadFileBytes((flv + "flv0video.flv").toStdString()) == body);
  EXPECT_EQ(List().State(2), RowState::Failed);  // failed rows wait for Retry
  EXPECT_TRUE(WaitForProbes());
  EXPECT_EQ(timeline.Count(), 2);

  // A changed choice is kept beside the values already in the file.
  Child<QComboBox>(form.get(), "ComboBox1")->setCurrentText("WAV");
  form->close();
  form.reset();
  const std::string kept = ReadFileBytes(settings.toStdString());
  EXPECT_NE(kept.find("\"convert.format\"=\"WAV\""), std::string::npos) << kept;
  EXPECT_NE(kept.find("\"someday\"=\"kept\""), std::string::npos) << kept;
  EXPECT_NE(kept.find("\"videodir\"="), std::string::npos) << kept;
}

TEST_F(Keeping, ADamagedQueueFileStartsAnEmptyListAndLeavesTheSettingsAlone) {
  QDir().mkpath(desktop.root.path() + "/data/Larkvale_HD");
  WriteFileBytes(DataFile("downloads.json").toStdString(), "{\"version\": 1, \"rows\": [{\"url\": ");
  const QString settings = platform::SettingsFilePath(desktop.services.environment.configHome);
  QDir().mkpath(QFileInfo(settings).absolutePath());
  const std::string before = "[Software\\Larkvale_HD]\n\"videodir\"=\"" +
                             (desktop.home + "/larkvale/Larkvale_HD").toStdString() + "\"\n";
  WriteFileBytes(settings.toStdString(), before);
  ::testing::internal::CaptureStderr();
  Open();
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(List().RowCount(), 0);
  EXPECT_NE(said.find("downloads.json is damaged"), std::string::npos) << said;
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(ReadFileBytes(settings.toStdString()), before);
  EXPECT_TRUE(QFile::exists(DataFile("downloads.json.bad")));
}

}  // namespace
}  // namespace larkvale::app
