// The browser's proxy follows the program's proxy setting.
#include "browser/browserproxy.h"

#include <gtest/gtest.h>

#include <QNetworkProxy>
#include <QNetworkProxyFactory>

namespace larkvale::browser {
namespace {

TEST(BrowserProxy, TheSettingBecomesTheApplicationProxy) {
  const QNetworkProxy before = QNetworkProxy::applicationProxy();
  const bool system = QNetworkProxyFactory::usesSystemConfiguration();
  const struct {
    const char* setting;
    bool system;
    QNetworkProxy::ProxyType type;
    const char *host, *user;
    int port;
  } cases[] = {
      {"socks5h://ann:pw@127.0.0.1:1081", false, QNetworkProxy::Socks5Proxy, "127.0.0.1", "ann", 1081},
      {"http://[::1]:3128", false, QNetworkProxy::HttpProxy, "::1", "", 3128},
      {"none", false, QNetworkProxy::NoProxy, "", "", 0},
      // An address that cannot be used: straight on rather than nowhere.
      {"ftp://127.0.0.1:21", false, QNetworkProxy::NoProxy, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    ApplyBrowserProxy(http::ParseProxySetting(c.setting));
    const QNetworkProxy now = QNetworkProxy::applicationProxy();
    EXPECT_EQ(QNetworkProxyFactory::usesSystemConfiguration(), c.system);
    EXPECT_EQ(now.type(), c.type);
    EXPECT_EQ(now.hostName(), QString::fromLatin1(c.host));
    EXPECT_EQ(now.user(), QString::fromLatin1(c.user));
    if (c.port) EXPECT_EQ(now.port(), c.port);
  }
  ApplyBrowserProxy(http::ParseProxySetting("environment"));
  EXPECT_TRUE(QNetworkProxyFactory::usesSystemConfiguration());
  QNetworkProxyFactory::setUseSystemConfiguration(system);
  QNetworkProxy::setApplicationProxy(before);
}

}  // namespace
}  // namespace larkvale::browser
