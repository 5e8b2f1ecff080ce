// Preview in the engine's widget, headless: play, position events, seek,
// stop, the end of the timeline and abort.
#include "engine/engine_media.h"
#include "engine/videoengine.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

namespace larkvale::enginetest {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Share of pixels that are not black.
double Lit(const QImage& img) {
  int lit = 0, all = 0;
  for (int y = 0; y < img.height(); y += 4)
    for (int x = 0; x < img.width(); x += 4, ++all) lit += qGray(img.pixel(x, y)) > 40;
  return all ? double(lit) / all : 0;
}

struct VideoEnginePlayback : ::testing::Test {
  TVideoEngine engine;
  std::vector<double> events;
  bool onUiThread = true;

  void SetUp() override {
    engine.resize(160, 120);
    engine.show();
    engine.OnPlaying = [this](double pos) {
      onUiThread &= QThread::currentThread() == engine.thread();
      events.push_back(pos);
    };
    const std::string f = Media().flv;
    ASSERT_TRUE(engine.AddVideo(Q(f), 0, 2, 0));
    ASSERT_TRUE(engine.AddAudio(Q(f), 0, 2));
    ASSERT_TRUE(engine.PreparePreview(false));
  }
};

TEST_F(VideoEnginePlayback, PlaysWithRisingPositionsAndStopsAtTheEnd) {
  QTest::qWait(50);
  EXPECT_GT(Lit(engine.grab().toImage()), 0.3) << "first picture shown after PreparePreview";
  engine.PlayPreview();
  EXPECT_TRUE(engine.IsPlaying());
  QElapsedTimer t;
  t.start();
  while (engine.IsPlaying() && t.elapsed() < 5000) QTest::qWait(20);
  EXPECT_FALSE(engine.IsPlaying());
  EXPECT_GE(t.elapsed(), 1800);  // played in real time, not raced through
  ASSERT_GE(events.size(), 5u);
  EXPECT_TRUE(std::is_sorted(events.begin(), events.end()));
  EXPECT_DOUBLE_EQ(events.back(), 2.0);
  EXPECT_TRUE(onUiThread);
  EXPECT_GT(Lit(engine.grab().toImage()), 0.3);
}

TEST_F(VideoEnginePlayback, SeekMovesThePictureAndThePosition) {
  QTest::qWait(50);
  QImage atStart = engine.grab().toImage();
  engine.Seek(1.5);
  EXPECT_DOUBLE_EQ(engine.PreviewPosition(), 1.5);
  QTest::qWait(50);
  EXPECT_NE(engine.grab().toImage(), atStart);  // the test pattern's counter moved on
  engine.PlayPreview();
  QTest::qWait(250);
  ASSERT_FALSE(events.empty());
  EXPECT_GE(events.front(), 1.5);
  // Seeking while playing jumps; a seek near the position (the bar echoing
  // the last event back) does not restart playback.
  engine.Seek(0);
  EXPECT_LT(engine.PreviewPosition(), 0.2);
  engine.Seek(engine.PreviewPosition() + 0.4);
  EXPECT_LT(engine.PreviewPosition(), 0.3);
  engine.StopPreview();
}

TEST_F(VideoEnginePlayback, StopAndAbortHaltPlaybackAndItsEvents) {
  engine.PlayPreview();
  QTest::qWait(400);
  engine.StopPreview();
  EXPECT_FALSE(engine.IsPlaying());
  double stoppedAt = engine.PreviewPosition();
  EXPECT_GT(stoppedAt, 0.2);
  size_t count = events.size();
  QTest::qWait(300);
  EXPECT_EQ(events.size(), count);
  EXPECT_DOUBLE_EQ(engine.PreviewPosition(), stoppedAt);
  // Play resumes where it stopped; Abort halts it like Stop.
  engine.PlayPreview();
  QTest::qWait(250);
  EXPECT_GE(engine.PreviewPosition(), stoppedAt);
  engine.Abort();
  EXPECT_FALSE(engine.IsPlaying());
  // Loading again goes back to the start.
  EXPECT_TRUE(engine.PreparePreview(false));
  EXPECT_DOUBLE_EQ(engine.PreviewPosition(), 0);
}

TEST(VideoEnginePreview, NothingLoadedPlaysNothing) {
  TVideoEngine engine;
  int events = 0;
  engine.OnPlaying = [&](double) { ++events; };
  EXPECT_FALSE(engine.PreparePreview(false));
  engine.PlayPreview();
  engine.Seek(3);
  QTest::qWait(250);
  EXPECT_FALSE(engine.IsPlaying());
  EXPECT_EQ(events, 0);
}

}  // namespace
}  // namespace larkvale::enginetest
