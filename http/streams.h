// Seekable byte streams: the sinks a body is read into and the sources a
// request body is sent from. `TNetFileStream` collects writes in memory so
// that a body arriving in 1024-byte blocks reaches the file in large writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace larkvale::http {

class TNetStream {
 public:
  virtual ~TNetStream() = default;
  // Up to n bytes from the position; 0 at the end.
  virtual std::size_t Read(void* buffer, std::size_t n) = 0;
  // n bytes at the position, extending the stream as needed; raises on failure.
  virtual void Write(const void* buffer, std::size_t n) = 0;
  virtual void Seek(std::int64_t position) = 0;
  virtual std::int64_t Position() const = 0;
  virtual std::int64_t Size() const = 0;
  // Grows or cuts the stream; the position is kept.
  virtual void SetSize(std::int64_t size) = 0;
};

// A stream in memory. Growing the size only records it: the bytes are
// allocated as they are written, so an announced length (which a server may
// inflate at will) costs no memory up front. Unwritten bytes read as zero.
class TNetMemoryStream : public TNetStream {
 public:
  TNetMemoryStream() = default;
  explicit TNetMemoryStream(std::string bytes) : data_(std::move(bytes)), size_(static_cast<std::int64_t>(data_.size())) {}
  std::size_t Read(void* buffer, std::size_t n) override;
  void Write(const void* buffer, std::size_t n) override;
  void Seek(std::int64_t position) override { position_ = position; }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return size_; }
  void SetSize(std::int64_t size) override;
  // The stream's bytes (padding never-written gaps with zeros).
  std::string Bytes() const;

 private:
  std::string data_;  // the written prefix; Size() may be larger
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
};

// A stream over a POSIX file descriptor. Writes are collected in a buffer of
// `kBufferSize` bytes and written with pwrite; Flush (and the destructor,
// which cannot report) hands them to the file. Errors raise
// std::system_error.
class TNetFileStream : public TNetStream {
 public:
  static constexpr std::size_t kBufferSize = 256 * 1024;

  // Opens (creating if needed, never truncating) `path` for reading and writing.
  explicit TNetFileStream(const std::string& path);
  // Uses an open descriptor, taking ownership when `owns` is set. The stream
  // starts at the descriptor's current offset.
  TNetFileStream(int fd, bool owns);
  ~TNetFileStream() override;
  TNetFileStream(const TNetFileStream&) = delete;
  TNetFileStream& operator=(const TNetFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t n) override;
  void Write(const void* buffer, std::size_t n) override;
  void Seek(std::int64_t position) override;
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override;
  void SetSize(std::int64_t size) override;
  void Flush();
  int Handle() const { return fd_; }

 private:
  int fd_ = -1;
  bool owns_ = false;
  std::int64_t position_ = 0;
  std::int64_t pendingStart_ = 0;  // file offset of pending_[0]
  std::size_t pendingSize_ = 0;
  std::unique_ptr<char[]> pending_;
};

}  // namespace larkvale::http
