#include "engine/preview.h"

#include "engine/trackreader.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>

namespace larkvale::engine {

namespace {
constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr size_t kAhead = kRate * kChannels * 2 / 2;  // half a second of bytes
}  // namespace

// Sound handed from the feeding thread to the audio sink, which pulls it on
// the UI thread. Gaps are played as silence.
class AudioPipe : public QIODevice {
 public:
  void Put(const char* data, size_t n, const std::atomic<bool>& stop) {
    std::unique_lock lock(m_);
    room_.wait(lock, [&] { return buf_.size() < kAhead || stop; });
    buf_.insert(buf_.end(), data, data + n);
  }
  void Wake() { room_.notify_all(); }
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override { return 4096 + QIODevice::bytesAvailable(); }

 protected:
  qint64 readData(char* data, qint64 max) override {
    std::lock_guard lock(m_);
    size_t n = std::min<size_t>(buf_.size(), size_t(max));
    std::copy(buf_.begin(), buf_.begin() + n, data);
    buf_.erase(buf_.begin(), buf_.begin() + n);
    std::memset(data + n, 0, size_t(max) - n);
    room_.notify_all();
    return max;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  std::mutex m_;
  std::condition_variable room_;
  std::deque<char> buf_;
};

PreviewPlayer::PreviewPlayer(QWidget* view, std::function<void(double)> onPlaying)
    : view_(view), onPlaying_(std::move(onPlaying)) {
  tick_.setInterval(100);
  connect(&tick_, &QTimer::timeout, this, [this] { Tick(); });
}

PreviewPlayer::~PreviewPlayer() { StopWorkers(); }

bool PreviewPlayer::Load(const Timeline& timeline) {
  StopWorkers();
  playing_ = false;
  tick_.stop();
  timeline_ = timeline;
  duration_ = timeline_.Duration();
  from_ = 0;
  fps_ = 25;
  if (!timeline_.video.empty()) {
    // Played at the first clip's own rate, at most 30 frames a second.
    if (InputPtr fc = OpenInput(timeline_.video.front().path)) {
      int v = av_find_best_stream(fc.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      if (v >= 0) {
        AVRational r = av_guess_frame_rate(fc.get(), fc->streams[v], nullptr);
        if (r.num > 0 && r.den > 0) fps_ = std::clamp(av_q2d(r), 1.0, 30.0);
      }
    }
  }
  ShowStill();
  return !timeline_.Empty();
}

double PreviewPlayer::position() const {
  if (!playing_) return from_;
  double t = from_ + std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
  return std::min(t, duration_);
}

QImage PreviewPlayer::frame() const {
  std::lock_guard lock(frameMutex_);
  return frame_;
}

void PreviewPlayer::Publish(QImage img) {
  {
    std::lock_guard lock(frameMutex_);
    frame_ = std::move(img);
  }
  if (view_) QMetaObject::invokeMethod(view_.data(), [v = view_] { if (v) v->update(); }, Qt::QueuedConnection);
}

namespace {

VideoFormat ViewFormat(QWidget* view, double fps) {
  VideoFormat f;
  QSize s = view ? view->size() : QSize();
  f.width = std::clamp(s.width(), 16, 1920) & ~1;
  f.height = std::clamp(s.height(), 16, 1080) & ~1;
  f.pixfmt = AV_PIX_FMT_RGB32;  // QImage::Format_RGB32 in memory
  f.fps = av_d2q(fps, 1001000);
  return f;
}

QImage ToImage(const AVFrame* f) {
  QImage img(f->width, f->height, QImage::Format_RGB32);
  for (int y = 0; y < f->height; ++y)
    std::memcpy(img.scanLine(y), f->data[0] + y * f->linesize[0], size_t(f->width) * 4);
  return img;
}

}  // namespace

void PreviewPlayer::ShowStill() {
  if (timeline_.video.empty()) {
    Publish(QImage());
    return;
  }
  VideoTrackReader reader(timeline_.video, ViewFormat(view_, fps_), std::min(from_, std::max(0.0, duration_ - 0.05)));
  if (FramePtr f = reader.Next()) Publish(ToImage(f.get()));
}

void PreviewPlayer::Play() {
  if (playing_ || timeline_.Empty()) return;
  if (from_ >= duration_) from_ = 0;
  playing_ = true;
  StartWorkers();
  tick_.start();
}

void PreviewPlayer::Stop() {
  if (!playing_) return;
  from_ = position();
  playing_ = false;
  tick_.stop();
  StopWorkers();
}

void PreviewPlayer::Seek(double pos) {
  pos = std::clamp(pos, 0.0, duration_);
  if (playing_) {
    if (std::abs(pos - position()) < 1.0) return;
    StopWorkers();
    from_ = pos;
    StartWorkers();
    return;
  }
  from_ = pos;
  ShowStill();
}

void PreviewPlayer::StartWorkers() {
  stop_ = false;
  startedAt_ = std::chrono::steady_clock::now();
  const double from = from_;
  const auto t0 = startedAt_;
  if (!timeline_.video.empty()) {
    VideoFormat fmt = ViewFormat(view_, fps_);
    video_ = std::thread([this, fmt, from, t0] {
      VideoTrackReader reader(timeline_.video, fmt, from);
      const double fps = av_q2d(fmt.fps);
      while (!stop_) {
        FramePtr f = reader.Next();
        if (!f) break;
        double at = f->pts / fps - from;
        auto due = t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(at));
        auto now = std::chrono::steady_clock::now();
        // Late frames are dropped rather than shown out of time.
        if (now > due + std::chrono::milliseconds(int(2000 / fps))) continue;
        while (!stop_ && std::chrono::steady_clock::now() < due)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!stop_) Publish(ToImage(f.get()));
      }
    });
  }
  QAudioDevice device = QMediaDevices::defaultAudioOutput();
  if (!timeline_.audio.empty() && !device.isNull()) {
    QAudioFormat format;
    format.setSampleRate(kRate);
    format.setChannelCount(kChannels);
    format.setSampleFormat(QAudioFormat::Int16);
    if (device.isFormatSupported(format)) {
      pipe_ = std::make_unique<AudioPipe>();
      pipe_->open(QIODevice::ReadOnly);
      sink_ = new QAudioSink(device, format, this);
      sink_->start(pipe_.get());
      audio_ = std::thread([this, from] {
        AudioTrackReader reader(timeline_.audio, AudioFormat{kRate, kChannels, AV_SAMPLE_FMT_S16}, from);
        while (!stop_) {
          FramePtr f = reader.Next(1024);
          if (!f) break;
          pipe_->Put(reinterpret_cast<const char*>(f->data[0]), size_t(f->nb_samples) * kChannels * 2, stop_);
        }
      });
    }
  }
}

void PreviewPlayer::StopWorkers() {
  stop_ = true;
  if (pipe_) pipe_->Wake();
  if (video_.joinable()) video_.join();
  if (audio_.joinable()) audio_.join();
  if (sink_) {
    sink_->stop();
    delete sink_;
    sink_ = nullptr;
  }
  pipe_.reset();
}

void PreviewPlayer::Tick() {
  if (!playing_) return;
  double pos = position();
  if (pos >= duration_) {
    // The end: halt at it, then report it. The handler may load or play
    // again, so nothing touches our state after the call.
    playing_ = false;
    tick_.stop();
    StopWorkers();
    from_ = duration_;
    if (onPlaying_) onPlaying_(duration_);
    return;
  }
  if (onPlaying_) onPlaying_(pos);
}

}  // namespace larkvale::engine
