#include "platform/singleinstance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <future>

namespace larkvale::platform {
namespace {

using Role = SingleInstance::Role;

// A later start runs its blocking Claim on a thread of its own, as it would
// in its own process, while the running one serves from this thread.
std::future<Role> ClaimOnThread(const QString& socketPath, const QString& url) {
  return std::async(std::launch::async, [socketPath, url] {
    SingleInstance later(socketPath);
    return later.Claim(url, 3000);
  });
}

Role WaitFor(std::future<Role>& later) {
  // Serve the running side until the later start has its answer.
  EXPECT_TRUE(QTest::qWaitFor([&] { return later.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                              10000));
  return later.get();
}

TEST(SingleInstance, TheFirstListensAndLaterStartsHandOverTheirUrls) {
  QTemporaryDir dir;
  const QString path = dir.filePath("Larkvale_HD.socket");
  SingleInstance first(path);
  QSignalSpy urls(&first, &SingleInstance::urlReceived);
  QSignalSpy activations(&first, &SingleInstance::activationRequested);
  ASSERT_EQ(first.Claim(QString()), Role::Listening);

  const QStringList handed = {"http://127.0.0.1:9/watch?v=abc&feature=related", "", QString::fromUtf8("http://127.0.0.1:9/watch?v=\xc3\xa9t\xc3\xa9")};
  for (const QString& url : handed) {
    SCOPED_TRACE(url.toStdString());
    auto later = ClaimOnThread(path, url);
    EXPECT_EQ(WaitFor(later), Role::HandedOff);
  }
  // The running side answers before it emits, but both happen in the one
  // event that WaitFor processed last, so the signals are already here.
  EXPECT_EQ(activations.count(), 3);
  // An empty hand-off only raises the window.
  ASSERT_EQ(urls.count(), 2);
  EXPECT_EQ(urls.at(0).at(0).toString(), handed[0]);
  EXPECT_EQ(urls.at(1).at(0).toString(), handed[2]);
}

TEST(SingleInstance, ASocketLeftByACrashIsTakenOver) {
  QTemporaryDir dir;
  const QString path = dir.filePath("Larkvale_HD.socket");
  // A bound socket nobody listens on, as a killed program leaves it.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const QByteArray native = path.toLocal8Bit();
  ASSERT_LT(size_t(native.size()), sizeof(addr.sun_path));
  memcpy(addr.sun_path, native.constData(), size_t(native.size()));
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ::close(fd);
  ASSERT_TRUE(QFileInfo::exists(path));

  SingleInstance restarted(path);
  EXPECT_EQ(restarted.Claim("http://127.0.0.1:9/watch?v=a", 1000), Role::Listening);
  auto later = ClaimOnThread(path, "http://127.0.0.1:9/watch?v=b");
  EXPECT_EQ(WaitFor(later), Role::HandedOff);
}

TEST(SingleInstance, WithoutASocketFolderTheProgramRunsAlone) {
  SingleInstance nowhere(QStringLiteral("/nonexistent/larkvale/Larkvale_HD.socket"));
  EXPECT_EQ(nowhere.Claim("http://127.0.0.1:9/watch?v=a", 500), Role::Alone);
}

TEST(SingleInstance, ASecondProcessHandsOverAndExits) {
  QTemporaryDir dir;
  const QString path = dir.filePath("Larkvale_HD.socket");
  SingleInstance first(path);
  QSignalSpy urls(&first, &SingleInstance::urlReceived);
  ASSERT_EQ(first.Claim(QString()), Role::Listening);

  QProcess later;
  later.start(QStringLiteral(LARKVALE_APPDIR "larkvale_handoff_peer"),
              {path, "http://127.0.0.1:9/watch?v=fromSecondProcess"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return later.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(later.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(later.exitCode(), 0) << later.readAllStandardError().toStdString();
  ASSERT_EQ(urls.count(), 1);
  EXPECT_EQ(urls.at(0).at(0).toString(), "http://127.0.0.1:9/watch?v=fromSecondProcess");
}

TEST(SingleInstance, UrlArgumentIsTheFirstNonOption) {
  const struct {
    QStringList args;
    QString url;
  } cases[] = {
      {{"Larkvale_HD"}, ""},
      {{"Larkvale_HD", "http://127.0.0.1/watch?v=a"}, "http://127.0.0.1/watch?v=a"},
      {{"Larkvale_HD", "--verbose", "http://127.0.0.1/watch?v=a", "second"}, "http://127.0.0.1/watch?v=a"},
      {{"Larkvale_HD", "--", "-odd"}, "-odd"},
      {{"Larkvale_HD", "--"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    EXPECT_EQ(UrlArgument(c.args), c.url);
  }
}

}  // namespace
}  // namespace larkvale::platform
