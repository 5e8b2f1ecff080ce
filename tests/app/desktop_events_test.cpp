// Downloads and conversions that end, as the desktop hears of them: a line
// in the program's log for each failure, and a notification for every end
// while the window is not active (on a private bus with a fake notification
// service, see tests/desktop/notify_test.sh).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/desktopintegration.h"
#include "platform/applog.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/notify_record.h"
#include "support/scripted_server.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;
using testing::Only;
using testing::ScriptedServer;

// The window, never activated, with a download server and a short clip.
struct Events {
  Events() {
    clip = desktop.root.path() + "/clip.flv";
    testsupport::FixtureSpec shape;
    shape.seconds = 1;
    shape.width = 160;
    shape.height = 120;
    ready = testsupport::MakeMediaFixture(clip.toStdString(), shape);
    form = std::make_unique<MainWindow>(desktop.services);
    panel = Only<DownloadsPanel>(form.get());
    converter = Only<ConverterPage>(form.get());
    converter->fillEngineLists();
  }

  // One pass of the runner over a single row with `link`.
  void DownloadRow(const QString& link) {
    queue::DownloadList& list = *form->state().downloadList;
    while (list.RowCount() > 0) list.DeleteRow(0);
    list.AddRows(1);
    list.SetCellText(queue::colUrl, 0, link);
    if (panel->runner().Active()) {
      panel->runner().PauseTimer().start(0);
      QTest::qWaitFor([&] { return !panel->runner().PauseTimer().isActive(); }, 5000);
      QCoreApplication::processEvents();
    } else {
      panel->startDownloads();
    }
  }
  QString DownloadFine() {
    site.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789"),
                 ScriptedServer::Close()});
    DownloadRow(Link("/fine.flv"));
    return form->state().downloadList->CellText(queue::colFile, 0);
  }
  QString DownloadMissing() {
    site.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"), ScriptedServer::Close()});
    DownloadRow(Link("/missing.flv"));
    return Link("/missing.flv");
  }
  void Convert(const QString& file) {
    if (converter->timeline().Count() == 0) converter->addToTimeline(clip);
    desktop.dialogs.saveAnswers.push_back(file);
    converter->convert();
  }
  QString Link(const char* path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(site.Port()).arg(path); }

  FakeDesktop desktop;
  ScriptedServer site;
  QString clip;
  bool ready = false;
  std::unique_ptr<MainWindow> form;
  DownloadsPanel* panel = nullptr;
  ConverterPage* converter = nullptr;
};

