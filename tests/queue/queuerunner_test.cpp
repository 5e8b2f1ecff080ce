// The queue runner without a window, against servers on 127.0.0.1: failed
// rows that do not stop the queue, Retry, Stop and resume with a Range
// request, servers that ignore Range or close early, and a restart from the
// saved list; and the names it gives downloaded files.
#include "queue/queuerunner.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>

#include "platform/clock.h"
#include "queue/liststore.h"
#include "support/runner_host.h"
#include "support/scripted_server.h"
#include "support/video_site.h"

namespace larkvale::queue {
namespace {

using testing::ReadFileBytes;
using testing::ScriptedServer;
using testing::VideoSite;
using testing::WriteFileBytes;

VideoSite& Site() {
  static VideoSite site;  // one nginx for the whole run, stopped at exit
  return site;
}

// Bytes that differ from position to position, so that a misplaced block shows.
std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  return s;
}

std::string Head(const std::string& status, const std::string& headers) { return status + "\r\n" + headers + "\r\n"; }

// A runner over its own list and download folder, wired the way the
// window wires it.
class Runner : public ::testing::Test {
 public:
  Runner() { Build(); }

  void Build() {
    runner.reset();
    list = std::make_unique<DownloadList>();
    flv = dir.path() + "/flv/";
    QDir().mkpath(flv);
    host.settings.folder = flv;
    // The bytes of the running rows as they arrive (what the speed label gets).
    host.onReceived = [this](std::int64_t bytes) {
      if (bytes > 0 && onWork) onWork(bytes);
    };
    host.onDiskFull = [this] {
      if (runnerHooksPause) runnerHooksPause();
    };
    runner = std::make_unique<QueueRunner>(*list, host, currentRow, retryPauses);

  }

  // A new list and runner over an empty download folder.
  void StartAfresh() {
    Build();
    QDir(flv).removeRecursively();
    QDir().mkpath(flv);
    timeline.clear();
  }

  int AddRow(const QString& link) {
    const int row = list->RowCount();
    list->AddRows(1);
    list->SetCellText(colUrl, row, link);
    list->SetCellInt(colSize, row, 0);
    list->SetCellInt(colProgress, row, 0);
    return row;
  }
  static QString Local(const ScriptedServer& s, const char* path) {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(s.Port()).arg(path);
  }
  // The first pass runs now; later ones when the pause is cut short.
  void Pass() {
    if (!runner->Active()) {
      runner->Start();
      return;
    }
    runner->PauseTimer().start(0);
    QCoreApplication::processEvents();  // the timer fires
    QCoreApplication::processEvents();  // the pass it posted runs
  }
  // "Stop downloads" as soon as `bytes` of the body have arrived.
  void StopAt(std::int64_t bytes) {
    onWork = [this, bytes](std::int64_t count) {
      if (count >= bytes) stopped = true;
    };
  }
  void StartDownloads() {
    onWork = nullptr;
    stopped = false;
    runner->Start();
  }
  QStringList FilesInFlv() const { return QDir(flv).entryList(QDir::Files, QDir::Name); }
  std::string Bytes(const QString& path) const { return ReadFileBytes(path.toStdString()); }

