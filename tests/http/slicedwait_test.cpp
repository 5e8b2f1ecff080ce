// Waits for the network in slices: while a call is stuck on a stalling
// loopback server, OnWaiting runs every few milliseconds, a Disconnect from
// it ends the call at once, a connect has a time limit, and descriptors past
// FD_SETSIZE work.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/exceptions.h"
#include "http/httpclient.h"
#include "support/scripted_server.h"
#include "support/stalling_servers.h"

using namespace larkvale::http;
using larkvale::testing::FullAcceptQueue;
using larkvale::testing::ScriptedServer;
using S = ScriptedServer;
using Clock = std::chrono::steady_clock;

namespace {

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A window-configured client whose OnWaiting records the gaps between its
// calls and disconnects `cutAfterMs` after its first call.
struct WaitingClient {
  explicit WaitingClient(int cutAfterMs) : cutAfterMs(cutAfterMs) {
    ApplyWindowConfiguration(c);
    c.OnStatus = [this](TNetComponent*, TNetStatus, const std::string& t) { statuses.push_back(t); };
    c.OnWork = [this](TNetComponent*, TWorkMode, std::int64_t n) { lastWork = n; };
    c.OnWaiting = [this](TNetComponent* sender) {
      EXPECT_EQ(sender, &c);
      const Clock::time_point now = Clock::now();
      if (calls == 0) start = now;
      if (calls > 0) longestGapMs = std::max(longestGapMs, std::chrono::duration<double, std::milli>(now - last).count());
      last = now;
      ++calls;
      if (cutAt == Clock::time_point{} && MsSince(start) >= this->cutAfterMs) {
        cutAt = now;
        c.Disconnect();
      }
    };
  }
  TNetHTTP c;
  int cutAfterMs;
  Clock::time_point start, last, cutAt;
  int calls = 0;
  double longestGapMs = 0;
  std::int64_t lastWork = 0;
  std::vector<std::string> statuses;
};

}  // namespace

// The three ways a server can leave a page fetch hanging, each cut by a
// Disconnect from OnWaiting 300 ms in, while the server would stall for 5 s.
TEST(SlicedWait, DisconnectFromOnWaitingEndsAStalledCallAtOnce) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 10000\r\n\r\n";
  // The first 1024-byte receive holds the head and the start of the body;
  // then whole blocks.
  const std::size_t twoReports = (1024 - head.size()) + 1024;
  const struct {
    const char* name;
    S::Script script;
    bool fullQueue;
    const char* error;      // "" = the Get returns normally
    std::size_t bodyBytes;  // what the sink holds afterwards
    const char* scheme = "http";
  } cases[] = {
      {"server never answers", {S::ReadRequest(), S::Pause(5000), S::Close()}, false, "Not Connected", 0},
      {"stall after the status line",
       {S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\n"), S::Pause(5000), S::Close()}, false, "Not Connected", 0},
      // 2500 of 10000 bytes: two reports reach the sink, the rest stays in
      // the input buffer, as with a Disconnect from a work event.
      {"stall mid-body", {S::ReadRequest(), S::Send(head + std::string(2500, 'b')), S::Pause(5000), S::Close()},
       false, "", twoReports},
      {"accept queue full", {}, true, "Not Connected", 0},
      // The TCP connect succeeds; the TLS handshake then waits for a reply.
      {"TLS handshake never answered", {S::Pause(5000), S::Close()}, false, "Not Connected", 0, "https"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    ScriptedServer server;
    std::unique_ptr<FullAcceptQueue> full;
    int port = server.Port();
    if (t.fullQueue) {
      full = std::make_unique<FullAcceptQueue>();
      port = full->Port();
    } else {
      server.Expect(t.script);
    }
    WaitingClient k(300);
    TNetMemoryStream sink;
    std::string error;
    try {
      k.c.Get(std::string(t.scheme) + "://127.0.0.1:" + std::to_string(port) + "/page", sink);
    } catch (const ENetException& e) {
      error = e.Message();
    }
    const double afterCutMs = MsSince(k.cutAt);
    ASSERT_NE(k.cutAt, Clock::time_point{}) << "OnWaiting never disconnected";
    EXPECT_EQ(error, t.error);
    EXPECT_EQ(sink.Size(), static_cast<std::int64_t>(t.bodyBytes));
    EXPECT_EQ(sink.Bytes(), std::string(t.bodyBytes, 'b'));
    EXPECT_FALSE(k.c.IsConnected());
    ASSERT_GE(k.statuses.size(), 2u);
    EXPECT_EQ(k.statuses.back(), "Disconnected.");
    // Slices of a few ms: dozens of calls in 300 ms, none far apart, and the
    // call over well within the 5 s the server would have stalled.
    // (The gap has room for a loaded machine; slices are 4 ms.)
    EXPECT_GE(k.calls, 10);
    EXPECT_LT(k.longestGapMs, 250);
    EXPECT_LT(afterCutMs, 100);
  }
}

TEST(SlicedWait, WithoutOnWaitingAndWithOneThatNeverCutsTheResultIsTheSame) {
  const std::string body(5000, 'x');
  for (bool waiting : {false, true}) {
    SCOPED_TRACE(waiting ? "with OnWaiting" : "without");
    ScriptedServer server;
    // The body arrives in three pieces with pauses: the read waits between them.
    server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + body.substr(0, 1000)),
                   S::Pause(150), S::Send(body.substr(1000, 3000)), S::Pause(150), S::Send(body.substr(4000)),
                   S::Close()});
    TNetHTTP c;
    ApplyWindowConfiguration(c);
    std::vector<std::int64_t> work;
    int calls = 0;
    c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t n) { work.push_back(n); };
    if (waiting) c.OnWaiting = [&](TNetComponent*) { ++calls; };
    EXPECT_EQ(c.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/x"), body);
    // The first report is what came with the head (1024 bytes received less
    // the 41 of the head), then whole blocks.
    EXPECT_EQ(work, (std::vector<std::int64_t>{983, 2007, 3031, 4055, 5000}));
    if (waiting) EXPECT_GE(calls, 20);  // two pauses of 150 ms in slices of a few ms
  }
}

