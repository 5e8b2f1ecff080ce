#pragma once
// Contrast of text against its background, the way WCAG 2 measures it, so
// that a palette can be checked by numbers rather than by eye.

#include <QColor>

namespace larkvale::platform {

// Relative luminance of an sRGB colour, 0 (black) to 1 (white). Alpha is
// ignored: blend a translucent colour onto its background first.
double RelativeLuminance(const QColor& color);

// (lighter + 0.05) / (darker + 0.05): 1 for equal colours, 21 for black on
// white. The order of the arguments does not matter.
double ContrastRatio(const QColor& a, const QColor& b);

// WCAG AA: 4.5 for body text, 3 for large text (18 pt, or 14 pt bold).
bool PassesContrastAA(const QColor& text, const QColor& background, bool largeText = false);

}  // namespace larkvale::platform