  QTemporaryDir dir;
  QString flv;
  std::unique_ptr<DownloadList> list;
  std::unique_ptr<QueueRunner> runner;
  int currentRow = 0;
  testing::RecordingRunnerHost host;
  bool& stopped = host.stopped;
  int& passErrors = host.passErrors;
  QStringList& statuses = host.statuses;
  QStringList& timeline = host.done;     // what went to the Timeline
  int& atOnce = host.settings.atOnce;    // "Downloads at once", read as rows start
  std::vector<int> retryPauses{kRetryPausesMs.begin(), kRetryPausesMs.end()};
  std::function<void(std::int64_t)> onWork;
  std::function<void()> runnerHooksPause;  // the window's "pause the queue"
};

TEST_F(Runner, AFailedRowBetweenGoodOnesIsMarkedAndThePassGoesOn) {
  const QString video = QString::fromStdString(Site().Url("/videos/clip.flv"));
  const QString missing = QString::fromStdString(Site().Url("/videos/retry-later.flv"));
  AddRow(video);
  AddRow(missing);
  AddRow(video + "?fmt=18");
  Pass();

  EXPECT_EQ(passErrors, 0);
  EXPECT_TRUE(runner->Active());  // the loop goes on
  for (int row : {0, 2}) {
    SCOPED_TRACE(row);
    EXPECT_EQ(list->State(row), RowState::Done);
    EXPECT_EQ(Bytes(list->CellText(colFile, row)), Site().Video());
    EXPECT_EQ(list->CellInt(colProgress, row), 100);
  }
  EXPECT_EQ(timeline, (QStringList{list->CellText(colFile, 0), list->CellText(colFile, 2)}));

  // The failed row: its error in the File cell and on the status line, red,
  // Size and Progress untouched by the error page, no file left behind.
  EXPECT_EQ(list->State(1), RowState::Failed);
  EXPECT_EQ(list->ErrorText(1), "HTTP/1.1 404 Not Found.");
  EXPECT_EQ(list->data(list->index(1, colFile)).toString(), "Failed: HTTP/1.1 404 Not Found.");
  EXPECT_TRUE(list->data(list->index(1, colUrl), DownloadList::FailedRole).toBool());
  EXPECT_EQ(list->CellText(colFile, 1), "");
  EXPECT_EQ(list->CellInt(colSize, 1), 0);
  EXPECT_EQ(list->CellInt(colProgress, 1), 0);
  EXPECT_TRUE(statuses.contains("HTTP/1.1 404 Not Found."));
  EXPECT_EQ(FilesInFlv(), (QStringList{"flv0video.flv", "flv1video.avi"}));  // the counter is not reset by a failure

  // Later passes leave it alone.
  statuses.clear();
  Pass();
  EXPECT_EQ(list->State(1), RowState::Failed);
  EXPECT_FALSE(statuses.contains("Downloading video"));

  // Retry: it waits again and the next pass fetches it.
  WriteFileBytes(Site().Root() + "/videos/retry-later.flv", Site().Video());
  EXPECT_FALSE(list->MakeWaiting(0));  // a done row does not wait again
  EXPECT_TRUE(list->MakeWaiting(1));
  EXPECT_EQ(list->ErrorText(1), "");
  Pass();
  QFile::remove(QString::fromStdString(Site().Root() + "/videos/retry-later.flv"));
  EXPECT_EQ(list->State(1), RowState::Done);
  EXPECT_EQ(Bytes(list->CellText(colFile, 1)), Site().Video());
  EXPECT_EQ(timeline.size(), 3);
  EXPECT_EQ(FilesInFlv().size(), 3);
}

TEST_F(Runner, EveryKindOfFailureMarksTheRowAndLeavesNoEmptyFile) {
  const struct {
    const char* name;
    std::function<QString(Runner&)> prepare;  // returns the row's link
    QString error;
  } cases[] = {
      {"no transport for the scheme", [](Runner&) { return QStringLiteral("ftp://127.0.0.1:21/x.flv"); },
       "IOHandler value is not valid."},
      {"refused", [](Runner&) { return QStringLiteral("http://127.0.0.1:1/x.flv"); }, ""},
      {"not a URL", [](Runner&) { return QStringLiteral("just words"); }, ""},
      {"download folder missing",
       [](Runner& t) {
         QDir(t.flv).removeRecursively();
         return QString::fromStdString(Site().Url("/videos/clip.flv"));
       },
       // The three failed rows before it keep their names for a Retry.
       "Cannot create file \"%1flv3video.flv.part\". No such file or directory."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    statuses.clear();
    const int row = AddRow(c.prepare(*this));
    Pass();
    EXPECT_EQ(passErrors, 0);
    EXPECT_EQ(list->State(row), RowState::Failed);
    const QString error = list->ErrorText(row);
    EXPECT_TRUE(error.endsWith('.')) << error.toStdString();
    if (!c.error.isEmpty()) {
      EXPECT_EQ(error, c.error.contains("%1") ? c.error.arg(flv) : c.error);
    }
    EXPECT_EQ(statuses.last(), error);
    EXPECT_EQ(list->CellText(colFile, row), "");
    EXPECT_TRUE(FilesInFlv().isEmpty()) << FilesInFlv().join(' ').toStdString();
    EXPECT_TRUE(timeline.isEmpty());
  }
}

TEST_F(Runner, NamesTakenByPartialFilesAreNotChosen) {
  // A partial download nobody follows any more still holds its name.
  WriteFileBytes((flv + "flv0video.flv.part").toStdString(), "partial");
  WriteFileBytes((flv + "flv1video.flv").toStdString(), "whole");
  AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  Pass();
  EXPECT_EQ(list->CellText(colFile, 0), flv + "flv2video.flv");
  EXPECT_EQ(Bytes(flv + "flv0video.flv.part"), "partial");
}

TEST_F(Runner, ARowWhosePartialFileWasRenamedBeforeTheLastSaveIsDone) {
  // The list says downloading into the .part; the disk has the whole file.
  WriteFileBytes((flv + "flv0video.flv").toStdString(), "whole");
  const int row = AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  list->SetCellText(colFile, row, flv + "flv0video.flv.part");
  list->SetState(row, RowState::Stopped);
  runner->Start();
  EXPECT_EQ(list->State(row), RowState::Done);
  EXPECT_EQ(list->CellText(colFile, row), flv + "flv0video.flv");
  EXPECT_EQ(Bytes(flv + "flv0video.flv"), "whole");
  EXPECT_EQ(FilesInFlv(), QStringList{"flv0video.flv"});
}

// The first transfer is cut at about half of 300000 bytes, by Stop or by the
// peer; the second request asks for the rest with a Range header, and the
// server answers it in one of several ways.
TEST_F(Runner, ACutDownloadResumesToTheSameBytes) {
  const std::string body = Pattern(300000);
  enum How { Stop, PeerCloses };
  enum Answer { Appends, StartsEarlier, Ignores };
  const struct {
    const char* name;
    How how;
    Answer answer;
  } cases[] = {
      {"Stop, then 206", Stop, Appends},
      {"Stop, then 206 from an earlier byte, then the whole file", Stop, StartsEarlier},
      {"Stop, then 200 (Range ignored)", Stop, Ignores},
      {"peer closes early, then 206", PeerCloses, Appends},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAfresh();
    ScriptedServer server;
    const std::string head = Head("HTTP/1.0 200 OK", "Content-Length: 300000\r\n");
    if (c.how == Stop) {
      StopAt(150000);
      server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + body.substr(0, 200000)),
                     ScriptedServer::WaitClose()});
    } else {
      server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + body.substr(0, 150000)),
                     ScriptedServer::Close()});
    }
    const int row = AddRow(Local(server, "/clip.flv"));
    Pass();

    const QString part = flv + "flv0video.flv.part";
    EXPECT_EQ(list->CellText(colFile, row), part);
    EXPECT_TRUE(timeline.isEmpty());  // not a finished download
    EXPECT_FALSE(QFile::exists(flv + "flv0video.flv"));
    const std::string partial = Bytes(part);
    ASSERT_GT(partial.size(), 0u);
    ASSERT_LT(partial.size(), body.size());
    EXPECT_EQ(partial, body.substr(0, partial.size()));
    const qint64 percent = list->CellInt(colProgress, row);
    EXPECT_GT(percent, 0);
    EXPECT_LT(percent, 100);
    if (c.how == Stop) {
      EXPECT_EQ(list->State(row), RowState::Stopped);
      EXPECT_EQ(list->data(list->index(row, colFile)).toString(), QStringLiteral("Stopped at %1 %").arg(percent));
      EXPECT_FALSE(list->data(list->index(row, colFile), DownloadList::FailedRole).toBool());
    } else {
      EXPECT_EQ(list->State(row), RowState::Failed);
      EXPECT_EQ(list->ErrorText(row),
                QStringLiteral("Connection closed after %1 of 300000 bytes.").arg(partial.size()));
    }

    const std::size_t have = partial.size();
    const std::size_t from = c.answer == StartsEarlier ? have - 1000 : have;
    std::string reply;
    if (c.answer == Ignores)
      reply = head + body;
    else
      reply = Head("HTTP/1.0 206 Partial Content",
                   "Content-Range: bytes " + std::to_string(from) + "-299999/300000\r\nContent-Length: " +
                       std::to_string(body.size() - from) + "\r\n") +
              body.substr(from);
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(reply), ScriptedServer::Close()});
    // A 206 that does not start at the .part's end starts the file again.
    if (c.answer == StartsEarlier)
      server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + body), ScriptedServer::Close()});
    if (c.how == Stop) {
      StartDownloads();  // the stopped row waits again; the active loop's next pass takes it
    } else {
      list->MakeWaiting(row);  // "Retry"
    }
    Pass();

    server.WaitIdle();
    ASSERT_EQ(server.Requests().size(), c.answer == StartsEarlier ? 3u : 2u);
    EXPECT_EQ(server.Requests()[0].find("Range:"), std::string::npos);
    EXPECT_NE(server.Requests()[1].find("\r\nRange: bytes=" + std::to_string(have) + "-\r\n"), std::string::npos)
        << server.Requests()[1];
    const QString file = flv + "flv0video.flv";
    EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
    EXPECT_EQ(list->CellText(colFile, row), file);
    EXPECT_TRUE(Bytes(file) == body);
    EXPECT_FALSE(QFile::exists(part));
    EXPECT_EQ(list->CellInt(colSize, row), 300000);  // the whole file, not the rest
    EXPECT_EQ(list->CellInt(colProgress, row), 100);
    EXPECT_TRUE(statuses.contains("300000 bytes of 300000 bytes."));
    EXPECT_EQ(timeline, QStringList{file});
  }
}

