// The window's browser against a small video site served by a private nginx
// on 127.0.0.1: real page loads, link clicks, the address box and the arrows.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
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

using testing::Child;
using testing::FakeDesktop;
using testing::NginxServer;
using testing::Only;
using testing::ScriptedServer;

constexpr int kLoadTimeoutMs = 30000;

// Runs the event loop until `done` holds. Unlike QTest::qWaitFor it never
// sleeps between rounds: the engine's work reaches this thread as a stream of
// small events, and a pause after each would slow every page load to seconds.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kLoadTimeoutMs) {
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

// Lets the engine work for a while when there is nothing to wait for.
void Settle(int ms) {
  WaitUntil([] { return false; }, ms);
}

class Browsing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    site_ = new NginxServer(LARKVALE_SOURCE_DIR "/tests/browser/site", "default_type text/html;");
  }
  static void TearDownTestSuite() {
    delete site_;
    site_ = nullptr;
  }

  void SetUp() override {
    qputenv("LARKVALE_START_PAGE", Url("/index.html").toUtf8());
    qputenv("LARKVALE_HOME_PAGE", Watch("HOMEHOMEHO1").toUtf8());
    qputenv("LARKVALE_SAMPLE_WATCH", Watch("SAMPLESAMP1").toUtf8());
  }
  void TearDown() override {
    form_.reset();
    qunsetenv("LARKVALE_VIDEO_SITE");
    // Back to the safe defaults of the test run for windows made elsewhere.
    qputenv("LARKVALE_START_PAGE", "about:blank");
    qputenv("LARKVALE_HOME_PAGE", "about:blank");
    qputenv("LARKVALE_SAMPLE_WATCH", "http://127.0.0.1:9/watch?v=sampleVideo");
  }

  static QString Url(const QString& path) { return QString::fromStdString(site_->BaseUrl()) + path; }
  static QString Watch(const QString& id) { return Url("/watch?v=" + id); }

  // A window whose start page has finished loading.
  MainWindow& OpenWindow(const QString& startPage = Url("/index.html")) {
    qputenv("LARKVALE_START_PAGE", startPage.toUtf8());
    form_ = std::make_unique<MainWindow>(desktop_.services);
    QObject::connect(
        Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")->page(), &QWebEnginePage::loadFinished, form_.get(),
        [this] {
          completed_ << QString::fromLatin1(Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")->url().toEncoded());
        });
    form_->show();
    EXPECT_TRUE(WaitForPage(startPage));
    return *form_;
  }

  // Runs `act` and waits until the page it leads to has finished loading.
  bool LoadsPage(const std::function<void()>& act, const QString& page) {
    completed_.clear();
    act();
    return WaitForPage(page);
  }
  bool WaitForPage(const QString& page) {
    const bool ok = WaitUntil([&] { return completed_.contains(page); }, kLoadTimeoutMs);
    if (!ok) ADD_FAILURE() << "not loaded: " << page.toStdString() << "; loaded: " << completed_.join(' ').toStdString();
    return ok;
  }

  void ClickLink(const char* id) {
    Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")
        ->page()
        ->runJavaScript(QStringLiteral("document.getElementById('%1').click()").arg(id));
  }
  // A click of the mouse, which counts as the user's own, unlike a script's,
  // on the link's first line box (a link may wrap).
  void MouseClickLink(const char* id) {
    QPoint centre(-1, -1);
    Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")
        ->page()
        ->runJavaScript(QStringLiteral("(function(){var r=document.getElementById('%1').getClientRects()[0];"
                                       "return [r.left+r.width/2, r.top+r.height/2];})()")
                            .arg(id),
                        [&](const QVariant& v) {
                          const QVariantList xy = v.toList();
                          if (xy.size() == 2) centre = QPoint(int(xy[0].toDouble()), int(xy[1].toDouble()));
                        });
    ASSERT_TRUE(WaitUntil([&] { return centre.x() >= 0; }));
    QWidget* surface = Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")->focusProxy();
    ASSERT_NE(surface, nullptr);
    QTest::mouseClick(surface, Qt::LeftButton, {}, centre);
  }
  // Keys go to the box, which hands them to its line edit, as with a user.
  void Type(const QString& text) {
    Child<QComboBox>(form_.get(), "URLs")->lineEdit()->clear();
    QTest::keyClicks(Child<QComboBox>(form_.get(), "URLs"), text);
    QTest::keyClick(Child<QComboBox>(form_.get(), "URLs"), Qt::Key_Return);
  }
  QStringList DropDown() const {
    QStringList items;
    for (int i = 0; i < Child<QComboBox>(form_.get(), "URLs")->count(); ++i)
      items << Child<QComboBox>(form_.get(), "URLs")->itemText(i);
    return items;
  }

  static NginxServer* site_;
  FakeDesktop desktop_;
  std::unique_ptr<MainWindow> form_;
  QStringList completed_;  // addresses of the documents completed since the last action
};

