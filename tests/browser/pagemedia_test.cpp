// Media the page asks for, seen by the real embedded browser on a loopback
// site: streams a script fetches after load, a video source set late, a
// page whose media need its cookies and its address as Referer, and a
// watch page, whose markers win over everything the page asked for.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <functional>
#include <memory>

#include "browser/webbrowser.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/video_site.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using queue::colFile;
using queue::colUrl;
using testing::Child;
using testing::FakeDesktop;
using testing::NginxServer;
using testing::Only;
using testing::ReadFileBytes;
using testing::ScriptedServer;
using testing::WriteFileBytes;

constexpr int kTimeoutMs = 30000;

// Runs the event loop until `done` holds (never sleeping: the engine's work
// reaches this thread as many small events).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kTimeoutMs) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

// The loopback site: pages whose scripts ask for media, a clip made by
// ffmpeg, and a protected folder that answers 403 without the page's
// cookies (one set by the server, one by the page's script) and the page as
// Referer. Its away.mp4 redirects to `elsewhere`, another server on another
// port, which records what it is sent.
struct Site {
  testing::TempDir root;
  ScriptedServer elsewhere;
  std::string clip;
  std::unique_ptr<NginxServer> server;

  Site() {
    const std::string r = root.Path();
    std::system(("mkdir -p " + testsupport::ShellQuote(r + "/media") + " " + testsupport::ShellQuote(r + "/hls") +
                 " " + testsupport::ShellQuote(r + "/protected"))
                    .c_str());
    testsupport::FixtureSpec shape;
    shape.seconds = 1;
    shape.width = 160;
    shape.height = 120;
    if (!testsupport::MakeMediaFixture(r + "/media/late.mp4", shape)) throw std::runtime_error("ffmpeg failed");
    clip = ReadFileBytes(r + "/media/late.mp4");
    WriteFileBytes(r + "/protected/clip.mp4", clip);
    WriteFileBytes(r + "/hls/index.m3u8",
                   "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nseg0.ts\n#EXTINF:1,\nseg1.ts\n#EXT-X-ENDLIST\n");
    WriteFileBytes(r + "/hls/seg0.ts", std::string(188 * 4, 'G'));
    WriteFileBytes(r + "/hls/seg1.ts", std::string(188 * 4, 'G'));
    WriteFileBytes(r + "/other.html", "<html><body><p>Nothing to play here.</p></body></html>");
    // As players do: the playlist and a segment are fetched by script once
    // the page has loaded, and the video plays from a blob address.
    WriteFileBytes(r + "/stream.html", R"(<html><body><video id="v" muted></video>
<a id="other" href="/other.html">elsewhere</a>
<script>
window.addEventListener('load', function () {
  fetch('/hls/index.m3u8').then(function (r) { return r.text(); }).then(function (text) {
    return fetch('/hls/seg0.ts').then(function () { return fetch('/hls/seg1.ts'); }).then(function () { return text; });
  }).then(function (text) {
    document.getElementById('v').src = URL.createObjectURL(new Blob([text], {type: 'video/mp2t'}));
  });
});
</script></body></html>)");
    WriteFileBytes(r + "/late.html", R"(<html><body><video id="v" muted preload="auto"></video>
<script>
setTimeout(function () {
  var v = document.getElementById('v');
  v.src = '/media/late.mp4';
  v.load();
}, 2000);
</script></body></html>)");
    WriteFileBytes(r + "/protected.html", R"(<html><body><p>Members only.</p>
<a href="/protected/away.mp4">the mirror</a>
<script>
document.cookie = 'js=yes; path=/';
var v = document.createElement('video');
v.muted = true;
v.preload = 'auto';
v.src = '/protected/clip.mp4';
document.body.appendChild(v);
</script></body></html>)");
    const std::string away = "http://127.0.0.1:" + std::to_string(elsewhere.Port()) + "/mirror/clip.mp4";
    server = std::make_unique<NginxServer>(
        r,
        "    default_type text/html;\n"
        "    types { video/mp4 mp4; application/vnd.apple.mpegurl m3u8; video/mp2t ts; text/html html; }\n"
        "    location = /protected.html { add_header Set-Cookie \"srv=yes; Path=/\"; }\n"
        "    location = /protected/away.mp4 { return 302 " + away + "; }\n"
        "    location /protected/ {\n"
        "      if ($cookie_srv != \"yes\") { return 403; }\n"
        "      if ($cookie_js != \"yes\") { return 403; }\n"
        "      if ($http_referer !~ \"/protected\\.html$\") { return 403; }\n"
        "    }\n");
    // The late page again, in a frame of another origin (the same server by
    // another name).
    WriteFileBytes(r + "/framed.html", "<html><body><p>A player from elsewhere:</p><iframe src=\"http://localhost:" +
                                           std::to_string(server->Port()) + "/late.html\"></iframe></body></html>");
  }
  std::string Url(const std::string& path) const { return server->BaseUrl() + path; }
};

Site& TheSite() {
  static Site site;  // one nginx for the whole run, stopped at exit
  return site;
}

