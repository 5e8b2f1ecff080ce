// The embedded browser's proxy: the same one the program's own client uses,
// so that a page and its download take the same road. The browser engine
// reads it when it starts, so this is applied before the first web view.
#pragma once

#include "http/proxy.h"

namespace larkvale::browser {

// No proxy: none for the browser either. From the environment: the
// system's configuration, which on Linux is the same proxy variables. An
// address: the application proxy (HTTP or SOCKS5; the browser asks for any
// password itself, and knows no exceptions).
void ApplyBrowserProxy(const http::TNetProxySetting& setting);

}  // namespace larkvale::browser
