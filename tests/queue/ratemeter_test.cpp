#include "queue/ratemeter.h"

#include <gtest/gtest.h>

#include <vector>

namespace larkvale::queue {
namespace {

// A transfer as the meter sees it: when each block arrived and how many
// bytes it carried.
struct Block {
  std::int64_t ms;
  std::int64_t bytes;
};

// `bursts` bursts of `burstBytes`, `periodMs` apart from 0 on, each arriving
// as blocks of at most `blockBytes`, `blockGapMs` apart; burst i comes
// `jitter(i)` ms late.
std::vector<Block> Bursts(int bursts, std::int64_t burstBytes, std::int64_t periodMs, std::int64_t blockBytes,
                          std::int64_t blockGapMs, std::int64_t (*jitter)(int) = nullptr) {
  std::vector<Block> blocks;
  for (int i = 0; i < bursts; ++i) {
    std::int64_t at = i * periodMs + (jitter ? jitter(i) : 0);
    for (std::int64_t left = burstBytes; left > 0; left -= blockBytes, at += blockGapMs)
      blocks.push_back({at, std::min(left, blockBytes)});
  }
  return blocks;
}

// Up to 40 ms late, differently for each burst.
std::int64_t Jitter(int i) { return (i * 37) % 41; }

// Feeds `blocks` to a meter started at 0 and reads its rate at `readMs`, as
// the label's timer would between blocks.
struct Replay {
  explicit Replay(std::vector<Block> b, std::int64_t announced = 0) : blocks(std::move(b)), meter([this] { return now; }) {
    meter.Start(announced);
  }
  std::optional<double> RateAt(std::int64_t readMs) {
    for (; next < blocks.size() && blocks[next].ms <= readMs; ++next) {
      now = blocks[next].ms;
      received += blocks[next].bytes;
      meter.Update(received);
    }
    now = readMs;
    return meter.BytesPerSecond();
  }
  std::vector<Block> blocks;
  std::int64_t now = 0;
  std::int64_t received = 0;
  std::size_t next = 0;
  RateMeter meter;
};

TEST(RateMeter, ReadsTheServedRateForBurstyAndSmoothArrivalAtAnyMoment) {
  constexpr std::int64_t kBlock = 32768;
  const struct {
    const char* name;
    std::vector<Block> blocks;
    double rate;        // bytes per second
    double tolerance;   // relative
  } cases[] = {
      // A server throttled to 400k: one second's worth at once, read out in
      // a few milliseconds.
      {"bursts of a second", Bursts(16, 409600, 1000, kBlock, 1), 409600, 0.02},
      {"bursts, late by up to 40 ms", Bursts(16, 409600, 1000, kBlock, 1, Jitter), 409600, 0.03},
      {"bursts read out slowly", Bursts(16, 409600, 1000, kBlock, 20), 409600, 0.02},
      {"two bursts a second", Bursts(32, 204800, 500, kBlock, 1), 409600, 0.02},
      {"bursts of two seconds", Bursts(10, 819200, 2000, kBlock, 1), 409600, 0.02},
      // Blocks at an even pace, slow to fast.
      {"steady, a block every 320 ms", Bursts(60, kBlock, 320, kBlock, 1), kBlock * 1000.0 / 320, 0.02},
      {"steady, a block every 80 ms", Bursts(200, kBlock, 80, kBlock, 1), kBlock * 1000.0 / 80, 0.02},
      {"steady, a block every 2 ms", Bursts(8000, kBlock, 2, kBlock, 1), kBlock * 1000.0 / 2, 0.01},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Replay replay(c.blocks);
    // Once the average can span its window, every 10 ms until the end.
    const std::int64_t endMs = c.blocks.back().ms;
    int read = 0;
    for (std::int64_t t = 6000; t <= endMs; t += 10) {
      const std::optional<double> rate = replay.RateAt(t);
      ASSERT_TRUE(rate) << t;
      ASSERT_NEAR(*rate, c.rate, c.rate * c.tolerance) << "at " << t << " ms";
      ++read;
    }
    EXPECT_GT(read, 300);
  }
}

TEST(RateMeter, ShowsNothingUntilTwoBurstsHaveArrivedAndNeverCountsTheFirstAsTime) {
  Replay replay(Bursts(4, 409600, 1000, 32768, 1), 4 * 409600);
  // The first burst comes with the start: there is no time to divide by.
  EXPECT_EQ(replay.RateAt(500), std::nullopt);
  EXPECT_EQ(replay.meter.Text(), QString::fromUtf8("–"));
  EXPECT_EQ(replay.RateAt(1005), std::nullopt);  // the second one is still arriving
  // From the end of the first to the end of the second: one burst a second.
  ASSERT_TRUE(replay.RateAt(1300));
  EXPECT_NEAR(*replay.RateAt(1300), 409600, 409600 * 0.02);
  EXPECT_EQ(replay.meter.Text(), "409.6 KB/s, 0:02 left");
}

TEST(RateMeter, FollowsAChangeOfRateWithinTheWindowAndFallsWhenTheTransferStalls) {
  // 400 KB/s for ten seconds, then 800 KB/s for ten more, then nothing.
  std::vector<Block> blocks = Bursts(10, 409600, 1000, 32768, 1);
  for (const Block& b : Bursts(10, 819200, 1000, 32768, 1)) blocks.push_back({b.ms + 10000, b.bytes});
  Replay replay(blocks);
  EXPECT_NEAR(*replay.RateAt(9500), 409600, 409600 * 0.02);
  const double midway = *replay.RateAt(12500);
  EXPECT_GT(midway, 409600 * 1.2);
  EXPECT_LT(midway, 819200 * 0.8);
  // A window and one burst after the change only the new rate counts.
  EXPECT_NEAR(*replay.RateAt(16500), 819200, 819200 * 0.02);
  // The last burst came at 19 s. A pause as long as a burst's cycle changes
  // nothing; a longer silence makes the figure fall, and keep falling.
  const double before = *replay.RateAt(19500);
  EXPECT_EQ(*replay.RateAt(20900), before);
  const double stalled = *replay.RateAt(23000);
  EXPECT_LT(stalled, before * 0.8);
  EXPECT_LT(*replay.RateAt(26000), stalled);
}

TEST(RateMeter, WithoutALengthThereIsNoTimeLeft) {
  std::int64_t now = 0;
  RateMeter meter([&] { return now; });
  meter.Start(0);
  now = 2000;
  meter.Update(5000);
  now = 2500;
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
