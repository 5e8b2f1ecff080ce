// The connection's input buffer: a byte queue over one growable block with a
// read offset, so that consuming from the front costs no copy.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace larkvale::http {

class TNetManagedBuffer {
 public:
  // The unread bytes move to the front once this many have been consumed.
  static constexpr std::size_t kCompactAfter = 32768;

  TNetManagedBuffer() = default;
  TNetManagedBuffer(const TNetManagedBuffer&) = delete;
  TNetManagedBuffer& operator=(const TNetManagedBuffer&) = delete;

  // Called with n after every removal (the connection's `ReportWork`).
  std::function<void(int)> OnRemove;

  std::size_t Size() const { return end_ - offset_; }
  const char* Data() const { return data_.get() + offset_; }

  void Append(const char* bytes, std::size_t n);
  // Room for n more bytes at the end; `Commit` makes the first k of them part
  // of the buffer. Lets a receive land in the buffer without a second copy.
  char* Reserve(std::size_t n);
  void Commit(std::size_t k) { end_ += k; }

  // Removes n bytes from the front (raises `ENetNotEnoughDataInBuffer` when
  // fewer are held), then calls `OnRemove`.
  void Remove(std::size_t n);
  // Copies n bytes out, then removes them as `Remove` does.
  void ExtractTo(char* out, std::size_t n);
  std::string Extract(std::size_t n);
  // Empties the buffer without calling `OnRemove`.
  void Clear() { offset_ = end_ = 0; }
  // Offset of `needle` in the unread bytes at or after `from`, or npos.
  std::size_t Find(const std::string& needle, std::size_t from) const;

 private:
  void Discard(std::size_t n);
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t offset_ = 0;
  std::size_t end_ = 0;
};

}  // namespace larkvale::http