// A resume answered from a later byte would leave a gap: the file starts
// again, and a server that answers the plain request the same way fails the
// row, leaving nothing of a file it would not send whole.
TEST_F(Runner, AResumeThatWouldLeaveAGapStartsAgain) {
  ScriptedServer server;
  const std::string body = Pattern(1000);
  WriteFileBytes((flv + "flv0video.flv.part").toStdString(), body.substr(0, 400));
  const int row = AddRow(Local(server, "/clip.flv"));
  list->SetCellText(colFile, row, flv + "flv0video.flv.part");
  const std::string later = Head("HTTP/1.0 206 Partial Content", "Content-Range: bytes 500-999/1000\r\nContent-Length: 500\r\n") +
                            body.substr(500);
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(later), ScriptedServer::WaitClose()});
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(later), ScriptedServer::WaitClose()});
  Pass();
  EXPECT_EQ(list->State(row), RowState::Failed);
  EXPECT_EQ(list->ErrorText(row), "The server resumed at byte 500, not at byte 0.");
  server.WaitIdle();
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].find("Range"), std::string::npos);
  EXPECT_TRUE(FilesInFlv().isEmpty()) << FilesInFlv().join(' ').toStdString();
  EXPECT_TRUE(timeline.isEmpty());
}

// The first transfer ends early after a reply that carries the case's
// validators; they are kept beside the .part. The retry asks for the rest
// with If-Range, and the server's answer decides: the same file continues
// the .part, anything else starts the file again. Either way the row ends
// with the server's current file, byte for byte, and nothing beside it.
TEST_F(Runner, AResumeContinuesOnlyTheSameFile) {
  const std::string oldBody = Pattern(300000);
  std::string newBody = oldBody;
  for (char& ch : newBody) ch = static_cast<char>(ch ^ 0x5a);
  const std::string v1 = "ETag: \"v1\"\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n";
  const std::string v2 = "ETag: \"v2\"\r\nLast-Modified: Thu, 22 Oct 2015 07:28:00 GMT\r\n";
  const std::string dated1 = "Last-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n";
  const std::string dated2 = "Last-Modified: Thu, 22 Oct 2015 07:28:00 GMT\r\n";
  const std::string weak = "ETag: W/\"w1\"\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n";
  const auto whole = [](const std::string& body, const std::string& headers) {
    return Head("HTTP/1.0 200 OK", headers + "Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
  };
  const auto part = [](const std::string& body, std::size_t from, const std::string& headers) {
    return Head("HTTP/1.0 206 Partial Content",
                headers + "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) + "/" +
                    std::to_string(body.size()) + "\r\nContent-Length: " + std::to_string(body.size() - from) + "\r\n") +
           body.substr(from);
  };
  enum Answer { Continues, Whole, ChangedPart, EarlierPart };
  const struct {
    const char* name;
    std::string validators;  // of the first reply
    std::string ifRange;     // sent with the retry; empty: none
    Answer answer;
    std::string answerHeaders;
    bool changed;  // the server's file is the new one
  } cases[] = {
      {"same file: 206 appends", v1, "\"v1\"", Continues, v1, false},
      {"changed ETag: 200 starts again", v1, "\"v1\"", Whole, v2, true},
      {"changed date, no ETag: 200 starts again", dated1, "Wed, 21 Oct 2015 07:28:00 GMT", Whole, dated2, true},
      {"If-Range ignored: 206 of the changed file starts again", v1, "\"v1\"", ChangedPart, v2, true},
      {"changed date, If-Range ignored", dated1, "Wed, 21 Oct 2015 07:28:00 GMT", ChangedPart, dated2, true},
      {"no validators: 206 appends", "", "", Continues, "", false},
      {"weak ETag: the date goes", weak, "Wed, 21 Oct 2015 07:28:00 GMT", Continues, weak, false},
      {"206 from the wrong offset starts again", v1, "\"v1\"", EarlierPart, v1, false},
      {"a long ETag goes back on one line", "ETag: \"" + std::string(200, 'e') + "\"\r\n",
       "\"" + std::string(200, 'e') + "\"", Continues, "ETag: \"" + std::string(200, 'e') + "\"\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAfresh();
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(whole(oldBody, c.validators).substr(0, 150000)),
                   ScriptedServer::Close()});
    const int row = AddRow(Local(server, "/clip.flv"));
    Pass();
    const QString partFile = flv + "flv0video.flv.part";
    ASSERT_EQ(list->State(row), RowState::Failed);
    const std::size_t have = Bytes(partFile).size();
    ASSERT_GT(have, 1000u);
    EXPECT_EQ(FilesInFlv(), (QStringList{"flv0video.flv.part", "flv0video.flv.part.state"}));

    const std::string& body = c.changed ? newBody : oldBody;
    std::string answer;
    switch (c.answer) {
      case Continues: answer = part(body, have, c.answerHeaders); break;
      case Whole: answer = whole(body, c.answerHeaders); break;
      case ChangedPart: answer = part(body, have, c.answerHeaders); break;
      case EarlierPart: answer = part(body, have - 1000, c.answerHeaders); break;
    }
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(answer), ScriptedServer::Close()});
    const bool restarts = c.answer == ChangedPart || c.answer == EarlierPart;
    if (restarts)
      server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(whole(body, c.answerHeaders)),
                     ScriptedServer::Close()});
    list->MakeWaiting(row);  // "Retry"
    Pass();

    server.WaitIdle();
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), restarts ? 3u : 2u);
    EXPECT_NE(requests[1].find("\r\nRange: bytes=" + std::to_string(have) + "-\r\n"), std::string::npos) << requests[1];
    if (!c.ifRange.empty())
      EXPECT_NE(requests[1].find("\r\nIf-Range: " + c.ifRange + "\r\n"), std::string::npos) << requests[1];
    else
      EXPECT_EQ(requests[1].find("If-Range"), std::string::npos) << requests[1];
    // Starting again asks for the whole file, with nothing to validate.
    if (restarts) {
      EXPECT_EQ(requests[2].find("Range"), std::string::npos) << requests[2];
    }
    const QString file = flv + "flv0video.flv";
    EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
    EXPECT_TRUE(Bytes(file) == body);
    EXPECT_EQ(FilesInFlv(), QStringList{"flv0video.flv"});
    EXPECT_EQ(list->CellInt(colProgress, row), 100);
  }
}

