// The Download action and the queue runner, end to end against a video site
// on 127.0.0.1.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include "app/Unit1.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"
#include "support/scripted_server.h"
#include "support/video_site.h"

namespace larkvale::app {
namespace {

using queue::colFile;
using queue::colProgress;
using queue::colSize;
using queue::colUrl;
using testing::FakeDesktop;
using testing::ReadFileBytes;
using testing::ScriptedServer;
using testing::VideoSite;

VideoSite& Site() {
  static VideoSite site;  // one nginx for the whole run, stopped at exit
  return site;
}

class Downloads : public ::testing::Test {
 public:
  Downloads() {
    qputenv("LARKVALE_VIDEO_SITE", QByteArray::fromStdString(Site().Base()));
    qputenv("LARKVALE_GOOGLE_VIDEO_SERVER", QByteArray::fromStdString(Site().Base()));
    form = std::make_unique<TForm1>(desktop.services);
  }
  ~Downloads() override {
    qunsetenv("LARKVALE_VIDEO_SITE");
    qunsetenv("LARKVALE_GOOGLE_VIDEO_SERVER");
  }

  queue::DownloadList& List() { return *form->DownloadList; }
  void Download(const std::string& address) {
    form->URLs->setEditText(QString::fromStdString(address));
    form->Button1Click();
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
  void RunPass() { form->mxTPButton9Click(); }
  // Lets the runner's pause run out at once.
  void EndPause() {
    if (!form->Runner()->PauseTimer().isActive()) return;
    form->Runner()->PauseTimer().start(0);
    QCoreApplication::processEvents();  // the timer fires
    QCoreApplication::processEvents();  // the pass it posted runs
  }

  FakeDesktop desktop;
  std::unique_ptr<TForm1> form;
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
    EXPECT_EQ(form->status->Text(), "Done");

    // The page's copy, one line per line, each ended by CR LF.
    const std::string served = ReadFileBytes(Site().Root() + c.page);
    EXPECT_EQ(ReadFileBytes((form->TempDir + "temp.txt").toStdString()), served);
    EXPECT_EQ(form->ListBox1.size(), std::count(served.begin(), served.end(), '\n'));

    if (form->Runner()->Active())
      EndPause();  // the loop's next pass
    else
      RunPass();
    EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
    const QString file = form->FlvDir + c.file;
    EXPECT_EQ(List().CellText(colFile, row), file);
    EXPECT_EQ(ReadFileBytes(file.toStdString()), Site().Video());
    EXPECT_EQ(List().CellInt(colProgress, row), 100);
    EXPECT_EQ(List().CellInt(colSize, row), static_cast<qint64>(Site().Video().size()));
    EXPECT_EQ(form->CurrentDownloadRow, List().RowCount());  // no row is blue between passes
    EXPECT_EQ(form->status->Text(), "Done");
    EXPECT_TRUE(form->Runner()->Active());
    form->Runner()->Start();  // a second start while the loop is active runs no pass of its own
    EXPECT_EQ(List().CellText(colFile, row), file);
  }
  // Finished rows are skipped by later passes.
  EndPause();
  EXPECT_FALSE(QFile::exists(form->FlvDir + "flv3video.avi"));
}

TEST_F(Downloads, PageWithoutVideoSaysSoThenDone) {
  Download(Site().Url("/no_video.html"));
  ASSERT_EQ(desktop.dialogs.shown.size(), 1u);
  EXPECT_EQ(desktop.dialogs.shown[0].kind, "message");
  EXPECT_EQ(desktop.dialogs.shown[0].text, "No video");
  EXPECT_EQ(form->status->Text(), "Done");
  EXPECT_EQ(List().RowCount(), 0);
}

TEST_F(Downloads, DownloadWhileStoppedStartsTheDownloads) {
  form->mxTPButton10Click();
  EXPECT_TRUE(form->DownloadsStopped);
  EXPECT_EQ(form->mxTPButton10->text(), "Start downloads");
  EXPECT_EQ(form->mxTPButton10->ImageIndex(), 2);
  Download(Site().Url("/watch_standard.html"));
  EXPECT_FALSE(form->DownloadsStopped);
  EXPECT_EQ(form->mxTPButton10->text(), "Stop downloads");
  EXPECT_EQ(form->mxTPButton10->ImageIndex(), 1);
  // The runner started at once and fetched the row.
  EXPECT_EQ(List().CellText(colFile, 0), form->FlvDir + "flv0video.avi");
}

TEST_F(Downloads, BadAddressesEndTheActionWithAMessageAndNoRow) {
  const struct {
    const char* address;
    const char* message;  // empty: any message
  } cases[] = {{"https://www.youtube.com/watch?v=x", "IOHandler value is not valid."},
               {"", ""},
               {"watch?v=relative", ""},
               {"::::garbage::::", ""},
               {"http://127.0.0.1:1/watch", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    desktop.dialogs.shown.clear();
    Download(c.address);
    ASSERT_EQ(desktop.dialogs.Errors().size(), 1) << desktop.dialogs.Texts().join("|").toStdString();
    if (*c.message) {
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
  EXPECT_EQ(form->status->Text(), "Done");
  QFile::remove(QString::fromStdString(Site().Root() + "/huge.html"));
}

TEST_F(Downloads, FetchStatusTexts) {
  form->HTTP1WorkBegin(http::wmRead, 0);
  form->HTTP1Work(http::wmRead, 2048);
  EXPECT_EQ(form->status->Text(), "2048 bytes.");
  form->HTTP1WorkBegin(http::wmRead, 5000);
  EXPECT_EQ(form->status->Text(), "Transfering: 5000");
  form->HTTP1Work(http::wmRead, 1024);
  EXPECT_EQ(form->status->Text(), "1024 bytes of 5000 bytes.");
  EXPECT_EQ(form->ProgressBar1.Position, 1024);
  form->HTTP1WorkEnd(http::wmRead);
  EXPECT_EQ(form->status->Text(), "Done");
  EXPECT_EQ(form->ProgressBar1.Position, 0);
}

TEST_F(Downloads, RunnerFailuresMarkTheRowAndTheLoopGoesOn) {
  const struct {
    const char* name;
    std::function<QString(Downloads&)> prepare;  // returns the row's link
    QString error;                                // empty: any message
  } cases[] = {
      {"404", [](Downloads&) { return QString::fromStdString(Site().Url("/missing.flv")); },
       "HTTP/1.1 404 Not Found"},
      {"https", [](Downloads&) { return QStringLiteral("https://127.0.0.1/x.flv"); }, "IOHandler value is not valid."},
      {"not a URL", [](Downloads&) { return QStringLiteral("just words"); }, ""},
      {"download folder missing",
       [](Downloads& t) {
         QDir(t.form->FlvDir).removeRecursively();
         return QString::fromStdString(Site().Url("/videos/clip.flv"));
       },
       ""},
  };
  QString lastError;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int row = AddRow(c.prepare(*this));
    if (form->Runner()->Active())
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
    EXPECT_EQ(form->status->Text(), lastError);
    EXPECT_TRUE(form->Runner()->Active());
    EXPECT_EQ(List().CellText(colFile, row), "");
    EXPECT_EQ(form->mxTPButton10->text(), "Stop downloads");
    List().DeleteRow(row);
  }
  // The missing folder's message names the file and the reason.
  EXPECT_EQ(lastError, "Cannot create file \"" + form->FlvDir + "flv0video.flv.part\". No such file or directory.");
}

TEST_F(Downloads, TakenNamesMoveTheCounterOn) {
  for (const char* name : {"flv0video.avi", "flv1video.avi"}) QFile(form->FlvDir + name).open(QIODevice::WriteOnly);
  const QString youtube = QString::fromStdString(Site().Url("/videos/clip.flv?fmt=18"));
  AddRow(youtube);
  AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  AddRow(youtube);
  RunPass();
  EXPECT_EQ(List().CellText(colFile, 0), form->FlvDir + "flv2video.avi");
  EXPECT_EQ(List().CellText(colFile, 1), form->FlvDir + "flv2video.flv");  // same number, other extension
  EXPECT_EQ(List().CellText(colFile, 2), form->FlvDir + "flv3video.avi");

  // A row whose file was deleted is pending again and takes the first free name.
  QFile::remove(form->FlvDir + "flv2video.flv");
  EndPause();
  EXPECT_EQ(List().CellText(colFile, 1), form->FlvDir + "flv0video.flv");
}

TEST_F(Downloads, StopDuringACountedTransferKeepsThePartialFile) {
  const int row = AddRow(QString::fromStdString(Site().Url("/get_video?video_id=bigbigbigbi&fmt=18")));
  AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  QTimer::singleShot(0, form.get(), [&] { form->mxTPButton10Click(); });
  RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  // Recorded in the row, but as a stopped download, not a finished one.
  const QString file = form->FlvDir + "flv0video.avi.part";
  EXPECT_EQ(List().CellText(colFile, row), file);
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
  EXPECT_FALSE(QFile::exists(form->FlvDir + "flv0video.avi"));
  const std::string partial = ReadFileBytes(file.toStdString());
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), Site().Big().size());
  EXPECT_EQ(partial, Site().Big().substr(0, partial.size()));
  EXPECT_LT(List().CellInt(colProgress, row), 100);
  EXPECT_EQ(List().CellText(colFile, 1), "");  // no further row started
  EXPECT_EQ(form->mxTPButton10->text(), "Start downloads");
  // The loop ends when its pause is over.
  EndPause();
  EXPECT_FALSE(form->Runner()->Active());
}

TEST_F(Downloads, StopDuringAChunkedTransferLeavesAStoppedRow) {
  ScriptedServer server;
  std::string chunk(1500, 'c');
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5dc\r\n" + chunk + "\r\n"),
                 ScriptedServer::Pause(300), ScriptedServer::Send("5dc\r\n" + chunk + "\r\n0\r\n\r\n"),
                 ScriptedServer::Close()});
  const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/chunked.flv").arg(server.Port()));
  QTimer::singleShot(0, form.get(), [&] { form->mxTPButton10Click(); });
  RunPass();
  // The client fails the cut chunked body; Stop caused it, so the row is
  // stopped, not failed, and keeps what arrived.
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(List().State(row), queue::RowState::Stopped);
  EXPECT_EQ(List().CellText(colFile, row), form->FlvDir + "flv0video.flv.part");
  EXPECT_EQ(form->mxTPButton10->text(), "Start downloads");
  EXPECT_TRUE(QFile::exists(form->FlvDir + "flv0video.flv.part"));
  EXPECT_FALSE(QFile::exists(form->FlvDir + "flv0video.flv"));
}