QStringList LogLines(const QString& dir) {
  QFile f(dir + "/Larkvale_HD.log");
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

TEST(DesktopEvents, FailedDownloadsAndConversionsLeaveALogLineFinishedOnesNone) {
  QTemporaryDir logDir;
  platform::OpenProcessLog(logDir.path());
  struct Closer {
    ~Closer() { platform::CloseProcessLog(); }
  } closer;
  Events e;
  ASSERT_TRUE(e.ready);

  // Finished downloads join the Timeline: the conversions go first.
  const QString out = e.desktop.root.path() + "/out.avi";
  e.Convert(out);
  EXPECT_TRUE(QFile::exists(out)) << e.desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(LogLines(logDir.path()), QStringList());

  const QString unwritable = e.desktop.root.path() + "/no such folder/out.avi";
  e.Convert(unwritable);
  // The box names the reason, as the log line does.
  EXPECT_EQ(e.desktop.dialogs.Texts(), QStringList{"Fail to save file: cannot write beside " + unwritable +
                                                   ": No such file or directory"});
  QStringList lines = LogLines(logDir.path());
  ASSERT_EQ(lines.size(), 1);
  EXPECT_TRUE(lines[0].contains("conversion failed: " + unwritable + ": Fail to save file")) << lines[0].toStdString();
  e.desktop.dialogs.shown.clear();

  const QString finished = e.DownloadFine();
  EXPECT_TRUE(QFile::exists(finished));
  EXPECT_EQ(LogLines(logDir.path()).size(), 1);

  // A failed row is marked in the grid, without an error box: one line.
  const QString missing = e.DownloadMissing();
  EXPECT_EQ(e.form->state().downloadList->State(0), queue::RowState::Failed);
  EXPECT_TRUE(e.desktop.dialogs.Errors().empty()) << e.desktop.dialogs.Texts().join("|").toStdString();
  lines = LogLines(logDir.path());
  ASSERT_EQ(lines.size(), 2) << lines.join("\n").toStdString();
  EXPECT_TRUE(lines[1].contains("download failed: " + missing + ": HTTP/1.0 404 Not Found")) << lines[1].toStdString();
}

using larkvale::testing::Recorded;

TEST(DesktopEventsOnBus, EveryEndOfADownloadOrConversionIsNotified) {
  const QString record = qEnvironmentVariable("LARKVALE_TEST_NOTIFY_RECORD");
  if (record.isEmpty()) GTEST_SKIP() << "needs the fake service of tests/desktop/notify_test.sh";
  Events e;
  ASSERT_TRUE(e.ready);
  ASSERT_FALSE(e.form->isActiveWindow());
  QSignalSpy delivered(&e.form->desktop().notifier(), &platform::DesktopNotifier::delivered);

  e.Convert(e.desktop.root.path() + "/converted.avi");
  e.Convert(e.desktop.root.path() + "/no such folder/out.avi");
  const QString finished = e.DownloadFine();
  ASSERT_TRUE(QFile::exists(finished));
  e.DownloadMissing();
  ASSERT_TRUE(QTest::qWaitFor([&] { return delivered.count() >= 4; }, 10000)) << delivered.count();

  const std::vector<QJsonObject> got = Recorded(record);
  const struct {
    const char* summary;
    QString body;
  } expected[] = {
      {"Conversion finished", "converted.avi"},
      {"Conversion failed", "out.avi\nFail to save file: cannot write beside " + e.desktop.root.path() +
                                "/no such folder/out.avi: No such file or directory"},
      {"Download finished", "flv0video.flv"},
      {"Download failed", "flv1video.flv\nHTTP/1.0 404 Not Found."},
  };
  ASSERT_EQ(got.size(), std::size(expected));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i]["summary"].toString(), expected[i].summary);
    EXPECT_EQ(got[i]["body"].toString(), expected[i].body);
  }
}

// Listens to the taskbar entry's updates on a connection of its own, as a
// dock would.
class LauncherListener : public QObject {
  Q_OBJECT
 public:
  struct Update {
    QString app;
    double progress;
    bool visible;
  };
  explicit LauncherListener(QDBusConnection bus) : bus_(bus) {
    bus_.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"),
                 this, SLOT(update(QString, QVariantMap)));
  }
  std::vector<Update> updates;

 public slots:
  void update(const QString& app, const QVariantMap& properties) {
    updates.push_back({app, properties.value(QStringLiteral("progress")).toDouble(),
                       properties.value(QStringLiteral("progress-visible")).toBool()});
  }

 private:
  QDBusConnection bus_;
};

