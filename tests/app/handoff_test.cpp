// Links from outside: the URL of a later start reaches the running window,
// which types it into the address box and runs Download for a watch page;
// the real program hands off and exits when another one listens.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "platform/singleinstance.h"
#include "support/fakes.h"
#include "support/scripted_server.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using platform::SingleInstance;
using testing::Child;
using testing::FakeDesktop;
using testing::ScriptedServer;

const std::string kToken(46, 'T');

// A watch page whose embed names the video "abcdefghijk".
std::string WatchPageResponse() {
  const std::string body = "<html>\r\n<body>\r\n  var swfHTML = '<embed src=\"/p.swf?video_id=abcdefghijk&t=" + kToken +
                           "&hl=en\">';\r\n</body>\r\n</html>\r\n";
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// A later start's hand-off, in a process of its own.
int HandOff(const QString& socketPath, const QString& url) {
  QProcess later;
  later.start(QStringLiteral(LARKVALE_APPDIR "larkvale_handoff_peer"), {socketPath, url});
  if (!QTest::qWaitFor([&] { return later.state() == QProcess::NotRunning; }, 10000)) return -1;
  return later.exitStatus() == QProcess::NormalExit ? later.exitCode() : -1;
}

TEST(HandOff, ALaterStartsUrlIsTypedIntoTheRunningWindowAndAWatchPageIsDownloaded) {
  ScriptedServer site;
  const QString base = QStringLiteral("http://127.0.0.1:%1").arg(site.Port());
  qputenv("LARKVALE_VIDEO_SITE", base.toUtf8());
  FakeDesktop desktop;
  MainWindow form(desktop.services);
  qunsetenv("LARKVALE_VIDEO_SITE");
  QTemporaryDir runtime;
  SingleInstance instance(runtime.filePath("Larkvale_HD.socket"));
  ASSERT_EQ(instance.Claim(QString()), SingleInstance::Role::Listening);
  form.acceptHandOffs(instance);
  form.showPage(MainWindow::pgExplorer);
  auto* address = Child<QComboBox>(&form, "URLs");
  queue::DownloadList& list = *form.state().downloadList;

  // Not a watch page: only typed, nothing is fetched.
  const QString home = base + "/index.html";
  ASSERT_EQ(HandOff(runtime.filePath("Larkvale_HD.socket"), home), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return address->currentText() == home; }, 5000));
  EXPECT_EQ(form.activePage(), MainWindow::pgBrowser);
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(site.Connections(), 0);

  // A watch page: typed, then the Download action fetches it and queues its link.
  site.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(WatchPageResponse()), ScriptedServer::Close()});
  const QString watch = base + "/watch?v=abcdefghijk&feature=related";
  ASSERT_EQ(HandOff(runtime.filePath("Larkvale_HD.socket"), watch), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return list.RowCount() == 1; }, 10000));
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(address->currentText(), watch);
  ASSERT_EQ(site.Requests().size(), 1u);
  EXPECT_EQ(site.Requests()[0].rfind("GET /watch?v=abcdefghijk&feature=related HTTP/1.0\r\n", 0), 0u)
      << site.Requests()[0];
  EXPECT_EQ(list.CellText(queue::colUrl, 0).toStdString(),
            base.toStdString() + "/get_video?asv=&video_id=abcdefghijk&t=" + kToken + "&fmt=18");
  EXPECT_EQ(Child<widgets::StatusLabel>(&form, "status")->Text(), "Done");
}

// The real program, started with a URL. As a later start it must leave
// before it opens a window; as the first one it works in the test's folder.
struct LaterStart {
  explicit LaterStart(const QString& runtimeDir, const QString& url, QProcessEnvironment env = {}) {
    if (env.isEmpty()) env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtimeDir);
    env.insert("HOME", runtimeDir);
    env.insert("XDG_CONFIG_HOME", runtimeDir + "/config");
    env.insert("XDG_DATA_HOME", runtimeDir + "/data");
    env.insert("XDG_STATE_HOME", runtimeDir + "/state");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(LARKVALE_APPDIR "Larkvale_HD"), {url});
  }
  ~LaterStart() {
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished(5000);
  }
  bool Ended() {
    return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
  }
  QProcess process;
};

