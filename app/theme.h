#pragma once
// The window's own colours, derived from the desktop's palette.
//
// On a light desktop the window keeps its light design: the background
// RGB(246, 246, 246), pale bars and slate-blue captions. On a dark desktop
// (a palette whose text is lighter than its window) the window, the bars and
// the buttons take shades of the desktop's own colours. The page header is
// blue in both. Every text colour is checked against each background it is
// drawn on and moved towards black or white until it passes WCAG AA (4.5:1),
// so no palette leaves a caption unreadable; where a background of our own
// must stay (the header), its text is set with it.
//
// Everything else (inputs, lists, menus, dialogs) follows the desktop's
// palette untouched.

#include <QColor>
#include <QList>
#include <QPalette>
#include <QString>

class QWidget;

namespace larkvale::app {

struct Theme {
  bool dark = false;
  QColor window, windowText;                                  // the window's background and text on it
  QColor barTop, barBottom, barBorder, link;                  // the top bar and its web-site label
  QColor stripTop, stripBottom, stripBorder, stripText;       // the bars of the pages
  QColor caption;                                             // "Video:", "Output File:", the status line
  QColor headerTop, headerBottom, headerText;                 // the page container's header
  QColor buttonTop, buttonBottom, buttonBorder, buttonText;   // the styled buttons
  QColor hoverBackground, hoverBorder, pressedBackground, disabledText;

  static Theme FromDesktop(const QPalette& desktop);
  // The style sheet of the window: the parts' backgrounds, borders and text.
  QString StyleSheet() const;

  // Each text colour with every background it is drawn on.
  struct TextOn {
    const char* what;
    QColor text;
    QList<QColor> backgrounds;
  };
  QList<TextOn> Texts() const;
};

// A palette is dark when its text is lighter than its window.
bool IsDarkPalette(const QPalette& palette);

// Gives the window the theme's style sheet; its parts are found by
// objectName and by the `strip`, `caption`, `styled` and `imageButton`
// properties. Calling it again with another theme replaces the colours.
void ApplyTheme(QWidget* window, const Theme& theme);

}  // namespace larkvale::app
