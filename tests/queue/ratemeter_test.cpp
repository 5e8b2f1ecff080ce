#include "queue/ratemeter.h"

#include <gtest/gtest.h>

namespace larkvale::queue {
namespace {

TEST(RateMeter, AveragesOverTheWindowAndCountsTheTimeLeft) {
  std::int64_t now = 1000;
  RateMeter meter([&] { return now; }, 3000);
  meter.Start(10'000'000);
  EXPECT_EQ(meter.Text(), QString::fromUtf8("–"));  // no rate yet
  // 1 MB/s for four seconds, in blocks every 100 ms.
  std::int64_t received = 0;
  for (int i = 0; i < 40; ++i) {
    now += 100;
    received += 100'000;
    meter.Update(received);
  }
  ASSERT_TRUE(meter.BytesPerSecond());
  EXPECT_DOUBLE_EQ(*meter.BytesPerSecond(), 1'000'000.0);
  EXPECT_EQ(meter.SecondsLeft(), 6);
  EXPECT_EQ(meter.Text(), "1.0 MB/s, 0:06 left");
  // Then 4 MB/s: after a whole window only the new rate counts.
  for (int i = 0; i < 10; ++i) {
    now += 100;
    received += 400'000;
    meter.Update(received);
  }
  EXPECT_NEAR(*meter.BytesPerSecond(), 2'000'000.0, 1.0);  // one second of four, two of one
  for (int i = 0; i < 20; ++i) {
    now += 100;
    received += 400'000;
    meter.Update(std::min<std::int64_t>(received, 10'000'000));
  }
  // Half a second at 4 MB/s reached the length; the window's three seconds
  // hold 6 MB.
  EXPECT_NEAR(*meter.BytesPerSecond(), 2'000'000.0, 1.0);
  EXPECT_EQ(meter.SecondsLeft(), 0);
  // A pause between blocks changes nothing; a stall makes the average fall.
  const double before = *meter.BytesPerSecond();
  now += 1000;
  meter.Tick();
  EXPECT_EQ(*meter.BytesPerSecond(), before);
  now += 1500;
  meter.Tick();
  EXPECT_LT(*meter.BytesPerSecond(), before / 1.5);
}

TEST(RateMeter, WithoutALengthThereIsNoTimeLeft) {
  std::int64_t now = 0;
  RateMeter meter([&] { return now; });
  meter.Start(0);
  now = 2000;
  meter.Update(5000);
  EXPECT_EQ(meter.SecondsLeft(), std::nullopt);
  EXPECT_EQ(meter.Text(), QString::fromUtf8("2.5 KB/s, –"));
  // A new transfer starts from nothing.
  meter.Start(100);
  EXPECT_EQ(meter.BytesPerSecond(), std::nullopt);
}

TEST(RateMeter, Texts) {
  const struct {
    double rate;
    const char* text;
  } rates[] = {{0, "0 B/s"}, {999.4, "999 B/s"}, {1000, "1.0 KB/s"}, {12'549, "12.5 KB/s"}, {3'210'000, "3.2 MB/s"}};
  for (const auto& r : rates) EXPECT_EQ(RateText(r.rate), r.text) << r.rate;
  const struct {
    std::int64_t seconds;
    const char* text;
  } left[] = {{0, "0:00"}, {42, "0:42"}, {725, "12:05"}, {3723, "1:02:03"}};
  for (const auto& l : left) EXPECT_EQ(DurationLeftText(l.seconds), l.text) << l.seconds;
}

}  // namespace
}  // namespace larkvale::queue
