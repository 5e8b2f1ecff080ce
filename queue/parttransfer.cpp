#include "queue/parttransfer.h"

#include "http/decoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/errors.h"

namespace larkvale::queue {
namespace {

constexpr char kOriginAttribute[] = "user.xdg.origin.url";

// A file opened for writing from its start, closed on every way out.
class OpenFile {
 public:
  explicit OpenFile(const QString& path) {
    fd_ = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0)
      throw std::runtime_error(
          QStringLiteral("Cannot open file \"%1\". %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))).toStdString());
  }
  ~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// The length of the file, -1 when there is none.
std::int64_t FileLength(const QString& path) {
  struct stat st {};
  if (path.isEmpty() || ::stat(path.toLocal8Bit().constData(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

// A .part file grows only by what arrives. The client gives a file its
// announced length up front; here that would leave a killed download's file
// full length with zeros at the end, indistinguishable from a whole one, and
// its length could no longer say where to resume.
class PartFile : public http::TNetStream {
 public:
  explicit PartFile(int fd) : file_(fd, false) {}
  std::size_t Read(void* buffer, std::size_t n) override { return file_.Read(buffer, n); }
  void Write(const void* buffer, std::size_t n) override { file_.Write(buffer, n); }
  void Seek(std::int64_t position) override { file_.Seek(position); }
  std::int64_t Position() const override { return file_.Position(); }
  std::int64_t Size() const override { return file_.Size(); }
  // Cuts (a redirect, a restart); never grows.
  void SetSize(std::int64_t size) override {
    if (size < file_.Size()) file_.SetSize(size);
  }
  void Flush() { file_.Flush(); }

 private:
  http::TNetFileStream file_;
};

}  // namespace

void CreateEmptyFile(const QString& path) {
  const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw platform::EFCreateError(path, QString::fromLocal8Bit(std::strerror(errno)));
  ::close(fd);
}

QString PartOrigin(const QString& part) {
  const QByteArray path = part.toLocal8Bit();
  const ssize_t size = ::getxattr(path.constData(), kOriginAttribute, nullptr, 0);
  if (size <= 0) return {};
  QByteArray value(size, Qt::Uninitialized);
  const ssize_t n = ::getxattr(path.constData(), kOriginAttribute, value.data(), std::size_t(value.size()));
  return n > 0 ? QString::fromUtf8(value.constData(), n) : QString();
}

PartTransfer::Result PartTransfer::Run(const QString& link, const QString& part) {
  Result result;
  try {
    Transfer(link, part, std::max<std::int64_t>(FileLength(part), 0));
  } catch (const std::exception& e) {
    result.error = QString::fromUtf8(e.what());
    if (result.error.isEmpty()) result.error = QStringLiteral("Unknown error");
  } catch (...) {
    result.error = QStringLiteral("Unknown error");
  }
  if (result.error.isEmpty()) result.error = rangeError_;
  result.have = FileLength(part);
  // A Stop that came with the last block still leaves a whole file.
  const bool whole = result.error.isEmpty() && (expected_ >= 0 ? result.have >= expected_ : !cutByStop_);
  if (result.error.isEmpty() && !whole && !cutByStop_)
    result.error = QStringLiteral("Connection closed after %1 of %2 bytes.").arg(result.have).arg(expected_);
  const QString name = part.chopped(5);
  if (whole && std::rename(part.toLocal8Bit().constData(), name.toLocal8Bit().constData()) != 0)
    result.error = QStringLiteral("Cannot rename \"%1\". %2").arg(part, QString::fromLocal8Bit(std::strerror(errno)));
  result.complete = whole && result.error.isEmpty();
  result.stopped = !result.complete && cutByStop_;
  // A failure leaves no empty file behind; received bytes stay for a retry.
  if (!result.complete && !result.stopped && result.have == 0) ::unlink(part.toLocal8Bit().constData());
  return result;
}

void PartTransfer::Transfer(const QString& link, const QString& part, std::int64_t offset) {
  if (offset == 0) {
    CreateEmptyFile(part);
    // Best effort: without the attribute the .part is simply not found again.
    if (recordOrigin) {
      const QByteArray value = link.toUtf8();
      ::setxattr(part.toLocal8Bit().constData(), kOriginAttribute, value.constData(), std::size_t(value.size()), 0);
    }
  }
  OpenFile file(part);
  PartFile sink(file.Fd());
  sink.Seek(offset);
  sink_ = &sink;
  resumeFrom_ = offset;
  base_ = 0;
  expected_ = -1;
  counting_ = false;
  cutByStop_ = false;
  rangeError_.clear();
  // "Range: bytes=N-" asks for the rest; the request record keeps its fields
  // from call to call, so they go back to 0 on every way out.
  client_.Request.ContentRangeStart = offset;
  client_.Request.ContentRangeEnd = 0;
  struct Restore {
    PartTransfer& t;
    ~Restore() {
      t.client_.Request.ContentRangeStart = 0;
      t.sink_ = nullptr;
      t.counting_ = false;
    }
  } restore{*this};
  try {
    client_.Get(link.toStdString(), sink);
  } catch (...) {
    try {
      sink.Flush();  // keep what arrived before the failure
    } catch (...) {
    }
    throw;
  }
  sink.Flush();
  // The bytes that came with a refused reply's head were written all the same.
  if (!rangeError_.isEmpty()) sink.SetSize(offset);
}

bool PartTransfer::Begin(std::int64_t announced) {
  // Only the body of a 2xx reply is the file's: a redirect's or an error's
  // body leaves the file alone.
  const int code = client_.Response.StatusCode();
  counting_ = sink_ && code / 100 == 2;
  if (!counting_) return false;
  base_ = 0;
  if (resumeFrom_ > 0) {
    const std::int64_t start = client_.Response.ContentRangeStart;
    if (code == 206 && start > resumeFrom_) {
      // A gap would follow; nothing is written. (No exception here: it
      // would leave the client's work bracket open.)
      rangeError_ = QStringLiteral("The server resumed at byte %1, not at byte %2.").arg(start).arg(resumeFrom_);
      counting_ = false;
      client_.Disconnect();
      return false;
    }
    // 206 appends to what is there (from where the server starts); any other
    // reply is the whole file again.
    base_ = code == 206 ? start : 0;
    sink_->SetSize(base_);
    sink_->Seek(base_);
  }
  // A compressed reply announces its compressed length; the file takes the
  // decoded bytes, whose count only the body's end tells.
  const bool decoded = client_.DecodeContent &&
                       http::ContentCodingOf(client_.Response.ContentEncoding) != http::TNetContentCoding::None;
  expected_ = announced > 0 && !decoded ? base_ + announced : -1;
  return true;
}

void PartTransfer::Stop() {
  cutByStop_ = true;
  client_.Disconnect();
}

}  // namespace larkvale::queue
