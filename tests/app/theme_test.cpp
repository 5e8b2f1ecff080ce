// Every caption of the window stays readable whatever the desktop's palette:
// the contrast of each visible text against what is drawn behind it passes
// WCAG AA. The colours are read from the palettes the widgets draw with (a
// style sheet's colours land there too once a widget is polished), not from
// pixels.

#include <gtest/gtest.h>

#include <QApplication>
#include <QGradient>
#include <QHeaderView>
#include <QStyle>
#include <QTest>

#include "app/pagewidgets.h"
#include "app/theme.h"
#include "platform/contrast.h"
#include "support/fakes.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using platform::ContrastRatio;
using queue::RowState;
using testing::Child;
using testing::FakeDesktop;

// What the GTK platform theme (qt6-gtk-platformtheme, Qt 6.4) hands a program
// when the desktop runs Adwaita:dark.
QPalette AdwaitaDark() {
  QPalette p;
  auto set = [&p](QPalette::ColorRole role, const char* active, const char* disabled) {
    p.setColor(QPalette::Active, role, QColor(active));
    p.setColor(QPalette::Inactive, role, QColor(active));
    p.setColor(QPalette::Disabled, role, QColor(disabled));
  };
  set(QPalette::WindowText, "#f0f0f0", "#828282");
  set(QPalette::Button, "#323232", "#323232");
  set(QPalette::Light, "#4b4b4b", "#4b4b4b");
  set(QPalette::Midlight, "#2a2a2a", "#2a2a2a");
  set(QPalette::Dark, "#212121", "#bebebe");
  set(QPalette::Mid, "#262626", "#262626");
  set(QPalette::Text, "#f0f0f0", "#828282");
  set(QPalette::BrightText, "#4b4b4b", "#4b4b4b");
  set(QPalette::ButtonText, "#f0f0f0", "#828282");
  set(QPalette::Base, "#242424", "#323232");
  set(QPalette::Window, "#323232", "#323232");
  set(QPalette::Shadow, "#191919", "#252525");
  set(QPalette::Highlight, "#308cc6", "#919191");
  set(QPalette::HighlightedText, "#f0f0f0", "#f0f0f0");
  set(QPalette::Link, "#308cc6", "#308cc6");
  set(QPalette::AlternateBase, "#2b2b2b", "#2b2b2b");
  set(QPalette::ToolTipBase, "#ffffdc", "#ffffdc");
  set(QPalette::ToolTipText, "#000000", "#000000");
  set(QPalette::PlaceholderText, "#f0f0f0", "#f0f0f0");
  return p;
}

// The dark palette many Qt programs and desktops build on Fusion.
QPalette FusionDark() {
  QPalette p(QColor(53, 53, 53));  // Window and Button; Qt derives the shades
  p.setColor(QPalette::WindowText, Qt::white);
  p.setColor(QPalette::Base, QColor(42, 42, 42));
  p.setColor(QPalette::AlternateBase, QColor(66, 66, 66));
  p.setColor(QPalette::Text, Qt::white);
  p.setColor(QPalette::ButtonText, Qt::white);
  p.setColor(QPalette::Highlight, QColor(42, 130, 218));
  p.setColor(QPalette::HighlightedText, Qt::black);
  p.setColor(QPalette::Link, QColor(42, 130, 218));
  p.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 128));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(127, 127, 127));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(127, 127, 127));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(127, 127, 127));
  return p;
}

QPalette DesktopLight() { return QApplication::style()->standardPalette(); }

// Sets the application's palette for one test, as a desktop theme does, and
// gives the old one back.
class DesktopPalette {
 public:
  explicit DesktopPalette(const QPalette& palette) : saved_(QApplication::palette()) { QApplication::setPalette(palette); }
  ~DesktopPalette() { QApplication::setPalette(saved_); }

 private:
  QPalette saved_;
};

