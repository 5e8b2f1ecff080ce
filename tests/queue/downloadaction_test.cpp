// The Download action without a window: the real client against a video
// site on 127.0.0.1, the download list in memory.
#include "queue/downloadaction.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "support/compression.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/video_site.h"
#include "http/exceptions.h"

namespace larkvale::queue {
namespace {

using Outcome = DownloadAction::Outcome;
using testing::ReadFileBytes;
using testing::ScriptedServer;
using testing::VideoSite;

VideoSite& Site() {
  static VideoSite site;  // one nginx for the whole run, stopped at exit
  return site;
}

// The action wired as the window wires it: the client's events go to the
// action, which reports to a recorded status line.
struct Action : ::testing::Test {
  Action() {
    http::ApplyWindowConfiguration(client);
    client.OnStatus = [this](http::TNetComponent*, http::TNetStatus, const std::string& t) { action.Status(t); };
    client.OnWorkBegin = [this](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action.WorkBegin(n); };
    client.OnWork = [this](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action.Work(n); };
    client.OnWorkEnd = [this](http::TNetComponent*, http::TWorkMode) { action.WorkEnd(); };
    action.OnStatus = [this](const QString& text) { said << text; };
    action.OnQueued = [this](int row) { said << QStringLiteral("queued %1").arg(row); };
    action.OnNoVideo = [this] { said << QStringLiteral("no video"); };
    sites.videoSite = sites.googleVideoServer = Site().Base();
    temp = dir.path() + "/";
  }
  Outcome Download(const std::string& url) { return action.Run(url, temp, sites); }