// A .part left by a version that kept no validators is continued by its
// offset alone; the reply that continues it gives it its state, so the
// next resume is checked in full.
TEST_F(Runner, APartWithoutStateGetsOneFromTheReplyThatContinuesIt) {
  ScriptedServer server;
  const std::string body = Pattern(10000);
  const QString partFile = flv + "flv0video.flv.part";
  WriteFileBytes(partFile.toStdString(), body.substr(0, 4000));
  const int row = AddRow(Local(server, "/clip.flv"));
  list->SetCellText(colFile, row, partFile);
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.0 206 Partial Content",
                                           "ETag: \"s\"\r\nContent-Range: bytes 4000-9999/10000\r\nContent-Length: 6000\r\n") +
                                      body.substr(4000, 3000)),
                 ScriptedServer::Close()});
  Pass();
  server.WaitIdle();
  EXPECT_EQ(server.Requests()[0].find("If-Range"), std::string::npos) << server.Requests()[0];
  EXPECT_EQ(list->State(row), RowState::Failed);
  EXPECT_EQ(Bytes(partFile), body.substr(0, 7000));
  PartState state;
  ASSERT_TRUE(PartState::Load(partFile, state));
  EXPECT_EQ(state.etag, "\"s\"");
  EXPECT_EQ(state.total, 10000);
}

// A run killed between the last byte and the rename leaves a whole .part:
// the server's 416 for the range after its end finishes the row, with no
// byte fetched again. A 416 for a .part that is not whole starts it again.
TEST_F(Runner, A416ForAWholePartFinishesTheRow) {
  const std::string body = Pattern(5000);
  for (const bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "whole" : "longer than the server's file");
    StartAfresh();
    ScriptedServer server;
    const QString partFile = flv + "flv0video.flv.part";
    WriteFileBytes(partFile.toStdString(), whole ? body : body + "stale tail");
    PartState state;
    state.etag = "\"e\"";
    state.total = whole ? 5000 : 5010;
    ASSERT_TRUE(state.Save(partFile));
    const int row = AddRow(Local(server, "/clip.flv"));
    list->SetCellText(colFile, row, partFile);
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send(Head("HTTP/1.0 416 Range Not Satisfiable",
                                             "Content-Range: bytes */5000\r\nContent-Length: 0\r\n")),
                   ScriptedServer::Close()});
    if (!whole)
      server.Expect({ScriptedServer::ReadRequest(),
                     ScriptedServer::Send(Head("HTTP/1.0 200 OK", "ETag: \"e2\"\r\nContent-Length: 5000\r\n") + body),
                     ScriptedServer::Close()});
    Pass();
    server.WaitIdle();
    ASSERT_EQ(server.Requests().size(), whole ? 1u : 2u);
    EXPECT_NE(server.Requests()[0].find("\r\nIf-Range: \"e\"\r\n"), std::string::npos) << server.Requests()[0];
    EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
    EXPECT_TRUE(Bytes(flv + "flv0video.flv") == body);
    EXPECT_EQ(FilesInFlv(), QStringList{"flv0video.flv"});
    EXPECT_EQ(timeline, QStringList{flv + "flv0video.flv"});
  }
}

// The program ends in the middle of a download (the list as last saved, the
// .part file as far as it reached the disk); the next run shows the row
// stopped and resumes it from nginx with a real Range reply.
TEST_F(Runner, ARestartResumesTheRowThatWasDownloading) {
  const QString big = QString::fromStdString(Site().Url("/paced/big.bin"));
  const QString saved = dir.path() + "/data/downloads.json";
  QByteArray savedList;
  std::string partOnDisk;
  {
    DownloadListStore store(*list, saved);
    AddRow(big);
    const QString part = flv + "flv0video.flv.part";
    onWork = [&](std::int64_t count) {
      if (count < static_cast<std::int64_t>(Site().Big().size() / 2) || !partOnDisk.empty()) return;
      // What a kill here would leave: the last save, the bytes on disk.
      ASSERT_TRUE(store.Save());
      savedList = QByteArray::fromStdString(ReadFileBytes(saved.toStdString()));
      partOnDisk = Bytes(part);
      stopped = true;
    };
    Pass();
    ASSERT_FALSE(partOnDisk.empty());
  }
  // The kill's leftovers replace what this run went on to write.
  QFile::remove(saved);
  WriteFileBytes(saved.toStdString(), savedList.toStdString());
  WriteFileBytes((flv + "flv0video.flv.part").toStdString(), partOnDisk);

  stopped = false;
  onWork = nullptr;
  Build();
  DownloadListStore store(*list, saved);
  ASSERT_TRUE(store.Load());
  ASSERT_EQ(list->RowCount(), 1);
  EXPECT_EQ(list->State(0), RowState::Stopped);
  EXPECT_EQ(list->CellText(colFile, 0), flv + "flv0video.flv.part");
  EXPECT_TRUE(list->data(list->index(0, colFile)).toString().startsWith("Stopped at "));

  qint64 firstProgress = -1;
  onWork = [&](std::int64_t) {
    if (firstProgress < 0) firstProgress = list->CellInt(colProgress, 0);
  };
  runner->Start();  // the first activation starts downloads
  const QString file = flv + "flv0video.flv";
  EXPECT_EQ(list->State(0), RowState::Done);
  EXPECT_EQ(list->CellText(colFile, 0), file);
  EXPECT_TRUE(Bytes(file) == Site().Big());
  EXPECT_EQ(list->CellInt(colSize, 0), static_cast<qint64>(Site().Big().size()));
  EXPECT_EQ(timeline, QStringList{file});
  // It went on from the partial file rather than from the start.
  EXPECT_GE(firstProgress, static_cast<qint64>(partOnDisk.size() * 100 / Site().Big().size()));
}