// The colours a brush paints: its colour, or each stop of its gradient.
QList<QColor> Paints(const QBrush& brush) {
  if (const QGradient* g = brush.gradient()) {
    QList<QColor> stops;
    for (const auto& stop : g->stops()) stops << stop.second;
    return stops;
  }
  return {brush.color()};
}

QList<QColor> BehindOf(const QWidget* w);

// Translucent colours are seen over what lies below the widget that paints them.
QList<QColor> Opaque(const QList<QColor>& colors, const QWidget* painter) {
  QList<QColor> out;
  for (const QColor& c : colors) {
    if (c.alpha() == 255 || !painter->parentWidget()) {
      out << QColor(c.rgb());
      continue;
    }
    for (const QColor& below : BehindOf(painter->parentWidget())) out << platform::BlendOnto(c, below);
  }
  return out;
}

// What is drawn behind a widget that leaves its background to others: the
// nearest one up the chain that fills its own (the window, a widget filling
// with its palette, or one a style sheet paints).
QList<QColor> BehindOf(const QWidget* w) {
  for (const QWidget* a = w; a; a = a->parentWidget()) {
    if (a->isWindow() || a->autoFillBackground() || a->testAttribute(Qt::WA_StyledBackground))
      return Opaque(Paints(a->palette().brush(a->backgroundRole())), a);
  }
  return {};
}

struct Finding {
  QString where;
  QString text;
  QColor foreground;
  QColor background;
  double ratio;
};

class ContrastWalk {
 public:
  explicit ContrastWalk(QString state) : state_(std::move(state)) {}

  void Check(const QWidget* w, const QString& text, const QColor& fg, const QList<QColor>& backgrounds) {
    ASSERT_FALSE(backgrounds.isEmpty()) << w->objectName().toStdString();
    const QFont& f = w->font();
    const double points = f.pointSizeF() > 0 ? f.pointSizeF() : f.pixelSize() * 0.75;
    const bool large = points >= 18 || (f.bold() && points >= 14);
    for (const QColor& bg : backgrounds) {
      const QColor seen = fg.alpha() == 255 ? fg : platform::BlendOnto(fg, bg);
      const double ratio = ContrastRatio(seen, bg);
      ++checked;
      if (ratio < (large ? 3.0 : 4.5))
        failures.push_back({Where(w), text, seen, bg, ratio});
    }
  }

  QString Where(const QWidget* w) const {
    QString path;
    for (const QWidget* a = w; a && !a->isWindow(); a = a->parentWidget())
      if (!a->objectName().isEmpty()) path = a->objectName() + (path.isEmpty() ? "" : "/") + path;
    return state_ + ": " + QString::fromLatin1(w->metaObject()->className()) + " " + path;
  }

