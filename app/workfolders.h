#pragma once
#include <QString>

namespace larkvale::app {

inline constexpr const char* kAppName = "Larkvale_HD";
// The settings key that holds the one stored value.
inline const QString kSettingsKey = QStringLiteral("Software\\Larkvale_HD");
inline const QString kVideoDirValue = QStringLiteral("videodir");

QString TempDirOf(const QString& videoDir);  // VideoDir + "/temp/"
QString FlvDirOf(const QString& videoDir);   // VideoDir + "/flv/"

// Deletes the plain, non-hidden files directly in `tempDir`; folders and
// files that cannot be deleted stay, silently.
void CleanScratchFolder(const QString& tempDir);

}  // namespace larkvale::app
