#include "platform/services.h"

#include <QCoreApplication>
#include <QDir>

#include "platform/datadir.h"

namespace larkvale::platform {

Environment Environment::FromProcess() {
  Environment e;
  e.homeDir = qEnvironmentVariable("HOME", QDir::homePath());
  e.configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (e.configHome.isEmpty()) e.configHome = e.homeDir + "/.config";
  e.dataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (e.dataHome.isEmpty()) e.dataHome = e.homeDir + "/.local/share";
  e.appDir = ProgramDataDir();
  return e;
}

}  // namespace larkvale::platform
