// The Download action and the queue runner, end to end against a video site
// on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include "platform/workfolders.h"
#include "platform/settings.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"
#include "support/scripted_server.h"
#include "support/tls_certificates.h"
#include "support/video_site.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using queue::colFile;
using queue::colProgress;
using queue::colSize;
using queue::colUrl;
using testing::Child;
using testing::FakeDesktop;
using testing::Only;
using testing::ReadFileBytes;
using testing::ScriptedServer;
using testing::VideoSite;

VideoSite& Site() {
  static VideoSite site;  // one nginx for the whole run, stopped at exit
  return site;
}

// The same site over https, with a certificate the test CA signed.
VideoSite& HttpsSite() {
  static VideoSite site(testing::TlsCertificates::Shared().Trusted());
  return site;
}

// The site's files over https with certificates that must be refused.
struct RefusedCertificates {
  testing::NginxServer selfSigned{Site().Root(), "", testing::TlsCertificates::Shared().SelfSigned()};
  testing::NginxServer otherName{Site().Root(), "", testing::TlsCertificates::Shared().OtherName()};
};
RefusedCertificates& Refused() {
  static RefusedCertificates servers;
  return servers;
}

class Downloads : public ::testing::Test {
 public:
  Downloads() {
    qputenv("LARKVALE_VIDEO_SITE", QByteArray::fromStdString(Site().Base()));
    qputenv("LARKVALE_GOOGLE_VIDEO_SERVER", QByteArray::fromStdString(Site().Base()));
    form = std::make_unique<MainWindow>(desktop.services);
    panel = Only<DownloadsPanel>(form.get());
  }
  ~Downloads() override {
    qunsetenv("LARKVALE_VIDEO_SITE");
    qunsetenv("LARKVALE_GOOGLE_VIDEO_SERVER");
  }

  queue::DownloadList& List() { return *form->state().downloadList; }
  void Download(const std::string& address) {
    W<QComboBox>("URLs")->setEditText(QString::fromStdString(address));
    panel->download();
  }
  int AddRow(const QString& link) {
    const int row = List().RowCount();
    List().AddRows(1);
    List().SetCellText(colUrl, row, link);
    List().SetCellInt(colSize, row, 0);
    List().SetCellInt(colProgress, row, 0);
    return row;
  }
  // One pass of the runner, now.
  void RunPass() { panel->startDownloads(); }
  // Lets the runner's pause run out at once.
  // The pass it starts runs before this returns; a pass that found a pump
  // still on the stack tries again a few ms later, so that retry is awaited.
  void EndPause() {
    QTimer& pause = panel->runner().PauseTimer();
    if (!pause.isActive()) return;
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

  // The window's widget called `name`.
  template <class T>
  T* W(const char* name) const {
    return Child<T>(form.get(), name);
  }

  FakeDesktop desktop;
  std::unique_ptr<MainWindow> form;
  DownloadsPanel* panel = nullptr;
};

TEST_F(Downloads, EveryWatchPageFormQueuesItsLinkAndTheRunnerFetchesIt) {
  const std::string token = VideoSite::Token();
  const std::string youtube = Site().Base() + "/get_video?asv=&video_id=" + VideoSite::kId + "&t=" + token;
  const struct {
    const char* page;
    std::string link;
    const char* file;
  } cases[] = {
      {"/watch_standard.html", youtube + "&fmt=18", "flv0video.avi"},
      {"/watch_hd.html", youtube + "&fmt=22", "flv1video.avi"},
      {"/watch_second.html", youtube + "&fmt=18", "flv2video.avi"},
      {"/watch_google.html",
       Site().Base() + "/videodownload?version=0&secureurl=" + std::string(262, 'S') + "&sigh=" + std::string(27, 'g') +
           "&",
       "flv0video.flv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    const int row = List().RowCount();
    Download(Site().Url(c.page));
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
    ASSERT_EQ(List().RowCount(), row + 1);
    EXPECT_EQ(List().CellText(colUrl, row).toStdString(), c.link);
    EXPECT_EQ(List().data(List().index(row, colProgress)).toString(), "");
    EXPECT_EQ(List().CellText(colFile, row), "");
    EXPECT_EQ(W<widgets::StatusLabel>("status")->Text(), "Done");

    // The page's copy, one line per line, each ended by CR LF.
    const std::string served = ReadFileBytes(Site().Root() + c.page);
    EXPECT_EQ(ReadFileBytes((form->state().tempDir + "temp.txt").toStdString()), served);

    if (panel->runner().Active())
      EndPause();  // the loop's next pass
    else
      RunPass();
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
    const QString file = form->state().flvDir + c.file;
    EXPECT_EQ(List().CellText(colFile, row), file);
    EXPECT_EQ(ReadFileBytes(file.toStdString()), Site().Video());
    EXPECT_EQ(List().CellInt(colProgress, row), 100);
    EXPECT_EQ(List().CellInt(colSize, row), static_cast<qint64>(Site().Video().size()));
    EXPECT_EQ(form->state().currentDownloadRow, List().RowCount());  // no row is blue between passes
    EXPECT_EQ(W<widgets::StatusLabel>("status")->Text(), "Done");
    EXPECT_TRUE(panel->runner().Active());
    panel->runner().Start();  // a second start while the loop is active runs no pass of its own
    EXPECT_EQ(List().CellText(colFile, row), file);
  }
  // Finished rows are skipped by later passes.
  EndPause();
  EXPECT_FALSE(QFile::exists(form->state().flvDir + "flv3video.avi"));
}

TEST_F(Downloads, PageWithoutVideoSaysSoThenDone) {
  Download(Site().Url("/no_video.html"));
  ASSERT_EQ(desktop.dialogs.shown.size(), 1u);
  EXPECT_EQ(desktop.dialogs.shown[0].kind, "message");
  EXPECT_EQ(desktop.dialogs.shown[0].text, "No video");
  EXPECT_EQ(W<widgets::StatusLabel>("status")->Text(), "Done");
  EXPECT_EQ(List().RowCount(), 0);
}

TEST_F(Downloads, DownloadWhileStoppedStartsTheDownloads) {
  panel->toggleDownloads();
  EXPECT_TRUE(form->state().downloadsStopped);
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Start downloads");
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->ImageIndex(), 2);
  Download(Site().Url("/watch_standard.html"));
  EXPECT_FALSE(form->state().downloadsStopped);
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Stop downloads");
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->ImageIndex(), 1);
  // The runner started at once and fetched the row.
  EXPECT_EQ(List().CellText(colFile, 0), form->state().flvDir + "flv0video.avi");
}