TEST(DesktopEventsOnBus, TheTaskbarEntryFollowsTheRowBeingDownloaded) {
  if (qEnvironmentVariable("LARKVALE_TEST_NOTIFY_RECORD").isEmpty())
    GTEST_SKIP() << "needs the private bus of tests/desktop/notify_test.sh";
  QDBusConnection listenerBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("dock"));
  ASSERT_TRUE(listenerBus.isConnected());
  LauncherListener dock(listenerBus);
  Events e;

  // 100000 bytes in ten pieces, so that the client reads several blocks.
  ScriptedServer::Script script{ScriptedServer::ReadRequest(),
                                ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n")};
  for (int i = 0; i < 10; ++i) {
    script.push_back(ScriptedServer::Pause(30));
    script.push_back(ScriptedServer::Send(std::string(10000, 'v')));
  }
  script.push_back(ScriptedServer::Close());
  e.site.Expect(script);
  e.DownloadRow(e.Link("/pieces.flv"));
  ASSERT_TRUE(QFile::exists(e.form->state().downloadList->CellText(queue::colFile, 0)));

  ASSERT_TRUE(QTest::qWaitFor([&] { return !dock.updates.empty() && !dock.updates.back().visible; }, 5000));
  const std::vector<LauncherListener::Update>& got = dock.updates;
  ASSERT_GE(got.size(), 4u);  // 0 %, at least one block between, 100 %, hidden
  EXPECT_EQ(got.front().progress, 0.0);
  double shown = -1;
  for (size_t i = 0; i + 1 < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].app, LauncherEntryUri());
    EXPECT_TRUE(got[i].visible);
    EXPECT_GT(got[i].progress, shown);  // rising, and never the same twice
    shown = got[i].progress;
  }
  EXPECT_EQ(shown, 1.0);
  EXPECT_FALSE(got.back().visible);
  QDBusConnection::disconnectFromBus(QStringLiteral("dock"));
}

// Two hundred small files that end within a second: the first is told at
// once, the rest together a second later; the taskbar hears a few values a
// second, and its bar goes away after the last one.
TEST(DesktopEventsOnBus, ManyDownloadsEndingTogetherMakeAFewMessages) {
  const QString record = qEnvironmentVariable("LARKVALE_TEST_NOTIFY_RECORD");
  if (record.isEmpty()) GTEST_SKIP() << "needs the fake service of tests/desktop/notify_test.sh";
  QDBusConnection listenerBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("dock2"));
  ASSERT_TRUE(listenerBus.isConnected());
  LauncherListener dock(listenerBus);
  Events e;
  const std::size_t before = Recorded(record).size();
  DesktopIntegration& desktop = e.form->desktop();
  const int rows = 200;
  QElapsedTimer took;
  took.start();
  for (int i = 0; i < rows; ++i) {
    desktop.showProgress(i / 2);
    desktop.downloadFinished(QStringLiteral("/videos/flv%1video.flv").arg(i));
    QTest::qWait(4);
  }
  desktop.showProgress(-1);
  const qint64 spent = took.elapsed();
  QTest::qWait(3 * DesktopIntegration::kNoticeWindowMs);  // the held ones are told

  std::vector<QJsonObject> got = Recorded(record);
  got.erase(got.begin(), got.begin() + qsizetype(before));
  ASSERT_GE(got.size(), 2u);
  EXPECT_LE(got.size(), std::size_t(spent / DesktopIntegration::kNoticeWindowMs + 2));
  EXPECT_EQ(got[0]["summary"].toString(), "Download finished");
  EXPECT_EQ(got[0]["body"].toString(), "flv0video.flv");
  int told = 1;
  for (std::size_t i = 1; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    const QString summary = got[i]["summary"].toString();
    ASSERT_TRUE(summary.endsWith(" downloads finished")) << summary.toStdString();
    told += summary.section(' ', 0, 0).toInt();
  }
  EXPECT_EQ(told, rows);  // every file is in one message or another

  ASSERT_TRUE(QTest::qWaitFor([&] { return !dock.updates.empty() && !dock.updates.back().visible; }, 5000));
  // The first, one a turn, the last held back, hidden.
  EXPECT_LE(dock.updates.size(), std::size_t(spent / DesktopIntegration::kProgressMs + 4));
  EXPECT_GE(dock.updates.size(), 3u);
  EXPECT_EQ(dock.updates[dock.updates.size() - 2].progress, (rows - 1) / 2 / 100.0);  // the last value, then hidden
  QDBusConnection::disconnectFromBus(QStringLiteral("dock2"));
}

}  // namespace
}  // namespace larkvale::app

#include "desktop_events_test.moc"