  http::TNetHTTP client;
  DownloadList list;
  int pumps = 0;
  std::function<void()> duringTheFetch;  // run by the message pump
  DownloadAction action{client, list, [this] {
                          ++pumps;
                          if (auto once = std::exchange(duringTheFetch, nullptr)) once();
                        }};
  extract::SiteAddresses sites;
  QTemporaryDir dir;
  QString temp;
  QStringList said;
};

TEST_F(Action, EveryWatchPageFormQueuesItsLinkAndKeepsACopy) {
  const std::string youtube = Site().Base() + "/get_video?asv=&video_id=" + VideoSite::kId + "&t=" + VideoSite::Token();
  const struct {
    const char* page;
    std::string link;
  } cases[] = {
      {"/watch_standard.html", youtube + "&fmt=18"},
      {"/watch_hd.html", youtube + "&fmt=22"},
      {"/watch_second.html", youtube + "&fmt=18"},
      {"/watch_google.html", Site().Base() + "/videodownload?version=0&secureurl=" + std::string(262, 'S') +
                                 "&sigh=" + std::string(27, 'g') + "&"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    said.clear();
    pumps = 0;
    const int row = list.RowCount();
    EXPECT_EQ(Download(Site().Url(c.page)), Outcome::Queued);
    ASSERT_EQ(list.RowCount(), row + 1);
    EXPECT_EQ(list.CellText(colUrl, row).toStdString(), c.link);
    EXPECT_EQ(list.CellInt(colSize, row), 0);
    EXPECT_FALSE(list.CellEmpty(colSize, row));
    EXPECT_EQ(list.data(list.index(row, colProgress)).toString(), "");
    EXPECT_EQ(list.CellText(colFile, row), "");

    // "Downloading html" first; the row is reported, then "Done".
    ASSERT_GE(said.size(), 3);
    EXPECT_EQ(said.first(), "Downloading html");
    EXPECT_EQ(said.mid(said.size() - 2), QStringList({QStringLiteral("queued %1").arg(row), "Done"}));
    EXPECT_GT(pumps, 0);  // the fetch kept the window alive

    // The page's copy, one line per line, each ended by CR LF.
    const std::string served = ReadFileBytes(Site().Root() + c.page);
    EXPECT_EQ(ReadFileBytes((temp + "temp.txt").toStdString()), served);
    EXPECT_EQ(action.BytesSoFar(), 0);
  }
}

TEST_F(Action, PageWithoutVideoSaysSoThenDone) {
  EXPECT_EQ(Download(Site().Url("/no_video.html")), Outcome::NoVideo);
  EXPECT_EQ(said.mid(said.size() - 2), QStringList({"no video", "Done"}));
  EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(Action, FailuresLeaveNoRowAndKeepTheLastCopy) {
  ASSERT_EQ(Download(Site().Url("/no_video.html")), Outcome::NoVideo);
  const std::string copy = ReadFileBytes((temp + "temp.txt").toStdString());
  const struct {
    const char* name;
    std::string url;
    QString tempDir;
    QString error;  // the start of the message; empty: any
  } cases[] = {
      {"no transport for the scheme", "ftp://127.0.0.1:21/watch?v=x", temp, "IOHandler value is not valid"},
      {"404", Site().Url("/missing.html"), temp, "HTTP/1.1 404 Not Found"},
      {"not a URL", "::::garbage::::", temp, ""},
      {"nobody listens", "http://127.0.0.1:1/watch", temp, ""},
      {"scratch folder gone", Site().Url("/watch_standard.html"), temp + "gone/",
       "Cannot create file \"" + temp + "gone/temp.txt\"."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    said.clear();
    try {
      action.Run(c.url, c.tempDir, sites);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith(c.error)) << e.what();
    }
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_TRUE(said.filter(QRegularExpression("^(queued|no video)")).isEmpty()) << said.join('|').toStdString();
    EXPECT_EQ(ReadFileBytes((temp + "temp.txt").toStdString()), copy);
  }
}

TEST_F(Action, ThePageIsAskedForCompressedAndScannedDecoded) {
  std::string page = "<html><body>\n";
  for (int i = 0; i < 2000; ++i) page += "<p>filler line " + std::to_string(i) + "</p>\n";
  page += "<a href=\"/media/clip.mp4\">clip</a>\n</body></html>\n";
  // 10 GiB of zeros as 1 MiB gzip members: refused at the page limit.
  const std::string zeros = testing::GzipBytes(std::string(1 << 20, '\0'));
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n" +
                                      testing::GzipBytes(page)),
                 ScriptedServer::Close()});
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n"),
                 ScriptedServer::SendRepeated(zeros, 10240)});
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(Download(base + "/page.html"), Outcome::Queued);
  ASSERT_EQ(list.RowCount(), 1);
  EXPECT_EQ(list.CellText(colUrl, 0), QString::fromStdString(base + "/media/clip.mp4"));
  const std::string copy = ReadFileBytes((temp + "temp.txt").toStdString());
  EXPECT_NE(copy.find("filler line 1999"), std::string::npos);
  try {
    Download(base + "/bomb.html");
    ADD_FAILURE() << "the bomb was taken";
  } catch (const http::ENetBodyTooLarge& e) {
    EXPECT_STREQ(e.what(), "The reply is larger than 64 MiB once decompressed and was refused as too large.");
  }
  EXPECT_EQ(list.RowCount(), 1);
  EXPECT_EQ(ReadFileBytes((temp + "temp.txt").toStdString()), copy);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("\r\nAccept-Encoding: gzip, deflate\r\n"), std::string::npos) << requests[0];
  // The client goes back to asking for nothing compressed: it fetches the
  // videos too.
  EXPECT_EQ(client.Request.AcceptEncoding, "");
  EXPECT_EQ(client.MaxDecodedBodyBytes, -1);
}

TEST_F(Action, FetchStatusTexts) {
  action.WorkBegin(0);
  action.Work(2048);
  EXPECT_EQ(said.last(), "2048 bytes.");
  action.WorkBegin(5000);
  EXPECT_EQ(said.last(), "Transfering: 5000");
  EXPECT_EQ(action.AnnouncedBytes(), 5000);
  action.Work(1024);
  EXPECT_EQ(said.last(), "1024 bytes of 5000 bytes.");
  EXPECT_EQ(action.BytesSoFar(), 1024);
  action.WorkEnd();
  EXPECT_EQ(said.last(), "Done");
  EXPECT_EQ(action.BytesSoFar(), 0);
  action.Status("Connected.");
  EXPECT_EQ(said.last(), "Connected.");
  EXPECT_EQ(pumps, 2);  // every work event pumps first
}

