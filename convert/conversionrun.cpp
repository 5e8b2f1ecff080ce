#include "convert/conversionrun.h"

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

ConversionRun::Outcome ConversionRun::RunUnguarded(const OutputChoices& choices, const QString& appDir,
                                                   const QString& saveDir) {
  if (saving_) return Outcome::Refused;
  file_.clear();
  converterBusy_ = true;

  // A bad field throws here, before anything is asked.
  ApplyFileSize(choices, engine_);
  const AppliedOutput applied = ApplyOutputSettings(choices, engine_, appDir);

  engine_.VideoSampleSize = 24;
  engine_.ClearTimeline();
  double total = 0;
  SetPosition(0);
  if (OnStatus) OnStatus(QStringLiteral("Converting video..."));
  for (int i = 0; i < timeline_.Count(); ++i) total += engine_.GetFileDuration(timeline_.Path(i));
  SetMaximum(std::max(0, WholeSeconds(total)));
  for (int i = 0; i < timeline_.Count(); ++i) {
    const double start = timeline_.Start(i).toDouble();
    const double end = timeline_.End(i).toDouble();
    engine_.AddVideo(timeline_.Path(i), start, end, 0);
    engine_.AddAudio(timeline_.Path(i), start, end);
  }
  if (engine_.GetTimelineDuration() == 0 || timeline_.Count() == 0) {
    dialogs_.ShowMessage(title_, QStringLiteral("Timeline empty,cannot process"));
    help_.ShowTopic(kEmptyTimelineHelpTopic);
    return Outcome::EmptyTimeline;
  }

  const QString file =
      dialogs_.GetSaveFileName(QStringLiteral("Save as"), saveDir, DialogFilter(applied.filter), applied.extension);
  if (file.isEmpty()) return Outcome::Cancelled;
  file_ = file;

  saving_ = true;
  closing_ = false;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{saving_};
  // The WAV and MP3 fields are read here; a bad one throws past the reset.
  if (SaveOutput(choices, engine_, file)) return Outcome::Saved;
  // Closing the window aborts the save; nobody is left to read a message.
  if (closing_) return Outcome::Aborted;
  dialogs_.ShowMessage(title_, QStringLiteral("Fail to save file"));
  return Outcome::Failed;
}

void ConversionRun::Processing(double position, double duration) {
  Guard([&] {
    converterBusy_ = true;
    const std::weak_ptr<bool> alive = alive_;
    for (int i = 0; i < 3; ++i) platform::ProcessMessages();
    if (alive.expired()) return;
    // Set before the maximum; a position past the old maximum stands at it.
    SetPosition(std::min(WholeSeconds(position), maximum_));
    for (int i = 0; i < 3; ++i) platform::ProcessMessages();
    if (alive.expired()) return;
    SetMaximum(std::max(0, WholeSeconds(duration)));
  });
}

void ConversionRun::Complete() {
  Guard([this] {
    SetPosition(0);
    if (OnStatus) OnStatus(QStringLiteral("Done."));
  });
}

void ConversionRun::AbortForClose() {
  if (!saving_) return;
  closing_ = true;
  engine_.Abort();
}

}  // namespace larkvale::convert
