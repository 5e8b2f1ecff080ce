// The speed limit on the download bar: stored as "ratelimit" (KB/s), shown
// again by the next window and in force for every client of the process.
#include <gtest/gtest.h>

#include <QSpinBox>

#include "app/mainwindow.h"
#include "app/sharedstate.h"
#include "http/ratelimit.h"
#include "platform/settings.h"
#include "support/fakes.h"
#include "support/window_parts.h"

namespace larkvale::app {
namespace {

using testing::Child;
using testing::FakeDesktop;

QString Stored(const FakeDesktop& desktop) {
  platform::SettingsAccessor accessor(platform::SettingsFilePath(desktop.services.environment.configHome));
  if (!accessor.OpenKey(kSettingsKey, false) || !accessor.ValueExists(QStringLiteral("ratelimit"))) return {};
  return accessor.ReadString(QStringLiteral("ratelimit"));
}

TEST(RateLimitSetting, IsStoredShownAgainAndAppliedToAllTransfers) {
  struct Reset {
    ~Reset() { http::RateLimit::Global().SetBytesPerSecond(0); }
  } reset;
  FakeDesktop desktop;
  {
    MainWindow form(desktop.services);
    auto* field = Child<QSpinBox>(&form, "RateLimit");
    EXPECT_EQ(field->value(), 0);
    EXPECT_FALSE(http::RateLimit::Global().Active());
    field->setValue(1500);
    EXPECT_EQ(Stored(desktop), QStringLiteral("1500"));
    EXPECT_EQ(http::RateLimit::Global().BytesPerSecond(), 1500 * 1024);
  }
  http::RateLimit::Global().SetBytesPerSecond(0);
  {
    // The next window applies the stored limit from its start.
    MainWindow form(desktop.services);
    EXPECT_EQ(Child<QSpinBox>(&form, "RateLimit")->value(), 1500);
    EXPECT_EQ(http::RateLimit::Global().BytesPerSecond(), 1500 * 1024);
    Child<QSpinBox>(&form, "RateLimit")->setValue(0);
    EXPECT_EQ(Stored(desktop), QStringLiteral("0"));
    EXPECT_FALSE(http::RateLimit::Global().Active());
  }
}

}  // namespace
}  // namespace larkvale::app
