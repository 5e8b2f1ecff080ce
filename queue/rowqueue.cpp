#include "queue/rowqueue.h"

#include <algorithm>

namespace larkvale::queue {

void RowQueue::Add(int row, quint64 id) {
  if (row < 0 || Contains(id)) return;
  const Entry entry{row, id};
  order_.insert(entry);
  where_[id] = row;
  unclassified_.push_back(entry);
}

void RowQueue::Remove(quint64 id) {
  const auto it = where_.find(id);
  if (it != where_.end()) Erase(Entry{it->second, id});
}

void RowQueue::Erase(const Entry& entry) {
  order_.erase(entry);
  where_.erase(entry.id);
  if (const auto kind = kinds_.find(entry.id); kind != kinds_.end()) {
    if (kind->second.stream) {
      streams_.erase(entry);
    } else if (const auto host = byHost_.find(kind->second.host); host != byHost_.end()) {
      host->second.erase(entry);
    }
    kinds_.erase(kind);
  } else {
    unclassified_.erase(std::remove(unclassified_.begin(), unclassified_.end(), entry), unclassified_.end());
  }
}

void RowQueue::Moved() {
  stale_ = true;
  namedUpTo_.reset();
}

void RowQueue::Rebuild(const std::function<int(quint64)>& rowOf) {
  std::vector<quint64> ids;
  ids.reserve(where_.size());
  for (const auto& [id, row] : where_) ids.push_back(id);
  order_.clear();
  where_.clear();
  byHost_.clear();
  streams_.clear();
  unclassified_.clear();
  for (const quint64 id : ids) {
    const int row = rowOf(id);
    const auto kind = kinds_.find(id);
    if (row < 0) {
      if (kind != kinds_.end()) kinds_.erase(kind);
      continue;
    }
    const Entry entry{row, id};
    order_.insert(entry);
    where_[id] = row;
    if (kind == kinds_.end())
      unclassified_.push_back(entry);
    else if (kind->second.stream)
      streams_.insert(entry);
    else
      byHost_[kind->second.host].insert(entry);
  }
  stale_ = false;
}

void RowQueue::Classify(const std::function<Kind(const Entry&)>& kindOf) {
  for (const Entry& entry : unclassified_) {
    Kind kind = kindOf(entry);
    if (kind.stream)
      streams_.insert(entry);
    else
      byHost_[kind.host].insert(entry);
    kinds_[entry.id] = std::move(kind);
  }
  unclassified_.clear();
}

std::optional<RowQueue::Entry> RowQueue::FirstReady(std::set<Entry>& set,
                                                    const std::function<Look(const Entry&)>& look,
                                                    const std::optional<Entry>& bound) {
  for (auto it = set.begin(); it != set.end() && (!bound || *it < *bound);) {
    const Entry entry = *it++;
    switch (look(entry)) {
      case Look::Ready: return entry;
      case Look::NotYet: break;
      case Look::Gone: Erase(entry); break;
    }
  }
  return std::nullopt;
}

std::optional<RowQueue::Choice> RowQueue::Next(const std::function<int(quint64)>& rowOf,
                                               const std::function<Look(const Entry&)>& look,
                                               const std::function<Kind(const Entry&)>& kindOf,
                                               const std::function<bool(const std::string& host)>& hostFree,
                                               bool anyRunning) {
  if (stale_) Rebuild(rowOf);
  Classify(kindOf);
  // A stream runs alone: the rows after the first ready one wait for it.
  const std::optional<Entry> stream = FirstReady(streams_, look, std::nullopt);
  std::optional<Entry> best;
  for (auto host = byHost_.begin(); host != byHost_.end();) {
    if (!host->second.empty() && hostFree(host->first)) {
      const std::optional<Entry> first = FirstReady(host->second, look, best ? best : stream);
      if (first && (!best || *first < *best)) best = first;
    }
    host = host->second.empty() ? byHost_.erase(host) : std::next(host);
  }
  if (best) return Choice{*best, kinds_[best->id]};
  if (stream && !anyRunning) return Choice{*stream, kinds_[stream->id]};
  return std::nullopt;
}

std::vector<RowQueue::Entry> RowQueue::Before(const Entry& entry, const std::function<Look(const Entry&)>& look) {
  std::vector<Entry> ready;
  auto it = namedUpTo_ ? order_.upper_bound(*namedUpTo_) : order_.begin();
  for (; it != order_.end() && *it < entry; ++it)
    if (look(*it) == Look::Ready) ready.push_back(*it);
  if (!namedUpTo_ || *namedUpTo_ < entry) namedUpTo_ = entry;
  return ready;
}

}  // namespace larkvale::queue
