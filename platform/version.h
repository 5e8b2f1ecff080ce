#pragma once
#include <QString>

namespace larkvale::platform {

// The program version as the build names it, "0.0.0.0" when it names none.
QString ProgramVersion();
// The same rule for a given build version text.
QString VersionOrDefault(const QString& buildVersion);

}  // namespace larkvale::platform