TEST(HandOff, TheFirstStartTypesItsUrlAndDownloadsAWatchPage) {
  ScriptedServer site;
  const QString base = QStringLiteral("http://127.0.0.1:%1").arg(site.Port());
  // The watch page, then the runner's request for the link it queued.
  site.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(WatchPageResponse()), ScriptedServer::Close()});
  site.Expect({ScriptedServer::ReadRequest(),
               ScriptedServer::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
               ScriptedServer::Close()});
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("LARKVALE_VIDEO_SITE", base);
  env.insert("LARKVALE_START_PAGE", "about:blank");
  env.insert("LARKVALE_HOME_PAGE", "about:blank");
  QTemporaryDir runtime;
  LaterStart first(runtime.path(), base + "/watch?v=abcdefghijk", env);

  ASSERT_TRUE(QTest::qWaitFor([&] { return site.Requests().size() >= 2 || first.process.state() == QProcess::NotRunning; },
                              60000))
      << "requests: " << site.Requests().size();
  ASSERT_EQ(first.process.state(), QProcess::Running) << first.process.readAllStandardError().toStdString();
  const std::vector<std::string> requests = site.Requests();
  EXPECT_EQ(requests[0].rfind("GET /watch?v=abcdefghijk HTTP/1.0\r\n", 0), 0u) << requests[0];
  EXPECT_EQ(requests[1].rfind("GET /get_video?asv=&video_id=abcdefghijk&t=" + kToken + "&fmt=18 HTTP/1.0\r\n", 0), 0u)
      << requests[1];
  // It listens for later starts in the runtime folder.
  EXPECT_TRUE(QFileInfo(runtime.filePath("Larkvale_HD.socket")).exists());
}

TEST(HandOff, TheProgramHandsItsUrlToTheRunningOneAndExits) {
  QTemporaryDir runtime;
  SingleInstance running(runtime.filePath("Larkvale_HD.socket"));
  QSignalSpy urls(&running, &SingleInstance::urlReceived);
  QSignalSpy activations(&running, &SingleInstance::activationRequested);
  ASSERT_EQ(running.Claim(QString()), SingleInstance::Role::Listening);

  LaterStart later(runtime.path(), "http://127.0.0.1:9/watch?v=fromTheCommandLine");
  ASSERT_TRUE(later.Ended()) << "the later start did not exit";
  EXPECT_EQ(later.process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(later.process.exitCode(), 0) << later.process.readAllStandardError().toStdString();
  ASSERT_EQ(urls.count(), 1);
  EXPECT_EQ(urls.at(0).at(0).toString(), "http://127.0.0.1:9/watch?v=fromTheCommandLine");
  EXPECT_EQ(activations.count(), 1);
}

TEST(HandOff, ARunningOneThatNeverAnswersEndsTheLaterStartWithOneLine) {
  QTemporaryDir runtime;
  // Accepts and reads, but never says "ok".
  QLocalServer mute;
  ASSERT_TRUE(mute.listen(runtime.filePath("Larkvale_HD.socket")));
  QList<QLocalSocket*> held;
  QObject::connect(&mute, &QLocalServer::newConnection, [&] { held << mute.nextPendingConnection(); });

  LaterStart later(runtime.path(), "http://127.0.0.1:9/watch?v=unanswered");
  ASSERT_TRUE(later.Ended()) << "the later start did not give up";
  EXPECT_EQ(later.process.exitCode(), 1);
  const QString err = QString::fromLocal8Bit(later.process.readAllStandardError()).trimmed();
  EXPECT_TRUE(err.contains("does not answer")) << err.toStdString();
  EXPECT_FALSE(err.contains('\n')) << err.toStdString();
  EXPECT_FALSE(held.isEmpty());
}

}  // namespace
}  // namespace larkvale::app
