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

#include "app/Unit1.h"
#include "browser/webbrowser.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/video_site.h"

namespace larkvale::app {
namespace {

using testing::FakeDesktop;
using testing::NginxServer;
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
  TForm1& OpenWindow(const QString& startPage = Url("/index.html")) {
    qputenv("LARKVALE_START_PAGE", startPage.toUtf8());
    form_ = std::make_unique<TForm1>(desktop_.services);
    QObject::connect(form_->WebBrowser1->page(), &QWebEnginePage::loadFinished, form_.get(),
                     [this] { completed_ << QString::fromLatin1(form_->WebBrowser1->url().toEncoded()); });
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
    form_->WebBrowser1->page()->runJavaScript(QStringLiteral("document.getElementById('%1').click()").arg(id));
  }
  // A click of the mouse, which counts as the user's own, unlike a script's,
  // on the link's first line box (a link may wrap).
  void MouseClickLink(const char* id) {
    QPoint centre(-1, -1);
    form_->WebBrowser1->page()->runJavaScript(
        QStringLiteral("(function(){var r=document.getElementById('%1').getClientRects()[0];"
                       "return [r.left+r.width/2, r.top+r.height/2];})()")
            .arg(id),
        [&](const QVariant& v) {
          const QVariantList xy = v.toList();
          if (xy.size() == 2) centre = QPoint(int(xy[0].toDouble()), int(xy[1].toDouble()));
        });
    ASSERT_TRUE(WaitUntil([&] { return centre.x() >= 0; }));
    QWidget* surface = form_->WebBrowser1->focusProxy();
    ASSERT_NE(surface, nullptr);
    QTest::mouseClick(surface, Qt::LeftButton, {}, centre);
  }
  // Keys go to the box, which hands them to its line edit, as with a user.
  void Type(const QString& text) {
    form_->URLs->lineEdit()->clear();
    QTest::keyClicks(form_->URLs, text);
    QTest::keyClick(form_->URLs, Qt::Key_Return);
  }
  QStringList DropDown() const {
    QStringList items;
    for (int i = 0; i < form_->URLs->count(); ++i) items << form_->URLs->itemText(i);
    return items;
  }

  static NginxServer* site_;
  FakeDesktop desktop_;
  std::unique_ptr<TForm1> form_;
  QStringList completed_;  // addresses of the documents completed since the last action
};

NginxServer* Browsing::site_ = nullptr;

TEST_F(Browsing, StartPageLoadedShowsTheSampleAddressInsteadOfTheClipboards) {
  desktop_.clipboard.text = "http://www.youtube.com/watch?v=fromClipbrd";
  form_ = std::make_unique<TForm1>(desktop_.services);
  EXPECT_EQ(form_->URLs->currentText(), "http://www.youtube.com/watch?v=fromClipbrd");
  EXPECT_TRUE(form_->FirstDocumentPending);
  QObject::connect(form_->WebBrowser1->page(), &QWebEnginePage::loadFinished, form_.get(),
                   [this] { completed_ << QString::fromLatin1(form_->WebBrowser1->url().toEncoded()); });
  ASSERT_TRUE(WaitForPage(Url("/index.html")));
  EXPECT_EQ(form_->URLs->currentText(), Watch("SAMPLESAMP1"));
  EXPECT_FALSE(form_->FirstDocumentPending);
  EXPECT_EQ(form_->WebBrowser1->accessibleName(), "Web page");
  EXPECT_TRUE(form_->BrowserHistory.isEmpty());
  EXPECT_EQ(form_->HistoryIndex, -1);
  EXPECT_FALSE(form_->mxMSButton5->isEnabled());
  EXPECT_FALSE(form_->mxMSButton4->isEnabled());
  EXPECT_TRUE(DropDown().isEmpty());

  // Only the first document does that: a later non-watch page leaves the box.
  form_->URLs->setEditText("typed but not sent");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("other"); }, Url("/other.html")));
  EXPECT_EQ(form_->URLs->currentText(), "typed but not sent");
}

