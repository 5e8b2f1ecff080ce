#include "queue/filenames.h"

#include <fcntl.h>
#include <unistd.h>

#include "extract/mediatypes.h"
#include "platform/filesystem.h"

namespace larkvale::queue {

using platform::FileExists;

QString DownloadFileName(const QString& flvDir, int n, const QString& extension) {
  return flvDir + QStringLiteral("flv") + QString::number(n) + QStringLiteral("video") + extension;
}

QString ExtensionFor(const QString& link) {
  if (link.contains(QStringLiteral("fmt="))) return QStringLiteral(".avi");
  // A link to a file (found on an ordinary page) keeps that file's own kind.
  const std::string own = extract::MediaExtension(link.toStdString());
  return own.empty() ? QStringLiteral(".flv") : QString::fromStdString(own);
}

QString FreeName(const QString& flvDir, int& n, const QString& extension) {
  QString name = DownloadFileName(flvDir, n, extension);
  while (FileExists(name) || FileExists(PartFileName(name))) name = DownloadFileName(flvDir, ++n, extension);
  return name;
}

bool ClaimPart(const QString& part) {
  const int fd = ::open(part.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

QString NameBook::Take(quint64 row, const QString& flvDir, int& n, const QString& extension) {
  Release(row);
  QString name = DownloadFileName(flvDir, n, extension);
  while (byName_.count(name) || FileExists(name) || FileExists(PartFileName(name)))
    name = DownloadFileName(flvDir, ++n, extension);
  byName_[name] = row;
  byRow_[row] = name;
  return name;
}

bool NameBook::Hold(quint64 row, const QString& finalName) {
  if (HeldByOther(row, finalName)) return false;
  if (NameOf(row) == finalName) return true;
  Release(row);
  byName_[finalName] = row;
  byRow_[row] = finalName;
  return true;
}

void NameBook::Release(quint64 row) {
  const auto it = byRow_.find(row);
  if (it == byRow_.end()) return;
  byName_.erase(it->second);
  byRow_.erase(it);
}

QString NameBook::NameOf(quint64 row) const {
  const auto it = byRow_.find(row);
  return it == byRow_.end() ? QString() : it->second;
}

bool NameBook::HeldByOther(quint64 row, const QString& finalName) const {
  const auto it = byName_.find(finalName);
  return it != byName_.end() && it->second != row;
}

}  // namespace larkvale::queue
