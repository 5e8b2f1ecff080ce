#include "app/proxychoice.h"

#include <exception>

#include "app/workfolders.h"
#include "platform/settings.h"

namespace larkvale::app {

http::TNetProxySetting StoredProxySetting(const QString& settingsFile) {
  try {
    platform::SettingsAccessor accessor(settingsFile);
    if (accessor.OpenKey(kSettingsKey, false) && accessor.ValueExists(kProxyValueName))
      return http::ParseProxySetting(accessor.ReadString(kProxyValueName).toStdString());
  } catch (const std::exception&) {
    // A value of another type: as if there were none.
  }
  return {};
}

}  // namespace larkvale::app