TEST_F(Browsing, FollowingLinksBetweenWatchPagesKeepsTheHistory) {
  TForm1& form = OpenWindow();
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
      {"back", [&] { form.mxMSButton5->click(); }, w1, {w1, w2}, 0, false, true},
      {"a third page after going back drops the second", [&] { ClickLink("w3"); }, w3, {w1, w3}, 1, true, false},
      {"revisit by a link moves the position", [&] { ClickLink("w1"); }, w1, {w1, w3}, 0, false, true},
      {"forward", [&] { form.mxMSButton4->click(); }, w3, {w1, w3}, 1, true, false},
      {"back again", [&] { form.mxMSButton5->click(); }, w1, {w1, w3}, 0, false, true},
      {"other letter case is the same entry", [&] { ClickLink("w3case"); }, Watch("cccccccccc3"), {w1, w3}, 1, true,
       false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(LoadsPage(s.act, s.page));
    EXPECT_EQ(form.BrowserHistory, s.history);
    EXPECT_EQ(form.HistoryIndex, s.index);
    EXPECT_EQ(form.mxMSButton5->isEnabled(), s.back);
    EXPECT_EQ(form.mxMSButton4->isEnabled(), s.forward);
    EXPECT_EQ(form.URLs->currentText(), s.page);
  }
  // The arrows navigate through the address box, so their targets are listed.
  EXPECT_EQ(DropDown(), (QStringList{w1, w3}));

  // A page that is no watch page changes nothing.
  ASSERT_TRUE(LoadsPage([&] { ClickLink("other"); }, Url("/other.html")));
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, w3}));
  EXPECT_EQ(form.HistoryIndex, 1);
  EXPECT_TRUE(form.mxMSButton5->isEnabled());
  EXPECT_FALSE(form.mxMSButton4->isEnabled());
  EXPECT_EQ(DropDown(), (QStringList{w1, w3}));
  EXPECT_EQ(form.URLs->currentText(), Watch("cccccccccc3"));
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, TypedAddressesFillTheDropDownListMostRecentFirst) {
  TForm1& form = OpenWindow();
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
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, w2}));
  EXPECT_EQ(form.HistoryIndex, 0);

  // The Browse button sends the box's text as well.
  form.URLs->setEditText(w2);
  ASSERT_TRUE(LoadsPage([&] { form.mxTPButton4->click(); }, w2));
  EXPECT_EQ(DropDown(), (QStringList{w2, w1}));
  EXPECT_EQ(form.HistoryIndex, 1);

  // An entry chosen in the list with the arrow keys is navigated to at once.
  ASSERT_TRUE(LoadsPage([&] { QTest::keyClick(form.URLs, Qt::Key_Down); }, w1));
  EXPECT_EQ(DropDown(), (QStringList{w1, w2}));
  EXPECT_EQ(form.HistoryIndex, 0);

  // Addresses are shown encoded, ready to be fetched as they stand.
  const QString spaced = Watch("with%20space");
  ASSERT_TRUE(LoadsPage([&] { Type(Watch("with space")); }, spaced));
  EXPECT_EQ(form.URLs->currentText(), spaced);
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, spaced}));  // from w1, a new page drops w2
  EXPECT_EQ(DropDown(), (QStringList{spaced, w1, w2}));

  // Home is a plain navigation: recorded as a watch page, not listed.
  const QString home = Watch("HOMEHOMEHO1");
  ASSERT_TRUE(LoadsPage([&] { form.mxImageButton1->click(); }, home));
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, spaced, home}));
  EXPECT_EQ(DropDown(), (QStringList{spaced, w1, w2}));
  EXPECT_FALSE(form.AddressNavigation);
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, BadAddressesLeaveTheHistoryAlone) {
  TForm1& form = OpenWindow();
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
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, file}));
  // A good address still works afterwards, and only watch pages were listed.
  ASSERT_TRUE(LoadsPage([&] { Type(w2); }, w2));
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, file, w2}));
  EXPECT_EQ(form.HistoryIndex, 2);
  EXPECT_EQ(DropDown(), (QStringList{w2, file}));
}