NginxServer* Browsing::site_ = nullptr;

TEST_F(Browsing, StartPageLoadedShowsTheSampleAddressInsteadOfTheClipboards) {
  desktop_.clipboard.text = "http://www.youtube.com/watch?v=fromClipbrd";
  form_ = std::make_unique<MainWindow>(desktop_.services);
  EXPECT_EQ(Child<QComboBox>(form_.get(), "URLs")->currentText(), "http://www.youtube.com/watch?v=fromClipbrd");
  QObject::connect(
      Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")->page(), &QWebEnginePage::loadFinished, form_.get(),
      [this] {
        completed_ << QString::fromLatin1(Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")->url().toEncoded());
      });
  ASSERT_TRUE(WaitForPage(Url("/index.html")));
  EXPECT_EQ(Child<QComboBox>(form_.get(), "URLs")->currentText(), Watch("SAMPLESAMP1"));
  EXPECT_EQ(Child<browser::TWebBrowser>(form_.get(), "WebBrowser1")->accessibleName(), "Web page");
  EXPECT_TRUE(Only<BrowserPage>(form_.get())->history().isEmpty());
  EXPECT_EQ(Only<BrowserPage>(form_.get())->historyIndex(), -1);
  EXPECT_FALSE(Child<QAbstractButton>(form_.get(), "mxMSButton5")->isEnabled());
  EXPECT_FALSE(Child<QAbstractButton>(form_.get(), "mxMSButton4")->isEnabled());
  EXPECT_TRUE(DropDown().isEmpty());

  // Only the first document does that: a later non-watch page leaves the box.
  Child<QComboBox>(form_.get(), "URLs")->setEditText("typed but not sent");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("other"); }, Url("/other.html")));
  EXPECT_EQ(Child<QComboBox>(form_.get(), "URLs")->currentText(), "typed but not sent");
}

