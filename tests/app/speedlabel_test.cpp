// The speed label beside the status line, on a loopback server that serves
// at a fixed rate.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "support/fakes.h"
#include "support/nginx_server.h"
#include "support/video_site.h"
#include "support/window_parts.h"
#include "widgets/speedlabel.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;
using testing::NginxServer;
using testing::Only;
using testing::TempDir;

// "409.6 KB/s, 0:03 left" -> bytes per second; -1 when it shows no rate.
double RateOf(const QString& text) {
  static const QRegularExpression form(QStringLiteral("^([0-9.]+) (B|KB|MB)/s, "));
  const QRegularExpressionMatch m = form.match(text);
  if (!m.hasMatch()) return -1;
  const double unit = m.captured(2) == "MB" ? 1e6 : m.captured(2) == "KB" ? 1e3 : 1;
  return m.captured(1).toDouble() * unit;
}

TEST(SpeedLabel, ReadsTheServedRateWhileTheRunnerDownloads) {
  constexpr int kRate = 400 * 1024;  // nginx's "400k"
  TempDir root;
  testing::WriteFileBytes(root.File("slow.flv"), std::string(kRate * 10, 'v'));  // ten seconds
  NginxServer server(root.Path(), "location = /slow.flv { limit_rate 400k; }");

  FakeDesktop desktop;
  MainWindow form(desktop.services);
  auto* panel = Only<DownloadsPanel>(&form);
  auto* speed = Child<widgets::SpeedLabel>(&form, "SpeedLabel");
  auto* status = Child<widgets::StatusLabel>(&form, "status");
  queue::DownloadList& list = *form.state().downloadList;
  list.AddRows(1);
  list.SetCellText(queue::colUrl, 0, QString::fromStdString(server.BaseUrl() + "/slow.flv"));

  // Read the label as the user would, while the pass runs (its transfer
  // processes window messages).
  struct Reading {
    qint64 ms;
    QString speed, status;
  };
  std::vector<Reading> readings;
  QElapsedTimer clock;
  clock.start();
  QTimer reader;
  reader.setInterval(250);
  QObject::connect(&reader, &QTimer::timeout, [&] { readings.push_back({clock.elapsed(), speed->text(), status->Text()}); });
  reader.start();
  panel->startDownloads();
  reader.stop();

  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  EXPECT_EQ(list.CellInt(queue::colProgress, 0), 100);
  // The client reads in large blocks, so messages (and the reader) run a
  // few times a second at this rate.
  ASSERT_GE(readings.size(), 5u);
  for (const Reading& r : readings) std::printf("%lld ms: %s\n", r.ms, qPrintable(r.speed));
  // Once the average spans its window, every reading is within 20 %.
  int checked = 0;
  for (const Reading& r : readings) {
    if (r.ms < 5500 || r.speed.isEmpty()) continue;
    SCOPED_TRACE(r.speed.toStdString() + " at " + std::to_string(r.ms) + " ms");
    const double rate = RateOf(r.speed);
    EXPECT_NEAR(rate, kRate, kRate * 0.2);
    EXPECT_TRUE(r.speed.endsWith(" left"));
    // The status line keeps its own text meanwhile.
    EXPECT_TRUE(r.status.endsWith(" bytes of " + QString::number(kRate * 10) + " bytes.") ||
                r.status == "Transfering: " + QString::number(kRate * 10))
        << r.status.toStdString();
    ++checked;
  }
  EXPECT_GE(checked, 2);
  // Nothing is shown between downloads.
  EXPECT_EQ(speed->text(), "");
}

}  // namespace
}  // namespace larkvale::app