  // Every visible, enabled text of the window as it is shown now.
  void Walk(const QWidget* window) {
    for (const QWidget* w : window->findChildren<QWidget*>()) {
      if (!w->isVisible() || !w->isEnabled()) continue;
      const QPalette& p = w->palette();
      if (auto* label = qobject_cast<const QLabel*>(w)) {
        if (!label->text().isEmpty()) Check(w, label->text(), p.color(w->foregroundRole()), BehindOf(w));
      } else if (auto* push = qobject_cast<const QPushButton*>(w)) {
        if (!push->text().isEmpty())
          Check(w, push->text(), p.color(QPalette::ButtonText),
                push->isFlat() ? BehindOf(w->parentWidget()) : Paints(p.brush(QPalette::Button)));
      } else if (auto* tool = qobject_cast<const QToolButton*>(w)) {
        // A raised-on-hover button draws its text straight onto its parent.
        if (!tool->text().isEmpty() && tool->toolButtonStyle() != Qt::ToolButtonIconOnly)
          Check(w, tool->text(), p.color(QPalette::ButtonText),
                tool->autoRaise() ? BehindOf(w->parentWidget()) : Paints(p.brush(QPalette::Button)));
      } else if (auto* button = qobject_cast<const QAbstractButton*>(w)) {  // check boxes
        if (!button->text().isEmpty()) Check(w, button->text(), p.color(QPalette::WindowText), BehindOf(w));
      } else if (auto* edit = qobject_cast<const QLineEdit*>(w)) {
        if (!edit->text().isEmpty())
          Check(w, edit->text(), p.color(QPalette::Text), Paints(p.brush(QPalette::Base)));
        else if (!edit->placeholderText().isEmpty())
          Check(w, edit->placeholderText(), p.color(QPalette::PlaceholderText), Paints(p.brush(QPalette::Base)));
      } else if (auto* combo = qobject_cast<const QComboBox*>(w)) {
        if (!combo->isEditable() && !combo->currentText().isEmpty())
          Check(w, combo->currentText(), p.color(QPalette::ButtonText), Paints(p.brush(QPalette::Button)));
      } else if (auto* header = qobject_cast<const QHeaderView*>(w)) {
        for (int s = 0; s < header->count(); ++s)
          if (!header->isSectionHidden(s))
            Check(w, header->model()->headerData(s, header->orientation()).toString(), p.color(QPalette::ButtonText),
                  Paints(p.brush(QPalette::Button)));
      } else if (auto* view = qobject_cast<const QAbstractItemView*>(w)) {
        if (qobject_cast<const widgets::GridView*>(w)) continue;  // its rows are checked cell by cell
        if (view->model() && view->model()->rowCount(view->rootIndex()) > 0) {
          Check(w, "items", p.color(QPalette::Text), Paints(p.brush(QPalette::Base)));
          if (view->alternatingRowColors())
            Check(w, "items", p.color(QPalette::Text), Paints(p.brush(QPalette::AlternateBase)));
        }
      }
    }
  }

  // The download grid's rows and its empty caption, cell by cell, as its
  // painter draws them.
  void WalkGrid(const widgets::DownloadGrid* grid) {
    const queue::DownloadList* list = grid->List();
    const widgets::GridView* view = grid->View();
    if (list->RowCount() == 0) {
      Check(view, widgets::DownloadGrid::kEmptyCaption, view->EmptyCaptionColor(),
            Paints(view->viewport()->palette().brush(QPalette::Base)));
    }
    for (int row = 0; row < list->RowCount(); ++row)
      for (int column = 0; column < queue::colCount; ++column) {
        const widgets::DownloadGrid::CellColors c = grid->ColorsOf(column, row);
        Check(view, QString("row %1 column %2").arg(row + 1).arg(column), c.text, {c.background});
      }
    // The rows on screen are painted in those colours: the File cell's
    // empty right end shows its background.
    const QImage shown = const_cast<widgets::GridView*>(view)->viewport()->grab().toImage();
    int sampled = 0;
    for (int row = 0; row < list->RowCount(); ++row) {
      const QRect cell = view->visualRect(list->index(row, queue::colFile));
      const QPoint at(cell.right() - 8, cell.center().y());
      if (!shown.rect().contains(at) || !view->viewport()->rect().contains(cell)) continue;
      EXPECT_EQ(shown.pixelColor(at).name(), grid->ColorsOf(queue::colFile, row).background.name()) << "row " << row + 1;
      ++sampled;
    }
    if (list->RowCount() > 0) EXPECT_GE(sampled, 2);
  }

  QString state_;
  int checked = 0;
  std::vector<Finding> failures;
};

std::string Report(const std::vector<Finding>& failures) {
  std::string out;
  for (const Finding& f : failures)
    out += QString("%1 \"%2\": %3 on %4, %5:1\n")
               .arg(f.where, f.text.left(40), f.foreground.name(), f.background.name())
               .arg(f.ratio, 0, 'f', 2)
               .toStdString();
  return out;
}

