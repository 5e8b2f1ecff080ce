#pragma once
// The video engine without its preview widget: probing, one timeline and
// saving it to a file. It needs no window, so the command line converts with
// it on a machine without a display; TVideoEngine adds the preview on top.
//
// Threads and re-entrancy are as described in videoengine.h: every method is
// called on one thread, a save is one synchronous call that raises
// `OnProcessing` a few times a second, and `Abort` from inside that event
// stops it. The work runs on the save's own threads; on the application's
// main thread the call waits in an event loop, so the window is served
// between progress events.

#include "engine/encodeplan.h"
#include "engine/probe.h"
#include "engine/joinjob.h"
#include "engine/timeline.h"

#include <QString>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QObject;

namespace larkvale::engine {

class FileJob;

// How often a running save reports its progress.
inline constexpr int kProgressIntervalMs = 200;

// A read-only list the engine offers (profiles, compressors); items from 0.
class TEngineCollection {
 public:
  TEngineCollection() = default;
  TEngineCollection(std::vector<QString> names, std::vector<bool> hidden = {})
      : names_(std::move(names)), hidden_(std::move(hidden)) {}
  short Count() const { return short(names_.size()); }
  QString Name(int index) const;
  bool IsHidden(int index) const;         // true: not offered to the user
  short IndexOf(const QString& name) const;  // -1 when absent

 private:
  std::vector<QString> names_;
  std::vector<bool> hidden_;
};

class VideoEngineCore {
 public:
  VideoEngineCore();
  virtual ~VideoEngineCore();
  VideoEngineCore(const VideoEngineCore&) = delete;
  VideoEngineCore& operator=(const VideoEngineCore&) = delete;

  // ---- properties the converter sets
  int MPEGAudioBitrate = 224000;
  int MPEGAudioSampleRate = 44100;
  int MPEGVideoBitrate = 4600000;
  int FLVAudioBitrate = 128000;
  int FLVAudioSampleRate = 44100;
  int FLVVideoBitrate = 512000;
  int Video3GPAudioSampleRate = 22050;
  int Video3GPVideoBitrate = 4600000;
  short OutputFileWidth = 320;
  short OutputFileHeight = 240;
  short VideoSampleSize = 24;  // bits per pixel of uncompressed AVI; 24 is what we write
  short MPEGAudioChannels = 2;
  short FLVAudioChannels = 2;
  short VideoCompressor = 0;  // index into `VideoCompressors`
  short AudioCompressor = 0;  // index into `AudioCompressors`
  bool UseVideoCompressor = true;
  bool UseAudioCompressor = true;
  float FrameRate = 25;
  int OutputType = otAVI;                // TOutputType
  int Video3GPAudioCodec = acAAC;        // T3GPAudioCodec
  int Video3GPVideoCodec = vcMPEG4;      // T3GPVideoCodec
  // MP4 and WebM: constant-quality level (CRF), sound bit rate (bit/s), and
  // whether the picture keeps the first clip's size rather than
  // `OutputFileWidth` x `OutputFileHeight`.
  int VideoQuality = 21;
  int AudioBitrate = 160000;
  bool KeepSourceSize = true;

  // The WMV profile is chosen by index or by profile file; whichever was set
  // last is used (a stale file name must not override a later index choice).
  short WMVProfile() const { return wmvProfile_; }
  void SetWMVProfile(short index);
  QString WMVCustomFileName() const { return wmvCustomFileName_; }
  void SetWMVCustomFileName(const QString& path);

  // ---- collections
  const TEngineCollection& WMVProfiles() const { return wmvProfiles_; }
  const TEngineCollection& VideoCompressors() const { return videoCompressors_; }
  const TEngineCollection& AudioCompressors() const { return audioCompressors_; }

