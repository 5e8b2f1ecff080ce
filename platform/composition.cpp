#include "platform/composition.h"

#include <QByteArray>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

namespace larkvale::platform {

namespace {
bool gChosen = false;
bool gSoftware = false;

// The renderer's name when OpenGL works here, else empty.
QByteArray OpenGlRenderer() {
  QOffscreenSurface surface;
  surface.create();
  QOpenGLContext context;
  if (!surface.isValid() || !context.create() || !context.makeCurrent(&surface)) return {};
  const auto* name = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
  QByteArray renderer = name ? QByteArray(name) : QByteArray();
  context.doneCurrent();
  return renderer;
}
}  // namespace

void ChooseWindowComposition() {
  if (gChosen) return;
  gChosen = true;
  if (!qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") || !qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND")) return;
  const QByteArray renderer = OpenGlRenderer().toLower();
  // Mesa's rasterisers without hardware: llvmpipe, softpipe, swrast.
  gSoftware = renderer.contains("llvmpipe") || renderer.contains("softpipe") || renderer.contains("swrast") ||
              renderer.contains("software rasterizer");
  if (gSoftware) qputenv("QT_QUICK_BACKEND", "software");
}

bool ComposedInSoftware() { return gSoftware; }

}  // namespace larkvale::platform
