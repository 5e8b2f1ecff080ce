// The stream quality choice on the download bar: stored as "maxheight" and
// shown again by the next window.
#include <gtest/gtest.h>

#include <QComboBox>

#include "app/mainwindow.h"
#include "app/sharedstate.h"
#include "platform/settings.h"
#include "support/fakes.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;

QString Stored(const FakeDesktop& desktop) {
  platform::SettingsAccessor accessor(platform::SettingsFilePath(desktop.services.environment.configHome));
  if (!accessor.OpenKey(kSettingsKey, false) || !accessor.ValueExists(QStringLiteral("maxheight"))) return {};
  return accessor.ReadString(QStringLiteral("maxheight"));
}

TEST(StreamHeight, ChoiceIsStoredAndShownAgain) {
  FakeDesktop desktop;
  {
    MainWindow form(desktop.services);
    auto* combo = Child<QComboBox>(&form, "StreamHeight");
    EXPECT_EQ(combo->currentText(), QStringLiteral("Best"));
    EXPECT_EQ(combo->count(), 5);
    combo->setCurrentIndex(combo->findText(QStringLiteral("480")));
    EXPECT_EQ(Stored(desktop), QStringLiteral("480"));
  }
  {
    MainWindow form(desktop.services);
    auto* combo = Child<QComboBox>(&form, "StreamHeight");
    EXPECT_EQ(combo->currentText(), QStringLiteral("480"));
    combo->setCurrentIndex(0);
    EXPECT_EQ(Stored(desktop), QStringLiteral("Best"));
  }
}

}  // namespace
}  // namespace larkvale::app