// Rows deleted or re-sorted while the first of two downloads runs: the pass
// goes on with the other row at once, and nothing of the first transfer
// lands on it.
TEST_F(Runner, RowsDeletedOrMovedDuringADownloadLeaveThePassOnTheNextRow) {
  const std::string body = Pattern(300000);
  const QString clip = QString::fromStdString(Site().Url("/videos/clip.flv"));
  enum Change { DeleteIt, DeleteTheOneAbove, SortItLast };
  const struct {
    const char* name;
    Change change;
  } cases[] = {
      {"the downloading row deleted", DeleteIt},
      {"a finished row above it deleted", DeleteTheOneAbove},
      {"the rows sorted so that it comes last", SortItLast},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAfresh();
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send(Head("HTTP/1.0 200 OK", "Content-Length: 300000\r\n") + body.substr(0, 100000)),
                   ScriptedServer::Pause(100), ScriptedServer::Send(body.substr(100000)), ScriptedServer::Close()});
    WriteFileBytes((flv + "done.flv").toStdString(), "whole");
    const int above = AddRow(QStringLiteral("http://127.0.0.1:1/done.flv"));
    list->SetCellText(colFile, above, flv + "done.flv");
    const quint64 first = list->RowId(AddRow(Local(server, "/first.flv")));
    const quint64 second = list->RowId(AddRow(clip));
    QList<qint64> secondSizes;
    QObject::connect(list.get(), &QAbstractItemModel::dataChanged, list.get(),
                     [&] { secondSizes << list->CellInt(colSize, list->RowOfId(second)); });
    bool changed = false;
    onWork = [&](std::int64_t count) {
      if (changed || count < 50000) return;
      changed = true;
      if (c.change == DeleteIt) list->DeleteRow(list->RowOfId(first));
      if (c.change == DeleteTheOneAbove) list->DeleteRow(above);
      if (c.change == SortItLast) list->SortRows(colSize, Qt::AscendingOrder);  // its announced 300000 goes last
    };
    Pass();

    ASSERT_TRUE(changed);
    EXPECT_EQ(passErrors, 0);
    const int row = list->RowOfId(second);
    ASSERT_GE(row, 0);
    EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
    EXPECT_TRUE(Bytes(list->CellText(colFile, row)) == Site().Video());
    const qint64 size = static_cast<qint64>(Site().Video().size());
    EXPECT_EQ(list->CellInt(colSize, row), size);
    for (qint64 s : secondSizes) EXPECT_TRUE(s == 0 || s == size) << s;
    if (c.change == DeleteIt) {
      // Stopped where it was; its part stays, without a row and off the Timeline.
      EXPECT_EQ(list->RowOfId(first), -1);
      const std::string kept = Bytes(flv + "flv0video.flv.part");
      EXPECT_GE(kept.size(), 50000u);
      EXPECT_LT(kept.size(), body.size());
      EXPECT_TRUE(kept == body.substr(0, kept.size()));
      EXPECT_EQ(list->CellText(colFile, row), flv + "flv1video.flv");
      EXPECT_EQ(timeline, QStringList{flv + "flv1video.flv"});
    } else {
      // Followed to its end wherever it moved.
      const int moved = list->RowOfId(first);
      EXPECT_EQ(list->State(moved), RowState::Done);
      EXPECT_EQ(list->CellText(colFile, moved), flv + "flv0video.flv");
      EXPECT_TRUE(Bytes(flv + "flv0video.flv") == body);
      EXPECT_EQ(list->CellInt(colSize, moved), 300000);
      EXPECT_EQ(timeline, (QStringList{flv + "flv0video.flv", flv + "flv1video.flv"}));
    }
  }
}

// Moves the loop on as the window's event loop would, until `done` or `ms` pass.
bool RunUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return done();
}

ScriptedServer::Script Answer(const std::string& status, const std::string& headers, const std::string& body = {}) {
  return {ScriptedServer::ReadRequest(),
          ScriptedServer::Send(Head(status, headers + "Content-Length: " + std::to_string(body.size()) + "\r\n") + body),
          ScriptedServer::Close()};
}

// Each row downloads on a worker with a client of its own, but a client
// that ended goes on to the next row: a server's cookie set on one download
// goes with the next, as it did when one client did all rows.
TEST_F(Runner, AServersCookieGoesWithTheNextRow) {
  ScriptedServer server;
  const std::string body = Pattern(5000);
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 200 OK", "Set-Cookie: seen=1; Path=/\r\nContent-Length: 5000\r\n") +
                                      body),
                 ScriptedServer::Close()});
  server.Expect(Answer("HTTP/1.1 200 OK", "", body));
  const int first = AddRow(Local(server, "/first.flv"));
  const int second = AddRow(Local(server, "/second.flv"));
  Pass();
  server.WaitIdle();

  EXPECT_EQ(list->State(first), RowState::Done);
  EXPECT_EQ(list->State(second), RowState::Done);
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[0].find("Cookie:"), std::string::npos);
  EXPECT_NE(server.Requests()[1].find("\r\nCookie: seen=1\r\n"), std::string::npos) << server.Requests()[1];
}

// A long history costs a pass nothing: behind 100,000 done rows (their
// files present or not), a queued row is found and fetched with a handful
// of questions to the disk, and an idle pass asks none.
TEST_F(Runner, APassBehindALongHistoryLooksOnlyAtTheQueuedRow) {
  const int history = 100000;
  WriteFileBytes((flv + "old.flv").toStdString(), "whole");
  list->AddRows(history);
  list->BeginUpdate();
  for (int r = 0; r < history; ++r) {
    list->SetCellText(colUrl, r, QStringLiteral("http://127.0.0.1:1/old%1.flv").arg(r));
    list->SetCellText(colFile, r, r % 2 ? flv + "old.flv" : flv + QStringLiteral("gone%1.flv").arg(r));
    list->SetState(r, RowState::Done);
  }
  list->EndUpdate();
  const int row = AddRow(QString::fromStdString(Site().Url("/videos/clip.flv")));
  host.fileChecks = 0;
  Pass();
  EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
  EXPECT_EQ(Bytes(list->CellText(colFile, row)), Site().Video());
  EXPECT_LT(host.fileChecks, 20);
  EXPECT_EQ(list->State(0), RowState::Done);  // its file is gone, but nobody looked

  host.fileChecks = 0;
  Pass();
  EXPECT_EQ(host.fileChecks, 0);
  EXPECT_EQ(timeline.size(), 1);
}

