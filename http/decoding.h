// Content decoding of reply bodies: gzip and deflate (zlib or raw) undone
// with zlib as the bytes pass through, in front of the caller's sink. The
// client puts one in front of a body whose Content-Encoding it may decode
// (one per coding when they are stacked).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/streams.h"

namespace larkvale::http {

enum class TNetContentCoding { None, Gzip, Deflate };

// Most codings one body may be stacked in: each is one more decompressor
// (and stack frame) between the socket and the sink.
inline constexpr std::size_t kMaxStackedCodings = 4;

// The codings a Content-Encoding value lists (several header lines joined
// with commas), in the order the server applied them, so the last is undone
// first; "identity" and empty entries are left out. A coding we cannot undo
// raises ENetUnsupportedContentCoding naming it; more than
// kMaxStackedCodings raise ENetContentDecodingError.
std::vector<TNetContentCoding> ContentCodingsOf(const std::string& contentEncoding);

// The coding undone first (the last one listed): None for "identity", an
// empty value, and a value naming any coding we cannot undo. Not None means
// a decoding client hands the sink other bytes than came over the wire.
TNetContentCoding ContentCodingOf(const std::string& contentEncoding);

// A sink that inflates what is written to it and writes the result to
// `inner`. Its own position and size count the compressed bytes (what the
// reader reports as work); only a cut (SetSize at or below the position)
// reaches `inner`, cutting it at its own position. Corrupt data raises
// ENetContentDecodingError; more than `maxDecoded` bytes (-1: no limit)
// raise ENetBodyTooLarge before they reach `inner`.
class TNetInflateStream : public TNetStream {
 public:
  TNetInflateStream(TNetStream& inner, TNetContentCoding coding, std::int64_t maxDecoded = -1);
  ~TNetInflateStream() override;
  TNetInflateStream(const TNetInflateStream&) = delete;
  TNetInflateStream& operator=(const TNetInflateStream&) = delete;

  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void* buffer, std::size_t n) override;
  void Seek(std::int64_t position) override { position_ = position; }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return size_; }
  void SetSize(std::int64_t size) override;

  // Nothing was written, or the compressed data came to its proper end.
  bool Complete() const;
  std::int64_t Decoded() const { return decoded_; }

 private:
  struct State;
  void Restart(bool raw);
  TNetStream& inner_;
  TNetContentCoding coding_;
  std::int64_t maxDecoded_;
  std::unique_ptr<State> state_;
  std::int64_t position_ = 0, size_ = 0, consumed_ = 0, decoded_ = 0;
  bool ended_ = false;
  // For deflate: the first bytes, kept until it is clear whether a zlib
  // header leads them (servers send raw deflate as often as not).
  std::string head_;
  bool headerKnown_ = false;
};

}  // namespace larkvale::http
