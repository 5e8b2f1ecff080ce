#pragma once
// The Video Converter page: the Timeline with its buttons, the preview
// player, the output strip (`OutputStrip`) and the conversion's progress.
// The conversion itself is a `convert::ConversionRun`; the page hands it the
// strip's output choices and shows its events.
//
// Saves and the preview's engine process window messages, so any handler may
// run nested inside `convert()`; a second Convert meanwhile is ignored.

#include <QString>
#include <QThreadPool>
#include <QWidget>
#include <atomic>
#include <deque>
#include <memory>

#include "app/sharedstate.h"
#include "convert/outputsettings.h"
#include "platform/services.h"

class QLabel;
class QProgressBar;
class QSlider;
class QTreeView;

namespace larkvale::convert {
class ConversionRun;
class TimelineModel;
class TimelineStore;
}  // namespace larkvale::convert
namespace larkvale::engine {
class TVideoEngine;
}
namespace larkvale::widgets {
class PathLabel;
class StyledButton;
}  // namespace larkvale::widgets

namespace larkvale::app {

class OutputStrip;

class ConverterPage : public QWidget {
  Q_OBJECT

 public:
  ConverterPage(const platform::Services& services, SharedState& state, QWidget* parent = nullptr);
  ~ConverterPage() override;

  // --- Timeline. Rows other parts add are appended and selected without
  // loading the preview.
  void addToTimeline(const QString& path);
  // A finished download: its file is probed on a worker thread (a large file
  // takes a while) and appended when the probe is done, in the order the
  // downloads finished.
  void addFinishedDownload(const QString& path);
  // Downloads whose probe has not reached the Timeline yet.
  int pendingDownloads() const { return int(probed_.size()); }
  // Waits for those probes and appends their rows now (the window closes).
  void finishPendingDownloads();
  void addVideoFiles();        // "Add video file(s)"
  void deleteSelectedEntry();  // "Delete"
  void moveEntryUp();
  void moveEntryDown();
  void previewSelectedEntry();
  int selectedEntry() const;  // -1 when none
  const convert::TimelineModel& timeline() const { return *timeline_; }
  // The Timeline kept in `file`: restored now (entries whose files are gone
  // are left out), then saved after each change.
  void keepTimeline(const QString& file);
  void saveTimeline();  // a pending save, now

  // --- Output and conversion.
  void showFormatPanel();   // the panel of the chosen format, the others hidden
  void fillEngineLists();   // compressors and profiles the engine offers
  void convert();           // "Convert"
  bool converting() const;  // a save runs
  // The browser's Stop: ends a running save, and the preview.
  void stopEngine();
  // The window closes: a running save is aborted and reports nothing.
  void abortConversion();
  // The output strip's choices, to keep them across runs.
  convert::OutputChoices outputChoices() const;
  void setOutputChoices(const convert::OutputChoices& choices);

  // --- Preview.
  void togglePlay();  // "Play" / "Stop"

 signals:
  void backRequested();  // "<- Back": the browser
  void nextRequested();  // "Next ->": the explorer
  // A save ended: the file was written, or the engine failed to write it.
  void conversionFinished(const QString& file);
  void conversionFailed(const QString& file, const QString& reason);
  void outputChoicesChanged();

 private:
  void buildTimeline(QWidget* host);
  void buildPreview(QWidget* host);
  void insertIntoTimeline(const QString& path, int index, double duration);
  void appendProbedDownloads();
  void moveEntry(int step);
  void loadPreview(const QString& path);
  void seek();
  void showPlayPosition(double seconds);
  void showPlayState(bool playing);

  const platform::Services& services_;
  SharedState& state_;
  convert::TimelineModel* timeline_ = nullptr;
  engine::TVideoEngine* engine_ = nullptr;
  std::unique_ptr<convert::ConversionRun> run_;
  bool playing_ = false;          // PlayState: "play" or "stop"
  bool selectingByCode_ = false;  // a row is selected without loading it

  // Finished downloads in the order they finished, each with its probe's
  // result once the worker has it. Only `done` and `duration` are written
  // by the worker; the list itself belongs to the window's thread.
  struct ProbedFile {
    QString path;
    double duration = 0;
    std::atomic<bool> done{false};
  };
  std::deque<std::shared_ptr<ProbedFile>> probed_;
  // One probe at a time; the page waits for it before it goes.
  QThreadPool probes_;

  // Timeline and preview.
  QTreeView* list_ = nullptr;
  QSlider* position_ = nullptr;
  widgets::StyledButton* play_ = nullptr;
  widgets::PathLabel* path_ = nullptr;
  QLabel* duration_ = nullptr;
  QLabel* width_ = nullptr;
  QLabel* height_ = nullptr;
  QLabel* frameRate_ = nullptr;
  OutputStrip* output_ = nullptr;
  convert::TimelineStore* timelineStore_ = nullptr;  // format, fields and panels
  // Progress.
  QLabel* progressText_ = nullptr;
  QProgressBar* progress_ = nullptr;
};

}  // namespace larkvale::app