TEST_F(Browsing, FollowingLinksBetweenWatchPagesKeepsTheHistory) {
  MainWindow& form = OpenWindow();
  const QString w1 = Watch("AAAAAAAAAA1"), w2 = Watch("BBBBBBBBBB2"), w3 = Watch("CCCCCCCCCC3");
  const struct Step {
    const char* what;
    std::function<void()> act;
    QString page;  // loaded by the step; the address box shows it when it is a watch page
    QStringList history;
    int index;
    bool back, forward;
  } steps[] = {
      {"first watch page", [&] { ClickLink("w1"); }, w1, {w1}, 0, false, false},
      {"second watch page", [&] { ClickLink("w2"); }, w2, {w1, w2}, 1, true, false},
      {"back", [&] { Child<QAbstractButton>(&form, "mxMSButton5")->click(); }, w1, {w1, w2}, 0, false, true},
      {"a third page after going back drops the second", [&] { ClickLink("w3"); }, w3, {w1, w3}, 1, true, false},
      {"revisit by a link moves the position", [&] { ClickLink("w1"); }, w1, {w1, w3}, 0, false, true},
      {"forward", [&] { Child<QAbstractButton>(&form, "mxMSButton4")->click(); }, w3, {w1, w3}, 1, true, false},
      {"back again", [&] { Child<QAbstractButton>(&form, "mxMSButton5")->click(); }, w1, {w1, w3}, 0, false, true},
      {"other letter case is the same entry",
       [&] { ClickLink("w3case"); },
       Watch("cccccccccc3"),
       {w1, w3},
       1,
       true,
       false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(LoadsPage(s.act, s.page));
    EXPECT_EQ(Only<BrowserPage>(&form)->history(), s.history);
    EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), s.index);
    EXPECT_EQ(Child<QAbstractButton>(&form, "mxMSButton5")->isEnabled(), s.back);
    EXPECT_EQ(Child<QAbstractButton>(&form, "mxMSButton4")->isEnabled(), s.forward);
    EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), s.page);
  }
  // The arrows navigate through the address box, so their targets are listed.
  EXPECT_EQ(DropDown(), (QStringList{w1, w3}));

  // A page that is no watch page changes nothing.
  ASSERT_TRUE(LoadsPage([&] { ClickLink("other"); }, Url("/other.html")));
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, w3}));
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), 1);
  EXPECT_TRUE(Child<QAbstractButton>(&form, "mxMSButton5")->isEnabled());
  EXPECT_FALSE(Child<QAbstractButton>(&form, "mxMSButton4")->isEnabled());
  EXPECT_EQ(DropDown(), (QStringList{w1, w3}));
  EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), Watch("cccccccccc3"));
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, TypedAddressesFillTheDropDownListMostRecentFirst) {
  MainWindow& form = OpenWindow();
  const QString w1 = Watch("AAAAAAAAAA1"), w2 = Watch("BBBBBBBBBB2");
  ASSERT_TRUE(LoadsPage([&] { Type(w1); }, w1));
  EXPECT_EQ(DropDown(), QStringList{w1});
  // A typed page that is no watch page is not listed, and the next watch page
  // reached goes on top even though it came from a link.
  ASSERT_TRUE(LoadsPage([&] { Type(Url("/other.html")); }, Url("/other.html")));
  EXPECT_EQ(DropDown(), QStringList{w1});
  ASSERT_TRUE(LoadsPage([&] { ClickLink("w2"); }, w2));
  EXPECT_EQ(DropDown(), (QStringList{w2, w1}));
  // Typed again: listed once, on top.
  ASSERT_TRUE(LoadsPage([&] { Type(w1); }, w1));
  EXPECT_EQ(DropDown(), (QStringList{w1, w2}));
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, w2}));
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), 0);

  // The Browse button sends the box's text as well.
  Child<QComboBox>(&form, "URLs")->setEditText(w2);
  ASSERT_TRUE(LoadsPage([&] { Child<QAbstractButton>(&form, "mxTPButton4")->click(); }, w2));
  EXPECT_EQ(DropDown(), (QStringList{w2, w1}));
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), 1);

  // An entry chosen in the list with the arrow keys is navigated to at once.
  ASSERT_TRUE(LoadsPage([&] { QTest::keyClick(Child<QComboBox>(&form, "URLs"), Qt::Key_Down); }, w1));
  EXPECT_EQ(DropDown(), (QStringList{w1, w2}));
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), 0);

  // Addresses are shown encoded, ready to be fetched as they stand.
  const QString spaced = Watch("with%20space");
  ASSERT_TRUE(LoadsPage([&] { Type(Watch("with space")); }, spaced));
  EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), spaced);
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, spaced}));  // from w1, a new page drops w2
  EXPECT_EQ(DropDown(), (QStringList{spaced, w1, w2}));

  // Home is a plain navigation: recorded as a watch page, not listed.
  const QString home = Watch("HOMEHOMEHO1");
  ASSERT_TRUE(LoadsPage([&] { Child<QAbstractButton>(&form, "mxImageButton1")->click(); }, home));
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, spaced, home}));
  EXPECT_EQ(DropDown(), (QStringList{spaced, w1, w2}));
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, BadAddressesLeaveTheHistoryAlone) {
  MainWindow& form = OpenWindow();
  const QString w1 = Watch("AAAAAAAAAA1"), w2 = Watch("BBBBBBBBBB2");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("w1"); }, w1));
  const struct {
    const char* address;
    const char* error;  // shown by the error report, or none
  } cases[] = {{"", nullptr},
               {"   ", nullptr},
               {"not a url", "Not a valid address: not a url."},
               {"javascript:void(0)", nullptr},
               {"javascript:document.body.innerHTML='replaced'", nullptr},
               {"file:///nonexistent/watch?v=nothing.html", nullptr},
               {"http://", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    desktop_.dialogs.shown.clear();
    Type(QString::fromLatin1(c.address));
    Settle(200);  // let the engine act on it; nothing is awaited
    EXPECT_EQ(desktop_.dialogs.Errors(), c.error ? QStringList{c.error} : QStringList{});
  }
  // A file: address with "watch?v" in it is a watch page like any other.
  const QString file = "file:///nonexistent/watch?v=nothing.html";
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, file}));
  // A good address still works afterwards, and only watch pages were listed.
  ASSERT_TRUE(LoadsPage([&] { Type(w2); }, w2));
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, file, w2}));
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), 2);
  EXPECT_EQ(DropDown(), (QStringList{w2, file}));
}

