#include "queue/proxychoice.h"

#include <exception>

#include "platform/workfolders.h"
#include "platform/settings.h"

namespace larkvale::queue {

http::TNetProxySetting StoredProxySetting(const QString& settingsFile) {
  try {
    platform::SettingsAccessor accessor(settingsFile);
    if (accessor.OpenKey(platform::kSettingsKey, false) && accessor.ValueExists(kProxyValueName))
      return http::ParseProxySetting(accessor.ReadString(kProxyValueName).toStdString());
  } catch (const std::exception&) {
    // A value of another type: as if there were none.
  }
  return {};
}

}  // namespace larkvale::queue