// Rows in every look the grid has: plain and shaded, finished, failed,
// stopped, the one being downloaded, and a selected one.
void FillGrid(MainWindow& form) {
  queue::DownloadList& list = *form.state().downloadList;
  const struct {
    RowState state;
    int progress;
  } rows[] = {{RowState::Waiting, 0},  {RowState::Done, 100},   {RowState::Failed, 100},
              {RowState::Stopped, 28}, {RowState::Done, 100},   {RowState::Downloading, 40},
              {RowState::Waiting, 0},  {RowState::Failed, 0}};
  for (const auto& r : rows) {
    const int row = list.RowCount();
    list.AddRows(1);
    list.SetCellText(queue::colUrl, row, "http://127.0.0.1:9/get_video?video_id=x");
    list.SetCellInt(queue::colSize, row, 123456);
    list.SetCellInt(queue::colProgress, row, r.progress);
    if (r.state == RowState::Done) list.SetCellText(queue::colFile, row, "/tmp/flv1video.flv");
    list.SetState(row, r.state, "HTTP/1.0 404 Not Found.");
  }
  form.state().currentDownloadRow = 5;
  Child<widgets::DownloadGrid>(&form, "DownloadGrid1")->SelectRow(1);
}

// Shows every page, and on the converter every output panel in turn, and
// walks what is visible each time.
ContrastWalk WalkAllPages(MainWindow& form, const QString& palette) {
  ContrastWalk walk(palette);
  auto* grid = Child<widgets::DownloadGrid>(&form, "DownloadGrid1");
  form.showPage(MainWindow::pgBrowser);
  walk.state_ = palette + " Browser, empty list";
  walk.Walk(&form);
  walk.WalkGrid(grid);
  FillGrid(form);
  walk.state_ = palette + " Browser";
  walk.Walk(&form);
  walk.WalkGrid(grid);

  form.showPage(MainWindow::pgConverter);
  auto* format = Child<QComboBox>(&form, "ComboBox1");
  QSet<const QWidget*> panelsSeen;
  for (int i = 0; i < format->count(); ++i) {
    format->setCurrentIndex(i);
    bool newPanel = i == 0;
    for (const char* name : {"Panel1mpeg", "Panel1flv", "Panel3gp", "avipanel", "wmvpanel", "Panel1wav", "Panel1mp3"}) {
      const QWidget* panel = Child<QWidget>(&form, name);
      if (panel->isVisible() && !panelsSeen.contains(panel)) {
        panelsSeen.insert(panel);
        newPanel = true;
      }
    }
    if (!newPanel) continue;
    walk.state_ = palette + " Video Converter, " + format->currentText();
    walk.Walk(&form);
  }
  EXPECT_EQ(panelsSeen.size(), 7);

  form.showPage(MainWindow::pgExplorer);
  walk.state_ = palette + " Explorer";
  walk.Walk(&form);
  return walk;
}

TEST(Theme, EveryTextPassesContrastAAInLightAndDarkPalettes) {
  const struct {
    const char* name;
    QPalette palette;
  } desktops[] = {{"light", DesktopLight()}, {"Adwaita:dark", AdwaitaDark()}, {"Fusion dark", FusionDark()}};
  for (const auto& desktop : desktops) {
    SCOPED_TRACE(desktop.name);
    DesktopPalette theme(desktop.palette);
    FakeDesktop fake;
    // A file in the download folder, so that the Explorer lists something.
    MainWindow form(fake.services);
    QFile file(form.state().videoDir + "/clip.flv");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const ContrastWalk walk = WalkAllPages(form, desktop.name);
    EXPECT_GT(walk.checked, 100);
    EXPECT_TRUE(walk.failures.empty()) << Report(walk.failures);
  }
}

