#include "http/buffers.h"

#include <cstring>
#include <string_view>

#include "http/exceptions.h"

namespace larkvale::http {

char* TNetManagedBuffer::Reserve(std::size_t n) {
  if (capacity_ - end_ < n) {
    if (offset_ > 0 && capacity_ - Size() >= n) {
      std::memmove(data_.get(), data_.get() + offset_, Size());
      end_ -= offset_;
      offset_ = 0;
    } else {
      std::size_t wanted = std::max<std::size_t>(capacity_ * 2, Size() + n);
      wanted = std::max<std::size_t>(wanted, 4096);
      auto grown = std::make_unique<char[]>(wanted);
      if (Size()) std::memcpy(grown.get(), data_.get() + offset_, Size());
      end_ -= offset_;
      offset_ = 0;
      data_ = std::move(grown);
      capacity_ = wanted;
    }
  }
  return data_.get() + end_;
}

void TNetManagedBuffer::Append(const char* bytes, std::size_t n) {
  if (n == 0) return;
  std::memcpy(Reserve(n), bytes, n);
  end_ += n;
}

void TNetManagedBuffer::Discard(std::size_t n) {
  if (n > Size()) throw ENetNotEnoughDataInBuffer();
  if (n == Size()) {
    offset_ = end_ = 0;
  } else {
    offset_ += n;
    if (offset_ >= kCompactAfter) {
      std::memmove(data_.get(), data_.get() + offset_, Size());
      end_ -= offset_;
      offset_ = 0;
    }
  }
}

void TNetManagedBuffer::Remove(std::size_t n) {
  Discard(n);
  if (OnRemove) OnRemove(static_cast<int>(n));
}

void TNetManagedBuffer::ExtractTo(char* out, std::size_t n) {
  if (n > Size()) throw ENetNotEnoughDataInBuffer();
  std::memcpy(out, Data(), n);
  Remove(n);
}

std::string TNetManagedBuffer::Extract(std::size_t n) {
  if (n > Size()) throw ENetNotEnoughDataInBuffer();
  std::string s(Data(), n);
  Remove(n);
  return s;
}

std::size_t TNetManagedBuffer::Find(const std::string& needle, std::size_t from) const {
  std::string_view hay(Data(), Size());
  return hay.find(needle, from);
}

}  // namespace larkvale::http
