#include "engine/videoengine.h"

#include "engine/firstframe.h"
#include "engine/preview.h"
#include "engine/probe.h"

#include <QPainter>

namespace larkvale::engine {

TVideoEngine::TVideoEngine(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  SetWorkerNiceness(kWindowWorkerNiceness);
  player_ = std::make_unique<PreviewPlayer>(this, [this](double pos) {
    if (OnPlaying) OnPlaying(pos);
  });
}

TVideoEngine::~TVideoEngine() = default;

QImage TVideoEngine::GetFileThumbnail(const QString& file, QSize box) {
  return FirstFrame(file.toStdString(), box);
}

void TVideoEngine::Abort() {
  VideoEngineCore::Abort();
  player_->Stop();
}

// ---------------------------------------------------------------- preview

bool TVideoEngine::PreparePreview(bool) { return player_->Load(CurrentTimeline()); }
void TVideoEngine::PlayPreview() { player_->Play(); }
void TVideoEngine::StopPreview() { player_->Stop(); }
void TVideoEngine::Seek(double position) { player_->Seek(position); }
bool TVideoEngine::IsPlaying() const { return player_->playing(); }
double TVideoEngine::PreviewPosition() const { return player_->position(); }

void TVideoEngine::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  QImage img = player_->frame();
  if (img.isNull()) return;
  // Frames are made at the widget's size; after a resize they are stretched
  // until the next one arrives.
  p.drawImage(rect(), img);
}

}  // namespace larkvale::engine
