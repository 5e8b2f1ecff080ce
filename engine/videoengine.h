#pragma once
// TVideoEngine: the converter page's video engine (`VideoEngine1`). It probes
// media files, holds one timeline, previews it in its own widget and writes it
// to a file in one of its output types, as WAV or as MP3, or joins the
// timeline's files by stream copy.
//
// Threads and re-entrancy. Every method is called on the UI thread and every
// event is raised there. A save (`SaveTimeline`, `SaveTimelineWav`,
// `SaveTimelineMp3`) is one synchronous call: it returns when the file is
// written, failed or was aborted. The work runs on the save's own threads;
// the call waits in an event loop that serves the window and raises
// `OnProcessing` a few times a second, so other handlers run nested inside
// the save. Nested calls are safe with these rules:
//   - a second save while one runs is refused (returns false);
//   - `Abort` stops the running save (which then returns false) and playback;
//   - the timeline may be changed or previewed: the save works on its own copy;
//   - the engine must not be destroyed from inside its own events (use
//     deleteLater()).
// `OnComplete` is raised once when a save succeeds, just before it returns.
// A save's threads run at `kWindowWorkerNiceness` below the UI thread, so
// the window wins the cores whenever it has something to do.

#include "engine/videoenginecore.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

namespace larkvale::engine {

class PreviewPlayer;

// Nice +10 gives each worker about a tenth of the UI thread's weight: with
// eight of them on two cores, the window still gets most of a core at once.
inline constexpr int kWindowWorkerNiceness = 10;

class TVideoEngine : public QWidget, public VideoEngineCore {
  Q_OBJECT

 public:
  explicit TVideoEngine(QWidget* parent = nullptr);
  ~TVideoEngine() override;

  // First picture of a video (or a picture file) scaled to fit `box`; null
  // image when there is none. For the Explorer page's thumbnails.
  static QImage GetFileThumbnail(const QString& file, QSize box);

  // ---- preview in this widget
  bool PreparePreview(bool unused = false);
  void PlayPreview();
  void StopPreview();
  void Seek(double position);
  bool IsPlaying() const;
  double PreviewPosition() const;
  // Stops the running save and playback.
  void Abort() override;

  std::function<void(double iCurrent)> OnPlaying;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::unique_ptr<PreviewPlayer> player_;
};

}  // namespace larkvale::engine

using larkvale::engine::TVideoEngine;
