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

}  // namespace larkvale::platform
