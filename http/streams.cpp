#include "http/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace larkvale::http {

namespace {
[[noreturn]] void RaiseIo(const char* what) { throw std::system_error(errno, std::generic_category(), what); }
}  // namespace

// --- TNetMemoryStream ----------------------------------------------------

std::size_t TNetMemoryStream::Read(void* buffer, std::size_t n) {
  if (position_ >= size_) return 0;
  std::size_t k = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), size_ - position_));
  auto* out = static_cast<char*>(buffer);
  std::size_t fromData = 0;
  if (position_ < static_cast<std::int64_t>(data_.size())) {
    fromData = std::min(k, data_.size() - static_cast<std::size_t>(position_));
    std::memcpy(out, data_.data() + position_, fromData);
  }
  std::memset(out + fromData, 0, k - fromData);
  position_ += static_cast<std::int64_t>(k);
  return k;
}

void TNetMemoryStream::Write(const void* buffer, std::size_t n) {
  if (n == 0) return;
  auto pos = static_cast<std::size_t>(position_);
  if (data_.size() < pos + n) data_.resize(pos + n);
  std::memcpy(data_.data() + pos, buffer, n);
  position_ += static_cast<std::int64_t>(n);
  size_ = std::max(size_, position_);
}

void TNetMemoryStream::SetSize(std::int64_t size) {
  if (size < 0) size = 0;
  if (size < static_cast<std::int64_t>(data_.size())) data_.resize(static_cast<std::size_t>(size));
  size_ = size;
}

std::string TNetMemoryStream::Bytes() const {
  std::string all = data_;
  all.resize(static_cast<std::size_t>(size_));
  return all;
}

// --- TNetFileStream ------------------------------------------------------

TNetFileStream::TNetFileStream(const std::string& path) : owns_(true), pending_(new char[kBufferSize]) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) RaiseIo(("cannot open " + path).c_str());
}

TNetFileStream::TNetFileStream(int fd, bool owns) : fd_(fd), owns_(owns), pending_(new char[kBufferSize]) {
  off_t at = ::lseek(fd_, 0, SEEK_CUR);
  position_ = at < 0 ? 0 : at;
}

TNetFileStream::~TNetFileStream() {
  try {
    Flush();
  } catch (...) {
    // A destructor cannot report; callers that care call Flush first.
  }
  if (owns_ && fd_ >= 0) ::close(fd_);
}

void TNetFileStream::Flush() {
  std::size_t done = 0;
  while (done < pendingSize_) {
    ssize_t n = ::pwrite(fd_, pending_.get() + done, pendingSize_ - done, pendingStart_ + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      // Keep what is still unwritten so that a retry can hand it over.
      std::memmove(pending_.get(), pending_.get() + done, pendingSize_ - done);
      pendingStart_ += static_cast<std::int64_t>(done);
      pendingSize_ -= done;
      RaiseIo("write failed");
    }
    done += static_cast<std::size_t>(n);
  }
  pendingSize_ = 0;
}

void TNetFileStream::Write(const void* buffer, std::size_t n) {
  if (n == 0) return;
  // Pending bytes are always one run that ends at the position.
  if (pendingSize_ > 0 && pendingStart_ + static_cast<std::int64_t>(pendingSize_) != position_) Flush();
  if (pendingSize_ + n > kBufferSize) Flush();
  if (n >= kBufferSize) {
    const char* p = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < n) {
      ssize_t w = ::pwrite(fd_, p + done, n - done, position_ + static_cast<off_t>(done));
      if (w < 0) {
        if (errno == EINTR) continue;
        RaiseIo("write failed");
      }
      done += static_cast<std::size_t>(w);
    }
    position_ += static_cast<std::int64_t>(n);
    return;
  }
  if (pendingSize_ == 0) pendingStart_ = position_;
  std::memcpy(pending_.get() + pendingSize_, buffer, n);
  pendingSize_ += n;
  position_ += static_cast<std::int64_t>(n);
}

std::size_t TNetFileStream::Read(void* buffer, std::size_t n) {
  Flush();
  ssize_t r;
  do {
    r = ::pread(fd_, buffer, n, position_);
  } while (r < 0 && errno == EINTR);
  if (r < 0) RaiseIo("read failed");
  position_ += r;
  return static_cast<std::size_t>(r);
}

void TNetFileStream::Seek(std::int64_t position) { position_ = std::max<std::int64_t>(0, position); }

std::int64_t TNetFileStream::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) RaiseIo("stat failed");
  if (pendingSize_ == 0) return st.st_size;
  return std::max<std::int64_t>(st.st_size, pendingStart_ + static_cast<std::int64_t>(pendingSize_));
}

void TNetFileStream::SetSize(std::int64_t size) {
  Flush();
  if (::ftruncate(fd_, std::max<std::int64_t>(0, size)) != 0) RaiseIo("cannot set the file size");
}

}  // namespace larkvale::http
