// The proxy choice: the dialog's three ways, its refusal of an address that
// cannot be used, and the stored value read back as the window and the
// command line read it.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

#include "queue/proxychoice.h"
#include "app/proxydialog.h"
#include "app/sharedstate.h"
#include "platform/settings.h"

namespace larkvale::app {
namespace {

template <class T>
T* Find(QWidget* parent, const char* name) {
  T* w = parent->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(w, nullptr) << name;
  return w;
}

TEST(ProxyChoice, TheDialogGivesEachWayAndRefusesUnusableAddresses) {
  ProxyDialog dialog({http::TNetProxySetting::Fixed, "http://127.0.0.1:3128"});
  EXPECT_TRUE(Find<QRadioButton>(&dialog, "AddressProxyChoice")->isChecked());
  EXPECT_EQ(Find<QLineEdit>(&dialog, "ProxyAddress")->text(), "http://127.0.0.1:3128");

  Find<QRadioButton>(&dialog, "NoProxyChoice")->setChecked(true);
  EXPECT_EQ(dialog.setting().Mode, http::TNetProxySetting::NoProxy);
  EXPECT_EQ(dialog.settingText(), "none");
  Find<QRadioButton>(&dialog, "EnvironmentProxyChoice")->setChecked(true);
  EXPECT_EQ(dialog.settingText(), "environment");

  Find<QRadioButton>(&dialog, "AddressProxyChoice")->setChecked(true);
  for (const char* bad : {"ftp://127.0.0.1:21", ""}) {
    SCOPED_TRACE(bad);
    Find<QLineEdit>(&dialog, "ProxyAddress")->setText(QString::fromLatin1(bad));
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(Find<QLabel>(&dialog, "ProxyProblem")->text().isEmpty());
  }
  Find<QLineEdit>(&dialog, "ProxyAddress")->setText("socks5h://[::1]:1080");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.setting(), (http::TNetProxySetting{http::TNetProxySetting::Fixed, "socks5h://[::1]:1080"}));
}

TEST(ProxyChoice, TheStoredValueIsReadBack) {
  QTemporaryDir dir;
  const QString file = platform::SettingsFilePath(dir.path());
  EXPECT_EQ(queue::StoredProxySetting(file), http::TNetProxySetting{});  // no file yet
  const struct {
    const char* stored;
    http::TNetProxySetting want;
  } cases[] = {
      {"none", {http::TNetProxySetting::NoProxy, ""}},
      {"environment", {}},
      {"http://ann:pw@127.0.0.1:3128", {http::TNetProxySetting::Fixed, "http://ann:pw@127.0.0.1:3128"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    platform::SettingsAccessor accessor(file);
    accessor.OpenKey(kSettingsKey, true);
    accessor.WriteString(queue::kProxyValueName, QString::fromLatin1(c.stored));
    EXPECT_EQ(queue::StoredProxySetting(file), c.want);
  }
}

}  // namespace
}  // namespace larkvale::app