TEST_F(Action, SecondDownloadWhileTheFirstFetchesIsRefusedAndTheFirstGoesOn) {
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(1500, 'x')),
                 ScriptedServer::Pause(300), ScriptedServer::Send(std::string(1500, 'x')), ScriptedServer::Close()});
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/slow.html";
  QString nestedError;
  duringTheFetch = [&] {
    try {
      Download(url);
    } catch (const std::exception& e) {
      nestedError = QString::fromUtf8(e.what());
    }
  };
  EXPECT_EQ(Download(url), Outcome::NoVideo);
  EXPECT_FALSE(nestedError.isEmpty());
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(ReadFileBytes((temp + "temp.txt").toStdString()), std::string(3000, 'x') + "\r\n");
}

// `depth` nested <div> around `inside`, closed again.
std::string Nested(int depth, const std::string& inside) {
  std::string html;
  for (int i = 0; i < depth; ++i) html += "<div>";
  html += inside;
  for (int i = 0; i < depth; ++i) html += "</div>";
  return html;
}

// Ordinary pages without the watch-page markers, and addresses that are
// videos themselves, on a second loopback server that names its types.
struct OrdinaryPages : Action {
  static testing::TempDir& Root() {
    static testing::TempDir root;
    return root;
  }
  static testing::NginxServer& Server() {
    static testing::NginxServer* server = [] {
      const std::string& r = Root().Path();
      std::string many;
      for (int i = 0; i < 25; ++i) many += "<a href=\"v" + std::to_string(i) + ".mp4\">" + std::to_string(i) + "</a>\n";
      const struct {
        const char* name;
        std::string body;
      } pages[] = {
          {"video.html",
           "<html><body><video controls><source src=\"/media/clip.webm\" type=\"video/webm\"></video></body></html>"},
          {"og.html",
           "<html><head><meta property=\"og:video\" content=\"https://cdn.example.invalid/og/clip.mp4\">"
           "</head><body>x</body></html>"},
          {"links.html",
           "<p><a href=\"a.mp4\">a</a> <a href=\"/b.webm?x=1\">b</a> <a href=\"a.mp4\">again</a>"
           " <a href=\"pic.png\">picture</a></p>"},
          {"sub/rel.html", "<a href=\"clip.mov\">clip</a> <a href=\"../up.mkv\">up</a>"},
          {"many.html", many},
          {"images.html", "<img src=\"a.png\"><a href=\"b.jpg\">b</a><a href=\"c.gif\">c</a>"},
          {"markers_and_video.html",
           ReadFileBytes(Site().Root() + "/watch_standard.html") + "\n<video src=\"other.mp4\"></video>\n"},
          {"small.webm", std::string(4096, 'w')},
          {"nested.html", Nested(100000, "<video src=\"/deep.mp4\"></video>")},
          {"blob.bin", std::string(100, 'b')},
      };
      ::mkdir((r + "/sub").c_str(), 0755);
      // Past the limit by 1 MiB: a video near the start, one after the limit.
      {
        std::ofstream huge(r + "/huge.html", std::ios::binary);
        huge << "<a href=\"early.mp4\">early</a>\n";
        const std::string filler = std::string(1023, 'f') + "\n";
        for (std::int64_t n = 0; n < (kMaxPageBytes >> 10) + 1024; ++n) huge << filler;
        huge << "<a href=\"late.mp4\">late</a>\n";
      }
      for (const auto& p : pages) testing::WriteFileBytes(r + "/" + p.name, p.body);
      // A 1 GiB video that takes no disk: only its head may ever be read.
      testing::WriteFileBytes(r + "/big.mp4", "");
      if (::truncate((r + "/big.mp4").c_str(), off_t(1) << 30) != 0) ADD_FAILURE() << "cannot size big.mp4";
      return new testing::NginxServer(r,
                                      "    types { text/html html; video/mp4 mp4; image/png png; }\n"
                                      "    location = /moved { return 302 /sub/rel.html; }\n"
                                      "    location = /latest { return 302 /big.mp4; }\n");
    }();
    return *server;
  }
  std::string Url(const std::string& path) const { return Server().BaseUrl() + path; }
  QStringList Rows(int from) const {
    QStringList rows;
    for (int row = from; row < list.RowCount(); ++row) rows << list.CellText(colUrl, row);
    return rows;
  }
};