class PageMedia : public ::testing::Test {
 protected:
  void SetUp() override { qputenv("LARKVALE_START_PAGE", "about:blank"); }
  void TearDown() override {
    form_.reset();
    qunsetenv("LARKVALE_VIDEO_SITE");
    qputenv("LARKVALE_START_PAGE", "about:blank");
  }

  MainWindow& OpenWindow() {
    form_ = std::make_unique<MainWindow>(desktop_.services);
    form_->show();
    return *form_;
  }
  browser::TWebBrowser* Web() { return Child<browser::TWebBrowser>(form_.get(), "WebBrowser1"); }
  QToolButton* Button() { return Child<QToolButton>(form_.get(), "FoundMediaButton"); }
  queue::DownloadList& List() { return *form_->state().downloadList; }

  // Types the address and waits until its page has loaded.
  void Visit(const std::string& address) {
    bool loaded = false;
    auto c = QObject::connect(Web()->page(), &QWebEnginePage::loadFinished, form_.get(), [&] { loaded = true; });
    // As typed: the sample address of the first loaded page does not replace it.
    Only<BrowserPage>(form_.get())->typeAddress(QString::fromStdString(address));
    Only<BrowserPage>(form_.get())->navigateToAddress();
    EXPECT_TRUE(WaitUntil([&] { return loaded; })) << address;
    QObject::disconnect(c);
  }
  bool WaitForFinds(int n) {
    const bool ok = WaitUntil([&] { return Only<BrowserPage>(form_.get())->foundMedia().size() >= n; });
    if (!ok) ADD_FAILURE() << "finds: " << Only<BrowserPage>(form_.get())->foundMedia().join(' ').toStdString();
    return ok;
  }
  QStringList Rows() {
    QStringList rows;
    for (int r = 0; r < List().RowCount(); ++r) rows << List().CellText(colUrl, r);
    return rows;
  }
  // Lets the runner take every waiting row.
  void RunDownloads() {
    auto& runner = Only<DownloadsPanel>(form_.get())->runner();
    if (!runner.Active()) {
      Only<DownloadsPanel>(form_.get())->startDownloads();
    } else {
      runner.PauseTimer().start(0);
      WaitUntil([&] { return !runner.PauseTimer().isActive() || runner.Downloading(); }, 2000);
    }
    WaitUntil([&] {
      for (int r = 0; r < List().RowCount(); ++r)
        if (List().State(r) == queue::RowState::Waiting || List().State(r) == queue::RowState::Downloading)
          return false;
      return true;
    });
  }

  FakeDesktop desktop_;
  std::unique_ptr<MainWindow> form_;
};

TEST_F(PageMedia, AStreamAScriptFetchesAfterLoadIsQueuedNotThePageAndLeavingThePageForgetsIt) {
  OpenWindow();
  const std::string page = TheSite().Url("/stream.html");
  Visit(page);
  ASSERT_TRUE(WaitForFinds(1));
  WaitUntil([] { return false; }, 500);  // the segments, which are no finds of their own
  EXPECT_EQ(Only<BrowserPage>(form_.get())->foundMedia(),
            QStringList{QString::fromStdString(TheSite().Url("/hls/index.m3u8"))});
  EXPECT_TRUE(Button()->isVisible());
  EXPECT_EQ(Button()->text(), "1 video");
  EXPECT_EQ(Button()->accessibleName(), "1 video found on this page");
  EXPECT_NE(Button()->focusPolicy() & Qt::TabFocus, 0);

  Child<QAbstractButton>(form_.get(), "mxImageButton4")->click();
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
  ASSERT_EQ(Rows(), QStringList{QString::fromStdString(TheSite().Url("/hls/index.m3u8"))});
  EXPECT_EQ(List().Session(0).referer, page);

  // A link to another page: the finds go with the page they belong to.
  Web()->page()->runJavaScript(QStringLiteral("document.getElementById('other').click()"));
  ASSERT_TRUE(WaitUntil([&] { return Web()->url().toString().endsWith("/other.html"); }));
  ASSERT_TRUE(WaitUntil([&] { return Only<BrowserPage>(form_.get())->foundMedia().isEmpty(); }));
  EXPECT_FALSE(Button()->isVisible());
  // Download on the typed address of the stream page is a typed download
  // now: the browser shows another page, so nothing it saw goes along.
  Child<QComboBox>(form_.get(), "URLs")->setEditText(QString::fromStdString(page));
  Child<QAbstractButton>(form_.get(), "mxImageButton4")->click();
  EXPECT_EQ(desktop_.dialogs.Texts(), QStringList{"No video"});
  EXPECT_EQ(List().RowCount(), 1);
}

