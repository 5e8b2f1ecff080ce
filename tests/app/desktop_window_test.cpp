// The window on the desktop: keyboard paths to the address box and a focus
// mark on the image buttons.
#include <gtest/gtest.h>

#include <QTest>

#include "support/fakes.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;

struct ActiveWindow {
  ActiveWindow() {
    form.show();
    form.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
  }
  FakeDesktop desktop;
  MainWindow form{desktop.services};
};

TEST(DesktopWindow, ControlLAndF6PutTheFocusIntoTheAddressBoxFromEveryPage) {
  ActiveWindow w;
  auto* address = Child<QComboBox>(&w.form, "URLs");
  address->setEditText("http://127.0.0.1:9/watch?v=typedbefore");
  const struct {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    MainWindow::Page from;
  } cases[] = {
      {Qt::Key_L, Qt::ControlModifier, MainWindow::pgBrowser},
      {Qt::Key_L, Qt::ControlModifier, MainWindow::pgExplorer},
      {Qt::Key_F6, Qt::NoModifier, MainWindow::pgBrowser},
      {Qt::Key_F6, Qt::NoModifier, MainWindow::pgConverter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(int(c.key)) + " from page " + ::testing::PrintToString(int(c.from)));
    w.form.showPage(c.from);
    if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
    ASSERT_FALSE(address->lineEdit()->hasFocus());
    QTest::keyClick(&w.form, c.key, c.modifiers);
    EXPECT_EQ(w.form.activePage(), MainWindow::pgBrowser);
    EXPECT_TRUE(address->lineEdit()->hasFocus());
    // Selected, so that typing replaces the address.
    EXPECT_EQ(address->lineEdit()->selectedText(), "http://127.0.0.1:9/watch?v=typedbefore");
  }
}

TEST(DesktopWindow, TheImageButtonsShowTheKeyboardFocus) {
  ActiveWindow w;
  for (const char* name : {"mxImageButton4", "mxImageButton1", "mxImageButton3"}) {
    SCOPED_TRACE(name);
    auto* button = Child<QToolButton>(&w.form, name);
    w.form.showPage(QString::fromLatin1(name) == "mxImageButton3" ? MainWindow::pgConverter : MainWindow::pgBrowser);
    EXPECT_NE(button->focusPolicy() & Qt::TabFocus, 0);
    Child<QComboBox>(&w.form, "URLs")->setFocus();
    const QSize before = button->size();
    const QImage unfocused = button->grab().toImage();
    button->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(button->hasFocus());
    const QImage focused = button->grab().toImage();
    EXPECT_EQ(button->size(), before);  // the mark moves nothing around it
    // A frame in the highlight colour along the edges.
    const QColor highlight = button->palette().color(QPalette::Highlight);
    int marked = 0, edge = 0;
    for (int x = 0; x < focused.width(); ++x)
      for (int y : {0, 1, focused.height() - 2, focused.height() - 1}) {
        ++edge;
        if (focused.pixelColor(x, y) == highlight && unfocused.pixelColor(x, y) != highlight) ++marked;
      }
    EXPECT_GT(marked, edge / 2) << marked << " of " << edge;
  }
}

}  // namespace
}  // namespace larkvale::app
