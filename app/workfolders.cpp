#include "app/workfolders.h"

#include "platform/filesystem.h"

namespace larkvale::app {

QString TempDirOf(const QString& videoDir) { return videoDir + "/temp/"; }
QString FlvDirOf(const QString& videoDir) { return videoDir + "/flv/"; }

void CleanScratchFolder(const QString& tempDir) {
  for (const QString& name : platform::ListPlainFiles(tempDir)) platform::DeleteFile(tempDir + name);
}

}  // namespace larkvale::app
