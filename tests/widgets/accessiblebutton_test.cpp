// Tool buttons pressed as a screen reader presses them: the action answers
// at once and the click follows from the event loop, so a long click (a
// whole conversion) never holds the reader's request. Otherwise the button
// reads as the toolkit's own interface reads it.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>
#include <vector>

#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/window_parts.h"
#include "widgets/accessiblebutton.h"
#include "widgets/buttons.h"

namespace larkvale::widgets {
namespace {

QAccessibleActionInterface* Actions(QWidget* w) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
  return iface ? iface->actionInterface() : nullptr;
}

struct ButtonCase {
  const char* what;
  std::function<QToolButton*(QWidget*)> make;
  QAccessible::Role role;
  QString name, accelerator, action;
};

TEST(AccessibleToolButton, PressAnswersAtOnceAndTheClickFollowsFromTheEventLoop) {
  InstallAccessibleButtons();
  const std::vector<ButtonCase> cases = {
      {"image button", [](QWidget* p) { return new ImageButton(QIcon(), "Convert", QSize(16, 16), p); },
       QAccessible::Button, "Convert", "", QAccessibleActionInterface::pressAction()},
      {"tool button named by its text",
       [](QWidget* p) {
         auto* b = new QToolButton(p);
         b->setText("&Move up");
         return b;
       },
       QAccessible::Button, "Move up", "Alt+M", QAccessibleActionInterface::pressAction()},
      {"checkable tool button",
       [](QWidget* p) {
         auto* b = new QToolButton(p);
         b->setAccessibleName("Show List");
         b->setCheckable(true);
         return b;
       },
       QAccessible::CheckBox, "Show List", "", QAccessibleActionInterface::toggleAction()},
  };
  for (const ButtonCase& c : cases) {
    SCOPED_TRACE(c.what);
    QWidget host;
    QToolButton* button = c.make(&host);
    host.show();
    int clicks = 0;
    QObject::connect(button, &QAbstractButton::clicked, [&] { ++clicks; });
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(button);
    ASSERT_NE(iface, nullptr);
    EXPECT_NE(dynamic_cast<AccessibleToolButton*>(iface), nullptr);
    EXPECT_EQ(iface->role(), c.role);
    EXPECT_EQ(iface->text(QAccessible::Name), c.name);
    EXPECT_EQ(iface->text(QAccessible::Accelerator), c.accelerator);
    EXPECT_EQ(iface->state().checkable, button->isCheckable());
    QAccessibleActionInterface* actions = iface->actionInterface();
    ASSERT_NE(actions, nullptr);
    ASSERT_TRUE(actions->actionNames().contains(c.action)) << actions->actionNames().join(',').toStdString();

    actions->doAction(c.action);
    EXPECT_EQ(clicks, 0) << "the click ran inside the reader's request";
    EXPECT_FALSE(button->isChecked());
    QCoreApplication::processEvents();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button->isChecked(), button->isCheckable());
    EXPECT_EQ(iface->state().checked, button->isCheckable());
  }
}

TEST(AccessibleToolButton, ADisabledOrDeletedButtonIsNotClicked) {
  InstallAccessibleButtons();
  QWidget host;
  auto* disabled = new ImageButton(QIcon(), "Download", QSize(16, 16), &host);
  QPointer<QToolButton> deleted = new ImageButton(QIcon(), "Home", QSize(16, 16), &host);
  host.show();
  int clicks = 0;
  QObject::connect(disabled, &QAbstractButton::clicked, [&] { ++clicks; });
  QObject::connect(deleted.data(), &QAbstractButton::clicked, [&] { ++clicks; });
  disabled->setEnabled(false);
  EXPECT_FALSE(Actions(disabled)->actionNames().contains(QAccessibleActionInterface::pressAction()));
  Actions(disabled)->doAction(QAccessibleActionInterface::pressAction());
  // Pressed while it still exists; gone before the click would run.
  Actions(deleted)->doAction(QAccessibleActionInterface::pressAction());
  delete deleted.data();
  QCoreApplication::processEvents();
  EXPECT_EQ(clicks, 0);
}