  // ---- probing: 0 for anything that is not readable media
  double GetFileDuration(const QString& file) const;
  short GetFileWidth(const QString& file) const;
  short GetFileHeight(const QString& file) const;
  double GetFileFrameRate(const QString& file) const;
  // All of the above and more from one probe. A file asked about again
  // while it is unchanged (same file, size and times) is not probed again.
  MediaInfo Probe(const QString& file) const;
  // For an engine that only joins, which decodes nothing: an MP4's header
  // answers the probes (see ProbeFileHeader). Off by default.
  void SetHeaderProbes(bool on) { headerProbes_ = on; }

  // ---- timeline
  void ClearTimeline();
  // Appends [start, end) of the file's picture (black if it has none); false
  // when the file is not media or the span is empty after clipping it to the
  // file's length. The last argument is reserved and must be 0.
  bool AddVideo(const QString& file, double start, double end, short reserved = 0);
  // Appends the same span of its sound (silence if it has none).
  bool AddAudio(const QString& file, double start, double end);
  double GetTimelineDuration() const;

  // ---- saving (synchronous, see the header comment)
  bool SaveTimeline(const QString& file);
  // `sampleSize` 1 = 8 bit, 2 = 16 bit.
  bool SaveTimelineWav(const QString& file, short channels, int sampleRate, short sampleSize);
  bool SaveTimelineMp3(const QString& file, int sampleRate, short kbps);
  // Joining without re-encoding: the timeline's files, whole and in order
  // (its picture track's, or its sound track's when it has no picture), by
  // copying their streams. The plan says how (container, extension), or,
  // empty, names the first difference that rules it out.
  std::optional<JoinPlan> PlanTimelineJoin(QString* difference) const;
  // Synchronous like `SaveTimeline`, with the same events.
  bool JoinTimeline(const QString& file);
  // Why the last save failed (for logs and tests; the interface itself only
  // reports false).
  QString LastError() const { return lastError_; }
  // Whether the last save ended because `Abort` stopped it.
  bool LastSaveAborted() const { return aborted_; }

  // Stops the running save, which then returns false.
  virtual void Abort();

  // How much nicer than the calling thread a save's threads run (0 to 19;
  // 0, the default, runs them as the caller runs). A window's engine sets
  // it so that a conversion holding every core never delays what the
  // window draws or tells a screen reader; the command line has nothing to
  // yield to and keeps 0. A join, on one thread, always runs as its caller.
  void SetWorkerNiceness(int increment) { workerNiceness_ = std::clamp(increment, 0, 19); }
  int WorkerNiceness() const { return workerNiceness_; }

  // ---- events
  std::function<void()> OnComplete;
  std::function<void(double iCurPos, double iDuration)> OnProcessing;

 protected:
  const Timeline& CurrentTimeline() const { return timeline_; }

 private:
  bool RunSave(const std::optional<EncodePlan>& plan, const QString& file, const std::string& planError);
  // Starts `job` and waits for its end, raising `OnProcessing` meanwhile;
  // false when the wait was given up (the engine went, the application quit).
  bool RunJob(FileJob& job, QObject& waker);
  std::vector<std::string> JoinFiles() const;
  bool WaitForSave(FileJob& job, QObject& waker, const std::weak_ptr<bool>& self);
  OutputSettings CurrentSettings() const;
  bool AddClip(std::vector<Clip>& track, bool video, const QString& file, double start, double end);
  MediaInfo Probe(const std::string& path) const;

  Timeline timeline_;
  short wmvProfile_ = 0;
  QString wmvCustomFileName_;
  bool wmvCustomChosen_ = false;
  TEngineCollection wmvProfiles_, videoCompressors_, audioCompressors_;
  FileJob* running_ = nullptr;  // the save in progress, owned by its call
  QString lastError_;
  bool aborted_ = false;
  // Gone with the engine; a save checks it after each progress event, since
  // the event's handler may have destroyed the engine.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // The last probes, by path, with what the file looked like then.
  struct Probed {
    std::vector<long long> stamp;  // device, inode, size, change and modification times
    MediaInfo info;
  };
  mutable std::map<std::string, Probed> probed_;
  bool headerProbes_ = false;
  int workerNiceness_ = 0;
};

}  // namespace larkvale::engine
