#include "platform/notifier.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "support/notify_record.h"

namespace larkvale::platform {
namespace {

TEST(DesktopNotifier, WithoutABusNothingIsSentAndNothingFails) {
  // A bus that does not exist: the call goes nowhere and no signal comes.
  QDBusConnection nowhere =
      QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/larkvale-bus"), QStringLiteral("nowhere"));
  ASSERT_FALSE(nowhere.isConnected());
  DesktopNotifier notifier({}, nowhere);
  QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
  QSignalSpy notDelivered(&notifier, &DesktopNotifier::notDelivered);
  EXPECT_FALSE(notifier.DownloadFinished("/tmp/clip.flv"));
  EXPECT_FALSE(notifier.ConversionFailed("/tmp/clip.avi", "Cannot open the output file"));
  QCoreApplication::processEvents();
  EXPECT_EQ(delivered.count() + notDelivered.count(), 0);
  QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

// The two below run on a private session bus provided by
// tests/desktop/notify_test.sh (a ctest entry of its own).

using larkvale::testing::Recorded;

TEST(DesktopNotifierOnBus, ReachesTheNotificationService) {
  const QString record = qEnvironmentVariable("LARKVALE_TEST_NOTIFY_RECORD");
  if (record.isEmpty()) GTEST_SKIP() << "needs the fake service of tests/desktop/notify_test.sh";

  bool windowActive = true;
  DesktopNotifier notifier([&] { return !windowActive; });
  QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
  QSignalSpy notDelivered(&notifier, &DesktopNotifier::notDelivered);

  // While the window is active the user sees the result there.
  EXPECT_FALSE(notifier.DownloadFinished("/home/ann/larkvale/Larkvale_HD/flv/held back.flv"));

  windowActive = false;
  ASSERT_TRUE(notifier.DownloadFinished("/home/ann/larkvale/Larkvale_HD/flv/Tom & Jerry <1>.flv"));
  ASSERT_TRUE(notifier.ConversionFailed("/home/ann/larkvale/Larkvale_HD/clip.avi", "Cannot open the output file"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return delivered.count() + notDelivered.count() >= 2; }, 5000));
  ASSERT_EQ(notDelivered.count(), 0) << notDelivered.first().first().toString().toStdString();
  EXPECT_NE(delivered.at(0).at(0).toUInt(), delivered.at(1).at(0).toUInt());

  const std::vector<QJsonObject> got = Recorded(record);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["app_name"].toString(), "Larkvale_HD");
  EXPECT_EQ(got[0]["app_icon"].toString(), kDesktopId);
  EXPECT_EQ(got[0]["hints"].toObject()["desktop-entry"].toString(), kDesktopId);
  EXPECT_EQ(got[0]["expire_timeout"].toInt(), -1);
  EXPECT_EQ(got[0]["summary"].toString(), "Download finished");
  EXPECT_EQ(got[0]["body"].toString(), "Tom &amp; Jerry &lt;1&gt;.flv");
  EXPECT_EQ(got[1]["summary"].toString(), "Conversion failed");
  EXPECT_EQ(got[1]["body"].toString(), "clip.avi\nCannot open the output file");
}

TEST(DesktopNotifierOnBus, ABusWithoutServiceOnlyReportsIt) {
  if (qEnvironmentVariableIsEmpty("LARKVALE_TEST_NOTIFY_NO_SERVICE"))
    GTEST_SKIP() << "needs the empty bus of tests/desktop/notify_test.sh";
  DesktopNotifier notifier;
  QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
  QSignalSpy notDelivered(&notifier, &DesktopNotifier::notDelivered);
  EXPECT_TRUE(notifier.DownloadFailed("/tmp/clip.flv", "Socket Error # 10061"));
  ASSERT_TRUE(notDelivered.wait(5000));
  EXPECT_EQ(delivered.count(), 0);
  EXPECT_FALSE(notDelivered.first().first().toString().isEmpty());
}

}  // namespace
}  // namespace larkvale::platform
