#pragma once
// The rows the runner may start, kept in list order and by host, so that
// choosing, starting and finishing a row cost the same however long the
// list is: done rows are never in it, and a row is looked at again only
// when it waits again.
//
// A row's host and kind (file or stream) are read when the runner first
// looks at it, not when it is added: the Download action fills a row's
// cells after adding it.

#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace larkvale::queue {

class RowQueue {
 public:
  struct Entry {
    int row = -1;
    quint64 id = 0;
    bool operator<(const Entry& other) const { return row != other.row ? row < other.row : id < other.id; }
    bool operator==(const Entry& other) const { return row == other.row && id == other.id; }
  };
  // What a queued row is now: ready to start, not yet (a retry not due),
  // or no longer the queue's (done, failed, stopped, gone).
  enum class Look { Ready, NotYet, Gone };
  struct Kind {
    std::string host;  // "host:port", for the limit per host
    bool stream = false;
  };

  void Add(int row, quint64 id);
  void Remove(quint64 id);
  bool Contains(quint64 id) const { return where_.count(id) != 0; }
  std::size_t Size() const { return where_.size(); }
  // Rows moved (a delete, a sort): their places are read again when next
  // needed, from `rowOf` (-1: gone).
  void Moved();

  struct Choice {
    Entry entry;
    Kind kind;
  };
  // The next row that may start: the first ready one in list order whose
  // host `hostFree`, none after a ready stream row (which runs alone, once
  // nothing else runs: `anyRunning`). Rows found gone leave the queue.
  std::optional<Choice> Next(const std::function<int(quint64)>& rowOf, const std::function<Look(const Entry&)>& look,
                             const std::function<Kind(const Entry&)>& kindOf,
                             const std::function<bool(const std::string& host)>& hostFree, bool anyRunning);
  // The ready rows before `entry` that have not been handed out by this
  // call before, in list order: names go out in list order, also to rows
  // that wait for their host. Starts again from the top after `Moved` and
  // `Rewind`.
  std::vector<Entry> Before(const Entry& entry, const std::function<Look(const Entry&)>& look);
  void Rewind() { namedUpTo_.reset(); }

 private:
  void Rebuild(const std::function<int(quint64)>& rowOf);
  void Classify(const std::function<Kind(const Entry&)>& kindOf);
  void Erase(const Entry& entry);
  // The first entry of `set` that is ready, dropping gone ones; none past `bound`.
  std::optional<Entry> FirstReady(std::set<Entry>& set, const std::function<Look(const Entry&)>& look,
                                  const std::optional<Entry>& bound);

  std::set<Entry> order_;                       // every queued row
  std::unordered_map<quint64, int> where_;      // id -> its row in `order_`
  std::vector<Entry> unclassified_;             // added since the last look
  std::unordered_map<quint64, Kind> kinds_;
  std::map<std::string, std::set<Entry>> byHost_;  // file rows by host
  std::set<Entry> streams_;
  bool stale_ = false;
  std::optional<Entry> namedUpTo_;
};

}  // namespace larkvale::queue