TEST_F(Browsing, StopEndsAPageThatNeverFinishesLoading) {
  TForm1& form = OpenWindow();
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
  EXPECT_EQ(form.BrowserHistory, QStringList{hanging});

  form.mxTPButton3->click();
  ASSERT_TRUE(WaitUntil([&] { return !completed_.isEmpty(); }, kLoadTimeoutMs));
  EXPECT_EQ(form.BrowserHistory, QStringList{hanging});
  EXPECT_EQ(form.HistoryIndex, 0);
  EXPECT_EQ(form.URLs->currentText(), hanging);
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, PopupsAndFramesLeaveTheHistoryAlone) {
  TForm1& form = OpenWindow();
  const QString w1 = Watch("AAAAAAAAAA1"), w2 = Watch("BBBBBBBBBB2");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("w1"); }, w1));
  ASSERT_TRUE(LoadsPage([&] { ClickLink("popups"); }, Url("/popups.html")));
  Settle(500);  // the page's late popup
  ASSERT_TRUE(LoadsPage([&] { Type(w2); }, w2));
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, w2}));
  EXPECT_EQ(form.WebBrowser1->url().toString(), w2);

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
  EXPECT_EQ(form.WebBrowser1->url().toString(), inNewWindow);
  EXPECT_EQ(form.BrowserHistory, (QStringList{w1, w2, inNewWindow}));
  EXPECT_EQ(form.URLs->currentText(), inNewWindow);
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

TEST_F(Browsing, StopCutsTheDownloadActionsPageFetch) {
  TForm1& form = OpenWindow();
  // Idle: nothing to cut, the status line still ends at "Disconnected.".
  form.mxTPButton3->click();
  EXPECT_EQ(form.status->Text(), "Disconnected.");

  // A watch page that arrives in two halves with a long pause between: Stop,
  // pressed while the first half is reported, ends the fetch there.
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(1500, 'x')),
                 ScriptedServer::Pause(60000), ScriptedServer::Send(std::string(1500, 'x')), ScriptedServer::Close()});
  QString statusAfterStop;
  bool duringTheFetch = false;
  QTimer::singleShot(0, &form, [&] {
    duringTheFetch = form.HTTP1->IsConnected();
    form.mxTPButton3->click();
    statusAfterStop = form.status->Text();
  });
  form.URLs->setEditText(QStringLiteral("http://127.0.0.1:%1/watch?v=HALFHALFHA1").arg(server.Port()));
  form.Button1Click();
  EXPECT_TRUE(duringTheFetch);
  EXPECT_EQ(statusAfterStop, "Disconnected.");
  EXPECT_EQ(form.DownloadList->RowCount(), 0);
  EXPECT_FALSE(form.HTTP1->IsConnected());
}

TEST_F(Browsing, StopAbortsARunningConversion) {
  TForm1& form = OpenWindow();
  testing::TempDir dir;
  testsupport::FixtureSpec clip;
  clip.seconds = 10;  // long enough to report progress
  ASSERT_TRUE(testsupport::MakeMediaFixture(dir.File("long.flv"), clip));
  form.AddToTimeline(QString::fromStdString(dir.File("long.flv")));
  // The slowest encoder, so that the save is sure to report progress.
  const int ipod = form.ComboBox1->findText("iPod");
  ASSERT_GE(ipod, 0);
  form.ComboBox1->setCurrentIndex(ipod);
  int events = 0;
  auto progress = form.VideoEngine1->OnProcessing;
  form.VideoEngine1->OnProcessing = [&](double pos, double duration) {
    if (pos < duration && ++events == 1) form.mxTPButton3->click();
    progress(pos, duration);
  };
  const QString out = QString::fromStdString(dir.File("out.mp4"));
  desktop_.dialogs.saveAnswers.push_back(out);
  form.mxImageButton3->click();
  ASSERT_GT(events, 0) << "the conversion reported no progress";
  EXPECT_EQ(events, 1);  // nothing after the Stop
  EXPECT_FALSE(QFile::exists(out));
  EXPECT_NE(form.Label2->text(), "Done.");
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

  TForm1& form = OpenWindow(base + "/index.html");
  ASSERT_TRUE(LoadsPage([&] { ClickLink("video"); }, watch));
  EXPECT_EQ(form.URLs->currentText(), watch);
  form.mxImageButton4->click();
  ASSERT_EQ(form.DownloadList->RowCount(), 1) << desktop_.dialogs.Texts().join('|').toStdString();
  EXPECT_EQ(form.DownloadList->CellText(queue::colUrl, 0).toStdString(),
            videos.Base() + "/get_video?asv=&video_id=" + testing::VideoSite::kId + "&t=" +
                testing::VideoSite::Token() + "&fmt=18");
  EXPECT_TRUE(desktop_.dialogs.shown.empty()) << desktop_.dialogs.Texts().join('|').toStdString();
}

}  // namespace
}  // namespace larkvale::app
