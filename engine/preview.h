#pragma once
// Playback of the timeline inside the engine's widget. A worker thread decodes
// pictures at the widget's size and hands each one over when it is due by the
// wall clock; another feeds the sound to Qt Multimedia when an output device
// exists (and is skipped silently without one). The position is reported on
// the UI thread by a timer. Internal to the engine.

#include "engine/timeline.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QAudioSink;
class QWidget;

namespace larkvale::engine {

class AudioPipe;

class PreviewPlayer : public QObject {
  Q_OBJECT

 public:
  PreviewPlayer(QWidget* view, std::function<void(double)> onPlaying);
  ~PreviewPlayer() override;

  // Takes the timeline to play, stopped at its start with the first picture shown.
  bool Load(const Timeline& timeline);
  void Play();
  void Stop();
  // While playing, a seek within a second of the position is ignored: the
  // converter's position bar echoes every position event back as a seek.
  void Seek(double position);
  bool playing() const { return playing_; }
  double position() const;
  double duration() const { return duration_; }
  QImage frame() const;

 private:
  void StartWorkers();
  void StopWorkers();
  void ShowStill();
  void Tick();
  void Publish(QImage img);

  QPointer<QWidget> view_;
  std::function<void(double)> onPlaying_;
  Timeline timeline_;
  double duration_ = 0;
  double fps_ = 25;
  bool playing_ = false;
  double from_ = 0;  // position when playback (re)started or was stopped
  std::chrono::steady_clock::time_point startedAt_;
  QTimer tick_;

  std::atomic<bool> stop_{false};
  std::thread video_, audio_;
  mutable std::mutex frameMutex_;
  QImage frame_;
  std::unique_ptr<AudioPipe> pipe_;
  QAudioSink* sink_ = nullptr;
};

}  // namespace larkvale::engine
