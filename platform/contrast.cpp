#include "platform/contrast.h"

#include <algorithm>
#include <cmath>

namespace larkvale::platform {

namespace {

// sRGB channel (0..1) to linear light.
double Linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

}  // namespace

double RelativeLuminance(const QColor& color) {
  const QColor rgb = color.toRgb();
  return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) + 0.0722 * Linear(rgb.blueF());
}

double ContrastRatio(const QColor& a, const QColor& b) {
  const double la = RelativeLuminance(a);
  const double lb = RelativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool PassesContrastAA(const QColor& text, const QColor& background, bool largeText) {
  return ContrastRatio(text, background) >= (largeText ? 3.0 : 4.5);
}

namespace {

double LeastContrast(const QColor& color, const QList<QColor>& backgrounds) {
  double least = 21;
  for (const QColor& b : backgrounds) least = std::min(least, ContrastRatio(color, b));
  return least;
}

QColor Mix(const QColor& from, const QColor& to, double t) {
  const QColor a = from.toRgb(), b = to.toRgb();
  auto channel = [t](int x, int y) { return int(std::lround(x + (y - x) * t)); };
  return QColor(channel(a.red(), b.red()), channel(a.green(), b.green()), channel(a.blue(), b.blue()));
}

}  // namespace

QColor BlendOnto(const QColor& top, const QColor& below) {
  const QColor t = top.toRgb(), b = below.toRgb();
  const double a = t.alphaF();
  auto channel = [a](double x, double y) { return float(x * a + y * (1 - a)); };
  return QColor::fromRgbF(channel(t.redF(), b.redF()), channel(t.greenF(), b.greenF()), channel(t.blueF(), b.blueF()));
}

QColor ReadableOn(const QColor& color, const QList<QColor>& backgrounds, double ratio) {
  const QColor opaque(color.toRgb().rgb());
  if (LeastContrast(opaque, backgrounds) >= ratio) return opaque;
  const QColor black(Qt::black), white(Qt::white);
  const QColor target = LeastContrast(white, backgrounds) >= LeastContrast(black, backgrounds) ? white : black;
  // The least mix towards the target that reads; 8-bit channels, so the
  // search ends on whole steps and the result is checked as it is stored.
  double low = 0, high = 1;
  for (int i = 0; i < 16; ++i) {
    const double mid = (low + high) / 2;
    (LeastContrast(Mix(opaque, target, mid), backgrounds) >= ratio ? high : low) = mid;
  }
  QColor result = Mix(opaque, target, high);
  for (double t = high; LeastContrast(result, backgrounds) < ratio && t < 1;) {
    t = std::min(1.0, t + 1.0 / 255);
    result = Mix(opaque, target, t);
  }
  return result;
}

}  // namespace larkvale::platform
