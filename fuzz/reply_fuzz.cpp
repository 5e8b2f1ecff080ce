// The reply reader of the HTTP client over an in-memory transport: status
// line, header block, cookies, redirects, and counted, chunked and
// until-close bodies. The first input byte sets how many bytes each receive
// returns, so replies arrive split at every kind of boundary; the rest is
// what "the server" sends, one stream shared by every connection the client
// opens (a redirect reconnects and reads on). The end of the input is the
// peer's close.
#include <algorithm>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "http/exceptions.h"
#include "http/httpclient.h"

using namespace larkvale::http;

namespace {

class MemoryTransport : public TNetIOHandler {
 public:
  MemoryTransport(const std::uint8_t* data, std::size_t size, int step) : data_(data), size_(size), step_(step) {}
  void Close() override { open_ = false; }
  void ConnectTo(const std::string&, int, const std::string&, int, int, const TWaitSlice&) override {
    ++connects;
    open_ = true;
  }
  bool IsConnected() override { return open_; }
  bool WaitReadable(int, const TWaitSlice&) override { return true; }
  int Receive(void* buffer, int length) override {
    if (!open_) return 0;
    const std::size_t n = std::min({static_cast<std::size_t>(length), static_cast<std::size_t>(step_), size_ - at_});
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return static_cast<int>(n);
  }
  int ReceiveNow(void* buffer, int length) override { return Receive(buffer, length); }
  int Send(const void*, int length, const TWaitSlice&) override { return length; }
  int connects = 0;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  int step_;
  bool open_ = false;
};

// A window client whose connection runs over the given transport.
class FuzzClient : public TNetHTTP {
 public:
  explicit FuzzClient(std::shared_ptr<TNetIOHandler> transport) {
    io_ = std::move(transport);
    ownsIOHandler_ = false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int step = 1 + data[0];
  auto transport = std::make_shared<MemoryTransport>(data + 1, size - 1, step);
  FuzzClient client(transport);
  ApplyWindowConfiguration(client);
  std::int64_t begun = 0, ended = 0, lastCount = 0;
  client.OnWorkBegin = [&](TNetComponent*, TWorkMode, std::int64_t) { ++begun; };
  client.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t count) {
    FUZZ_CHECK(count >= 0);
    lastCount = count;
  };
  client.OnWorkEnd = [&](TNetComponent*, TWorkMode) { ++ended; };
  TNetMemoryStream sink;
  try {
    client.Get("http://fuzz.test/watch?v=abc", sink);
  } catch (const ENetException&) {
  } catch (const EConvertError&) {
  }
  // Every begun body read was ended, whatever went wrong.
  FUZZ_CHECK(begun == ended);
  FUZZ_CHECK(client.RedirectsSoFar == 0);
  FUZZ_CHECK(!client.Busy());
  // The sink is cut to what was written; no announced length survives.
  FUZZ_CHECK(sink.Size() <= static_cast<std::int64_t>(size));
  FUZZ_CHECK(sink.Size() == static_cast<std::int64_t>(sink.Bytes().size()));
  FUZZ_CHECK(transport->connects <= client.RedirectMaximum);
  (void)lastCount;
  return 0;
}
