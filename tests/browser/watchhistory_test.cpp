#include <gtest/gtest.h>

#include "browser/watchhistory.h"

namespace larkvale::browser {
namespace {

TEST(WatchHistory, WatchAddressesAreRecognisedCaseSensitively) {
  const struct {
    const char* address;
    bool watch;
  } cases[] = {{"http://www.youtube.com/watch?v=jNQXAC9IVRw", true},
               {"http://127.0.0.1:8080/watch?v=x&feature=related", true},
               {"http://www.youtube.com/Watch?v=jNQXAC9IVRw", false},
               {"http://www.youtube.com/watch?V=jNQXAC9IVRw", false},
               {"http://www.youtube.com/watch?feature=x&v=jNQXAC9IVRw", false},
               {"http://www.youtube.com/", false},
               {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(IsWatchAddress(QString::fromLatin1(c.address)), c.watch);
  }
}

// One visit after the other, with the state expected after each.
TEST(WatchHistory, VisitsFollowTheBackAndForwardRules) {
  QStringList entries;
  int index = -1;
  WatchHistory history(entries, index);
  EXPECT_TRUE(history.BackTarget().isEmpty());
  EXPECT_TRUE(history.ForwardTarget().isEmpty());

  const struct Step {
    const char* what;
    const char* visit;
    QStringList entries;
    int index;
    bool back, forward;
  } steps[] = {
      {"first page", "w1", {"w1"}, 0, false, false},
      {"second page", "w2", {"w1", "w2"}, 1, true, false},
      {"back to the first (found by its address)", "w1", {"w1", "w2"}, 0, false, true},
      {"a new page after going back drops the second", "w3", {"w1", "w3"}, 1, true, false},
      {"revisit by a link moves the position only", "w1", {"w1", "w3"}, 0, false, true},
      {"other letter case is the same entry", "W3", {"w1", "w3"}, 1, true, false},
      {"a new page at the end is appended", "w4", {"w1", "w3", "w4"}, 2, true, false},
      {"back two", "w1", {"w1", "w3", "w4"}, 0, false, true},
      {"a new page from the first drops everything after it", "w5", {"w1", "w5"}, 1, true, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    history.Visit(QString::fromLatin1(s.visit));
    EXPECT_EQ(entries, s.entries);
    EXPECT_EQ(index, s.index);
    EXPECT_EQ(history.BackEnabled(), s.back);
    EXPECT_EQ(history.ForwardEnabled(), s.forward);
  }
}

TEST(WatchHistory, BackAndForwardTargetsStopAtTheEnds) {
  QStringList entries{"w1", "w2", "w3"};
  int index = 0;
  WatchHistory history(entries, index);
  EXPECT_TRUE(history.BackTarget().isEmpty());
  EXPECT_EQ(history.ForwardTarget(), "w2");
  index = 1;
  EXPECT_EQ(history.BackTarget(), "w1");
  EXPECT_EQ(history.ForwardTarget(), "w3");
  index = 2;
  EXPECT_EQ(history.BackTarget(), "w2");
  EXPECT_TRUE(history.ForwardTarget().isEmpty());
}

TEST(WatchHistory, TypedAddressesMoveToTheTopOnce) {
  const struct {
    const char* what;
    QStringList before;
    const char* address;
    QStringList after;
  } cases[] = {
      {"first address", {}, "a", {"a"}},
      {"new address goes on top", {"a", "b"}, "c", {"c", "a", "b"}},
      {"known address moves up", {"a", "b", "c"}, "c", {"c", "a", "b"}},
      {"already on top", {"a", "b"}, "a", {"a", "b"}},
      {"other letter case moves the entry as it is", {"a", "HTTP://X/watch?v=B"}, "http://x/watch?v=b",
       {"HTTP://X/watch?v=B", "a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QStringList list = c.before;
    MoveToTop(list, QString::fromLatin1(c.address));
    EXPECT_EQ(list, c.after);
  }
}

}  // namespace
}  // namespace larkvale::browser
