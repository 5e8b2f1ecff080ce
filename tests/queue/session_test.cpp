// A row's browser session on the wire: what goes to the row's own server,
// what never leaves for another, what a typed row keeps, and how the list
// file keeps it across runs.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "extract/mediafinder.h"
#include "queue/downloadaction.h"
#include "queue/liststore.h"
#include "queue/sessionscope.h"
#include "support/scripted_server.h"

namespace larkvale::queue {
namespace {

using testing::ScriptedServer;

std::string Header(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const auto at = head.find(key);
  if (at == std::string::npos) return "<none>";
  const auto from = at + key.size();
  return head.substr(from, head.find("\r\n", from) - from);
}

std::string Ok(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

browser::PageSession BrowserSession() {
  browser::PageSession s;
  s.referer = "http://127.0.0.1:1/page.html";
  s.userAgent = "Mozilla/5.0 (X11; Linux x86_64) TestEngine/1.0";
  s.cookies = {{"sid", "s3cret", "127.0.0.1", "/", false},
               {"js", "yes", "127.0.0.1", "/", false},
               {"tls", "only", "127.0.0.1", "/", true}};  // never over plain http
  return s;
}

TEST(RowSession, GoesToTheRowsServerOnlyAndRedirectsElsewhereGetNoneOfIt) {
  ScriptedServer other;
  other.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(Ok("elsewhere")), ScriptedServer::Close()});
  ScriptedServer own;
  const std::string away = "http://127.0.0.1:" + std::to_string(other.Port()) + "/cdn/clip.mp4";
  own.Expect({ScriptedServer::ReadRequest(),
              ScriptedServer::Send("HTTP/1.0 302 Found\r\nLocation: " + away +
                                   "\r\nSet-Cookie: fromown=1; Path=/\r\nContent-Length: 0\r\n\r\n"),
              ScriptedServer::Close()});
  http::TNetHTTP client;
  http::ApplyWindowConfiguration(client);
  const std::string usualAgent = client.Request.UserAgent;
  int redirects = 0;
  client.OnRedirect = [&](http::TNetCustomHTTP*, std::string&, int&, bool&, http::TNetHTTPMethod&) { ++redirects; };
  const std::string link = "http://127.0.0.1:" + std::to_string(own.Port()) + "/media/clip.mp4";
  std::string body;
  {
    const SessionScope scope(client, BrowserSession(), link);
    body = client.Get(link);
  }
  EXPECT_EQ(body, "elsewhere");
  EXPECT_EQ(redirects, 1);  // the caller's own handler still runs
  ASSERT_EQ(own.Requests().size(), 1u);
  ASSERT_EQ(other.Requests().size(), 1u);
  const std::string first = own.Requests()[0], second = other.Requests()[0];
  EXPECT_EQ(Header(first, "Cookie"), "js=yes; sid=s3cret");  // as the client orders them
  EXPECT_EQ(Header(first, "Referer"), "http://127.0.0.1:1/page.html");
  EXPECT_EQ(Header(first, "User-Agent"), "Mozilla/5.0 (X11; Linux x86_64) TestEngine/1.0");
  // Same address, another port: another server, so nothing of the session
  // (cookies of an address would otherwise match every port of it).
  EXPECT_EQ(Header(second, "Cookie"), "<none>");
  EXPECT_EQ(Header(second, "Referer"), "<none>");
  EXPECT_EQ(Header(second, "User-Agent"), usualAgent);
  EXPECT_EQ(second.find("s3cret"), std::string::npos);

  // Afterwards the client is as it was.
  EXPECT_EQ(client.Request.UserAgent, usualAgent);
  EXPECT_EQ(client.Request.Referer, "");
  EXPECT_EQ(client.CookieManager, nullptr);
  EXPECT_TRUE(client.OnRedirect);
}

TEST(RowSession, ATypedRowSendsExactlyWhatItAlwaysSent) {
  auto requestOf = [](bool withScope) {
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(Ok("x")), ScriptedServer::Close()});
    http::TNetHTTP client;
    http::ApplyWindowConfiguration(client);
    const std::string link = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
    if (withScope) {
      const SessionScope scope(client, browser::PageSession{}, link);
      client.Get(link);
    } else {
      client.Get(link);
    }
    std::string head = server.Requests().at(0);
    // Only the port differs between two servers.
    const auto host = head.find("Host: ");
    return head.substr(0, host) + head.substr(head.find("\r\n", host));
  };
  EXPECT_EQ(requestOf(true), requestOf(false));
}

TEST(RowSession, LineBreaksFromADamagedListNeverReachTheWire) {
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(Ok("x")), ScriptedServer::Close()});
  http::TNetHTTP client;
  http::ApplyWindowConfiguration(client);
  browser::PageSession s;
  s.referer = "http://a/\r\nX-Injected: 1";
  s.userAgent = "Agent\nX-Injected: 2";
  s.cookies = {{"a", "1\r\nX-Injected: 3", "127.0.0.1", "/", false}, {"b;c", "2", "127.0.0.1", "/", false},
               {"good", "yes", "127.0.0.1", "/", false}};
  const std::string link = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
  {
    const SessionScope scope(client, s, link);
    client.Get(link);
  }
  const std::string head = server.Requests().at(0);
  EXPECT_EQ(head.find("X-Injected"), std::string::npos) << head;
  EXPECT_EQ(Header(head, "Cookie"), "good=yes");
}

