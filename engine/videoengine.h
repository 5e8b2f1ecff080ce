#pragma once
// TVideoEngine: the converter page's video engine (`VideoEngine1`). It probes
// media files, holds one timeline, previews it in its own widget and writes it
// to a file in one of sixteen output types, as WAV or as MP3.
//
// Threads and re-entrancy. Every method is called on the UI thread and every
// event is raised there. A save (`SaveTimeline`, `SaveTimelineWav`,
// `SaveTimelineMp3`) is one synchronous call: it returns when the file is
// written, failed or was aborted. While it runs, `OnProcessing` is raised a
// few times a second and the caller is expected to process window messages
// from inside it, so other handlers run nested inside the save. Nested calls
// are safe with these rules:
//   - a second save while one runs is refused (returns false);
//   - `Abort` stops the running save (which then returns false) and playback;
//   - the timeline may be changed or previewed: the save works on its own copy;
//   - the engine must not be destroyed from inside its own events (use
//     deleteLater()).
// `OnComplete` is raised once when a save succeeds, just before it returns.

#include "engine/output_formats.h"
#include "engine/timeline.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <memory>
#include <vector>

namespace larkvale::engine {

class SaveJob;
class PreviewPlayer;

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

class TVideoEngine : public QWidget {
  Q_OBJECT

 public:
  explicit TVideoEngine(QWidget* parent = nullptr);
  ~TVideoEngine() override;

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
  // First picture of a video (or a picture file) scaled to fit `box`; null
  // image when there is none. For the Explorer page's thumbnails.
  static QImage GetFileThumbnail(const QString& file, QSize box);

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
  // Why the last save failed (for logs and tests; the interface itself only
  // reports false).
  QString LastError() const { return lastError_; }

  // ---- preview in this widget
  bool PreparePreview(bool unused = false);
  void PlayPreview();
  void StopPreview();
  void Seek(double position);
  bool IsPlaying() const;
  double PreviewPosition() const;
  void Abort();

  // ---- events
  std::function<void()> OnComplete;
  std::function<void(double iCurPos, double iDuration)> OnProcessing;
  std::function<void(double iCurrent)> OnPlaying;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool RunSave(const std::optional<EncodePlan>& plan, const QString& file, const std::string& planError);
  OutputSettings CurrentSettings() const;
  bool AddClip(std::vector<Clip>& track, bool video, const QString& file, double start, double end);

  Timeline timeline_;
  short wmvProfile_ = 0;
  QString wmvCustomFileName_;
  bool wmvCustomChosen_ = false;
  TEngineCollection wmvProfiles_, videoCompressors_, audioCompressors_;
  SaveJob* running_ = nullptr;  // the save in progress, owned by its call
  QString lastError_;
  std::unique_ptr<PreviewPlayer> player_;
};

}  // namespace larkvale::engine

using larkvale::engine::TVideoEngine;
