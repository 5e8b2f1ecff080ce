#pragma once
// Keeps the Timeline across runs: a JSON file under
// $XDG_DATA_HOME/Larkvale_HD/ with every entry's path, Start and End. Every
// change schedules a save; saves are coalesced to one per `kSaveDelayMs`
// and replace the file atomically.
//
// File format (UTF-8 JSON):
//   {"version": 1, "entries": [{"file": ".../flv0video.avi", "start": "0", "end": "125"}]}

#include <QByteArray>
#include <QObject>
#include <QString>

#include "convert/timelinemodel.h"
#include "platform/jsonfilestore.h"

namespace larkvale::convert {

// $XDG_DATA_HOME/Larkvale_HD/timeline.json for the given data home.
QString TimelineFilePath(const QString& dataHome);

QByteArray SerializeTimeline(const TimelineModel& timeline);
// Appends the saved entries whose files still exist (a file that is gone can
// be neither previewed nor converted). False (nothing appended, `why` says
// what is wrong) for bytes that are not such a file.
bool ParseTimeline(const QByteArray& bytes, TimelineModel& timeline, QString* why = nullptr);

class TimelineStore : public QObject {
  Q_OBJECT
 public:
  static constexpr int kSaveDelayMs = 400;

  // Watches `timeline` from now on; it must outlive the store.
  TimelineStore(TimelineModel& timeline, QString filePath, QObject* parent = nullptr);
  // Saves a pending change, if the watched model still exists (an owner
  // whose model goes first flushes before).
  ~TimelineStore() override;

  // Fills the Timeline from the file; a missing or unreadable file leaves it
  // empty with one line on standard error, a corrupt one is moved aside
  // (name + ".bad") first. Never throws.
  bool Load();
  bool Save();
  void Flush();
  bool SavePending() const { return file_.SavePending(); }

 private:
  platform::JsonFileStore file_;
};

}  // namespace larkvale::convert