// The window's own colours read on every background they are drawn on,
// whatever the desktop's palette: the usual ones, and those that push the
// derivation (black and mid-grey windows, white on black, a tinted light one).
TEST(Theme, OwnColoursReadOnAnyPalette) {
  auto palette = [](const char* window, const char* text) {
    QPalette p{QColor(text), QColor(window)};  // button text and colour; the shades derived
    p.setColor(QPalette::Window, QColor(window));
    p.setColor(QPalette::WindowText, QColor(text));
    p.setColor(QPalette::Text, QColor(text));
    return p;
  };
  const struct {
    const char* name;
    QPalette palette;
    bool dark;
  } desktops[] = {{"light", DesktopLight(), false},
                  {"Adwaita:dark", AdwaitaDark(), true},
                  {"Fusion dark", FusionDark(), true},
                  {"black", palette("#000000", "#ffffff"), true},
                  {"mid grey, white text", palette("#777777", "#ffffff"), true},
                  {"mid grey, black text", palette("#999999", "#000000"), false},
                  {"tinted light", palette("#fff8dc", "#202020"), false}};
  for (const auto& d : desktops) {
    SCOPED_TRACE(d.name);
    const Theme t = Theme::FromDesktop(d.palette);
    EXPECT_EQ(t.dark, d.dark);
    for (const Theme::TextOn& text : t.Texts())
      for (const QColor& background : text.backgrounds)
        EXPECT_GE(ContrastRatio(text.text, background), 4.5)
            << text.what << ": " << qPrintable(text.text.name()) << " on " << qPrintable(background.name());
  }
  // On a light desktop the window keeps the colour it was designed with.
  EXPECT_EQ(Theme::FromDesktop(DesktopLight()).window, QColor(246, 246, 246));
  EXPECT_EQ(Theme::FromDesktop(AdwaitaDark()).window, QColor("#323232"));
}

// The monochrome icons (the Explorer's view buttons, "Change dir",
// "Converter") stand out on the bars of every palette: 3:1, as a control's
// picture must. Measured on the pixels the icon paints.
TEST(Theme, MonochromeIconsStandOutOnTheBars) {
  for (const QPalette& palette : {DesktopLight(), AdwaitaDark(), FusionDark()}) {
    DesktopPalette theme(palette);
    const Theme t = Theme::FromDesktop(palette);
    for (const char* name : {"details", "largeicons", "changedir"}) {
      SCOPED_TRACE(name);
      const QImage image = AppIcon(name).pixmap(QSize(28, 28)).toImage();
      // The icon is drawn in the ink its palette gets.
      QColor ink = InkFor(palette);
      int inked = 0;
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
          const QColor c = image.pixelColor(x, y);
          if (c.alpha() == 255 && c.rgb() == ink.rgb()) ++inked;
        }
      EXPECT_GT(inked, 20);
      for (const QColor& bar : {t.stripTop, t.stripBottom, t.buttonTop, t.buttonBottom})
        EXPECT_GE(ContrastRatio(ink, bar), 3.0) << qPrintable(ink.name()) << " on " << qPrintable(bar.name());
    }
  }
}

// A desktop that switches to its dark theme while the program runs: the
// window's own colours follow.
TEST(Theme, FollowsAPaletteChangeWhileRunning) {
  DesktopPalette theme(DesktopLight());
  FakeDesktop fake;
  MainWindow form(fake.services);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QApplication::setPalette(AdwaitaDark());
  QCoreApplication::processEvents();
  const ContrastWalk dark = WalkAllPages(form, "switched to dark");
  EXPECT_TRUE(dark.failures.empty()) << Report(dark.failures);
  // The panels follow, rather than staying light with dark text.
  EXPECT_LT(Child<QWidget>(&form, "Central")->palette().color(QPalette::Window).lightness(), 128);
  QApplication::setPalette(DesktopLight());
  QCoreApplication::processEvents();
  const ContrastWalk light = WalkAllPages(form, "back to light");
  EXPECT_TRUE(light.failures.empty()) << Report(light.failures);
  EXPECT_EQ(Child<QWidget>(&form, "Central")->palette().color(QPalette::Window), QColor(246, 246, 246));
}

}  // namespace
}  // namespace larkvale::app