TEST_F(Downloads, ARowQueuedWhileTheRunnerRestsStartsBeforeTheRestWouldEnd) {
  RunPass();  // an empty list: the loop now rests until its next pass
  QTimer& pause = panel->runner().PauseTimer();
  ASSERT_TRUE(pause.isActive());
  const QDeadlineTimer restEnds(pause.remainingTime());
  ASSERT_GT(restEnds.remainingTime(), 1000);
  Download(Site().Url("/watch_standard.html"));
  ASSERT_EQ(List().RowCount(), 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return List().State(0) == queue::RowState::Done; }, 10000));
  EXPECT_FALSE(restEnds.hasExpired()) << "the row waited for the rest between passes";
  EXPECT_EQ(ReadFileBytes(List().CellText(colFile, 0).toStdString()), Site().Video());
}

TEST_F(Downloads, BadAddressesEndTheActionWithAMessageAndNoRow) {
  const std::string selfSigned = std::to_string(Refused().selfSigned.Port());
  const std::string otherName = std::to_string(Refused().otherName.Port());
  const struct {
    std::string address;
    QString message;  // empty: any message
  } cases[] = {{"ftp://127.0.0.1:21/watch?v=x", "IOHandler value is not valid."},
               {"https://127.0.0.1:" + selfSigned + "/watch_standard.html",
                "Certificate not trusted for 127.0.0.1: self-signed certificate."},
               {"https://localhost:" + otherName + "/watch_standard.html",
                "Certificate not valid for localhost: hostname mismatch."},
               {"", ""},
               {"watch?v=relative", ""},
               {"::::garbage::::", ""},
               {"http://127.0.0.1:1/watch", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    desktop.dialogs.shown.clear();
    Download(c.address);
    ASSERT_EQ(desktop.dialogs.Errors().size(), 1) << desktop.dialogs.Texts().join("|").toStdString();
    if (!c.message.isEmpty()) {
      EXPECT_EQ(desktop.dialogs.Errors()[0], c.message);
    }
    EXPECT_EQ(List().RowCount(), 0);
  }
}

TEST_F(Downloads, HugePageWithoutMarkersIsScannedAndSaysNoVideo) {
  std::string page;
  page.reserve(50 << 20);
  while (page.size() < (50u << 20)) page += "<p>nothing to see on this line of the page, nothing at all</p>\n";
  testing::WriteFileBytes(Site().Root() + "/huge.html", page);
  Download(Site().Url("/huge.html"));
  EXPECT_EQ(desktop.dialogs.Texts(), QStringList{"No video"});
  EXPECT_EQ(W<widgets::StatusLabel>("status")->Text(), "Done");
  QFile::remove(QString::fromStdString(Site().Root() + "/huge.html"));
}

// The texts themselves are the Download action's (tests/queue); here: they
// reach the status line while the page arrives.
TEST_F(Downloads, TheFetchShowsItsProgressInTheStatusLine) {
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(1500, 'x')),
                 ScriptedServer::Pause(300), ScriptedServer::Send(std::string(1500, 'x')), ScriptedServer::Close()});
  auto* status = W<widgets::StatusLabel>("status");
  QStringList seen;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (seen.isEmpty() || seen.last() != status->Text()) seen << status->Text();
  });
  watch.start(0);
  Download("http://127.0.0.1:" + std::to_string(server.Port()) + "/page.html");
  watch.stop();
  // Which counts show depends on the block size and on when the pump runs;
  // at least one of them is seen while the page arrives.
  EXPECT_TRUE(seen.contains("Transfering: 3000") ||
              std::any_of(seen.begin(), seen.end(), [](const QString& t) { return t.endsWith(" bytes of 3000 bytes."); }))
      << seen.join('|').toStdString();
  EXPECT_EQ(status->Text(), "Done");
}

