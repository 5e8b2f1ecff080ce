// The window's client against servers that misbehave on purpose: every case
// ends in bounded time (the server's script is finite or ends when the
// client goes away), with the client's documented outcome, a small input
// buffer and the connection closed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "http/exceptions.h"
#include "http/httpclient.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"

using namespace larkvale::http;
using larkvale::testing::ScriptedServer;
using S = ScriptedServer;

namespace {

struct Client {
  Client() {
    ApplyWindowConfiguration(c);
    c.OnWork = [this](TNetComponent*, TWorkMode, std::int64_t count) {
      ++works;
      if (stopAt > 0 && count >= stopAt) c.Disconnect();  // what Stop does at the next progress event
    };
  }
  TNetHTTP c;
  int works = 0;
  std::int64_t stopAt = 0;
};

// A sink that keeps only a count, so that gigabytes cost no memory.
class CountingSink : public TNetStream {
 public:
  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void*, std::size_t n) override {
    position_ += static_cast<std::int64_t>(n);
    size_ = std::max(size_, position_);
  }
  void Seek(std::int64_t p) override { position_ = p; }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return size_; }
  void SetSize(std::int64_t s) override { size_ = s; }
  std::int64_t position_ = 0, size_ = 0;
};

std::string Url(const S& s) { return "http://127.0.0.1:" + std::to_string(s.Port()) + "/get_video?x=1"; }

constexpr std::size_t kSmallBuffer = 64 * 1024;

}  // namespace

TEST(HostileServer, HeadersThatNeverEndAreRefusedAtTheHeadLimit) {
  S server;
  // 370 MB of header lines unless the client stops reading.
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n"),
                 S::SendRepeated("X-Filler: abcdefghijklmnopqrstuvwxyz\r\n", 10'000'000)});
  Client k;
  TNetMemoryStream sink;
  try {
    k.c.Get(Url(server), sink);
    FAIL() << "no exception";
  } catch (const ENetReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
  EXPECT_LE(static_cast<std::size_t>(k.c.Response.HeaderLines.Count()) * 37, TNetCustomHTTP::kMaxReplyHeadBytes);
  EXPECT_LE(k.c.InputBuffer().Size(), kSmallBuffer);
  EXPECT_FALSE(k.c.IsConnected());
  EXPECT_EQ(k.works, 0);
}
