#pragma once
// The conversion run: the Timeline into one output file. It applies the
// output settings to the engine, rebuilds the engine's timeline from the
// Timeline, asks for the output file and has the engine write it.
//
// The save processes window messages from the engine's progress events, so
// any handler may run nested inside `Run`; a second `Run` meanwhile is
// refused, since it would rebuild the engine's timeline under the save.
//
// A field that is not a whole number, or any other error, ends the run with
// the default error report; the expected endings ("Timeline empty,cannot
// process", "Fail to save file") are plain messages. Progress goes out
// through the events below. No widgets: the page fills `OutputChoices` from
// its strip and shows the events.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "convert/outputsettings.h"

namespace larkvale::engine {
class VideoEngineCore;
}
namespace larkvale::platform {
class Dialogs;
class Help;
}  // namespace larkvale::platform

namespace larkvale::convert {

class TimelineModel;

class ConversionRun {
 public:
  enum class Outcome {
    Saved,          // the engine wrote the file
    Failed,         // the engine failed: "Fail to save file"
    Aborted,        // the window closed during the save: nothing is said
    Cancelled,      // the save dialog was cancelled
    EmptyTimeline,  // nothing to convert: the message, then help topic 223
    Refused,        // a run was already saving
    NotJoinable,    // "Join without re-encoding" of files that differ: the difference was said
    Stopped,        // Stop ended a batch of one file per entry; the files done stay
    Error,          // an error report ended the run
  };

  // `converterBusy` is the shared ConverterBusy flag: set when a run starts
  // and on every progress event, cleared when the run ends, however it ends
  // (a run refused during a save leaves it to that save). Messages are
  // titled `title`.
  // Takes over the engine's `OnProcessing` and `OnComplete` events.
  ConversionRun(engine::VideoEngineCore& engine, const TimelineModel& timeline, bool& converterBusy,
                platform::Dialogs& dialogs, platform::Help& help, QString title);
  ~ConversionRun();
  ConversionRun(const ConversionRun&) = delete;
  ConversionRun& operator=(const ConversionRun&) = delete;

  // Converts the Timeline with `choices`; WMV profiles are looked up in
  // `appDir`, the save dialog opens in `saveDir`. Returns when the save has
  // ended.
  Outcome Run(const OutputChoices& choices, const QString& appDir, const QString& saveDir);
  bool Saving() const { return saving_; }
  // The file the last run saved to, or tried to; empty when it chose none.
  // For one file per entry, the last one of the batch.
  const QString& OutputFile() const { return file_; }
  // One file per entry: the files the last batch wrote, in Timeline order.
  const QStringList& OutputFiles() const { return files_; }
  // The window closes: a running save is aborted and reports nothing.
  void AbortForClose();

  // The engine's events, as installed by the constructor.
  void Processing(double position, double duration);
  void Complete();

  // Each may be empty.
  std::function<void(const QString&)> OnStatus;  // "Converting video...", "Done."
  std::function<void(int)> OnPosition;           // whole seconds written, never past the maximum
  std::function<void(int)> OnMaximum;            // whole seconds in all

 private:
  Outcome RunUnguarded(const OutputChoices& choices, const QString& appDir, const QString& saveDir);
  // The steps of a run. Rebuilds the engine's timeline from the Timeline and
  // sets the progress maximum; returns the first file a join could not take.
  QString LoadTimeline(bool join);
  Outcome RefuseEmptyTimeline();
  // A join's file type from its files; false (the reason said) when they
  // cannot be joined by a copy.
  bool PlanJoin(const QString& leftOut, QString& filter, QString& extension);
  // Asks for the output file and saves to it.
  Outcome SaveToChosenFile(const OutputChoices& choices, const QString& filter, const QString& extension,
                           const QString& saveDir);
  Outcome RunEachEntry(const OutputChoices& choices, const QString& extension, const QString& saveDir);
  template <class Body>
  bool Guard(Body&& body);
  void SetPosition(int seconds);
  void SetMaximum(int seconds);

  // "Fail to save file", with the engine's reason when it gave one.
  QString FailureText() const;
  engine::VideoEngineCore& engine_;
  const TimelineModel& timeline_;
  bool& converterBusy_;
  platform::Dialogs& dialogs_;
  platform::Help& help_;
  QString title_;
  QString file_;
  QStringList files_;
  int maximum_ = 100;     // as the progress bar starts
  bool saving_ = false;   // a save runs
  bool closing_ = false;  // the window closed during the save
  // One file per entry: a batch runs, and the seconds of the entries done.
  bool batch_ = false;
  double batchDone_ = 0;
  // Gone with the run; the progress event checks it after each pump.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace larkvale::convert