TEST_F(Downloads, RunnerFailuresMarkTheRowAndTheLoopGoesOn) {
  const struct {
    const char* name;
    std::function<QString(Downloads&)> prepare;  // returns the row's link
    QString error;                                // empty: any message
  } cases[] = {
      {"404", [](Downloads&) { return QString::fromStdString(Site().Url("/missing.flv")); }, "HTTP/1.1 404 Not Found"},
      {"no transport for the scheme", [](Downloads&) { return QStringLiteral("ftp://127.0.0.1:21/x.flv"); },
       "IOHandler value is not valid."},
      {"self-signed certificate",
       [](Downloads&) { return QStringLiteral("https://127.0.0.1:%1/videos/clip.flv").arg(Refused().selfSigned.Port()); },
       "Certificate not trusted for 127.0.0.1: self-signed certificate."},
      {"not a URL", [](Downloads&) { return QStringLiteral("just words"); }, ""},
      {"download folder missing",
       [](Downloads& t) {
         QDir(t.form->state().flvDir).removeRecursively();
         return QString::fromStdString(Site().Url("/videos/clip.flv"));
       },
       ""},
  };
  QString lastError;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int row = AddRow(c.prepare(*this));
    if (panel->runner().Active())
      EndPause();
    else
      RunPass();
    // No box stops the queue: the row and the status line carry the error.
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
    EXPECT_EQ(List().State(row), queue::RowState::Failed);
    lastError = List().ErrorText(row);
    if (!c.error.isEmpty()) {
      EXPECT_TRUE(lastError.startsWith(c.error)) << lastError.toStdString();
    }
    EXPECT_EQ(W<widgets::StatusLabel>("status")->Text(), lastError);
    EXPECT_TRUE(panel->runner().Active());
    EXPECT_EQ(List().CellText(colFile, row), "");
    EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Stop downloads");
    List().DeleteRow(row);
  }
  // The missing folder's message names the file and the reason.
  EXPECT_EQ(lastError, "Cannot create file \"" + form->state().flvDir + "flv0video.flv.part\". No such file or directory.");
}