TEST_F(Runner, ABusyServerIsAskedAgainAfterItsRetryAfter) {
  ScriptedServer server;
  const std::string body = Pattern(20000);
  for (int i = 0; i < 2; ++i) server.Expect(Answer("HTTP/1.1 503 Service Unavailable", "Retry-After: 1\r\n"));
  server.Expect(Answer("HTTP/1.1 200 OK", "", body));
  const int row = AddRow(Local(server, "/busy.flv"));
  // When each request went out, and what the row said meanwhile.
  std::vector<std::int64_t> starts;
  QStringList notes;
  QObject scope;  // the watch ends with the test's locals
  QObject::connect(list.get(), &QAbstractItemModel::dataChanged, &scope, [&, was = RowState::Waiting]() mutable {
    const RowState state = list->State(row);
    if (state == RowState::Downloading && was != RowState::Downloading) starts.push_back(platform::TickCountMs());
    if (state == RowState::Waiting && !list->ErrorText(row).isEmpty()) notes << list->ErrorText(row);
    was = state;
  });

  Pass();
  EXPECT_EQ(list->State(row), RowState::Waiting);
  EXPECT_EQ(list->ErrorText(row), "Retrying in 1 s (503 Service Unavailable)");
  EXPECT_EQ(list->FileDisplayText(row), "Retrying in 1 s (503 Service Unavailable)");
  EXPECT_EQ(statuses.last(), "Retrying in 1 s (503 Service Unavailable)");
  EXPECT_TRUE(runner->Active());

  ASSERT_TRUE(RunUntil([&] { return list->State(row) == RowState::Done; }, 10000)) << list->ErrorText(row).toStdString();
  EXPECT_EQ(server.Requests().size(), 3u);
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_GE(starts[1] - starts[0], 1000);
  EXPECT_GE(starts[2] - starts[1], 1000);
  EXPECT_TRUE(Bytes(flv + "flv0video.flv") == body);
  EXPECT_EQ(list->ErrorText(row), "");
  EXPECT_EQ(timeline, QStringList{flv + "flv0video.flv"});
  for (const QString& note : notes) EXPECT_EQ(note, "Retrying in 1 s (503 Service Unavailable)");
  EXPECT_GE(notes.size(), 2);
}

TEST_F(Runner, RowsRunningTogetherRetryEachOnItsOwn) {
  atOnce = 2;
  ScriptedServer busy, steady;
  const std::string body = Pattern(20000), slow = Pattern(40000);
  busy.Expect(Answer("HTTP/1.1 503 Service Unavailable", "Retry-After: 1\r\n"));
  busy.Expect(Answer("HTTP/1.1 200 OK", "", body));
  // The other row takes about two seconds, sent in paced pieces.
  ScriptedServer::Script paced{ScriptedServer::ReadRequest(),
                               ScriptedServer::Send(Head("HTTP/1.0 200 OK", "Content-Length: 40000\r\n"))};
  for (int i = 0; i < 20; ++i) {
    paced.push_back(ScriptedServer::Pause(100));
    paced.push_back(ScriptedServer::Send(slow.substr(i * 2000, 2000)));
  }
  steady.Expect(paced);
  const int first = AddRow(Local(busy, "/busy.flv"));
  const int second = AddRow(Local(steady, "/steady.flv"));
  QStringList notes;
  QObject scope;
  QObject::connect(list.get(), &QAbstractItemModel::dataChanged, &scope, [&] {
    if (list->State(first) == RowState::Waiting && !list->ErrorText(first).isEmpty()) notes << list->ErrorText(first);
  });
  Pass();  // one pass: the busy row is asked again while the other still runs

  EXPECT_EQ(list->State(first), RowState::Done) << list->ErrorText(first).toStdString();
  EXPECT_EQ(list->State(second), RowState::Done) << list->ErrorText(second).toStdString();
  EXPECT_TRUE(Bytes(list->CellText(colFile, first)) == body);
  EXPECT_TRUE(Bytes(list->CellText(colFile, second)) == slow);
  // The retried row takes back its name: the names stay in row order.
  EXPECT_EQ(list->CellText(colFile, first), flv + "flv0video.flv");
  EXPECT_EQ(list->CellText(colFile, second), flv + "flv1video.flv");
  EXPECT_TRUE(notes.contains("Retrying in 1 s (503 Service Unavailable)"));
  const auto asked = busy.Spans(), ran = steady.Spans();
  ASSERT_EQ(asked.size(), 2u);
  ASSERT_EQ(ran.size(), 1u);
  EXPECT_GE(asked[1].accepted - asked[0].ended, std::chrono::milliseconds(900));
  EXPECT_LT(asked[1].accepted, ran[0].ended);  // it did not wait for the other row
  EXPECT_EQ(timeline.size(), 2);
}

TEST_F(Runner, ARowsOwnStopEndsOnlyThatRowOneAtATimeToo) {
  ScriptedServer server;
  const std::string body = Pattern(200000);
  // The first answer pauses half-way, for its Stop to land in the middle.
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 200 OK", "Content-Length: 200000\r\n") + body.substr(0, 100000)),
                 ScriptedServer::Pause(300), ScriptedServer::Send(body.substr(100000)), ScriptedServer::Close()});
  server.Expect(Answer("HTTP/1.1 200 OK", "", body));
  const int first = AddRow(Local(server, "/first.flv"));
  const int second = AddRow(Local(server, "/second.flv"));
  const int waiting = AddRow(Local(server, "/third.flv"));
  bool stoppedWaiting = false;
  onWork = [&](std::int64_t count) {
    if (count < 50000 || list->State(first) != RowState::Downloading) return;
    stoppedWaiting = runner->StopRow(waiting);  // not started yet: it will not start
    EXPECT_TRUE(runner->StopRow(first));
  };
  Pass();

  EXPECT_TRUE(stoppedWaiting);
  EXPECT_EQ(list->State(first), RowState::Stopped);
  const std::string kept = Bytes(list->CellText(colFile, first));
  EXPECT_LT(kept.size(), body.size());
  EXPECT_TRUE(kept == body.substr(0, kept.size()));
  EXPECT_EQ(list->State(second), RowState::Done);  // the pass went on
  EXPECT_TRUE(Bytes(list->CellText(colFile, second)) == body);
  EXPECT_EQ(list->State(waiting), RowState::Stopped);
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_FALSE(runner->StopRow(second));  // done: nothing to stop
}