TEST(AccessibleToolButton, AMenuOpensFromTheEventLoop) {
  InstallAccessibleButtons();
  struct MenuCase {
    QToolButton::ToolButtonPopupMode mode;
    QAccessible::Role role;
    bool pressable;  // the button's own part clicks
  };
  for (const MenuCase& c : {MenuCase{QToolButton::InstantPopup, QAccessible::ButtonMenu, false},
                            MenuCase{QToolButton::MenuButtonPopup, QAccessible::ButtonMenu, true},
                            MenuCase{QToolButton::DelayedPopup, QAccessible::ButtonDropDown, true}}) {
    SCOPED_TRACE(int(c.mode));
    QWidget host;
    auto* found = new QToolButton(&host);
    found->setText("3 videos");
    // The menu comes after the interface was made, as it may in the window.
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(found);
    ASSERT_NE(iface, nullptr);
    auto* menu = new QMenu(found);
    menu->addAction("first.mp4");
    found->setMenu(menu);
    found->setPopupMode(c.mode);
    host.show();
    EXPECT_EQ(iface->role(), c.role);
    EXPECT_TRUE(iface->state().hasPopup);
    const QStringList names = iface->actionInterface()->actionNames();
    EXPECT_TRUE(names.contains(QAccessibleActionInterface::showMenuAction())) << names.join(',').toStdString();
    EXPECT_EQ(names.contains(QAccessibleActionInterface::pressAction()), c.pressable) << names.join(',').toStdString();
    int shown = 0;
    QObject::connect(menu, &QMenu::aboutToShow, [&] {
      ++shown;
      // The menu runs its own loop; closing it from there ends the call.
      QTimer::singleShot(0, menu, &QMenu::close);
    });
    iface->actionInterface()->doAction(QAccessibleActionInterface::showMenuAction());
    EXPECT_EQ(shown, 0) << "the menu ran inside the reader's request";
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, 1);
  }
}

// The window's Convert, pressed by a screen reader: the request returns
// before the conversion has begun, and the conversion then runs and writes
// its file.
TEST(AccessibleToolButton, ConvertPressedByAScreenReaderReturnsBeforeTheConversionAndStillConverts) {
  QTemporaryDir media;
  const QString clip = media.path() + "/clip.flv";
  testsupport::FixtureSpec shape;
  shape.seconds = 3;
  ASSERT_TRUE(testsupport::MakeMediaFixture(clip.toStdString(), shape));
  testing::FakeDesktop desktop;
  auto form = std::make_unique<app::MainWindow>(desktop.services);
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  form->showPage(app::MainWindow::pgConverter);
  desktop.dialogs.openAnswers.push_back({clip});
  testing::Child<QAbstractButton>(form.get(), "mxTPButton11")->click();
  auto* format = testing::Child<QComboBox>(form.get(), "ComboBox1");
  format->setCurrentIndex(format->findText("MPEG 1"));
  ASSERT_EQ(format->currentText(), "MPEG 1");
  auto* status = testing::Child<QLabel>(form.get(), "Label2");
  const QString out = media.path() + "/out.mpg";
  desktop.dialogs.saveAnswers.push_back(out);

  auto* convert = testing::Child<QAbstractButton>(form.get(), "mxImageButton3");
  QAccessibleActionInterface* actions = Actions(convert);
  ASSERT_NE(actions, nullptr);
  actions->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_NE(status->text().toStdString(), "Done.");
  EXPECT_FALSE(QFile::exists(out));
  EXPECT_TRUE(QDir(media.path()).entryList({"*.part"}, QDir::Files).isEmpty());

  QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Done."), 120000);
  EXPECT_TRUE(desktop.dialogs.shown.empty()) << desktop.dialogs.Texts().join("|").toStdString();
  const testsupport::Probed probed = testsupport::FfProbe(out.toStdString());
  ASSERT_TRUE(probed.ok);
  EXPECT_EQ(probed.video.codec, "mpeg1video");
  EXPECT_NEAR(probed.duration, 3.0, 0.5);
}

}  // namespace
}  // namespace larkvale::widgets