TEST(RowSession, DownloadOfABrowsedPageTakesWhatThePageAskedForFirstThenItsHtml) {
  ScriptedServer server;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  const std::string html = "<html><body><video src=\"/in/page.mp4\"></video></body></html>";
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                      std::to_string(html.size()) + "\r\n\r\n" + html),
                 ScriptedServer::Close()});
  http::TNetHTTP client;
  http::ApplyWindowConfiguration(client);
  DownloadList list;
  DownloadAction action(client, list, {});
  QTemporaryDir dir;
  browser::BrowsedPage page;
  page.address = base + "/player.html";
  page.userAgent = "TestEngine/1.0";
  page.cookies = {{"sid", "s3cret", "127.0.0.1", "/", false}, {"other", "x", "other.test", "/", false}};
  page.media = {base + "/live/index.m3u8", base + "/in/page.mp4"};  // the second is in the HTML too
  ASSERT_EQ(action.Run(page.address, dir.path() + "/", extract::SiteAddresses{}, &page), DownloadAction::Outcome::Queued);

  // Each once: the HTML's video is the one the page asked for.
  ASSERT_EQ(list.RowCount(), 2);
  EXPECT_EQ(list.CellText(colUrl, 0).toStdString(), base + "/live/index.m3u8");
  EXPECT_EQ(list.CellText(colUrl, 1).toStdString(), base + "/in/page.mp4");
  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(list.Session(r).referer, page.address);
    EXPECT_EQ(list.Session(r).userAgent, "TestEngine/1.0");
    ASSERT_EQ(list.Session(r).cookies.size(), 1u);
    EXPECT_EQ(list.Session(r).cookies[0].name, "sid");
  }
  // The page itself was fetched as the browser would reload it.
  const std::string head = server.Requests().at(0);
  EXPECT_EQ(Header(head, "Cookie"), "sid=s3cret");
  EXPECT_EQ(Header(head, "User-Agent"), "TestEngine/1.0");
  EXPECT_EQ(Header(head, "Referer"), "<none>");
  http::TNetHTTP plain;
  http::ApplyWindowConfiguration(plain);
  EXPECT_EQ(client.Request.UserAgent, plain.Request.UserAgent);  // lent for the fetch only
}

TEST(RowSession, APageThatAskedForMoreThanTheCapQueuesTheFirstAndSaysHowManyWereLeft) {
  ScriptedServer server;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  const std::string html = "<html><body><a href=\"/html.mp4\">a</a></body></html>";
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                      std::to_string(html.size()) + "\r\n\r\n" + html),
                 ScriptedServer::Close()});
  http::TNetHTTP client;
  http::ApplyWindowConfiguration(client);
  DownloadList list;
  DownloadAction action(client, list, {});
  QString status;
  action.OnStatus = [&](const QString& text) { status = text; };
  QTemporaryDir dir;
  browser::BrowsedPage page;
  page.address = base + "/gallery.html";
  for (std::size_t i = 0; i < extract::kMediaLinkCap + 4; ++i) page.media.push_back(base + "/p" + std::to_string(i) + ".mp4");
  action.Run(page.address, dir.path() + "/", extract::SiteAddresses{}, &page);
  ASSERT_EQ(list.RowCount(), int(extract::kMediaLinkCap));
  EXPECT_EQ(list.CellText(colUrl, 0).toStdString(), base + "/p0.mp4");
  EXPECT_EQ(status, QStringLiteral("Queued %1 videos; 5 more not queued").arg(extract::kMediaLinkCap));
}

TEST(RowSession, TheListFileKeepsItAndOldFilesStillLoad) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/downloads.json";
  {
    DownloadList list;
    DownloadListStore store(list, path);
    list.AddRows(2);
    list.SetCellText(colUrl, 0, "http://127.0.0.1/typed.mp4");
    list.SetCellText(colUrl, 1, "http://127.0.0.1/found.m3u8");
    list.SetSession(1, BrowserSession());
    ASSERT_TRUE(store.Save());
  }
  // Cookies may open an account: the file is its owner's alone.
  EXPECT_EQ(QFile::permissions(path) & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                                         QFileDevice::WriteOther),
            QFileDevice::Permissions{});
  DownloadList back;
  DownloadListStore reader(back, path);
  ASSERT_TRUE(reader.Load());
  ASSERT_EQ(back.RowCount(), 2);
  EXPECT_TRUE(back.Session(0).Empty());
  EXPECT_EQ(back.Session(1), BrowserSession());

  // A file written before rows had sessions.
  DownloadList old;
  ASSERT_TRUE(ParseDownloadList(
      R"({"version": 1, "rows": [{"url": "http://a/x.mp4", "size": 10, "progress": 50, "file": "", "state": "waiting",
          "error": ""}, {"url": "http://a/y.mp4", "session": {"referer": 7, "cookies": [{"value": "no name"}, 3]}}]})",
      old));
  ASSERT_EQ(old.RowCount(), 2);
  EXPECT_TRUE(old.Session(0).Empty());
  EXPECT_TRUE(old.Session(1).Empty());  // nothing of a damaged session is taken
  EXPECT_EQ(old.CellInt(colProgress, 0), 50);
}

TEST(RowSession, SortingAndDeletingMoveTheSessionWithItsRow) {
  DownloadList list;
  list.AddRows(3);
  for (int r = 0; r < 3; ++r) list.SetCellText(colUrl, r, QStringLiteral("http://a/%1.mp4").arg(2 - r));
  list.SetSession(0, BrowserSession());  // "2.mp4"
  list.SortRows(colUrl, Qt::AscendingOrder);
  EXPECT_EQ(list.CellText(colUrl, 2), "http://a/2.mp4");
  EXPECT_EQ(list.Session(2), BrowserSession());
  EXPECT_TRUE(list.Session(0).Empty());
  list.DeleteRow(0);
  EXPECT_EQ(list.Session(1), BrowserSession());
  EXPECT_TRUE(list.Session(5).Empty());
}

}  // namespace
}  // namespace larkvale::queue
