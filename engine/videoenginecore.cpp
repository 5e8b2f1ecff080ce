#include "engine/videoenginecore.h"

#include "engine/probe.h"
#include "engine/savejob.h"
#include "engine/joinjob.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

namespace larkvale::engine {

QString TEngineCollection::Name(int index) const {
  return index >= 0 && index < int(names_.size()) ? names_[index] : QString();
}

bool TEngineCollection::IsHidden(int index) const {
  return index >= 0 && index < int(hidden_.size()) && hidden_[index];
}

short TEngineCollection::IndexOf(const QString& name) const {
  auto it = std::find(names_.begin(), names_.end(), name);
  return it == names_.end() ? short(-1) : short(it - names_.begin());
}

namespace {

template <class List>
std::vector<QString> NamesOf(const List& list) {
  std::vector<QString> out;
  for (const auto& item : list) out.push_back(QString::fromStdString(item.name));
  return out;
}

}  // namespace

VideoEngineCore::VideoEngineCore() {
  std::vector<bool> hidden;
  for (const auto& p : BuiltinWMVProfiles()) hidden.push_back(p.hidden);
  wmvProfiles_ = TEngineCollection(NamesOf(BuiltinWMVProfiles()), hidden);
  videoCompressors_ = TEngineCollection(NamesOf(VideoCompressorList()));
  audioCompressors_ = TEngineCollection(NamesOf(AudioCompressorList()));
}

VideoEngineCore::~VideoEngineCore() {
  if (running_) running_->Abort();
}

void VideoEngineCore::SetWMVProfile(short index) {
  wmvProfile_ = index;
  wmvCustomChosen_ = false;
}

void VideoEngineCore::SetWMVCustomFileName(const QString& path) {
  wmvCustomFileName_ = path;
  wmvCustomChosen_ = !path.isEmpty();
}

// ---------------------------------------------------------------- probing

// The probe decodes a file's first frames, and a conversion asks about each
// file several times (its length, its picture and its sound for the
// Timeline, the first file's size and rate for the plan): one probe serves
// them all. Any write changes the size or the times, and replacing the file
// changes the inode, so a changed file is probed again.
MediaInfo VideoEngineCore::Probe(const std::string& path) const {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return ProbeFile(path);
  std::vector<long long> stamp{(long long)st.st_dev,       (long long)st.st_ino,       (long long)st.st_size,
                               (long long)st.st_mtim.tv_sec, (long long)st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec,
                               (long long)st.st_ctim.tv_nsec};
  if (const auto it = probed_.find(path); it != probed_.end() && it->second.stamp == stamp) return it->second.info;
  MediaInfo info = headerProbes_ ? ProbeFileHeader(path) : ProbeFile(path);
  // A long session probes many files; only the recent ones are asked again.
  if (probed_.size() >= 256) probed_.clear();
  probed_[path] = Probed{std::move(stamp), info};
  return info;
}

MediaInfo VideoEngineCore::Probe(const QString& file) const { return Probe(file.toStdString()); }

double VideoEngineCore::GetFileDuration(const QString& file) const { return Probe(file).duration; }

short VideoEngineCore::GetFileWidth(const QString& file) const { return short(std::min(Probe(file).width, 32767)); }

short VideoEngineCore::GetFileHeight(const QString& file) const { return short(std::min(Probe(file).height, 32767)); }

double VideoEngineCore::GetFileFrameRate(const QString& file) const { return Probe(file).frameRate; }

// ---------------------------------------------------------------- timeline

void VideoEngineCore::ClearTimeline() {
  timeline_.video.clear();
  timeline_.audio.clear();
}

bool VideoEngineCore::AddClip(std::vector<Clip>& track, bool video, const QString& file, double start, double end) {
  MediaInfo info = Probe(file);
  if (!info.ok || !std::isfinite(start) || !std::isfinite(end)) return false;
  start = std::max(0.0, start);
  if (info.duration > 0) end = std::min(end, info.duration);
  if (end - start <= 0.001) return false;
  // A picture track that does not decode is still the file's pictures: the
  // save finds out and fails, rather than passing black off as them.
  track.push_back(Clip{file.toStdString(), start, end, video ? info.hasVideo || info.hasPictureStream : info.hasAudio});
  return true;
}

bool VideoEngineCore::AddVideo(const QString& file, double start, double end, short) {
  return AddClip(timeline_.video, true, file, start, end);
}

bool VideoEngineCore::AddAudio(const QString& file, double start, double end) {
  return AddClip(timeline_.audio, false, file, start, end);
}

double VideoEngineCore::GetTimelineDuration() const { return timeline_.Duration(); }

// ---------------------------------------------------------------- saving

OutputSettings VideoEngineCore::CurrentSettings() const {
  OutputSettings s;
  s.outputType = OutputType;
  s.outputFileWidth = OutputFileWidth;
  s.outputFileHeight = OutputFileHeight;
  s.mpegAudioBitrate = MPEGAudioBitrate;
  s.mpegAudioChannels = MPEGAudioChannels;
  s.mpegAudioSampleRate = MPEGAudioSampleRate;
  s.mpegVideoBitrate = MPEGVideoBitrate;
  s.flvAudioBitrate = FLVAudioBitrate;
  s.flvAudioChannels = FLVAudioChannels;
  s.flvAudioSampleRate = FLVAudioSampleRate;
  s.flvVideoBitrate = FLVVideoBitrate;
  s.video3gpAudioCodec = Video3GPAudioCodec;
  s.video3gpVideoCodec = Video3GPVideoCodec;
  s.video3gpAudioSampleRate = Video3GPAudioSampleRate;
  s.video3gpVideoBitrate = Video3GPVideoBitrate;
  s.videoCompressor = VideoCompressor;
  s.audioCompressor = AudioCompressor;
  s.useVideoCompressor = UseVideoCompressor;
  s.useAudioCompressor = UseAudioCompressor;
  s.frameRate = FrameRate;
  s.wmvProfile = wmvProfile_;
  s.wmvCustomFileName = wmvCustomFileName_.toStdString();
  s.wmvCustomChosen = wmvCustomChosen_;
  s.videoQuality = VideoQuality;
  s.audioBitrate = AudioBitrate;
  s.keepSourceSize = KeepSourceSize;
  return s;
}

bool VideoEngineCore::SaveTimeline(const QString& file) {
  if (running_) {
    lastError_ = "a save is already running";
    return false;
  }
  MediaInfo first, firstSound;
  if (!timeline_.video.empty()) first = Probe(timeline_.video.front().path);
  if (!timeline_.audio.empty()) firstSound = Probe(timeline_.audio.front().path);
  std::string error;
  auto plan = PlanOutput(CurrentSettings(), first.frameRate, first.width, first.height, &error, firstSound.sampleRate);
  return RunSave(plan, file, error);
}

bool VideoEngineCore::SaveTimelineWav(const QString& file, short channels, int sampleRate, short sampleSize) {
  if (running_) {
    lastError_ = "a save is already running";
    return false;
  }
  std::string error;
  auto plan = PlanWav(channels, sampleRate, sampleSize, &error);
  if (plan) plan->hasVideo = false;
  return RunSave(plan, file, error);
}

bool VideoEngineCore::SaveTimelineMp3(const QString& file, int sampleRate, short kbps) {
  if (running_) {
    lastError_ = "a save is already running";
    return false;
  }
  std::string error;
  auto plan = PlanMp3(sampleRate, kbps, &error);
  return RunSave(plan, file, error);
}

bool VideoEngineCore::RunSave(const std::optional<EncodePlan>& plan, const QString& file, const std::string& planError) {
  lastError_.clear();
  aborted_ = false;
  if (!plan) {
    lastError_ = QString::fromStdString(planError);
    return false;
  }
  if (file.isEmpty()) {
    lastError_ = "no file name";
    return false;
  }
  if (timeline_.Empty() || timeline_.Duration() <= 0 || (!plan->hasVideo && timeline_.audio.empty() &&
                                                         timeline_.video.empty())) {
    lastError_ = "timeline empty";
    return false;
  }
  // Declared before the job, so that it outlives the job's thread, which
  // posts to it.
  QObject waker;
  SaveJob job(timeline_, *plan, file.toStdString());
  job.SetNiceness(workerNiceness_);
  return RunJob(job, waker);
}

bool VideoEngineCore::RunJob(FileJob& job, QObject& waker) {
  running_ = &job;
  aborted_ = false;
  const std::weak_ptr<bool> self = alive_;
  const bool ok = WaitForSave(job, waker, self);
  if (self.expired()) return false;
  running_ = nullptr;
  if (!ok || !job.Succeeded()) {
    lastError_ = QString::fromStdString(job.Succeeded() ? "aborted" : job.Error());
    return false;
  }
  if (OnProcessing) OnProcessing(job.Duration(), job.Duration());
  if (!self.expired() && OnComplete) OnComplete();
  return true;
}

std::vector<std::string> VideoEngineCore::JoinFiles() const {
  const std::vector<Clip>& track = timeline_.video.empty() ? timeline_.audio : timeline_.video;
  std::vector<std::string> files;
  for (const Clip& c : track) files.push_back(c.path);
  return files;
}

std::optional<JoinPlan> VideoEngineCore::PlanTimelineJoin(QString* difference) const {
  std::string why;
  auto plan = PlanJoin(JoinFiles(), &why);
  if (!plan && difference) *difference = QString::fromStdString(why);
  return plan;
}

bool VideoEngineCore::JoinTimeline(const QString& file) {
  if (running_) {
    lastError_ = "a save is already running";
    return false;
  }
  lastError_.clear();
  aborted_ = false;
  if (file.isEmpty()) {
    lastError_ = "no file name";
    return false;
  }
  std::string why;
  auto plan = PlanJoin(JoinFiles(), &why);
  if (!plan) {
    lastError_ = QString::fromStdString(why);
    return false;
  }
  QObject waker;
  // A join copies on one thread and cannot hold every core, so it runs as
  // its caller runs.
  JoinJob job(*plan, file.toStdString());
  return RunJob(job, waker);
}

bool VideoEngineCore::WaitForSave(FileJob& job, QObject& waker, const std::weak_ptr<bool>& self) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) {
    // No event loop to serve (a worker thread, or no application): a plain
    // wait, with progress every 200 ms.
    job.Start();
    while (!job.WaitFor(kProgressIntervalMs)) {
      if (OnProcessing) OnProcessing(job.Position(), job.Duration());
      if (self.expired()) return false;
    }
    return true;
  }
  // The caller's thread sleeps in an event loop between progress events, so
  // that its windows, timers and input are served at once rather than only
  // when progress comes: the work itself runs on the job's threads.
  QEventLoop loop;
  bool finished = false;
  job.OnFinished = [&waker, &loop, &finished] {
    // `waker` lives until the job's thread has been joined; a post to it
    // that is not delivered by then is dropped with it.
    QMetaObject::invokeMethod(
        &waker,
        [&loop, &finished] {
          finished = true;
          loop.quit();
        },
        Qt::QueuedConnection);
  };
  QTimer progress;
  progress.setInterval(kProgressIntervalMs);
  bool reporting = false;
  bool gone = false;
  QObject::connect(&progress, &QTimer::timeout, &waker, [&] {
    // A handler that pumps messages may let this timer fire again inside
    // it; the outer report is still going, so the inner one is skipped.
    if (reporting || finished) return;
    reporting = true;
    if (OnProcessing) OnProcessing(job.Position(), job.Duration());
    if (self.expired()) {
      gone = true;
      // `loop` is this frame's, alive while the handler returns to it.
      loop.quit();
      return;
    }
    reporting = false;
  });
  job.Start();
  progress.start();
  if (!finished) loop.exec();
  progress.stop();
  if (gone) {
    job.Abort();
    job.WaitFor(60000);
    return false;
  }
  // The loop may also have ended because something quit every loop (the
  // application is going): the save is then abandoned.
  if (!finished) {
    job.Abort();
    job.WaitFor(60000);
    return false;
  }
  return true;
}

void VideoEngineCore::Abort() {
  if (!running_) return;
  aborted_ = true;
  running_->Abort();
}

}  // namespace larkvale::engine