TEST_F(Downloads, ServerClosingEarlyFailsTheRowAndKeepsWhatArrived) {
  ScriptedServer server;
  const std::string body(3000, 'b');
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + body), ScriptedServer::Close()});
  const int row = AddRow(QStringLiteral("http://127.0.0.1:%1/early.flv").arg(server.Port()));
  RunPass();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  const QString part = form->FlvDir + "flv0video.flv.part";
  EXPECT_EQ(List().CellText(colFile, row), part);
  EXPECT_EQ(List().State(row), queue::RowState::Failed);
  EXPECT_EQ(List().CellInt(colSize, row), 5000);
  const std::string got = ReadFileBytes(part.toStdString());
  EXPECT_LE(got.size(), body.size());
  EXPECT_EQ(got, body.substr(0, got.size()));
  EXPECT_EQ(List().ErrorText(row), QStringLiteral("Connection closed after %1 of 5000 bytes.").arg(got.size()));
  EXPECT_FALSE(QFile::exists(form->FlvDir + "flv0video.flv"));
}

TEST_F(Downloads, RowsDeletedOrSortedDuringADownloadNeverReceiveItsValues) {
  // Sorted: the downloading row moves to the end and still gets its file.
  AddRow(QStringLiteral("zzz-not-a-url"));
  const QString big = QString::fromStdString(Site().Url("/get_video?video_id=bigbigbigbi&fmt=18"));
  List().SetCellText(colUrl, 0, big);
  AddRow(QStringLiteral("aaa"));
  List().SetCellText(colFile, 1, form->FlvDir);  // a folder is not a file: pending, and fails later
  QTimer::singleShot(0, form.get(), [&] {
    List().SortRows(colUrl, Qt::DescendingOrder);  // "http..." before "aaa": no move yet
    List().SortRows(colUrl, Qt::AscendingOrder);   // now the big row is second
  });
  RunPass();
  const int bigRow = List().CellText(colUrl, 0) == big ? 0 : 1;
  EXPECT_EQ(bigRow, 1);
  EXPECT_EQ(List().CellText(colFile, bigRow), form->FlvDir + "flv0video.avi");
  EXPECT_EQ(List().CellInt(colProgress, bigRow), 100);
  EXPECT_EQ(List().CellInt(colProgress, 0), 0);

  // Deleted: nothing is written anywhere. (End the loop first, then start it
  // again so that its pass runs now.)
  form->mxTPButton10Click();
  EndPause();
  ASSERT_FALSE(form->Runner()->Active());
  while (List().RowCount() > 0) List().DeleteRow(0);
  QFile::remove(form->FlvDir + "flv0video.avi");
  AddRow(big);
  AddRow(QStringLiteral("other"));
  QTimer::singleShot(0, form.get(), [&] {
    List().DeleteRow(0);
    form->mxTPButton10Click();  // and stop, so that "other" is left alone
  });
  form->mxTPButton10Click();
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  ASSERT_EQ(List().RowCount(), 1);
  EXPECT_EQ(List().CellText(colUrl, 0), "other");
  EXPECT_EQ(List().CellText(colFile, 0), "");
  EXPECT_EQ(List().CellInt(colProgress, 0), 0);
  EXPECT_EQ(List().CellInt(colSize, 0), 0);
}

TEST_F(Downloads, SecondDownloadWhileTheFirstFetchesIsRefusedAndTheFirstGoesOn) {
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(1500, 'x')),
                 ScriptedServer::Pause(300), ScriptedServer::Send(std::string(1500, 'x')), ScriptedServer::Close()});
  bool nested = false;
  QTimer::singleShot(0, form.get(), [&] {
    nested = true;
    form->Button1Click();
  });
  Download("http://127.0.0.1:" + std::to_string(server.Port()) + "/slow.html");
  EXPECT_TRUE(nested);
  // The nested one was refused; the first fetched its page, found nothing.
  EXPECT_EQ(desktop.dialogs.Errors().size(), 1) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_TRUE(desktop.dialogs.Texts().contains("No video"));
  EXPECT_EQ(server.Connections(), 1);
}

}  // namespace
}  // namespace larkvale::app