TEST_F(Browsing, StopEndsAPageThatNeverFinishesLoading) {
  MainWindow& form = OpenWindow();
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><p>Loading"),
                 ScriptedServer::Pause(120000)});
  const QString hanging = QStringLiteral("http://127.0.0.1:%1/watch?v=HANGINGHAN1").arg(server.Port());
  completed_.clear();
  Type(hanging);
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() == 1; }, kLoadTimeoutMs));
  Settle(300);
  EXPECT_TRUE(completed_.isEmpty()) << completed_.join(' ').toStdString();
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), QStringList{hanging});

  Child<QAbstractButton>(&form, "mxTPButton3")->click();
  ASSERT_TRUE(WaitUntil([&] { return !completed_.isEmpty(); }, kLoadTimeoutMs));
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), QStringList{hanging});
  EXPECT_EQ(Only<BrowserPage>(&form)->historyIndex(), 0);
  EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), hanging);
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, PopupsAndFramesLeaveTheHistoryAlone) {
  MainWindow& form = OpenWindow();
  const QString w1 = Watch("AAAAAAAAAA1"), w2 = Watch("BBBBBBBBBB2");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("w1"); }, w1));
  ASSERT_TRUE(LoadsPage([&] { ClickLink("popups"); }, Url("/popups.html")));
  Settle(500);  // the page's late popup
  ASSERT_TRUE(LoadsPage([&] { Type(w2); }, w2));
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, w2}));
  EXPECT_EQ(Child<browser::TWebBrowser>(&form, "WebBrowser1")->url().toString(), w2);

  // A link the user follows into a new window opens in the one view.
  const QString inNewWindow = Watch("NEWWINDOW01");
  // A click that lands before the fresh page takes input is lost, so the
  // click is repeated until the page comes.
  completed_.clear();
  for (int attempt = 0; attempt < 10 && !completed_.contains(inNewWindow); ++attempt) {
    MouseClickLink("blank");
    WaitUntil([&] { return completed_.contains(inNewWindow); }, 1000);
  }
  ASSERT_TRUE(completed_.contains(inNewWindow)) << completed_.join(' ').toStdString();
  EXPECT_EQ(Child<browser::TWebBrowser>(&form, "WebBrowser1")->url().toString(), inNewWindow);
  EXPECT_EQ(Only<BrowserPage>(&form)->history(), (QStringList{w1, w2, inNewWindow}));
  EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), inNewWindow);
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, StopCutsTheDownloadActionsPageFetch) {
  MainWindow& form = OpenWindow();
  // Idle: nothing to cut, the status line still ends at "Disconnected.".
  Child<QAbstractButton>(&form, "mxTPButton3")->click();
  EXPECT_EQ(Child<widgets::StatusLabel>(&form, "status")->Text(), "Disconnected.");

  // A watch page that arrives in two halves with a long pause between: Stop,
  // pressed while the first half is reported, ends the fetch there.
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(1500, 'x')),
                 ScriptedServer::Pause(60000), ScriptedServer::Send(std::string(1500, 'x')), ScriptedServer::Close()});
  QString statusAfterStop;
  bool duringTheFetch = false;
  // The window is live from the connect on; Stop is pressed once the first
  // half has been reported.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, &form, [&] {
    const QString text = Child<widgets::StatusLabel>(&form, "status")->Text();
    if (duringTheFetch || !(text.startsWith("Transfering") || text.endsWith(" bytes."))) return;
    duringTheFetch = true;
    watch.stop();
    Child<QAbstractButton>(&form, "mxTPButton3")->click();
    statusAfterStop = Child<widgets::StatusLabel>(&form, "status")->Text();
  });
  watch.start(0);
  Child<QComboBox>(&form, "URLs")
      ->setEditText(QStringLiteral("http://127.0.0.1:%1/watch?v=HALFHALFHA1").arg(server.Port()));
  Only<DownloadsPanel>(&form)->download();
  EXPECT_TRUE(duringTheFetch);
  EXPECT_EQ(statusAfterStop, "Disconnected.");
  EXPECT_EQ(form.state().downloadList->RowCount(), 0);
}

