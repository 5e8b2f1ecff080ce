#pragma once
#include <QString>

#include "app/sharedstate.h"

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

// Start-up: the default tree under `homeDir` is created at every start, also
// when a stored folder points elsewhere; then the stored video folder is read,
// or the default one stored. The stored folder itself is not created: a folder
// that is gone makes creating its temp folder fail, and the default tree's flv
// folder stays in use. Errors leave the folders set so far.
void SetUpWorkFolders(SharedState& state, const QString& homeDir, const QString& settingsFile);

// Stores `videoDir` as the video folder.
void StoreVideoDir(const QString& settingsFile, const QString& videoDir);

// TempDir and FlvDir of the state's VideoDir, each set and then created.
void CreateWorkFolders(SharedState& state);

}  // namespace larkvale::app
