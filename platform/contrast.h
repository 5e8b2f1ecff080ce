#pragma once
// Contrast of text against its background, the way WCAG 2 measures it, so
// that a palette can be checked by numbers rather than by eye.

#include <QColor>
#include <QList>

namespace larkvale::platform {

// Relative luminance of an sRGB colour, 0 (black) to 1 (white). Alpha is
// ignored: blend a translucent colour onto its background first.
double RelativeLuminance(const QColor& color);

// (lighter + 0.05) / (darker + 0.05): 1 for equal colours, 21 for black on
// white. The order of the arguments does not matter.
double ContrastRatio(const QColor& a, const QColor& b);

// WCAG AA: 4.5 for body text, 3 for large text (18 pt, or 14 pt bold).
bool PassesContrastAA(const QColor& text, const QColor& background, bool largeText = false);

// A translucent colour as it shows over an opaque one.
QColor BlendOnto(const QColor& top, const QColor& below);

// `color` itself when its contrast with each of `backgrounds` reaches
// `ratio`; otherwise the nearest colour of the same hue, moved towards black
// or white (the side that stands further from the backgrounds), that does.
// When no shade of it can, the extreme it was moved to. Used for text on a
// background that must stay, and for a background behind text that must.
QColor ReadableOn(const QColor& color, const QList<QColor>& backgrounds, double ratio = 4.5);

}  // namespace larkvale::platform
