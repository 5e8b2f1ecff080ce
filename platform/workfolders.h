#pragma once
// The working folders, shared by the window and the command line: the video
// folder (stored in the settings), its scratch folder and its download folder.

#include <QString>

namespace larkvale::platform {

inline constexpr const char* kAppName = "Larkvale_HD";
// The settings key that holds the one stored value.
inline const QString kSettingsKey = QStringLiteral("Software\\Larkvale_HD");
inline const QString kVideoDirValue = QStringLiteral("videodir");

struct WorkFolders {
  // AppDir and FlvDir/TempDir end in "/", VideoDir does not.
  QString appDir;
  QString videoDir;
  QString tempDir;  // scratch: the last fetched page
  QString flvDir;   // downloads
};

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
void SetUpWorkFolders(WorkFolders& folders, const QString& homeDir, const QString& settingsFile);

// Stores `videoDir` as the video folder.
void StoreVideoDir(const QString& settingsFile, const QString& videoDir);

// TempDir and FlvDir of the VideoDir, each set and then created.
void CreateWorkFolders(WorkFolders& folders);

}  // namespace larkvale::platform