TEST_F(OrdinaryPages, VideosOnPagesWithoutMarkersAreQueuedInPageOrder) {
  const std::string base = Server().BaseUrl();
  const std::string youtube = Site().Base() + "/get_video?asv=&video_id=" + VideoSite::kId + "&t=" + VideoSite::Token();
  QStringList many;
  for (int i = 0; i < 20; ++i) many << QString::fromStdString(base + "/v" + std::to_string(i) + ".mp4");
  const struct {
    const char* path;
    QStringList rows;
    QString lastStatus;
  } cases[] = {
      {"/video.html", {QString::fromStdString(base + "/media/clip.webm")}, "Done"},
      {"/og.html", {"https://cdn.example.invalid/og/clip.mp4"}, "Done"},
      {"/links.html", {QString::fromStdString(base + "/a.mp4"), QString::fromStdString(base + "/b.webm?x=1")}, "Done"},
      // Relative links resolve against the address the redirect led to.
      {"/moved", {QString::fromStdString(base + "/sub/clip.mov"), QString::fromStdString(base + "/up.mkv")}, "Done"},
      {"/many.html", many, "Queued 20 videos; 5 more not queued"},
      {"/images.html", {}, "Done"},
      // The markers win: their link only, never the page's other videos.
      {"/markers_and_video.html", {QString::fromStdString(youtube + "&fmt=18")}, "Done"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const int first = list.RowCount();
    said.clear();
    const Outcome outcome = Download(Url(c.path));
    EXPECT_EQ(outcome, c.rows.isEmpty() ? Outcome::NoVideo : Outcome::Queued);
    EXPECT_EQ(Rows(first), c.rows);
    // What the page names must answer with media; the markers' link is
    // fetched as it always was.
    const bool markers = QString(c.path).startsWith("/markers");
    for (int row = first; row < list.RowCount(); ++row) {
      EXPECT_EQ(list.CellInt(colSize, row), 0);
      EXPECT_EQ(list.CellText(colFile, row), "");
      EXPECT_EQ(list.IsFoundOnPage(row), !markers) << row;
    }
    EXPECT_EQ(said.filter(QRegularExpression("^queued ")).size(), c.rows.size());
    EXPECT_EQ(said.contains("no video"), c.rows.isEmpty());
    EXPECT_EQ(said.last(), c.lastStatus);
    // The page's copy is kept as for a watch page.
    EXPECT_FALSE(ReadFileBytes((temp + "temp.txt").toStdString()).empty());
  }
}

TEST_F(OrdinaryPages, APageLargerThanTheLimitIsSearchedAsFarAsTheLimitAndSaysSo) {
  const int first = list.RowCount();
  said.clear();
  EXPECT_EQ(Download(Url("/huge.html")), Outcome::Queued);
  EXPECT_EQ(Rows(first), QStringList{QString::fromStdString(Url("/early.mp4"))});
  EXPECT_EQ(said.last(), "The page is larger than 64 MiB; only its first 64 MiB were searched.");
  EXPECT_TRUE(action.PageCut());
  // The copy holds the page's first 64 MiB, its lines ended by CR LF.
  QFile copy(temp + "temp.txt");
  ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
  EXPECT_GE(copy.size(), kMaxPageBytes);
  EXPECT_LT(copy.size(), kMaxPageBytes + (kMaxPageBytes >> 10) + 64);
  copy.seek(copy.size() - 2);
  EXPECT_EQ(copy.read(2), "\r\n");

  // A page within the limit says nothing of it.
  said.clear();
  EXPECT_EQ(Download(Url("/links.html")), Outcome::Queued);
  EXPECT_FALSE(action.PageCut());
  EXPECT_EQ(said.last(), "Done");
}

TEST_F(OrdinaryPages, DeeplyNestedPageIsSearchedAsItComes) {
  // 100000 nested elements (1.1 MB) cost no more than any page of that size.
  const int first = list.RowCount();
  EXPECT_EQ(Download(Url("/nested.html")), Outcome::Queued);
  EXPECT_EQ(Rows(first), QStringList{QString::fromStdString(Url("/deep.mp4"))});
}

// Stop while such a page still comes ends the fetch at once, and the search
// ran on what came; Stop during the search of a page that has come ends the
// search, and nothing is queued.
TEST_F(Action, StopEndsTheFetchAndTheSearchOfAPageAtOnce) {
  using Clock = std::chrono::steady_clock;
  {
    ScriptedServer server;
    const std::string half = Nested(100000, "").substr(0, 550000);
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send("HTTP/1.0 200 OK\r\n\r\n" + half),
                   ScriptedServer::WaitClose()});
    Clock::time_point stoppedAt;
    client.OnWork = [&](http::TNetComponent*, http::TWorkMode, std::int64_t n) {
      action.Work(n);
      if (n >= 500000 && stoppedAt == Clock::time_point{}) {
        stoppedAt = Clock::now();
        action.Stop();
      }
    };
    said.clear();
    EXPECT_EQ(Download("http://127.0.0.1:" + std::to_string(server.Port()) + "/deep.html"), Outcome::NoVideo);
    ASSERT_NE(stoppedAt, Clock::time_point{});
    const double afterStopMs = std::chrono::duration<double, std::milli>(Clock::now() - stoppedAt).count();
    EXPECT_LT(afterStopMs, 100);
    EXPECT_EQ(said.last(), "Done");
    client.OnWork = [this](http::TNetComponent*, http::TWorkMode, std::int64_t n) { action.Work(n); };
  }
  {
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "<a href=\"v" + std::to_string(i) + ".mp4\">" + std::to_string(i) + "</a>";
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send("HTTP/1.0 200 OK\r\n\r\n" + many),
                   ScriptedServer::Close()});
    // The first pump after the fetch ended is the search's.
    client.OnWorkEnd = [this](http::TNetComponent*, http::TWorkMode) {
      action.WorkEnd();
      duringTheFetch = [this] { action.Stop(); };
    };
    said.clear();
    EXPECT_EQ(Download("http://127.0.0.1:" + std::to_string(server.Port()) + "/many.html"), Outcome::Stopped);
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_EQ(said.last(), "Stopped");
  }
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST_F(OrdinaryPages, AddressThatIsAVideoIsQueuedFromItsHeadAlone) {
  const struct {
    const char* path;
    bool direct;
  } cases[] = {
      {"/big.mp4", true},     // video/mp4, 1 GiB
      {"/latest", true},      // redirects to it: the typed address is queued
      {"/small.webm", true},  // application/octet-stream with a video extension
      {"/blob.bin", false},   // application/octet-stream without one: a page with no video
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const int first = list.RowCount();
    said.clear();
    const long before = ResidentKiB();
    ASSERT_GT(before, 0);
    const Outcome outcome = Download(Url(c.path));
    const long grown = ResidentKiB() - before;
    EXPECT_LT(grown, 4 * 1024) << grown << " KiB";
    if (c.direct) {
      EXPECT_EQ(outcome, Outcome::Queued);
      EXPECT_EQ(Rows(first), QStringList{QString::fromStdString(Url(c.path))});
      EXPECT_EQ(ReadFileBytes((temp + "temp.txt").toStdString()), "");
      EXPECT_FALSE(list.IsFoundOnPage(first));  // a typed address is fetched as it stands
    } else {
      EXPECT_EQ(outcome, Outcome::NoVideo);
      EXPECT_EQ(list.RowCount(), first);
      EXPECT_EQ(ReadFileBytes((temp + "temp.txt").toStdString()), std::string(100, 'b') + "\r\n");
    }
    EXPECT_EQ(said.last(), "Done");
  }
}

}  // namespace
}  // namespace larkvale::queue
