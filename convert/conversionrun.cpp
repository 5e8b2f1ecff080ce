#include "convert/conversionrun.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

#include "convert/outputformats.h"
#include "convert/timelinemodel.h"
#include "engine/videoenginecore.h"
#include "platform/errorreport.h"
#include "platform/help.h"
#include "platform/pump.h"

namespace larkvale::convert {

namespace {

constexpr int kEmptyTimelineHelpTopic = 223;

}  // namespace

ConversionRun::ConversionRun(engine::VideoEngineCore& engine, const TimelineModel& timeline, bool& converterBusy,
                             platform::Dialogs& dialogs, platform::Help& help, QString title)
    : engine_(engine),
      timeline_(timeline),
      converterBusy_(converterBusy),
      dialogs_(dialogs),
      help_(help),
      title_(std::move(title)) {
  engine_.OnProcessing = [this](double position, double duration) { Processing(position, duration); };
  engine_.OnComplete = [this] { Complete(); };
}

ConversionRun::~ConversionRun() = default;

template <class Body>
bool ConversionRun::Guard(Body&& body) {
  return platform::RunGuarded(dialogs_, title_, std::forward<Body>(body));
}

void ConversionRun::SetPosition(int seconds) {
  if (OnPosition) OnPosition(seconds);
}

void ConversionRun::SetMaximum(int seconds) {
  maximum_ = seconds;
  if (OnMaximum) OnMaximum(seconds);
}

ConversionRun::Outcome ConversionRun::Run(const OutputChoices& choices, const QString& appDir, const QString& saveDir) {
  Outcome outcome = Outcome::Error;
  Guard([&] { outcome = RunUnguarded(choices, appDir, saveDir); });
  // Over, saved or not: the preview follows playback again.
  if (outcome != Outcome::Refused) converterBusy_ = false;
  return outcome;
}

QString ConversionRun::LoadTimeline(bool join) {
  engine_.VideoSampleSize = 24;
  engine_.ClearTimeline();
  double total = 0;
  SetPosition(0);
  if (OnStatus) OnStatus(QStringLiteral("Converting video..."));
  for (int i = 0; i < timeline_.Count(); ++i) total += engine_.GetFileDuration(timeline_.Path(i));
  SetMaximum(std::max(0, WholeSeconds(total)));
  // A join takes each file whole, whatever its row's span (a part of 0.4 s
  // has an End of 0); a file the engine will not take stops it rather than
  // be left out of a file that is then called done.
  QString leftOut;
  for (int i = 0; i < timeline_.Count(); ++i) {
    const QString path = timeline_.Path(i);
    double start = timeline_.Start(i).toDouble();
    double end = timeline_.End(i).toDouble();
    if (join) {
      start = 0;
      end = std::max(end, engine_.GetFileDuration(path));
    }
    if (!engine_.AddVideo(path, start, end, 0) && join && leftOut.isEmpty()) leftOut = path;
    engine_.AddAudio(path, start, end);
  }
  return leftOut;
}

ConversionRun::Outcome ConversionRun::RefuseEmptyTimeline() {
  dialogs_.ShowMessage(title_, QStringLiteral("Timeline empty,cannot process"));
  help_.ShowTopic(kEmptyTimelineHelpTopic);
  return Outcome::EmptyTimeline;
}

bool ConversionRun::PlanJoin(const QString& leftOut, QString& filter, QString& extension) {
  if (!leftOut.isEmpty()) {
    const QString why = engine_.Probe(leftOut).ok
                            ? QStringLiteral("nothing in it could be read; the file is cut short or damaged.")
                            : QStringLiteral("not a media file that can be read");
    dialogs_.ShowMessage(title_, QFileInfo(leftOut).fileName() + QStringLiteral(": ") + why);
    return false;
  }
  // Only what a copy can do is offered: files that differ are named, and
  // the output takes the first file's container.
  QString difference;
  const auto plan = engine_.PlanTimelineJoin(&difference);
  if (!plan) {
    dialogs_.ShowMessage(title_, difference);
    return false;
  }
  extension = QString::fromStdString(plan->extension);
  filter = QString::fromStdString(plan->kind) + QStringLiteral(" File (*.") + extension + QStringLiteral(")|*.") +
           extension;
  return true;
}

ConversionRun::Outcome ConversionRun::SaveToChosenFile(const OutputChoices& choices, const QString& filter,
                                                       const QString& extension, const QString& saveDir) {
  const QString file =
      dialogs_.GetSaveFileName(QStringLiteral("Save as"), saveDir, DialogFilter(filter), extension);
  if (file.isEmpty()) return Outcome::Cancelled;
  file_ = file;

  saving_ = true;
  closing_ = false;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{saving_};
  // The WAV and MP3 fields are read here; a bad one throws past the reset.
  // The save serves the window while it runs: that is no top level.
  const platform::PumpScope serving;
  if (SaveOutput(choices, engine_, file)) return Outcome::Saved;
  // Closing the window aborts the save; nobody is left to read a message.
  if (closing_) return Outcome::Aborted;
  dialogs_.ShowMessage(title_, FailureText());
  return Outcome::Failed;
}

ConversionRun::Outcome ConversionRun::RunUnguarded(const OutputChoices& choices, const QString& appDir,
                                                   const QString& saveDir) {
  if (saving_) return Outcome::Refused;
  file_.clear();
  files_.clear();
  converterBusy_ = true;

  // A bad field throws here, before anything is asked.
  ApplyFileSize(choices, engine_);
  const AppliedOutput applied = ApplyOutputSettings(choices, engine_, appDir);

  const bool join = applied.save == SaveMethod::Join;
  const QString leftOut = LoadTimeline(join);
  if (engine_.GetTimelineDuration() == 0 || timeline_.Count() == 0) return RefuseEmptyTimeline();

  QString filter = applied.filter, extension = applied.extension;
  if (join && !PlanJoin(leftOut, filter, extension)) return Outcome::NotJoinable;
  if (choices.eachEntry) {
    if (join) {
      dialogs_.ShowMessage(title_, QStringLiteral("Join without re-encoding makes one file of all entries; "
                                                  "uncheck \"One file per entry\" to join them."));
      return Outcome::Cancelled;
    }
    return RunEachEntry(choices, extension, saveDir);
  }
  return SaveToChosenFile(choices, filter, extension, saveDir);
}

void ConversionRun::Processing(double position, double duration) {
  Guard([&] {
    converterBusy_ = true;
    const std::weak_ptr<bool> alive = alive_;
    for (int i = 0; i < 3; ++i) platform::ProcessMessages();
    if (alive.expired()) return;
    // Set before the maximum; a position past the old maximum stands at it.
    // A batch counts from the entries done, against the whole batch.
    SetPosition(std::min(WholeSeconds(batch_ ? batchDone_ + position : position), maximum_));
    for (int i = 0; i < 3; ++i) platform::ProcessMessages();
    if (alive.expired()) return;
    if (!batch_) SetMaximum(std::max(0, WholeSeconds(duration)));
  });
}

void ConversionRun::Complete() {
  // In a batch each file's end is only a step; the batch says "Done." itself.
  if (batch_) return;
  Guard([this] {
    SetPosition(0);
    if (OnStatus) OnStatus(QStringLiteral("Done."));
  });
}

namespace {

// `base.ext` in `folder`, or the first of `base (2).ext`, `base (3).ext`, ...
// that does not exist yet: a batch never overwrites a file.
QString NextFreeName(const QString& folder, const QString& base, const QString& extension) {
  const QDir dir(folder);
  const QString suffix = extension.isEmpty() ? QString() : QLatin1Char('.') + extension;
  QString name = dir.filePath(base + suffix);
  for (int n = 2; QFileInfo::exists(name); ++n) name = dir.filePath(QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(suffix));
  return name;
}

}  // namespace

ConversionRun::Outcome ConversionRun::RunEachEntry(const OutputChoices& choices, const QString& extension,
                                                   const QString& saveDir) {
  const QString folder = dialogs_.ChooseFolder(QStringLiteral("One file per entry"), saveDir);
  if (folder.isEmpty()) return Outcome::Cancelled;
  saving_ = true;
  closing_ = false;
  batch_ = true;
  batchDone_ = 0;
  struct Reset {
    ConversionRun& run;
    ~Reset() {
      run.saving_ = false;
      run.batch_ = false;
    }
  } reset{*this};
  const int count = timeline_.Count();
  int unreadable = 0;
  for (int i = 0; i < count; ++i) {
    const QString path = timeline_.Path(i);
    const double length = engine_.GetFileDuration(path);
    engine_.ClearTimeline();
    engine_.AddVideo(path, timeline_.Start(i).toDouble(), timeline_.End(i).toDouble(), 0);
    engine_.AddAudio(path, timeline_.Start(i).toDouble(), timeline_.End(i).toDouble());
    if (engine_.GetTimelineDuration() == 0) {
      // Nothing to write for it; the others still are.
      ++unreadable;
      batchDone_ += length;
      continue;
    }
    const QFileInfo source(path);
    file_ = NextFreeName(folder, source.completeBaseName(), extension);
    if (OnStatus)
      OnStatus(QStringLiteral("Converting %1 of %2: %3...").arg(i + 1).arg(count).arg(source.fileName()));
    const platform::PumpScope serving;
    const bool saved = SaveOutput(choices, engine_, file_);
    if (closing_) return Outcome::Aborted;
    if (!saved) {
      // Stop ends the batch; the files done stay, the one cut off was never
      // given its name.
      if (engine_.LastSaveAborted()) {
        if (OnStatus) OnStatus(QStringLiteral("Stopped."));
        SetPosition(0);
        return Outcome::Stopped;
      }
      dialogs_.ShowMessage(title_, FailureText());
      return Outcome::Failed;
    }
    files_ << file_;
    batchDone_ += length;
  }
  batch_ = false;
  if (unreadable > 0 && files_.isEmpty()) {
    dialogs_.ShowMessage(title_, FailureText());
    return Outcome::Failed;
  }
  Complete();
  return Outcome::Saved;
}

QString ConversionRun::FailureText() const {
  // The box says why, as the log line and the notification do.
  const QString why = engine_.LastError();
  return why.isEmpty() ? QStringLiteral("Fail to save file") : QStringLiteral("Fail to save file: ") + why;
}

void ConversionRun::AbortForClose() {
  if (!saving_) return;
  closing_ = true;
  engine_.Abort();
}

}  // namespace larkvale::convert