TEST(SlicedWait, AConnectThatDoesNotCompleteFailsWhenItsTimeRunsOut) {
  FullAcceptQueue full;
  for (bool waiting : {false, true}) {
    SCOPED_TRACE(waiting ? "with OnWaiting" : "without");
    TNetTCPClient c;
    c.SetHost("127.0.0.1");
    c.SetPort(full.Port());
    c.ConnectTimeoutMs = 300;
    int calls = 0;
    if (waiting) c.OnWaiting = [&](TNetComponent*) { ++calls; };
    const Clock::time_point start = Clock::now();
    try {
      c.Connect(0);
      ADD_FAILURE() << "connected";
    } catch (const ENetSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, 10060);
      EXPECT_EQ(e.Message(), "Socket Error # 10060\r\nConnection timed out.");
    }
    const double ms = MsSince(start);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 3000);
    EXPECT_FALSE(c.IsConnected());
    if (waiting) EXPECT_GE(calls, 10);
  }
}

TEST(SlicedWait, ARefusedConnectStillReportsItsError) {
  // A port nobody listens on: the bounded connect fails as the plain one did.
  int port;
  {
    ScriptedServer gone;
    port = gone.Port();
  }
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(port);
  c.OnWaiting = [](TNetComponent*) {};
  try {
    c.Connect(0);
    ADD_FAILURE() << "connected";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
  }
}

TEST(SlicedWait, ASendToAPeerThatStopsReadingWaitsInSlicesAndIsCut) {
  ScriptedServer server;
  server.Expect({S::Pause(10000), S::Close()});  // never reads
  WaitingClient k(300);
  k.c.SetHost("127.0.0.1");
  k.c.SetPort(server.Port());
  k.c.Connect(0);
  const std::string big(64 << 20, 'p');  // far more than the socket buffers hold
  std::string error;
  try {
    k.c.WriteBytes(big.data(), static_cast<int>(big.size()), true);
  } catch (const ENetException& e) {
    error = e.Message();
  }
  EXPECT_EQ(error, "Not Connected") << k.calls << " calls";
  ASSERT_NE(k.cutAt, Clock::time_point{});
  EXPECT_LT(MsSince(k.cutAt), 100);
  EXPECT_GE(k.calls, 10);
}

TEST(SlicedWait, NameLookupOnAHelperThreadGivesTheSameAddress) {
  TNetStack stack;
  int calls = 0;
  // Not dotted text of four fields, so it goes to the resolver.
  EXPECT_EQ(stack.LookupHost("127.1", [&] { return ++calls > 0; }), "127.0.0.1");
  EXPECT_EQ(stack.LookupCount, 1);
  try {
    stack.LookupHost("no-such-host.invalid", [] { return true; });
    ADD_FAILURE() << "resolved";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
  }
}

TEST(SlicedWait, DescriptorsPastFdSetSizeAreWaitedFor) {
  // Push the next descriptor past FD_SETSIZE (1024), where select() fails.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1200) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < 1200) GTEST_SKIP() << "cannot open enough descriptors";
  std::vector<int> filler;
  for (int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0 && fd < 1100;
       fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC))
    filler.push_back(fd);
  ScriptedServer server;
  server.Expect({S::ReadRequest(), S::Pause(50), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"),
                 S::Close()});
  TNetHTTP c;
  ApplyWindowConfiguration(c);
  c.ReadTimeout = 2000;  // a limited wait: the path that used select()
  std::string got;
  EXPECT_NO_THROW(got = c.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/"));
  EXPECT_EQ(got, "hello");
  for (int fd : filler) ::close(fd);
}
