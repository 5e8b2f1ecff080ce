#include "browser/watchhistory.h"

namespace larkvale::browser {

bool IsWatchAddress(const QString& address) {
  return address.contains(QLatin1String(kWatchMark), Qt::CaseSensitive);
}

int WatchHistory::IndexOf(const QString& address) const {
  for (int i = 0; i < entries_.size(); ++i)
    if (entries_[i].compare(address, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

void WatchHistory::Visit(const QString& address) {
  const int known = IndexOf(address);
  if (known != -1) {
    index_ = known;
    return;
  }
  // The user had gone back: the pages ahead are replaced by this new one.
  if (index_ >= 0 && index_ < entries_.size() - 1) entries_.erase(entries_.begin() + index_ + 1, entries_.end());
  entries_.append(address);
  index_ = entries_.size() - 1;
}

QString WatchHistory::BackTarget() const {
  if (index_ <= 0 || index_ > entries_.size()) return {};
  return entries_[index_ - 1];
}

QString WatchHistory::ForwardTarget() const {
  if (index_ < 0 || index_ >= entries_.size() - 1) return {};
  return entries_[index_ + 1];
}

void MoveToTop(QStringList& list, const QString& address) {
  for (int i = 0; i < list.size(); ++i) {
    if (list[i].compare(address, Qt::CaseInsensitive) == 0) {
      list.move(i, 0);
      return;
    }
  }
  list.prepend(address);
}

}  // namespace larkvale::browser
