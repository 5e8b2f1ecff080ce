// The join's side of the fetcher's word: a piece waited for is whole once it
// is marked, and the end of the fetch releases a wait for a piece that never
// came. No clock: a waiter on its own thread is joined, so a wait that is
// never released hangs the test rather than passing.
#include "stream/readypieces.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace larkvale::stream {
namespace {

TEST(ReadyPieces, AWaitEndsWhenThePieceIsMarkedOrTheFetchEnds) {
  enum Step { kMarkA, kMarkB, kEnd };
  const struct {
    const char* what;
    std::vector<Step> before, after;  // steps before the wait starts, and from another thread
    bool whole;                       // what the wait for "a" says
  } cases[] = {
      {"marked before", {kMarkA}, {}, true},
      {"marked while waiting", {}, {kMarkA}, true},
      {"another piece marked, then the end", {}, {kMarkB, kEnd}, false},
      {"the end before", {kEnd}, {}, false},
      {"marked, then the end", {kMarkA, kEnd}, {}, true},
      {"the end while waiting", {kMarkB}, {kEnd}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ReadyPieces ready;
    const auto run = [&](const std::vector<Step>& steps) {
      for (Step s : steps) {
        if (s == kMarkA) ready.Mark("dir/a.seg");
        if (s == kMarkB) ready.Mark("dir/b.seg");
        if (s == kEnd) ready.End();
      }
    };
    run(c.before);
    bool whole = !c.whole;
    std::thread waiter([&] { whole = ready.Wait("dir/a.seg"); });
    run(c.after);
    waiter.join();
    EXPECT_EQ(whole, c.whole);
  }
}

}  // namespace
}  // namespace larkvale::stream
