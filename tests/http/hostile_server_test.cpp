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
  } catch (const ENetReplyHeadTooLarge& e) {
    // Every line is short: the head as a whole is what is too large.
    EXPECT_STREQ(e.what(), "The reply head is larger than 8 MiB.");
  }
  EXPECT_LE(static_cast<std::size_t>(k.c.Response.HeaderLines.Count()) * 37, TNetCustomHTTP::kMaxReplyHeadBytes);
  EXPECT_LE(k.c.InputBuffer().Size(), kSmallBuffer);
  EXPECT_FALSE(k.c.IsConnected());
  EXPECT_EQ(k.works, 0);
}

TEST(HostileServer, HundredMegabyteLineIsRefusedAtTheLineLimit) {
  struct Case {
    const char* name;
    std::string before;  // what precedes the endless line
  };
  const Case cases[] = {{"status line", ""}, {"header line", "HTTP/1.0 200 OK\r\nX-Long: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(c.before), S::SendRepeated(std::string(65536, 'a'), 1600)});
    Client k;
    TNetMemoryStream sink;
    try {
      k.c.Get(Url(server), sink);
      FAIL() << "no exception";
    } catch (const ENetReadLnMaxLineLengthExceeded& e) {
      EXPECT_STREQ(e.what(), "Max line length exceeded.");
    }
    EXPECT_LE(k.c.InputBuffer().Size(), static_cast<std::size_t>(k.c.MaxLineLength + k.c.RecvBufferSize + 64));
    EXPECT_FALSE(k.c.IsConnected());
  }
}

// No work event runs while a head is read, so Stop cannot cut a stall there;
// short of the silence limits only the server's close ends it.
TEST(HostileServer, StallAfterTheStatusLineEndsOnlyWithTheServersClose) {
  S server;
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\n"), S::Pause(300), S::Close()});
  Client k;
  k.stopAt = 1;
  TNetMemoryStream sink;
  try {
    k.c.Get(Url(server), sink);
    FAIL() << "no exception";
  } catch (const ENetConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(k.works, 0);
  EXPECT_FALSE(k.c.IsConnected());
}

// A body that stalls is cut by Stop at the next block that arrives.
TEST(HostileServer, StallInTheBodyIsCutAtTheNextBlock) {
  S server;
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"),
                 S::Send(std::string(1024, 'x')), S::Pause(200), S::Send(std::string(2048, 'y')), S::Pause(60000)});
  Client k;
  k.stopAt = 2048;
  CountingSink sink;
  k.c.Get(Url(server), sink);  // returns normally: the abort is not an error
  EXPECT_GE(sink.Size(), 2048);
  EXPECT_LE(sink.Size(), 3072);
  EXPECT_FALSE(k.c.IsConnected());
}

TEST(HostileServer, ContentLengthOfTwoGigabytesThenCloseLeavesOnlyWhatArrived) {
  larkvale::testing::TempDir dir;
  const std::string path = dir.Path() + "/flv1video.avi";
  S server;
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 2147483647\r\n\r\n"),
                 S::Send(std::string(5000, 'v')), S::Close()});
  Client k;
  {
    TNetFileStream file(path);
    EXPECT_THROW(k.c.Get(Url(server), file), ENetBodyIncomplete);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  // The file was presized to 2 GB and cut back to the bytes that came.
  EXPECT_EQ(st.st_size, 5000);
  EXPECT_LE(st.st_blocks * 512, 64 * 1024);
  EXPECT_FALSE(k.c.IsConnected());
}

