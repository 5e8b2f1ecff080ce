#pragma once
// Colour values of the widget set: a system colour by its classic index, or
// a plain red, green, blue colour. System colours resolve through the
// palette, so the program follows the desktop's theme.

#include <QColor>
#include <QPalette>

namespace larkvale::widgets {

struct TColor {
  bool system = false;
  int index = 0;  // system colour index when `system`
  QRgb rgb = 0;   // plain colour otherwise

  static TColor System(int index) { return {true, index, 0}; }
  static TColor Rgb(int r, int g, int b) { return {false, 0, qRgb(r, g, b)}; }
  bool operator==(const TColor& o) const { return system == o.system && (system ? index == o.index : rgb == o.rgb); }
};

// System colour indexes the program uses.
inline constexpr int clGrayTextIndex = 17;
inline constexpr int clMenuBarIndex = 30;
inline constexpr int clHighlightIndex = 13;
inline constexpr int clWindowIndex = 5;
inline constexpr int clWindowTextIndex = 8;

QColor Resolve(const TColor& color, const QPalette& palette);

}  // namespace larkvale::widgets