TEST_F(Downloads, TakenNamesMoveTheCounterOn) {
  for (const char* name : {"flv0video.avi", "flv1video.avi"})
    QFile(form->state().flvDir + name).open(QIODevice::WriteOnly);
  const QString youtube = QString::fromStdString(Site().Url("/videos/clip.flv?fmt=18"));
  AddRow(youtube);
  AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  AddRow(youtube);
  RunPass();
  EXPECT_EQ(List().CellText(colFile, 0), form->state().flvDir + "flv2video.avi");
  EXPECT_EQ(List().CellText(colFile, 1), form->state().flvDir + "flv2video.flv");  // same number, other extension
  EXPECT_EQ(List().CellText(colFile, 2), form->state().flvDir + "flv3video.avi");

  // A row whose file was deleted is pending again and takes the first free name.
  QFile::remove(form->state().flvDir + "flv2video.flv");
  EndPause();
  EXPECT_EQ(List().CellText(colFile, 1), form->state().flvDir + "flv0video.flv");
}

TEST_F(Downloads, StopDuringACountedTransferKeepsThePartialFile) {
  // Straight to the file: a Stop while a redirect's body is drained would
  // end the call before the file is asked for.
  const int row = AddRow(QString::fromStdString(Site().Url("/paced/big.bin?fmt=18")));
  AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  QTimer::singleShot(0, form.get(), [&] { panel->toggleDownloads(); });
  RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  // Recorded in the row, but as a stopped download, not a finished one.
  const QString file = form->state().flvDir + "flv0video.avi.part";
  EXPECT_EQ(List().CellText(colFile, row), file);
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
  EXPECT_FALSE(QFile::exists(form->state().flvDir + "flv0video.avi"));
  const std::string partial = ReadFileBytes(file.toStdString());
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), Site().Big().size());
  EXPECT_EQ(partial, Site().Big().substr(0, partial.size()));
  EXPECT_LT(List().CellInt(colProgress, row), 100);
  EXPECT_EQ(List().CellText(colFile, 1), "");  // no further row started
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Start downloads");
  // The loop ends when its pause is over.
  EndPause();
  EXPECT_FALSE(panel->runner().Active());
}

TEST_F(Downloads, StopDuringAChunkedTransferLeavesAStoppedRow) {
  ScriptedServer server;
  std::string chunk(1500, 'c');
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5dc\r\n" + chunk + "\r\n"),
                 ScriptedServer::Pause(300), ScriptedServer::Send("5dc\r\n" + chunk + "\r\n0\r\n\r\n"),
                 ScriptedServer::Close()});
  const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/chunked.flv").arg(server.Port()));
  QTimer::singleShot(0, form.get(), [&] { panel->toggleDownloads(); });
  RunPass();
  // The client fails the cut chunked body; Stop caused it, so the row is
  // stopped, not failed, and keeps what arrived.
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
  EXPECT_EQ(List().CellText(colFile, row), form->state().flvDir + "flv0video.flv.part");
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Start downloads");
  EXPECT_TRUE(QFile::exists(form->state().flvDir + "flv0video.flv.part"));
  EXPECT_FALSE(QFile::exists(form->state().flvDir + "flv0video.flv"));
}

TEST_F(Downloads, ServerClosingEarlyFailsTheRowKeepsWhatArrivedAndKeepsItOffTheTimeline) {
  const std::string body(4500, 'b');
  const struct {
    const char* name;
    std::string reply;
    std::string kept;
    QString error;
  } cases[] = {
      {"counted", "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + body, body,
       "Connection closed after 4500 of 5000 bytes."},
      {"chunked", "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1194\r\n" + body + "\r\n1000\r\nxy", body + "xy",
       "Connection closed after 4502 bytes of a chunked body, before its last chunk."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(c.reply), ScriptedServer::Close()});
    const int timeline = W<QTreeView>("ListView1")->model()->rowCount();
    const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/early.flv").arg(server.Port()));
    RunPass();
    // The loop goes on after a failed row: a later case's row is taken by its
    // next pass, which may wait a moment for the top-level loop.
    EXPECT_TRUE(QTest::qWaitFor([&] {
      EndPause();
      return List().State(row) != queue::RowState::Waiting;
    }, 5000));
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
    const QString part = form->state().flvDir + "flv0video.flv.part";
    EXPECT_EQ(List().CellText(colFile, row), part);
    EXPECT_EQ(List().State(row), queue::RowState::Failed);
    EXPECT_TRUE(List().ErrorText(row).startsWith(c.error)) << List().ErrorText(row).toStdString();
    // Every byte that came is in the partial file, ready for a retry.
    EXPECT_EQ(ReadFileBytes(part.toStdString()), c.kept);
    EXPECT_FALSE(QFile::exists(form->state().flvDir + "flv0video.flv"));
    EXPECT_EQ(W<QTreeView>("ListView1")->model()->rowCount(), timeline);
    EXPECT_EQ(Only<ConverterPage>(form.get())->pendingDownloads(), 0);  // nor on its way there
    List().DeleteRow(row);
    QFile::remove(part);
  }
}

