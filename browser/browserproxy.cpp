#include "browser/browserproxy.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>
#include <cstdio>

#include "http/exceptions.h"

namespace larkvale::browser {

void ApplyBrowserProxy(const http::TNetProxySetting& setting) {
  if (setting.Mode == http::TNetProxySetting::FromEnvironment) {
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    return;
  }
  QNetworkProxyFactory::setUseSystemConfiguration(false);
  QNetworkProxy proxy(QNetworkProxy::NoProxy);
  if (setting.Mode == http::TNetProxySetting::Fixed) {
    try {
      const http::TNetProxy p = http::ParseProxyAddress(setting.Address);
      proxy = QNetworkProxy(p.Kind == http::TNetProxy::Socks5 ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy,
                            QString::fromStdString(p.Host), static_cast<quint16>(p.Port),
                            QString::fromStdString(p.User), QString::fromStdString(p.Password));
    } catch (const http::ENetProxyError& e) {
      // Downloads report the same address as unusable; browsing goes direct
      // rather than nowhere.
      std::fprintf(stderr, "Larkvale_HD: %s\n", e.what());
    }
  }
  QNetworkProxy::setApplicationProxy(proxy);
}

}  // namespace larkvale::browser
