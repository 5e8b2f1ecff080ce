// The reply reader of the HTTP client over an in-memory transport: status
// line, header block, cookies, redirects, and counted, chunked and
// until-close bodies. The first input byte sets how many bytes each receive
// returns, so replies arrive split at every kind of boundary; the rest is
// what "the server" sends, one stream shared by every connection the client
// opens (a redirect reconnects and reads on). The end of the input is the
// peer's close.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "http/decoding.h"
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
  int Send(const void* buffer, int length, const TWaitSlice&, int) override {
    if (onSend) onSend(std::string(static_cast<const char*>(buffer), static_cast<std::size_t>(length)));
    return length;
  }
  int connects = 0;
  std::function<void(const std::string&)> onSend;

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
  // Compressed replies are decoded; a bomb stops at this.
  client.MaxDecodedBodyBytes = 4 << 20;
  std::int64_t begun = 0, ended = 0, lastCount = 0;
  client.OnWorkBegin = [&](TNetComponent*, TWorkMode, std::int64_t) { ++begun; };
  client.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t count) {
    FUZZ_CHECK(count >= 0);
    lastCount = count;
  };
  client.OnWorkEnd = [&](TNetComponent*, TWorkMode) { ++ended; };
  // Every request head leaves in one send: its lines are clean, and each
  // cookie it carries may go to the host it is sent to.
  int requests = 0;
  transport->onSend = [&client, &requests](const std::string& head) {
    ++requests;
    FUZZ_CHECK(larkvale::fuzz::HeadLinesAreClean(head));
    const std::size_t at = head.find("\r\nCookie: ");
    if (at == std::string::npos) return;
    FUZZ_CHECK(client.CookieManager != nullptr);
    const std::size_t start = at + 10;
    const std::string cookies = head.substr(start, head.find("\r\n", start) - start);
    std::size_t from = 0;
    while (from < cookies.size()) {
      std::size_t end = cookies.find("; ", from);
      if (end == std::string::npos) end = cookies.size();
      const std::string pair = cookies.substr(from, end - from);
      from = end + 2;
      bool found = false;
      for (const auto& [domain, names] : client.CookieManager->Cookies.DomainIndex)
        for (const auto& [name, cookie] : names)
          if (cookie->ClientText().rfind(pair, 0) == 0 &&
              larkvale::fuzz::MayReceiveCookie(cookie->Domain, client.CurrentUrl.Host))
            found = true;
      FUZZ_CHECK(found);
    }
  };
  TNetMemoryStream sink;
  bool returned = false;
  try {
    client.Get("http://fuzz.test/watch?v=abc", sink);
    returned = true;
  } catch (const ENetException& e) {
    // The server's text in a message is shown escaped, whatever it sent.
    FUZZ_CHECK(larkvale::fuzz::PrintableUtf8(e.Message()));
  } catch (const EConvertError& e) {
    FUZZ_CHECK(larkvale::fuzz::PrintableUtf8(e.what()));
  }
  // A call of one request that returned with one body read counted every
  // byte it kept (a decoded body's events count the bytes as they came, not
  // as kept; a redirect's body is counted as it is drained, then dropped).
  const bool decoded = ContentCodingOf(client.Response.ContentEncoding) != TNetContentCoding::None;
  if (returned && requests == 1 && begun == 1 && !decoded) FUZZ_CHECK(lastCount == sink.Size());
  // Every begun body read was ended, whatever went wrong.
  FUZZ_CHECK(begun == ended);
  FUZZ_CHECK(client.RedirectsSoFar == 0);
  FUZZ_CHECK(!client.Busy());
  // The sink is cut to what was written; no announced length survives.
  FUZZ_CHECK(sink.Size() <= (decoded ? client.MaxDecodedBodyBytes : static_cast<std::int64_t>(size)));
  FUZZ_CHECK(sink.Size() == static_cast<std::int64_t>(sink.Bytes().size()));
  FUZZ_CHECK(transport->connects <= client.RedirectMaximum);
  return 0;
}