TEST_F(Runner, RetriesAreForFaultsThatPassAndAreSpentAfterThree) {
  retryPauses = {30, 30, 30};
  Build();
  const struct {
    const char* name;
    ScriptedServer::Script answer;
    int requests;  // one, or the first and its three retries
    QString error;
  } cases[] = {
      {"404", Answer("HTTP/1.1 404 Not Found", ""), 1, "HTTP/1.1 404 Not Found."},
      {"403", Answer("HTTP/1.1 403 Forbidden", ""), 1, "HTTP/1.1 403 Forbidden."},
      {"503", Answer("HTTP/1.1 503 Service Unavailable", ""), 4, "HTTP/1.1 503 Service Unavailable."},
      {"429", Answer("HTTP/1.1 429 Too Many Requests", ""), 4, "HTTP/1.1 429 Too Many Requests."},
      {"500", Answer("HTTP/1.1 500 Internal Server Error", ""), 4, "HTTP/1.1 500 Internal Server Error."},
      {"reset", {ScriptedServer::ReadRequest(), ScriptedServer::Reset()}, 4, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    for (int i = 0; i < 5; ++i) server.Expect(c.answer);
    const int row = AddRow(Local(server, "/x.flv"));
    Pass();
    RunUntil([&] { return list->State(row) == RowState::Failed; }, 5000);
    server.WaitIdle();
    EXPECT_EQ(list->State(row), RowState::Failed);
    EXPECT_EQ(static_cast<int>(server.Requests().size()), c.requests);
    if (!c.error.isEmpty()) EXPECT_EQ(list->ErrorText(row), c.error);
    EXPECT_TRUE(list->ErrorText(row).endsWith('.')) << list->ErrorText(row).toStdString();
    EXPECT_TRUE(FilesInFlv().isEmpty()) << FilesInFlv().join(' ').toStdString();
    // Spent: no further request comes.
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(static_cast<int>(server.Requests().size()), c.requests);
  }
}

TEST_F(Runner, StopDuringARetryWaitStopsTheRowAndStartAsksAtOnce) {
  ScriptedServer server;
  const std::string body = Pattern(30000);
  // The first answer cuts the body short with a reset: its bytes are kept.
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 200 OK", "Content-Length: 30000\r\nETag: \"v1\"\r\n") +
                                      body.substr(0, 10000)),
                 ScriptedServer::Pause(100), ScriptedServer::Reset()});
  const int row = AddRow(Local(server, "/cut.flv"));
  Pass();
  ASSERT_EQ(list->State(row), RowState::Waiting) << list->ErrorText(row).toStdString();
  EXPECT_TRUE(list->ErrorText(row).startsWith("Retrying in 1 s (")) << list->ErrorText(row).toStdString();
  EXPECT_EQ(list->CellText(colFile, row), flv + "flv0video.flv.part");

  // "Stop downloads" as the window does it: the row stops now.
  stopped = true;
  runner->StopWaits();
  EXPECT_EQ(list->State(row), RowState::Stopped);
  RunUntil([&] { return !runner->Active(); }, 5000);
  RunUntil([] { return false; }, 1200);  // past the retry's moment
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(list->State(row), RowState::Stopped);
  // What arrived before the reset (a reset may drop the last unread bytes).
  const std::string kept = Bytes(flv + "flv0video.flv.part");
  ASSERT_GT(kept.size(), 0u);
  ASSERT_LE(kept.size(), 10000u);
  EXPECT_TRUE(kept == body.substr(0, kept.size()));

  // "Start downloads" resumes it at once, from its .part.
  const std::string have = std::to_string(kept.size());
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 206 Partial Content",
                                           "Content-Range: bytes " + have + "-29999/30000\r\nContent-Length: " +
                                               std::to_string(body.size() - kept.size()) + "\r\nETag: \"v1\"\r\n") +
                                      body.substr(kept.size())),
                 ScriptedServer::Close()});
  StartDownloads();
  EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_NE(server.Requests()[1].find("\r\nRange: bytes=" + have + "-\r\n"), std::string::npos);
  EXPECT_TRUE(Bytes(flv + "flv0video.flv") == body);
}

// A small tmpfs over the download folder, so that a download can fill it;
// needs the right to mount (root).
class SmallDisk {
 public:
  explicit SmallDisk(const QString& dir) : dir_(dir.toLocal8Bit()) {
    mounted_ = ::mount("tmpfs", dir_.constData(), "tmpfs", 0, "size=2m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.constData(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  bool Grow() { return ::mount("tmpfs", dir_.constData(), "tmpfs", MS_REMOUNT, "size=8m") == 0; }

 private:
  QByteArray dir_;
  bool mounted_ = false;
};

TEST_F(Runner, AFullDiskStopsTheRowKeepsItsPartAndPausesTheQueue) {
  SmallDisk disk(flv);
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
  bool paused = false;
  ScriptedServer server;
  const std::string body = Pattern(3 * 1024 * 1024);
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) +
                                                                  "\r\nETag: \"v1\"\r\n") + body),
                 ScriptedServer::Close()});
  const int row = AddRow(Local(server, "/big.flv"));
  const int next = AddRow(Local(server, "/next.flv"));
  runnerHooksPause = [&] {
    paused = true;
    stopped = true;
  };
  Pass();

  EXPECT_TRUE(paused);
  EXPECT_EQ(list->State(row), RowState::Stopped);
  const QString folder = QDir::cleanPath(flv);
  EXPECT_TRUE(QRegularExpression("^Disk full: \\d+ MB free in " + QRegularExpression::escape(folder) + "$")
                  .match(list->ErrorText(row))
                  .hasMatch())
      << list->ErrorText(row).toStdString();
  EXPECT_EQ(list->FileDisplayText(row), list->ErrorText(row));
  EXPECT_EQ(statuses.last(), list->ErrorText(row));
  // What was written is the file's beginning; the next row was left alone.
  const std::string kept = Bytes(flv + "flv0video.flv.part");
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LT(kept.size(), body.size());
  EXPECT_TRUE(kept == body.substr(0, kept.size()));
  EXPECT_EQ(list->State(next), RowState::Waiting);
  EXPECT_EQ(server.Requests().size(), 1u);

  // Room again: "Start downloads" resumes the row from its .part.
  ASSERT_TRUE(disk.Grow()) << std::strerror(errno);
  const std::size_t have = kept.size();
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 206 Partial Content",
                                           "Content-Range: bytes " + std::to_string(have) + "-" +
                                               std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
                                               "\r\nContent-Length: " + std::to_string(body.size() - have) +
                                               "\r\nETag: \"v1\"\r\n") +
                                      body.substr(have)),
                 ScriptedServer::Close()});
  server.Expect(Answer("HTTP/1.1 200 OK", "", "next"));
  StartDownloads();
  RunUntil([&] { return list->State(next) == RowState::Done; }, 10000);
  EXPECT_EQ(list->State(row), RowState::Done) << list->ErrorText(row).toStdString();
  EXPECT_TRUE(Bytes(flv + "flv0video.flv") == body);
  ASSERT_GE(server.Requests().size(), 2u);
  EXPECT_NE(server.Requests()[1].find("\r\nRange: bytes=" + std::to_string(have) + "-\r\n"), std::string::npos);
  EXPECT_EQ(list->State(next), RowState::Done) << list->ErrorText(next).toStdString();
}

