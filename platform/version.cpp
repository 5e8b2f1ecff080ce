#include "platform/version.h"

#ifndef LARKVALE_VERSION
#define LARKVALE_VERSION ""
#endif

namespace larkvale::platform {

QString VersionOrDefault(const QString& buildVersion) {
  const QString v = buildVersion.trimmed();
  return v.isEmpty() ? QStringLiteral("0.0.0.0") : v;
}

QString ProgramVersion() { return VersionOrDefault(QStringLiteral(LARKVALE_VERSION)); }

}  // namespace larkvale::platform
