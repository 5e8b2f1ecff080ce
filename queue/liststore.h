#pragma once
// Keeps the download list across runs: a JSON file under
// $XDG_DATA_HOME/Larkvale_HD/ that holds every row (link, size, progress,
// file, state, error). Every change of the list schedules a save; saves are
// coalesced to one per `kSaveDelayMs` and replace the file atomically, so a
// kill leaves the previous or the new list, never half of one. A save
// writes anew only the rows that changed since the last, and goes to the
// disk off the window's thread.
//
// File format (UTF-8 JSON):
//   {"version": 1, "rows": [{"url": "...", "size": 5000, "progress": 28,
//     "file": ".../flv0video.avi.part", "state": "stopped", "error": ""}]}
// Size and progress are null while a cell holds no value. A row that came
// from a browsed page also has "session": {"referer": "...", "userAgent":
// "...", "cookies": [{"name", "value", "domain", "path", "secure"}]}; the
// file is then readable by its owner only. A row whose link is an HLS or
// DASH stream that its address does not name has "stream": true; one found
// on a page or asked for by its player (so its reply must be media) has
// "found": true.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <unordered_map>

#include "platform/jsonfilestore.h"
#include "queue/downloadlist.h"

namespace larkvale::queue {

// $XDG_DATA_HOME/Larkvale_HD/downloads.json for the given data home.
QString DownloadListFilePath(const QString& dataHome);

// The list as the file holds it.
QByteArray SerializeDownloadList(const DownloadList& list);
// Appends the rows of `bytes` to `list`. A row that was downloading when it
// was saved comes back stopped: the program ended during its transfer, and
// its ".part" file is resumed later. Unknown states read as waiting. False
// (nothing appended, `why` says what is wrong) for bytes that are not such a
// file.
bool ParseDownloadList(const QByteArray& bytes, DownloadList& list, QString* why = nullptr);

class DownloadListStore : public QObject {
  Q_OBJECT
 public:
  static constexpr int kSaveDelayMs = 400;

  // Watches `list` from now on; `list` must outlive the store.
  DownloadListStore(DownloadList& list, QString filePath, QObject* parent = nullptr);
  // Saves a pending change, if the watched model still exists (an owner
  // whose model goes first flushes before).
  ~DownloadListStore() override;

  // Fills the list from the file (call it before rows are added). A missing
  // or unreadable file leaves the list empty and says so in one line on
  // standard error; a corrupt one is first moved aside (name + ".bad") so
  // that the next save does not destroy what it held. Never throws.
  bool Load();
  // Writes the file now; false (and one line on standard error) when it
  // could not be written.
  bool Save();
  // Saves now when a change is waiting for its save.
  void Flush();
  bool SavePending() const { return file_.SavePending(); }
  const QString& FilePath() const { return file_.FilePath(); }

 private:
  std::function<QByteArray()> Snapshot();

  DownloadList& list_;
  std::unordered_map<quint64, quint64> sent_;     // each row's version in the last snapshot (window's thread)
  std::unordered_map<quint64, QByteArray> saved_;  // each row as last written (writer's thread)
  platform::JsonFileStore file_;  // last: its saves use the members above
};

}  // namespace larkvale::queue