// The silence limits come from the settings. A server that stops sending in
// the middle of the body ends the attempt at the limit, with the reason and
// no box; the row keeps what arrived and waits to be asked again.
TEST_F(Downloads, ASilentServerEndsTheAttemptAtTheStoredLimit) {
  {
    platform::SettingsAccessor accessor(platform::SettingsFilePath(desktop.services.environment.configHome));
    accessor.CreateKey(platform::kSettingsKey);
    accessor.WriteStrings({{"idletimeout", "1"}, {"headtimeout", "1"}});
  }
  form.reset();
  form = std::make_unique<MainWindow>(desktop.services);
  panel = Only<DownloadsPanel>(form.get());
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(4096, 's')),
                 ScriptedServer::Pause(5000)});
  const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/silent.flv").arg(server.Port()));
  RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(List().State(row), queue::RowState::Waiting);
  EXPECT_EQ(List().ErrorText(row), "Retrying in 1 s (No data from 127.0.0.1 for 1 s)");
  const QString part = form->state().flvDir + "flv0video.flv.part";
  EXPECT_EQ(List().CellText(colFile, row), part);
  const std::string kept = ReadFileBytes(part.toStdString());
  EXPECT_GT(kept.size(), 0u);
  EXPECT_EQ(kept, std::string(kept.size(), 's'));
}

// The window's "Stop downloads" ends a retry's wait at once: the row stops,
// and no request goes out when the wait would have ended.
TEST_F(Downloads, StopDownloadsEndsARetryWaitAtOnce) {
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n"),
                 ScriptedServer::Close()});
  const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/busy.flv").arg(server.Port()));
  RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(List().State(row), queue::RowState::Waiting);
  EXPECT_EQ(List().ErrorText(row), "Retrying in 1 s (503 Service Unavailable)");
  EXPECT_TRUE(panel->runner().Active());

  panel->toggleDownloads();
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Start downloads");
  QTest::qWait(1300);  // past the moment the retry was due
  EndPause();
  EXPECT_FALSE(panel->runner().Active());
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
}

TEST_F(Downloads, RowsDeletedOrSortedDuringADownloadNeverReceiveItsValues) {
  // Sorted: the downloading row moves to the end and still gets its file.
  AddRow(QStringLiteral("zzz-not-a-url"));
  const QString big = QString::fromStdString(Site().Url("/get_video?video_id=bigbigbigbi&fmt=18"));
  List().SetCellText(colUrl, 0, big);
  AddRow(QStringLiteral("aaa"));
  List().SetCellText(colFile, 1, form->state().flvDir);  // a folder is not a file: pending, and fails later
  QTimer::singleShot(0, form.get(), [&] {
    List().SortRows(colUrl, Qt::DescendingOrder);  // "http..." before "aaa": no move yet
    List().SortRows(colUrl, Qt::AscendingOrder);   // now the big row is second
  });
  RunPass();
  const int bigRow = List().CellText(colUrl, 0) == big ? 0 : 1;
  EXPECT_EQ(bigRow, 1);
  EXPECT_EQ(List().CellText(colFile, bigRow), form->state().flvDir + "flv0video.avi");
  EXPECT_EQ(List().CellInt(colProgress, bigRow), 100);
  EXPECT_EQ(List().CellInt(colProgress, 0), 0);

  // Deleted: nothing is written anywhere. (End the loop first, then start it
  // again so that its pass runs now.)
  panel->toggleDownloads();
  EndPause();
  ASSERT_FALSE(panel->runner().Active());
  while (List().RowCount() > 0) List().DeleteRow(0);
  QFile::remove(form->state().flvDir + "flv0video.avi");
  AddRow(big);
  AddRow(QStringLiteral("other"));
  QTimer::singleShot(0, form.get(), [&] {
    List().DeleteRow(0);
    panel->toggleDownloads();  // and stop, so that "other" is left alone
  });
  panel->toggleDownloads();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  ASSERT_EQ(List().RowCount(), 1);
  EXPECT_EQ(List().CellText(colUrl, 0), "other");
  EXPECT_EQ(List().CellText(colFile, 0), "");
  EXPECT_EQ(List().CellInt(colProgress, 0), 0);
  EXPECT_EQ(List().CellInt(colSize, 0), 0);
}

