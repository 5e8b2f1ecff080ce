#pragma once
// The browser's record of visited watch pages and of typed addresses. Plain
// logic on the window's own lists, so it can be tested without a browser.

#include <QString>
#include <QStringList>

namespace larkvale::browser {

// The mark of a video's watch page in an address (case-sensitive).
inline constexpr const char* kWatchMark = "watch?v";

bool IsWatchAddress(const QString& address);

// Watch pages in visiting order, each at most once (letter case ignored), and
// the position of the one last navigated to (-1 while the list is empty).
// Works on the window's `BrowserHistory` and `HistoryIndex`, which start-up
// resets.
class WatchHistory {
 public:
  WatchHistory(QStringList& entries, int& index) : entries_(entries), index_(index) {}

  // A navigation to a watch page. A known page (in any letter case) only
  // moves the position to it; a new one drops whatever lies ahead of the
  // position (the pages left by going back) and is appended.
  void Visit(const QString& address);

  // Position of `address`, letter case ignored, or -1.
  int IndexOf(const QString& address) const;

  // The enabled states of the arrows after a navigation.
  bool BackEnabled() const { return index_ != 0; }
  bool ForwardEnabled() const { return index_ != entries_.size() - 1; }

  // The entry Back and Forward go to, or an empty text when there is none.
  QString BackTarget() const;
  QString ForwardTarget() const;

 private:
  QStringList& entries_;
  int& index_;
};

// The address box's drop-down list, most recent first: `address` goes to the
// top. An entry that matches it in another letter case is moved there as it
// is; a new address is inserted.
void MoveToTop(QStringList& list, const QString& address);

}  // namespace larkvale::browser
