#include "queue/partfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QFile>

#include "http/uri.h"
#include "platform/errors.h"

namespace larkvale::queue {
namespace {

constexpr char kOriginAttribute[] = "user.xdg.origin.url";
constexpr char kSplitAttribute[] = "user.larkvale.split";

}  // namespace

// The length of the file, -1 when there is none.
std::int64_t FileLength(const QString& path) {
  struct stat st {};
  if (path.isEmpty() || ::stat(path.toLocal8Bit().constData(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

bool RenameWithoutReplacing(const QString& from, const QString& to) {
  const QByteArray source = from.toLocal8Bit(), target = to.toLocal8Bit();
  if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails as well when the name
  // is taken; one without hard links gets the look before the rename.
  if (::link(source.constData(), target.constData()) == 0) {
    ::unlink(source.constData());
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat st {};
  if (::lstat(target.constData(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return std::rename(source.constData(), target.constData()) == 0;
}

void CreateEmptyFile(const QString& path) {
  const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw platform::EFCreateError(path, QString::fromLocal8Bit(std::strerror(errno)));
  ::close(fd);
}

void RecordOrigin(const QString& part, const QString& link) {
  const QByteArray value = QByteArray::fromStdString(http::AddressWithoutCredentials(link.toStdString()));
  ::setxattr(part.toLocal8Bit().constData(), kOriginAttribute, value.constData(), std::size_t(value.size()), 0);
}

QString PartOrigin(const QString& part) {
  const QByteArray path = part.toLocal8Bit();
  const ssize_t size = ::getxattr(path.constData(), kOriginAttribute, nullptr, 0);
  if (size <= 0) return {};
  QByteArray value(size, Qt::Uninitialized);
  const ssize_t n = ::getxattr(path.constData(), kOriginAttribute, value.data(), std::size_t(value.size()));
  return n > 0 ? QString::fromUtf8(value.constData(), n) : QString();
}

namespace {

constexpr char kStateFirstLine[] = "larkvale-part 1";

// A header value as it may stand on one line of the state file.
std::string OneLine(std::string value) {
  value.erase(std::remove_if(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }), value.end());
  return value;
}

}  // namespace

std::string ValidatorText(const std::string& value) {
  std::string line = OneLine(value);
  return line.size() <= 1024 ? line : std::string();
}

bool PartState::Load(const QString& part, PartState& state) {
  state = PartState();
  QFile file(FileNameFor(part));
  if (!file.open(QIODevice::ReadOnly)) return false;
  // A state file is a few lines; anything larger is not ours.
  const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
  if (lines.isEmpty() || lines.front().trimmed() != kStateFirstLine) return false;
  for (const QByteArray& line : lines) {
    const int colon = line.indexOf(':');
    if (colon <= 0) continue;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const std::string value = line.mid(colon + 1).trimmed().toStdString();
    if (name == "etag") {
      state.etag = value;
    } else if (name == "last-modified") {
      state.lastModified = value;
    } else if (name == "range") {
      // "<start> <end> <have>"; anything else makes the ranges unusable.
      const QList<QByteArray> words = QByteArray::fromStdString(value).simplified().split(' ');
      Range range;
      bool ok = words.size() == 3;
      if (ok) range.start = words[0].toLongLong(&ok);
      if (ok) range.end = words[1].toLongLong(&ok);
      if (ok) range.have = words[2].toLongLong(&ok);
      if (!ok) range = Range{0, 0, -1};
      state.ranges.push_back(range);
    } else if (name == "coding") {
      state.coding = value;
    } else if (name == "length") {
      bool ok = false;
      const qint64 n = QByteArray::fromStdString(value).toLongLong(&ok);
      state.total = ok && n >= 0 ? n : -1;
    }
  }
  return true;
}

bool PartState::Save(const QString& part) const {
  std::string text = std::string(kStateFirstLine) + "\n";
  if (!etag.empty()) text += "etag: " + OneLine(etag) + "\n";
  if (!lastModified.empty()) text += "last-modified: " + OneLine(lastModified) + "\n";
  if (total >= 0) text += "length: " + std::to_string(total) + "\n";
  if (!coding.empty()) text += "coding: " + OneLine(coding) + "\n";
  for (const Range& r : ranges)
    text += "range: " + std::to_string(r.start) + " " + std::to_string(r.end) + " " + std::to_string(r.have) + "\n";
  // Written aside and renamed over the old one, so a kill leaves either. A
  // write that finds the disk full keeps the old one: it never claims more
  // than is on disk, while an empty one would lose every part's place.
  const QByteArray name = FileNameFor(part).toLocal8Bit();
  const QByteArray aside = name + ".new";
  const int fd = ::open(aside.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool written = true;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += std::size_t(n);
  }
  written = ::close(fd) == 0 && written;
  if (written && std::rename(aside.constData(), name.constData()) == 0) return true;
  ::unlink(aside.constData());
  return false;
}

void PartState::Remove(const QString& part) { QFile::remove(FileNameFor(part)); }

bool PartState::RangesValid() const {
  if (ranges.empty() || total <= 0) return false;
  std::int64_t at = 0;
  for (const Range& r : ranges) {
    if (r.start != at || r.end <= r.start || r.have < 0 || r.have > r.end - r.start) return false;
    at = r.end;
  }
  return at == total;
}

bool MarkSplit(const QString& part, bool on) {
  const QByteArray path = part.toLocal8Bit();
  if (!on) return ::removexattr(path.constData(), kSplitAttribute) == 0 || errno == ENODATA;
  return ::setxattr(path.constData(), kSplitAttribute, "1", 1, 0) == 0;
}

bool MarkedSplit(const QString& part) {
  return ::getxattr(part.toLocal8Bit().constData(), kSplitAttribute, nullptr, 0) >= 0;
}

}  // namespace larkvale::queue
