#include "app/theme.h"

#include <QWidget>

#include "platform/contrast.h"

namespace larkvale::app {

using platform::ReadableOn;

namespace {

// `from` moved by `t` (0..1) towards `to`; works for black, where
// QColor::lighter() does not.
QColor Mix(const QColor& from, const QColor& to, double t) {
  auto channel = [t](int a, int b) { return int(a + (b - a) * t + 0.5); };
  return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()), channel(from.blue(), to.blue()));
}

QString Vertical(const QColor& top, const QColor& bottom) {
  return QStringLiteral("qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2)").arg(top.name(), bottom.name());
}

}  // namespace

bool IsDarkPalette(const QPalette& palette) {
  return palette.color(QPalette::WindowText).lightness() > palette.color(QPalette::Window).lightness();
}

Theme Theme::FromDesktop(const QPalette& desktop) {
  Theme t;
  t.dark = IsDarkPalette(desktop);
  const QColor white(Qt::white), black(Qt::black);
  if (!t.dark) {
    // The light design.
    t.window = QColor(246, 246, 246);
    t.barTop = QColor(0xff, 0xff, 0xff);
    t.barBottom = QColor(0xdd, 0xe5, 0xee);
    t.barBorder = QColor(0xb4, 0xc1, 0xcf);
    t.stripTop = QColor(0xf7, 0xf9, 0xfb);
    t.stripBottom = QColor(0xe6, 0xec, 0xf2);
    t.stripBorder = QColor(0xcc, 0xd6, 0xe0);
    t.buttonTop = QColor(0xff, 0xff, 0xff);
    t.buttonBottom = QColor(0xe2, 0xe8, 0xef);
    t.buttonBorder = QColor(0xa9, 0xb6, 0xc4);
    t.hoverBackground = QColor(0xea, 0xf2, 0xfb);
    t.hoverBorder = QColor(0x4f, 0x86, 0xc0);
    t.pressedBackground = QColor(0xd3, 0xe2, 0xf2);
  } else {
    // Shades of the desktop's own dark colours; a shade the desktop's text
    // would not read on moves away from it (a mid-grey desktop gets darker
    // bars rather than unreadable ones).
    const QColor w = desktop.color(QPalette::Window);
    const QColor b = desktop.color(QPalette::Button);
    const QList<QColor> texts = {desktop.color(QPalette::WindowText), desktop.color(QPalette::ButtonText)};
    auto behindText = [&texts](const QColor& c) { return ReadableOn(c, texts); };
    t.window = w;
    t.barTop = behindText(Mix(w, white, 0.14));
    t.barBottom = behindText(Mix(w, white, 0.05));
    t.barBorder = Mix(w, black, 0.35);
    t.stripTop = behindText(Mix(w, white, 0.08));
    t.stripBottom = behindText(Mix(w, white, 0.03));
    t.stripBorder = Mix(w, black, 0.3);
    t.buttonTop = behindText(Mix(b, white, 0.12));
    t.buttonBottom = behindText(Mix(b, white, 0.05));
    t.buttonBorder = Mix(b, white, 0.28);
    t.hoverBackground = behindText(Mix(b, desktop.color(QPalette::Highlight), 0.25));
    t.hoverBorder = desktop.color(QPalette::Highlight);
    t.pressedBackground = behindText(Mix(b, black, 0.2));
  }
  // The header is ours in either palette: white on blue.
  t.headerText = white;
  t.headerTop = ReadableOn(QColor(0x5a, 0x8c, 0xc2), {t.headerText});
  t.headerBottom = ReadableOn(QColor(0x2f, 0x5f, 0x92), {t.headerText});

  const QColor text = desktop.color(QPalette::WindowText);
  t.windowText = ReadableOn(text, {t.window});
  t.stripText = ReadableOn(text, {t.stripTop, t.stripBottom, t.hoverBackground});
  t.caption = ReadableOn(t.dark ? QColor(0xa8, 0xc4, 0xe0) : QColor(0x2f, 0x4f, 0x6f),
                         {t.window, t.stripTop, t.stripBottom});
  t.link = ReadableOn(t.dark ? desktop.color(QPalette::Link) : QColor(0x2f, 0x6f, 0xb3), {t.barTop, t.barBottom});
  t.buttonText = ReadableOn(t.dark ? desktop.color(QPalette::ButtonText) : QColor(0x1f, 0x2f, 0x3f),
                            {t.buttonTop, t.buttonBottom, t.hoverBackground, t.pressedBackground});
  // Disabled text need not reach AA; it only has to look disabled.
  t.disabledText = Mix(t.buttonText, t.buttonBottom, 0.55);
  return t;
}

QList<Theme::TextOn> Theme::Texts() const {
  return {{"window text", windowText, {window}},
          {"top bar label", link, {barTop, barBottom}},
          {"bar text", stripText, {stripTop, stripBottom, hoverBackground}},
          {"caption", caption, {window, stripTop, stripBottom}},
          {"header", headerText, {headerTop, headerBottom}},
          {"button", buttonText, {buttonTop, buttonBottom, hoverBackground, pressedBackground}}};
}

QString Theme::StyleSheet() const {
  // Each part sets its background and the colour of the texts on it; the
  // narrower selectors (a bar inside the window, a caption) win over the
  // window's own. Input fields, lists and menus keep the desktop's.
  const QString barText = ReadableOn(windowText, {barTop, barBottom}).name();
  return QStringLiteral(R"(
#Central { background: %1; }
#Central QLabel, #Central QCheckBox { color: %2; }
#TopBar { background: %3; border-bottom: 1px solid %4; }
#Central #TopBar QLabel { color: %5; }
#Central #TopBar #WebSiteLabel { color: %6; text-decoration: underline; }
#TaskPaneHeader { background: %7; }
#Central #TaskPaneHeader QLabel, #Central #TaskPaneHeader QToolButton { color: %8; }
QWidget[strip="true"] { background: %9; border-top: 1px solid %10; border-bottom: 1px solid %10; }
#Central QWidget[strip="true"] QLabel, #Central QWidget[strip="true"] QCheckBox { color: %11; }
#Central QLabel[caption="true"] { font-weight: bold; color: %12; padding: 4px 6px 2px 6px; }
#Central QWidget[strip="true"] #status { color: %12; }
QPushButton[styled="true"] { border: 1px solid %13; border-radius: 4px; padding: 3px 10px;
  background: %14; color: %15; }
QPushButton[styled="true"]:hover { border-color: %16; background: %17; }
QPushButton[styled="true"]:pressed { background: %18; }
QPushButton[styled="true"]:disabled { color: %19; }
QToolButton[imageButton="true"] { border: 1px solid transparent; border-radius: 6px; color: %11; }
QToolButton[imageButton="true"]:hover { border-color: %16; background: %17; }
)")
      .arg(window.name(), windowText.name(), Vertical(barTop, barBottom), barBorder.name(), barText, link.name(),
           Vertical(headerTop, headerBottom), headerText.name(), Vertical(stripTop, stripBottom))
      .arg(stripBorder.name(), stripText.name(), caption.name(), buttonBorder.name(), Vertical(buttonTop, buttonBottom),
           buttonText.name(), hoverBorder.name(), hoverBackground.name(), pressedBackground.name())
      .arg(disabledText.name());
}

void ApplyTheme(QWidget* window, const Theme& theme) {
  const QString sheet = theme.StyleSheet();
  if (window->styleSheet() != sheet) window->setStyleSheet(sheet);
}

}  // namespace larkvale::app