// A size that fits is read until the server closes; one that does not fit,
// or is not hexadecimal, ends the call at once: reading it as 0 would end
// the body there and call it whole.
TEST(HostileServer, ChunkSizesThatOverflow) {
  struct Case {
    const char* size;
    bool closedEarly;  // else refused as "Invalid chunk size"
  };
  const Case cases[] = {
      {"ffffffffffff", true},  // a chunk of 256 TB: read until the server closes
      {"7fffffffffffffff", true},
      {"0000000000000000000000ffffffff", true},  // leading zeros do not overflow
      {"ffffffffffffffffffffffffffffffff", false},
      {"FFFFFFFFFFFFFFFFF", false},
      {"8000000000000000", false},
      {"-1", false},
      {"zz", false},
      {"0x10", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    S server;
    server.Expect({S::ReadRequest(),
                   S::Send(std::string("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + c.size + "\r\n" +
                           std::string(3000, 'c')),
                   S::Close()});
    Client k;
    CountingSink sink;
    try {
      k.c.Get(Url(server), sink);
      ADD_FAILURE() << "no exception";
    } catch (const ENetBodyIncomplete&) {
      EXPECT_TRUE(c.closedEarly);
    } catch (const ENetMalformedReply& e) {
      EXPECT_FALSE(c.closedEarly);
      EXPECT_STREQ(e.what(), "Invalid chunk size");
    }
    EXPECT_EQ(sink.Size(), c.closedEarly ? 3000 : 0);
    EXPECT_LE(k.c.InputBuffer().Size(), kSmallBuffer);
    EXPECT_FALSE(k.c.IsConnected());
  }
}

// Silence before the head, a head that drips one byte at a time, silence in
// the body: each ends at its limit with a message that says which, and the
// connection is closed.
TEST(HostileServer, SilentServersEndAtTheLimits) {
  const std::string drip = "HTTP/1.0 200 OK\r\nX-Slow: dripping\r\n\r\n";
  struct Case {
    const char* name;
    S::Script script;
    const char* error;
    std::int64_t kept;  // at most this many body bytes in the sink, more than half of them
  };
  S::Script dripping = {S::ReadRequest()};
  for (char ch : drip) {
    dripping.push_back(S::Send(std::string(1, ch)));
    dripping.push_back(S::Pause(150));
  }
  const Case cases[] = {
      {"before the head", {S::ReadRequest(), S::Pause(4000)}, "No data from 127.0.0.1 for 1 s.", 0},
      {"a dripping head", dripping, "No complete reply head from 127.0.0.1 within 1 s.", 0},
      {"in the body",
       {S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(2048, 'b')),
        S::Pause(4000)},
       "No data from 127.0.0.1 for 1 s.", 2048},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect(c.script);
    Client k;
    k.c.IdleLimitMs = 1000;
    k.c.HeadLimitMs = 1000;
    CountingSink sink;
    try {
      k.c.Get(Url(server), sink);
      ADD_FAILURE() << "no exception";
    } catch (const ENetReadTimeout& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_LE(sink.Size(), c.kept);
    EXPECT_GE(sink.Size() * 2, c.kept);
    EXPECT_FALSE(k.c.IsConnected());
  }
}

TEST(HostileServer, RedirectLoopEndsAtTheRedirectMaximum) {
  S server;
  S::Script loop = {};
  for (int i = 0; i < 20; ++i) {
    loop.push_back(S::ReadRequest());
    loop.push_back(S::Send("HTTP/1.0 302 Found\r\nLocation: /get_video?x=1\r\nConnection: keep-alive\r\n"
                           "Content-Length: 4\r\n\r\nloop"));
  }
  server.Expect(loop);
  Client k;
  try {
    k.c.Get(Url(server));
    FAIL() << "no exception";
  } catch (const ENetTooManyRedirects& e) {
    EXPECT_STREQ(e.what(), "Too many redirects: gave up after 15.");
  }
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_FALSE(k.c.IsConnected());
  server.WaitIdle();
  int requests = 0;
  for (const auto& head : server.Requests()) requests += head.rfind("GET ", 0) == 0;
  EXPECT_EQ(requests, 15);
}

TEST(HostileServer, ResetInTheMiddleOfABlock) {
  S server;
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n"),
                 S::Send(std::string(1500, 'r')), S::Pause(100), S::Reset()});
  Client k;
  CountingSink sink;
  try {
    k.c.Get(Url(server), sink);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
  EXPECT_LE(sink.Size(), 1500);
  EXPECT_FALSE(k.c.IsConnected());
}

TEST(HostileServer, TenGigabytesAreCutByStop) {
  struct Case {
    const char* name;
    std::string head;
  };
  const Case cases[] = {
      {"until close", "HTTP/1.0 200 OK\r\n\r\n"},
      {"counted", "HTTP/1.0 200 OK\r\nContent-Length: 10737418240\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(c.head), S::SendRepeated(std::string(65536, 'g'), 163840)});
    Client k;
    k.stopAt = 8 << 20;
    std::int64_t maxBuffered = 0;
    k.c.OnWorkEnd = [&](TNetComponent*, TWorkMode) {
      maxBuffered = std::max<std::int64_t>(maxBuffered, static_cast<std::int64_t>(k.c.InputBuffer().Size()));
    };
    CountingSink sink;
    k.c.Get(Url(server), sink);
    EXPECT_GE(sink.Size(), 8 << 20);
    EXPECT_LE(sink.Size(), (8 << 20) + 1024);
    EXPECT_LE(maxBuffered, static_cast<std::int64_t>(kSmallBuffer));
    EXPECT_FALSE(k.c.IsConnected());
  }
}

// A peer that never reads held a send for ever: the request (here a head of
// 16 MiB, more than the sockets buffer) now ends at the idle limit, as
// silence does when receiving, and counts as the same passing time-out.
// With sliced waits (the window) and blocking ones (the command line).
TEST(HostileServer, APeerThatNeverReadsEndsTheSendAtTheIdleLimit) {
  const struct {
    const char* name;
    bool sliced;
  } cases[] = {{"sliced waits", true}, {"blocking waits", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    // Reads nothing; the reset at the end only keeps a client that never
    // gives up from waiting for ever.
    server.Expect({S::Pause(8000), S::Reset()});
    Client k;
    k.c.IdleLimitMs = 1000;
    int waits = 0;
    if (c.sliced) k.c.OnWaiting = [&](TNetComponent*) { ++waits; };
    for (int i = 0; i < 16 * 1024; ++i) k.c.Request.CustomHeaders.Add("X-Pad-" + std::to_string(i) + ": " + std::string(1000, 'p'));
    try {
      k.c.Get(Url(server));
      ADD_FAILURE() << "no exception";
    } catch (const ENetReadTimeout& e) {
      EXPECT_STREQ(e.what(), "Could not send to 127.0.0.1 for 1 s.");
    } catch (const ENetException& e) {
      ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(waits > 0, c.sliced);
    EXPECT_FALSE(k.c.IsConnected());
  }
}
