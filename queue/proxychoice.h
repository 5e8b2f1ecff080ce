// The user's proxy choice, kept as the "proxy" value of the settings file:
// "none", "environment" (also when the value is missing), or a proxy's
// address such as "http://127.0.0.1:3128" or "socks5h://127.0.0.1:1080".
// The window and the command line read it the same way.
#pragma once

#include <QString>

#include "http/proxy.h"

namespace larkvale::queue {

inline const QString kProxyValueName = QStringLiteral("proxy");

// The stored choice; an unreadable file or value counts as "environment".
http::TNetProxySetting StoredProxySetting(const QString& settingsFile);

}  // namespace larkvale::queue
