#include "app/pagewidgets.h"

#include <QApplication>
#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>

#include "app/theme.h"
#include "platform/contrast.h"

// The icons are compiled into this static library; make sure the linker
// keeps them.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace larkvale::app {

namespace {

// The slate of the monochrome icons. On the dark bars of a dark palette it
// would vanish, so it is drawn in the nearest shade that stands out (3:1,
// as for any control's picture) on the bars and buttons of the palette in
// use when the icon is painted, also after the desktop changes its theme.
const QByteArray kIconInk = QByteArrayLiteral("#34495e");

class InkIconEngine : public QIconEngine {
 public:
  explicit InkIconEngine(QByteArray svg) : svg_(std::move(svg)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    const QColor ink = InkFor(QGuiApplication::palette());
    if (cached_.isNull() || cached_.size() != size || cachedInk_ != ink || cachedMode_ != mode) {
      QByteArray svg = svg_;
      svg.replace(kIconInk, ink.name().toLatin1());
      QImage image(size, QImage::Format_ARGB32_Premultiplied);
      image.fill(Qt::transparent);
      QPainter painter(&image);
      QSvgRenderer(svg).render(&painter);
      painter.end();
      cached_ = QPixmap::fromImage(image);
      if (mode == QIcon::Disabled) {
        QStyleOption option;
        cached_ = QApplication::style()->generatedIconPixmap(mode, cached_, &option);
      }
      cachedInk_ = ink;
      cachedMode_ = mode;
    }
    return cached_;
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new InkIconEngine(svg_); }

 private:
  QByteArray svg_;
  QPixmap cached_;
  QColor cachedInk_;
  QIcon::Mode cachedMode_ = QIcon::Normal;
};

}  // namespace

QColor InkFor(const QPalette& palette) {
  const Theme t = Theme::FromDesktop(palette);
  return platform::ReadableOn(QColor(QString::fromLatin1(kIconInk)),
                              {t.stripTop, t.stripBottom, t.buttonTop, t.buttonBottom, t.hoverBackground}, 3.0);
}

QIcon AppIcon(const QString& name) {
  static const bool loaded = (InitIconResources(), true);
  Q_UNUSED(loaded);
  const QString path = QStringLiteral(":/icons/%1.svg").arg(name);
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    const QByteArray svg = file.readAll();
    if (svg.contains(kIconInk)) return QIcon(new InkIconEngine(svg));
  }
  return QIcon(path);
}

QWidget* Strip(QWidget* parent, int height) {
  auto* strip = new QWidget(parent);
  strip->setProperty("strip", true);
  if (height > 0) strip->setFixedHeight(height);
  return strip;
}

QLabel* Caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setProperty("caption", true);
  return label;
}

widgets::StyledButton* TextButton(const QString& caption, const QString& objectName, QWidget* parent,
                                  const QString& icon) {
  auto* button = new widgets::StyledButton(caption, parent);
  button->setObjectName(objectName);
  button->setAccessibleName(caption);
  if (!icon.isEmpty()) button->setIcon(AppIcon(icon));
  return button;
}

QToolButton* IconButton(const QString& name, const QString& objectName, const QString& icon, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(objectName);
  button->setIcon(AppIcon(icon));
  button->setIconSize(QSize(22, 22));
  button->setAutoRaise(true);
  button->setToolTip(name);
  button->setAccessibleName(name);
  return button;
}

}  // namespace larkvale::app
