#include "platform/workfolders.h"

#include "platform/filesystem.h"
#include "platform/settings.h"

namespace larkvale::platform {

QString TempDirOf(const QString& videoDir) { return videoDir + "/temp/"; }
QString FlvDirOf(const QString& videoDir) { return videoDir + "/flv/"; }

void CleanScratchFolder(const QString& tempDir) {
  for (const QString& name : ListPlainFiles(tempDir)) DeleteFile(tempDir + name);
}

void CreateWorkFolders(WorkFolders& state) {
  state.tempDir = TempDirOf(state.videoDir);
  CreateDirIfMissing(state.tempDir);
  state.flvDir = FlvDirOf(state.videoDir);
  CreateDirIfMissing(state.flvDir);
}

void SetUpWorkFolders(WorkFolders& state, const QString& homeDir, const QString& settingsFile) {
  state.videoDir = homeDir + QStringLiteral("/larkvale");
  CreateDirIfMissing(state.videoDir);
  state.videoDir = state.videoDir + "/" + QString::fromLatin1(kAppName);
  CreateDirIfMissing(state.videoDir);
  CreateWorkFolders(state);

  {
    SettingsAccessor accessor(settingsFile);
    accessor.CreateKey(kSettingsKey);
  }
  bool found = false;
  QString stored;
  {
    SettingsAccessor accessor(settingsFile);
    accessor.OpenKey(kSettingsKey, false);
    if (accessor.ValueExists(kVideoDirValue)) {
      stored = accessor.ReadString(kVideoDirValue);
      found = true;
    } else {
      accessor.WriteString(kVideoDirValue, state.videoDir);
    }
  }
  if (found) {
    state.videoDir = stored;
    CreateWorkFolders(state);
  }
}

void StoreVideoDir(const QString& settingsFile, const QString& videoDir) {
  SettingsAccessor accessor(settingsFile);
  accessor.OpenKey(kSettingsKey, false);
  accessor.WriteString(kVideoDirValue, videoDir);
}

}  // namespace larkvale::platform
