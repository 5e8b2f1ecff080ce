#include "widgets/colors.h"

namespace larkvale::widgets {

QColor Resolve(const TColor& color, const QPalette& palette) {
  if (!color.system) return QColor::fromRgb(color.rgb);
  switch (color.index) {
    case clGrayTextIndex: return palette.color(QPalette::Disabled, QPalette::Text);
    case clMenuBarIndex: return palette.color(QPalette::Window);
    case clHighlightIndex: return palette.color(QPalette::Highlight);
    case 14: return palette.color(QPalette::HighlightedText);
    case clWindowIndex: return palette.color(QPalette::Base);
    case clWindowTextIndex: return palette.color(QPalette::Text);
    case 15: return palette.color(QPalette::Button);
    case 18: return palette.color(QPalette::ButtonText);
    case 16: return palette.color(QPalette::Mid);
    default: return palette.color(QPalette::Window);
  }
}

}  // namespace larkvale::widgets
