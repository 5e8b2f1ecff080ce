#include "platform/filesystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/errors.h"

namespace larkvale::platform {
namespace {

QByteArray Native(const QString& path) { return path.toLocal8Bit(); }

}  // namespace

bool DirectoryExists(const QString& path) {
  struct stat st {};
  return !path.isEmpty() && ::stat(Native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const QString& path) {
  struct stat st {};
  return !path.isEmpty() && ::stat(Native(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void CreateDirIfMissing(const QString& path) {
  if (DirectoryExists(path)) return;
  if (::mkdir(Native(path).constData(), 0777) != 0) throw EInOutError(IoCodeFromErrno(errno));
}

QStringList ListPlainFiles(const QString& folder) {
  QStringList names;
  const QByteArray dirPath = Native(folder);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dirPath.constData()), ::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;  // hidden, and the . and .. entries
    const QByteArray full = dirPath + (dirPath.endsWith('/') ? "" : "/") + entry->d_name;
    struct stat st {};
    if (::stat(full.constData(), &st) != 0) {
      // A dangling link is still a plain entry that can be removed.
      if (::lstat(full.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
    } else if (!S_ISREG(st.st_mode)) {
      continue;  // folders, pipes, devices
    }
    names << QString::fromLocal8Bit(entry->d_name);
  }
  return names;
}

bool DeleteFile(const QString& path) { return ::unlink(Native(path).constData()) == 0; }

}  // namespace larkvale::platform