TEST_F(Browsing, StopAbortsARunningConversion) {
  MainWindow& form = OpenWindow();
  testing::TempDir dir;
  testsupport::FixtureSpec clip;
  clip.seconds = 10;  // long enough to report progress
  ASSERT_TRUE(testsupport::MakeMediaFixture(dir.File("long.flv"), clip));
  Only<ConverterPage>(&form)->addToTimeline(QString::fromStdString(dir.File("long.flv")));
  // The slowest encoder, so that the save is sure to report progress.
  const int ipod = Child<QComboBox>(&form, "ComboBox1")->findText("iPod");
  ASSERT_GE(ipod, 0);
  Child<QComboBox>(&form, "ComboBox1")->setCurrentIndex(ipod);
  int events = 0;
  auto progress = Child<engine::TVideoEngine>(&form, "VideoEngine1")->OnProcessing;
  Child<engine::TVideoEngine>(&form, "VideoEngine1")->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) Child<QAbstractButton>(&form, "mxTPButton3")->click();
    progress(pos, duration);
  };
  const QString out = QString::fromStdString(dir.File("out.mp4"));
  desktop_.dialogs.saveAnswers.push_back(out);
  Child<QAbstractButton>(&form, "mxImageButton3")->click();
  ASSERT_GT(events, 0) << "the conversion reported no progress";
  EXPECT_EQ(events, 1);  // nothing after the Stop
  EXPECT_FALSE(QFile::exists(out));
  EXPECT_NE(Child<QLabel>(&form, "Label2")->text(), "Done.");
}

TEST_F(Browsing, DownloadFromAPageReachedByBrowsingQueuesItsLink) {
  testing::VideoSite videos;
  qputenv("LARKVALE_VIDEO_SITE", QByteArray::fromStdString(videos.Base()));
  // The watch page of the video site, at a watch address of a site that
  // serves it as a page, reached by a link from the start page.
  testing::TempDir root;
  testing::WriteFileBytes(root.File("watch"), testing::ReadFileBytes(videos.Root() + "/watch_standard.html"));
  testing::WriteFileBytes(root.File("index.html"),
                          "<html><body><a id=\"video\" href=\"/watch?v=abcdefghijk\">a video</a></body></html>");
  NginxServer pages(root.Path(), "default_type text/html;");
  const QString base = QString::fromStdString(pages.BaseUrl());
  const QString watch = base + "/watch?v=abcdefghijk";

  MainWindow& form = OpenWindow(base + "/index.html");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("video"); }, watch));
  EXPECT_EQ(Child<QComboBox>(&form, "URLs")->currentText(), watch);
  Child<QAbstractButton>(&form, "mxImageButton4")->click();
  ASSERT_EQ(form.state().downloadList->RowCount(), 1) << desktop_.dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(form.state().downloadList->CellText(queue::colUrl, 0).toStdString(),
            videos.Base() + "/get_video?asv=&video_id=" + testing::VideoSite::kId +
                "&t=" + testing::VideoSite::Token() + "&fmt=18");
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

}  // namespace
}  // namespace larkvale::app
