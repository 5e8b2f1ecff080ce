#include "platform/datadir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifndef LARKVALE_DATA_RELATIVE
#define LARKVALE_DATA_RELATIVE "../share/larkvale_hd"
#endif
#ifndef LARKVALE_DATA_ABSOLUTE
#define LARKVALE_DATA_ABSOLUTE "/usr/local/share/larkvale_hd"
#endif

namespace larkvale::platform {

namespace {

QString WithSlash(const QString& dir) { return dir.endsWith('/') ? dir : dir + '/'; }

bool HoldsData(const QString& dir) {
  return !dir.isEmpty() && QFileInfo(QDir(dir).filePath(QString::fromLatin1(kDataMarkerFile))).isFile();
}

}  // namespace

QString FindDataDir(const QString& exeDir, const QString& relativeDataDir, const QString& absoluteDataDir) {
  const QString candidates[] = {
      exeDir,
      relativeDataDir.isEmpty() ? QString() : QDir::cleanPath(QDir(exeDir).filePath(relativeDataDir)),
      absoluteDataDir,
  };
  for (const QString& dir : candidates)
    if (HoldsData(dir)) return WithSlash(dir);
  return WithSlash(exeDir);
}

QString ProgramDataDir() {
  return FindDataDir(QCoreApplication::applicationDirPath(), QStringLiteral(LARKVALE_DATA_RELATIVE),
                     QStringLiteral(LARKVALE_DATA_ABSOLUTE));
}

}  // namespace larkvale::platform