// Delete on the row being downloaded, while its server has gone silent
// after a third of the body: the transfer stops with the part that arrived
// kept on disk, the row goes, and the row after it downloads in the same
// pass without ever showing the first one's size or progress.
TEST_F(Downloads, DeleteOnTheDownloadingRowStopsItKeepsItsPartAndTheNextRowDownloads) {
  // Bytes that differ from position to position, so that a misplaced block shows.
  std::string body(300000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  const std::size_t sent = 100000;
  form->show();
  auto* grid = W<widgets::DownloadGrid>("DownloadGrid1");
  const struct {
    const char* name;
    std::function<void()> remove;
  } ways[] = {
      {"the row menu's Delete", [&] { W<QAction>("Delete1")->trigger(); }},
      {"the Delete key", [&] { QTest::keyClick(grid->View(), Qt::Key_Delete); }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n" + body.substr(0, sent)),
                   ScriptedServer::WaitClose()});
    AddRow(QStringLiteral("http://127.0.0.1:%1/stalls.flv").arg(server.Port()));
    const QString next = QString::fromStdString(Site().Url("/videos/clip.flv"));
    AddRow(next);
    const quint64 nextId = List().RowId(1);
    // Every Size and Progress value the second row ever shows.
    QList<qint64> nextSizes, nextProgress;
    QObject::connect(&List(), &QAbstractItemModel::dataChanged, form.get(), [&] {
      const int row = List().RowOfId(nextId);
      nextSizes << List().CellInt(colSize, row);
      nextProgress << List().CellInt(colProgress, row);
    });
    // Delete once every whole block the server sent has been reported and
    // the server waits. (The bytes of a last, incomplete block are never
    // reported nor written.)
    std::int64_t reported = 0;
    QTimer poll;
    bool deleted = false;
    QObject::connect(&poll, &QTimer::timeout, form.get(), [&] {
      const QString status = panel->barControls().status->Text();
      if (deleted || !status.endsWith(" bytes of 300000 bytes.")) return;
      reported = status.section(' ', 0, 0).toLongLong();
      if (reported + 1024 <= static_cast<std::int64_t>(sent)) return;
      deleted = true;
      grid->SelectRow(0);
      way.remove();
    });
    poll.start(5);
    if (panel->runner().Active())
      EndPause();
    else
      RunPass();
    poll.stop();
    QObject::disconnect(&List(), &QAbstractItemModel::dataChanged, form.get(), nullptr);

    ASSERT_TRUE(deleted);
    server.WaitIdle();  // the client closed the silent connection
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
    // The part holds exactly the bytes reported: nothing missing, no padding.
    const QString part = form->state().flvDir + "flv0video.flv.part";
    const std::string kept = ReadFileBytes(part.toStdString());
    EXPECT_EQ(static_cast<std::int64_t>(kept.size()), reported);
    EXPECT_TRUE(kept == body.substr(0, kept.size()));
    EXPECT_FALSE(QFile::exists(form->state().flvDir + "flv0video.flv"));
    // The next row went on in the same pass, to the next free name.
    ASSERT_EQ(List().RowCount(), 1);
    EXPECT_EQ(List().CellText(colUrl, 0), next);
    const QString file = form->state().flvDir + "flv1video.flv";
    EXPECT_EQ(List().State(0), queue::RowState::Done) << List().ErrorText(0).toStdString();
    EXPECT_EQ(List().CellText(colFile, 0), file);
    EXPECT_TRUE(ReadFileBytes(file.toStdString()) == Site().Video());
    const qint64 size = static_cast<qint64>(Site().Video().size());
    EXPECT_EQ(List().CellInt(colSize, 0), size);
    EXPECT_EQ(List().CellInt(colProgress, 0), 100);
    for (qint64 s : nextSizes) EXPECT_TRUE(s == 0 || s == size) << s;
    // Until its own transfer began, its progress stayed at 0.
    const qsizetype firstOwn = nextSizes.indexOf(size);
    ASSERT_GE(firstOwn, 0);
    for (qsizetype i = 0; i < firstOwn; ++i) EXPECT_EQ(nextProgress[i], 0) << i;

    List().DeleteRow(0);
    QFile::remove(part);
    QFile::remove(file);
  }
}

