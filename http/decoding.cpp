#include "http/decoding.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "http/exceptions.h"
#include "http/textutil.h"

namespace larkvale::http {

std::vector<TNetContentCoding> ContentCodingsOf(const std::string& contentEncoding) {
  std::vector<TNetContentCoding> codings;
  std::string rest = contentEncoding;
  while (!rest.empty()) {
    const std::string name = Trim(SplitOff(rest, ","));
    if (name.empty() || SameText(name, "identity")) continue;
    if (SameText(name, "gzip") || SameText(name, "x-gzip"))
      codings.push_back(TNetContentCoding::Gzip);
    else if (SameText(name, "deflate"))
      codings.push_back(TNetContentCoding::Deflate);
    else
      throw ENetUnsupportedContentCoding(
          "The server sent the reply compressed as " + EscapedText(name, 40) + ", which cannot be decoded.", name);
    if (codings.size() > kMaxStackedCodings)
      throw ENetContentDecodingError("The server sent the reply compressed more than " +
                                     std::to_string(kMaxStackedCodings) + " times over, which cannot be decoded.");
  }
  return codings;
}

TNetContentCoding ContentCodingOf(const std::string& contentEncoding) {
  try {
    const std::vector<TNetContentCoding> codings = ContentCodingsOf(contentEncoding);
    return codings.empty() ? TNetContentCoding::None : codings.back();
  } catch (const ENetContentDecodingError&) {
    return TNetContentCoding::None;
  }
}

struct TNetInflateStream::State {
  z_stream z{};
  bool live = false;
  ~State() {
    if (live) inflateEnd(&z);
  }
};

TNetInflateStream::TNetInflateStream(TNetStream& inner, TNetContentCoding coding, std::int64_t maxDecoded)
    : inner_(inner), coding_(coding), maxDecoded_(maxDecoded), state_(std::make_unique<State>()) {
  // gzip also accepts a zlib stream: servers mislabel the two.
  if (coding_ == TNetContentCoding::Gzip) {
    Restart(false);
    headerKnown_ = true;
  }
}

TNetInflateStream::~TNetInflateStream() = default;

void TNetInflateStream::Restart(bool raw) {
  State& s = *state_;
  if (s.live) inflateEnd(&s.z);
  s.live = false;
  std::memset(&s.z, 0, sizeof s.z);
  const int bits = raw ? -MAX_WBITS : (coding_ == TNetContentCoding::Gzip ? MAX_WBITS + 32 : MAX_WBITS);
  if (inflateInit2(&s.z, bits) != Z_OK) throw ENetContentDecodingError("The decompressor could not be started.");
  s.live = true;
}

void TNetInflateStream::SetSize(std::int64_t size) {
  // Growing announces compressed bytes: nothing for the decoded sink. A cut
  // at the end of what came ends the decoded sink at its own end too.
  if (size <= position_) inner_.SetSize(inner_.Position());
  size_ = size;
}

bool TNetInflateStream::Complete() const { return position_ == 0 || ended_; }

void TNetInflateStream::Write(const void* buffer, std::size_t n) {
  position_ += static_cast<std::int64_t>(n);
  size_ = std::max(size_, position_);
  if (n == 0) return;
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  std::size_t length = n;
  std::string joined;
  if (!headerKnown_) {
    // Deflate: a zlib header (RFC 1950) or raw data (RFC 1951)?
    head_.append(static_cast<const char*>(buffer), n);
    if (head_.size() < 2) return;
    const unsigned cmf = static_cast<unsigned char>(head_[0]), flg = static_cast<unsigned char>(head_[1]);
    const bool zlib = (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
    Restart(!zlib);
    headerKnown_ = true;
    joined.swap(head_);
    in = reinterpret_cast<const unsigned char*>(joined.data());
    length = joined.size();
  }
  z_stream& z = state_->z;
  z.next_in = const_cast<unsigned char*>(in);
  z.avail_in = static_cast<uInt>(length);
  unsigned char out[64 * 1024];
  for (;;) {
    if (ended_) {
      // Another gzip member may follow; anything else after the end (zero
      // padding some servers add) is ignored.
      if (z.avail_in == 0 || coding_ != TNetContentCoding::Gzip || *z.next_in != 0x1f) return;
      inflateReset(&z);
      ended_ = false;
    }
    z.next_out = out;
    z.avail_out = sizeof out;
    const int r = inflate(&z, Z_NO_FLUSH);
    const std::size_t produced = sizeof out - z.avail_out;
    if (produced > 0) {
      // Checked before the bytes go on: a few kilobytes may unpack to
      // gigabytes.
      if (maxDecoded_ >= 0 && decoded_ + static_cast<std::int64_t>(produced) > maxDecoded_) {
        const std::int64_t mib = maxDecoded_ / (1024 * 1024);
        throw ENetBodyTooLarge("The reply is larger than " +
                               (mib > 0 ? std::to_string(mib) + " MiB" : std::to_string(maxDecoded_) + " bytes") +
                               " once decompressed and was refused as too large.");
      }
      inner_.Write(out, produced);
      decoded_ += static_cast<std::int64_t>(produced);
    }
    if (r == Z_STREAM_END) {
      ended_ = true;
      continue;
    }
    if (r == Z_BUF_ERROR && produced == 0) return;  // needs more input
    if (r != Z_OK && r != Z_BUF_ERROR)
      throw ENetContentDecodingError(std::string("The compressed reply is corrupt: ") +
                                     (z.msg ? z.msg : "inflate failed") + ".");
    if (z.avail_in == 0 && z.avail_out != 0) return;
  }
}

}  // namespace larkvale::http