TEST_F(PageMedia, AVideoSourceSetTwoSecondsAfterLoadInAFrameOfAnotherOriginIsFoundAndQueuedFromTheButtonsList) {
  OpenWindow();
  Visit(TheSite().Url("/framed.html"));
  EXPECT_TRUE(Only<BrowserPage>(form_.get())->foundMedia().isEmpty());
  ASSERT_TRUE(WaitForFinds(1));
  const QString late = QStringLiteral("http://localhost:%1/media/late.mp4").arg(TheSite().server->Port());
  // The player reads the file in ranges: still one find.
  WaitUntil([] { return false; }, 500);
  EXPECT_EQ(Only<BrowserPage>(form_.get())->foundMedia(), QStringList{late});

  // The keyboard's road: Tab reaches the button, Space opens its list,
  // Enter takes the entry.
  Button()->setFocus(Qt::TabFocusReason);
  QMenu* menu = Child<QMenu>(form_.get(), "FoundMediaMenu");
  QTimer::singleShot(0, [&] {
    WaitUntil([&] { return menu->isVisible(); }, 5000);
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  QTest::keyClick(Button(), Qt::Key_Space);
  ASSERT_TRUE(WaitUntil([&] { return List().RowCount() == 1; }, 5000)) << Rows().join(' ').toStdString();
  EXPECT_EQ(Rows(), QStringList{late});
  EXPECT_EQ(List().Session(0).referer, TheSite().Url("/framed.html"));
  EXPECT_FALSE(List().Session(0).userAgent.empty());
  RunDownloads();
  EXPECT_EQ(List().State(0), queue::RowState::Done) << List().ErrorText(0).toStdString();
  EXPECT_TRUE(ReadFileBytes(List().CellText(colFile, 0).toStdString()) == TheSite().clip);  // whole
}

TEST_F(PageMedia, MediaBehindThePagesCookiesAndRefererDownloadWholeAndNoOtherServerGetsThem) {
  OpenWindow();
  const std::string page = TheSite().Url("/protected.html");
  Visit(page);
  ASSERT_TRUE(WaitForFinds(1));
  // Both cookies reach the browser's store: one from the reply, one from the script.
  auto has = [&](const char* name) {
    for (const browser::BrowserCookie& c : Web()->Cookies())
      if (c.name == name) return true;
    return false;
  };
  ASSERT_TRUE(WaitUntil([&] { return has("srv") && has("js"); }));
  // Cookies of an address belong to that address alone, under the client's rules too.
  for (const browser::BrowserCookie& c : Web()->Cookies()) EXPECT_EQ(c.domain, "127.0.0.1") << c.name;

  TheSite().elsewhere.Expect({ScriptedServer::ReadRequest(),
                              ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 6\r\n\r\n"
                                                   "mirror"),
                              ScriptedServer::Close()});
  Child<QAbstractButton>(form_.get(), "mxImageButton4")->click();
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
  // What the page asked for, then what its HTML links to.
  ASSERT_EQ(Rows(), (QStringList{QString::fromStdString(TheSite().Url("/protected/clip.mp4")),
                                 QString::fromStdString(TheSite().Url("/protected/away.mp4"))}));
  RunDownloads();
  EXPECT_EQ(List().State(0), queue::RowState::Done) << List().ErrorText(0).toStdString();
  EXPECT_TRUE(ReadFileBytes(List().CellText(colFile, 0).toStdString()) == TheSite().clip);  // whole
  EXPECT_EQ(List().State(1), queue::RowState::Done) << List().ErrorText(1).toStdString();
  EXPECT_EQ(ReadFileBytes(List().CellText(colFile, 1).toStdString()), "mirror");

  // The other server got the download, and nothing of the page's session.
  ASSERT_EQ(TheSite().elsewhere.Requests().size(), 1u);
  const std::string head = TheSite().elsewhere.Requests()[0];
  EXPECT_EQ(head.find("Cookie"), std::string::npos) << head;
  EXPECT_EQ(head.find("yes"), std::string::npos) << head;
  EXPECT_EQ(head.find("Referer"), std::string::npos) << head;
  EXPECT_EQ(head.find(Web()->page()->profile()->httpUserAgent().toStdString()), std::string::npos) << head;
}

TEST_F(PageMedia, AWatchPageKeepsItsMarkedLinkAndNameWhateverElseItPlays) {
  testing::VideoSite videos;
  qputenv("LARKVALE_VIDEO_SITE", QByteArray::fromStdString(videos.Base()));
  // The watch page plays a file of its own as well.
  testing::TempDir root;
  WriteFileBytes(root.File("watch"), ReadFileBytes(videos.Root() + "/watch_standard.html") +
                                         "<video muted preload=\"auto\" src=\"" + TheSite().Url("/media/late.mp4") +
                                         "\"></video>\r\n");
  NginxServer pages(root.Path(), "default_type text/html;");
  OpenWindow();
  const std::string watch = pages.BaseUrl() + "/watch?v=abcdefghijk";
  Visit(watch);
  ASSERT_TRUE(WaitForFinds(1));
  Child<QAbstractButton>(form_.get(), "mxImageButton4")->click();
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
  ASSERT_EQ(Rows(), QStringList{QString::fromStdString(videos.Base() + "/get_video?asv=&video_id=" +
                                                       testing::VideoSite::kId + "&t=" + testing::VideoSite::Token() +
                                                       "&fmt=18")});
  RunDownloads();
  EXPECT_EQ(List().CellText(colFile, 0), form_->state().flvDir + "flv0video.avi");
  EXPECT_TRUE(ReadFileBytes(List().CellText(colFile, 0).toStdString()) == videos.Video());
}

}  // namespace
}  // namespace larkvale::app