TEST_F(Downloads, SecondDownloadWhileTheFirstFetchesIsRefusedAndTheFirstGoesOn) {
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(1500, 'x')),
                 ScriptedServer::Pause(300), ScriptedServer::Send(std::string(1500, 'x')), ScriptedServer::Close()});
  bool nested = false;
  QTimer::singleShot(0, form.get(), [&] {
    nested = true;
    panel->download();
  });
  Download("http://127.0.0.1:" + std::to_string(server.Port()) + "/slow.html");
  EXPECT_TRUE(nested);
  // The nested one was refused; the first fetched its page, found nothing.
  EXPECT_EQ(desktop.dialogs.Errors().size(), 1) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_TRUE(desktop.dialogs.Texts().contains("No video"));
  EXPECT_EQ(server.Connections(), 1);
}

// The road of one video over https: the Download action fetches the watch
// page with HTTP1, the link is built on the https site, and the runner's
// HTTP2 follows its redirect and fetches the video, byte for byte.
TEST_F(Downloads, HttpsWatchPageAndItsVideoEndToEnd) {
  form->state().sites.videoSite = HttpsSite().Base();
  Download(HttpsSite().Url("/watch_standard.html"));
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  ASSERT_EQ(List().RowCount(), 1);
  EXPECT_EQ(List().CellText(colUrl, 0).toStdString(), HttpsSite().Base() + "/get_video?asv=&video_id=" +
                                                          VideoSite::kId + "&t=" + VideoSite::Token() + "&fmt=18");
  EXPECT_EQ(W<widgets::StatusLabel>("status")->Text(), "Done");
  EXPECT_EQ(ReadFileBytes((form->state().tempDir + "temp.txt").toStdString()),
            ReadFileBytes(HttpsSite().Root() + "/watch_standard.html"));
  if (panel->runner().Active())
    EndPause();
  else
    RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  const QString file = form->state().flvDir + "flv0video.avi";
  EXPECT_EQ(List().CellText(colFile, 0), file);
  EXPECT_EQ(ReadFileBytes(file.toStdString()), HttpsSite().Video());
  EXPECT_EQ(List().CellInt(colProgress, 0), 100);
  EXPECT_EQ(List().CellInt(colSize, 0), static_cast<qint64>(HttpsSite().Video().size()));
}

// Stop in the middle of an https body keeps the partial file, as on http;
// "Start downloads" resumes it (a Range request over TLS) to the same bytes.
TEST_F(Downloads, StopDuringAnHttpsBodyKeepsThePartialFileAndResumes) {
  const int row = AddRow(QString::fromStdString(HttpsSite().Url("/paced/big.bin?fmt=18")));
  QTimer::singleShot(0, form.get(), [&] { panel->toggleDownloads(); });
  RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  const QString part = form->state().flvDir + "flv0video.avi.part";
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
  const std::string partial = ReadFileBytes(part.toStdString());
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), HttpsSite().Big().size());
  EXPECT_EQ(partial, HttpsSite().Big().substr(0, partial.size()));
  EXPECT_EQ(W<widgets::StyledButton>("mxTPButton10")->text(), "Start downloads");
  EndPause();
  ASSERT_FALSE(panel->runner().Active());

  panel->toggleDownloads();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  const QString file = form->state().flvDir + "flv0video.avi";
  EXPECT_EQ(List().State(row), queue::RowState::Done);
  EXPECT_EQ(List().CellText(colFile, row), file);
  EXPECT_EQ(ReadFileBytes(file.toStdString()), HttpsSite().Big());
}

}  // namespace
}  // namespace larkvale::app