TEST_F(Runner, AFullDiskPausesTheRowsRunningBesideIt) {
  SmallDisk disk(flv);
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
  atOnce = 2;
  ScriptedServer big, paced;
  const std::string body = Pattern(3 * 1024 * 1024), small = Pattern(100000);
  big.Expect({ScriptedServer::ReadRequest(),
              ScriptedServer::Send(Head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n")),
              ScriptedServer::Pause(300), ScriptedServer::Send(body), ScriptedServer::Close()});
  ScriptedServer::Script slow{ScriptedServer::ReadRequest(),
                              ScriptedServer::Send(Head("HTTP/1.0 200 OK", "Content-Length: 100000\r\n"))};
  for (int i = 0; i < 50; ++i) {
    slow.push_back(ScriptedServer::Send(small.substr(i * 2000, 2000)));
    slow.push_back(ScriptedServer::Pause(100));
  }
  paced.Expect(slow);
  const int full = AddRow(Local(big, "/big.flv"));
  const int beside = AddRow(Local(paced, "/small.flv"));
  bool paused = false;
  runnerHooksPause = [&] {
    paused = true;
    stopped = true;
  };
  QElapsedTimer clock;
  clock.start();
  Pass();

  EXPECT_TRUE(paused);
  EXPECT_LT(clock.elapsed(), 4000);  // the row beside it did not run to its end
  EXPECT_TRUE(list->ErrorText(full).startsWith("Disk full: ")) << list->ErrorText(full).toStdString();
  for (const auto& [row, whole] : {std::pair{full, &body}, std::pair{beside, &small}}) {
    SCOPED_TRACE(row);
    EXPECT_EQ(list->State(row), RowState::Stopped);
    // What reached the full disk (perhaps nothing for the row beside) is
    // the file's beginning.
    const std::string kept = Bytes(list->CellText(colFile, row));
    EXPECT_LT(kept.size(), whole->size());
    EXPECT_TRUE(kept == whole->substr(0, kept.size()));
  }
  EXPECT_GT(Bytes(list->CellText(colFile, full)).size(), 0u);
  EXPECT_TRUE(timeline.isEmpty());
}

// A row found on a page that gets a web page in place of its video fails,
// one after the other and several at once, and keeps its name for its
// Retry: the next row does not take it.
TEST_F(Runner, ARowFoundOnAPageFailsOnAWebPageAndKeepsItsNameForItsRetry) {
  const std::string page = "<!DOCTYPE html><html><body>Sign in to watch</body></html>";
  const std::string first = Pattern(9000), second = Pattern(7000);
  for (const int together : {1, 3}) {
    SCOPED_TRACE(together);
    StartAfresh();
    atOnce = together;
    ScriptedServer login, plain;
    login.Expect(Answer("HTTP/1.0 200 OK", "Content-Type: text/html; charset=utf-8\r\n", page));
    login.Expect(Answer("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\n", first));
    plain.Expect(Answer("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\n", second));
    const int found = AddRow(Local(login, "/watch/clip.mp4"));
    list->MarkFoundOnPage(found);
    const int typed = AddRow(Local(plain, "/other.mp4"));
    Pass();
    login.WaitIdle();
    plain.WaitIdle();
    EXPECT_EQ(list->State(found), RowState::Failed);
    EXPECT_EQ(list->ErrorText(found), "The server sent a web page instead of the video: text/html.");
    EXPECT_EQ(list->State(typed), RowState::Done) << list->ErrorText(typed).toStdString();
    EXPECT_EQ(list->CellText(colFile, typed), flv + "flv1video.mp4");
    EXPECT_EQ(FilesInFlv(), QStringList{"flv1video.mp4"});

    ASSERT_TRUE(list->MakeWaiting(found));
    Pass();
    login.WaitIdle();
    EXPECT_EQ(list->State(found), RowState::Done) << list->ErrorText(found).toStdString();
    EXPECT_EQ(list->CellText(colFile, found), flv + "flv0video.mp4");
    EXPECT_TRUE(Bytes(flv + "flv0video.mp4") == first);
    EXPECT_TRUE(Bytes(flv + "flv1video.mp4") == second);
  }
}

TEST(RetryAfter, SecondsOrADateCappedAtFiveMinutes) {
  const QDateTime now = QDateTime(QDate(2026, 12, 11), QTime(3, 0, 0), Qt::UTC);
  const struct {
    const char* value;
    std::int64_t ms;
  } cases[] = {
      {"1", 1000},
      {" 120 ", 120000},
      {"0", 0},
      {"301", 300000},
      {"99999999999999999999", 300000},
      {"Fri, 11 Dec 2026 03:00:30 GMT", 30000},
      {"Fri, 11 Dec 2026 04:00:00 GMT", 300000},
      {"Fri, 11 Dec 2026 02:00:00 GMT", 0},  // already past
      {"Friday, 11-Dec-26 03:00:05 GMT", 5000},
      {"Fri Dec 11 03:00:07 2026", 7000},
      {"", -1},
      {"soon", -1},
      {"-5", -1},
      {"1.5", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(RetryAfterMs(c.value, now), c.ms);
  }
}

TEST(QueueRunnerNames, ExtensionFollowsTheLink) {
  const struct {
    const char* link;
    const char* extension;
  } cases[] = {
      // Watch-page links keep the names they always had.
      {"http://127.0.0.1/get_video?asv=&video_id=abc&t=T&fmt=18", ".avi"},
      {"http://127.0.0.1/videodownload?version=0&secureurl=SSS&sigh=g&", ".flv"},
      {"http://127.0.0.1/videos/clip.flv?fmt=22", ".avi"},
      // Links found on ordinary pages keep their file's own extension.
      {"http://127.0.0.1/media/clip.mp4", ".mp4"},
      {"https://cdn.example.invalid/a/Clip.WEBM?token=x#t=10", ".webm"},
      {"http://127.0.0.1/sub/clip.mov", ".mov"},
      {"http://127.0.0.1/v.mkv", ".mkv"},
      {"http://127.0.0.1/videos/clip.flv", ".flv"},
      // Neither marker nor media extension.
      {"http://127.0.0.1/stream", ".flv"},
      {"http://127.0.0.1/page.html", ".flv"},
      {"http://127.0.0.1/dir.mp4/file", ".flv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    EXPECT_EQ(ExtensionFor(QString::fromLatin1(c.link)), QString::fromLatin1(c.extension));
  }
  EXPECT_EQ(DownloadFileName("/d/", 3, ExtensionFor("http://h/x.m4v")), "/d/flv3video.m4v");
}

}  // namespace
}  // namespace larkvale::queue
