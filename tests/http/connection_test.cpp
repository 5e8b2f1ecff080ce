// The buffered connection against a scripted loopback server: statuses,
// connect failures, line and stream reads with their work events, the abort
// by Disconnect from inside OnWork, writes and faults.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/exceptions.h"
#include "support/scripted_server.h"

using namespace larkvale::http;
using larkvale::testing::ScriptedServer;
using S = ScriptedServer;

namespace {

std::string Bytes(std::size_t n, char seed = 'a') {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
  return s;
}

// A client on the scripted server with every event written to `log`.
template <class C = TNetTCPClient>
struct BasicClient {
  explicit BasicClient(int port, std::string host = "127.0.0.1") {
    c.SetHost(host);
    c.SetPort(port);
    c.RecvBufferSize = 1024;
    c.OnStatus = [this](TNetComponent*, TNetStatus, const std::string& t) { log.push_back("status " + t); };
    c.OnWorkBegin = [this](TNetComponent* s, TWorkMode m, std::int64_t max) {
      EXPECT_EQ(s, &c);
      log.push_back("begin " + std::to_string(m) + " " + std::to_string(max));
    };
    c.OnWork = [this](TNetComponent*, TWorkMode, std::int64_t n) {
      log.push_back("work " + std::to_string(n));
      if (onWork) onWork(n);
    };
    c.OnWorkEnd = [this](TNetComponent*, TWorkMode) { log.push_back("end"); };
    c.OnDisconnected = [this](TNetComponent*) { log.push_back("ondisconnected"); };
  }
  C c;
  std::vector<std::string> log;
  std::function<void(std::int64_t)> onWork;
};
using Client = BasicClient<>;

using Log = std::vector<std::string>;

}  // namespace

TEST(Connection, StatusTextsOfAConnectAndDisconnect) {
  S server;
  server.Expect({S::WaitClose()});
  Client k(server.Port(), "localhost");
  k.c.Connect(0);
  EXPECT_TRUE(k.c.IsConnected());
  k.c.Disconnect();
  EXPECT_FALSE(k.c.IsConnected());
  // The name is loopback of both families; nothing listens on ::1 here.
  EXPECT_EQ(k.log, (Log{"status Resolving hostname localhost.", "status Connecting to ::1.",
                        "status Connecting to 127.0.0.1.", "status Connected.", "status Disconnecting.",
                        "ondisconnected", "status Disconnected."}));
  EXPECT_EQ(k.c.IOHandler(), nullptr);
  // IsConnected after Disconnect reports nothing more.
  EXPECT_EQ(k.log.size(), 7u);
}

TEST(Connection, DottedHostIsNotResolvedAndTheTransportIsTheSender) {
  S server;
  server.Expect({S::WaitClose()});
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(server.Port());
  std::vector<std::pair<TNetComponent*, std::string>> seen;
  c.OnStatus = [&](TNetComponent* s, TNetStatus, const std::string& t) { seen.emplace_back(s, t); };
  c.Connect(0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].second, "Connecting to 127.0.0.1.");
  EXPECT_EQ(seen[0].first, c.IOHandler());
  EXPECT_EQ(seen[1].second, "Connected.");
  EXPECT_EQ(seen[1].first, &c);
  try {
    c.Connect(0);
    FAIL() << "second connect";
  } catch (const ENetAlreadyConnected& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
}

TEST(Connection, DisconnectOnANeverConnectedClient) {
  Client k(1);
  EXPECT_NO_THROW(k.c.Disconnect());
  EXPECT_EQ(k.log, (Log{"status Disconnecting.", "ondisconnected", "status Disconnected."}));
}

TEST(Connection, RefusedConnectReportsNoCloseAndReusesTheTransport) {
  int port;
  {
    S gone;
    port = gone.Port();
  }  // nobody listens there any more
  Client k(port, "localhost");
  try {
    k.c.Connect(0);
    FAIL() << "connected";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_EQ(k.log, (Log{"status Resolving hostname localhost.", "status Connecting to ::1.",
                        "status Connecting to 127.0.0.1."}));
  TNetIOHandler* first = k.c.IOHandler();
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(k.c.IsConnected());
  EXPECT_THROW(k.c.Connect(0), ENetSocketError);
  EXPECT_EQ(k.c.IOHandler(), first);
}

TEST(Connection, UnknownHostFailsAfterTheResolvingStatus) {
  Client k(80, "no-such-host.invalid");
  try {
    k.c.Connect(0);
    FAIL() << "connected";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
  }
  EXPECT_EQ(k.log, (Log{"status Resolving hostname no-such-host.invalid."}));
}

// --- ReadToStream ----------------------------------------------------------

TEST(ReadToStream, CountedBodyReportsEveryBlock) {
  S server;
  const std::string body = Bytes(5000);
  server.Expect({S::Send(body), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  TNetMemoryStream sink;
  k.c.ReadToStream(sink, 5000);
  EXPECT_EQ(k.log, (Log{"begin 0 5000", "work 1024", "work 2048", "work 3072", "work 4096", "work 5000", "end"}));
  EXPECT_EQ(sink.Bytes(), body);
}

TEST(ReadToStream, BytesThatCameWithTheHeaderAreReportedFirst) {
  S server;
  const std::string body = Bytes(5000);
  server.Expect({S::Send("HEAD\r\n" + body.substr(0, 300)), S::Pause(100), S::Send(body.substr(300)), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  EXPECT_EQ(k.c.ReadLine(), "HEAD");
  k.log.clear();
  TNetMemoryStream sink;
  k.c.ReadToStream(sink, 5000);
  EXPECT_EQ(k.log,
            (Log{"begin 0 5000", "work 300", "work 1324", "work 2348", "work 3372", "work 4396", "work 5000", "end"}));
  EXPECT_EQ(sink.Bytes(), body);
}

TEST(ReadToStream, PeerCloseBeforeTheEndKeepsEveryByteAndRaises) {
  S server;
  const std::string body = Bytes(3000);
  server.Expect({S::Send(body), S::Close()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  char path[] = "/tmp/larkvale-rts-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  std::int64_t sizeDuringRead = -1;
  k.onWork = [&](std::int64_t) {
    if (sizeDuringRead < 0) sizeDuringRead = ::lseek(fd, 0, SEEK_END);
  };
  {
    TNetFileStream file(fd, true);
    EXPECT_THROW(k.c.ReadToStream(file, 5000), ENetConnClosedGracefully);
    file.Flush();
    // The incomplete last block is written too (without a work event).
    EXPECT_EQ(file.Size(), 3000);
  }
  EXPECT_EQ(sizeDuringRead, 5000);  // presized at the start
  EXPECT_EQ(k.log, (Log{"begin 0 5000", "work 1024", "work 2048", "status Disconnected.", "ondisconnected", "end"}));
  EXPECT_EQ(k.c.InputBuffer().Size(), 0u);
  ::unlink(path);
}

TEST(ReadToStream, UntilCloseKeepsTheLastPartialBlock) {
  S server;
  const std::string body = Bytes(2500);
  server.Expect({S::Send(body), S::Close()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  TNetMemoryStream sink;
  EXPECT_NO_THROW(k.c.ReadToStream(sink, -1, true));
  // The last, partial block is reported too: the final count is the body's length.
  EXPECT_EQ(k.log, (Log{"begin 0 0", "work 1024", "work 2048", "status Disconnected.", "ondisconnected", "work 2500",
                        "end"}));
  EXPECT_EQ(sink.Bytes(), body);
}

TEST(ReadToStream, DisconnectInsideOnWorkEndsTheReadNormally) {
  S server;
  const std::string body = Bytes(5000);
  server.Expect({S::Send(body), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  k.onWork = [&](std::int64_t n) {
    if (n == 2048) k.c.Disconnect();
  };
  TNetMemoryStream sink;
  EXPECT_NO_THROW(k.c.ReadToStream(sink, 5000));
  EXPECT_EQ(k.log, (Log{"begin 0 5000", "work 1024", "work 2048", "status Disconnecting.", "ondisconnected",
                        "status Disconnected.", "end"}));
  EXPECT_EQ(sink.Size(), 2048);
  EXPECT_EQ(sink.Bytes(), body.substr(0, 2048));
  EXPECT_FALSE(k.c.IsConnected());
}

// A transport that counts its receives, put under a client before Connect.
struct CountingSocket : TNetIOHandlerSocket {
  int receives = 0;
  int Receive(void* buffer, int length) override {
    ++receives;
    return TNetIOHandlerSocket::Receive(buffer, length);
  }
  int ReceiveNow(void* buffer, int length) override {
    ++receives;
    return TNetIOHandlerSocket::ReceiveNow(buffer, length);
  }
};
// A client whose transport is given to it.
struct ClientOnTransport : TNetTCPClient {
  void Use(std::shared_ptr<TNetIOHandler> io) { io_ = std::move(io); }
};
struct CountingClient : BasicClient<ClientOnTransport> {
  explicit CountingClient(int port) : BasicClient(port) { c.Use(socket); }
  std::shared_ptr<CountingSocket> socket = std::make_shared<CountingSocket>();
  // Waits (at most 5 s) until the kernel holds `bytes` for this client, or
  // as much as its receive window lets it hold.
  void AwaitBuffered(int bytes) {
    for (int i = 0, n = 0, last = -1, still = 0; i < 5000 && still < 50; ++i) {
      if (::ioctl(socket->SocketHandle()->Handle, FIONREAD, &n) != 0 || n >= bytes) return;
      still = n == last ? still + 1 : 0;
      last = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

Log BlockReports(int bodySize, int block = 1024) {
  Log log{"begin 0 " + std::to_string(bodySize)};
  for (int at = block; at < bodySize + block; at += block) log.push_back("work " + std::to_string(std::min(at, bodySize)));
  log.push_back("end");
  return log;
}

// A receive takes several blocks of a body at once, but the body still comes
// out one `RecvBufferSize` block, one report, at a time, however it arrives,
// and never a byte past its end: what follows it stays for the next read.
TEST(ReadToStream, ReceivesAheadButReportsEveryBlock) {
  const std::string body = Bytes(300000);
  struct Case {
    const char* name;
    S::Script script;
    bool whole;  // all of it in the kernel before the read
  };
  S::Script pieces;
  for (std::size_t at = 0; at < body.size(); at += 70001) {
    pieces.push_back(S::Send(body.substr(at, 70001)));
    pieces.push_back(S::Pause(20));
  }
  pieces.push_back(S::Send("NEXT\r\n"));
  pieces.push_back(S::WaitClose());
  const Case cases[] = {
      {"whole", {S::Send(body + "NEXT\r\n"), S::WaitClose()}, true},
      {"in odd pieces", pieces, false},
      {"body and next line in one send", {S::Pause(20), S::Send(body.substr(0, 299990)), S::Pause(20),
                                           S::Send(body.substr(299990) + "NEXT\r\n"), S::WaitClose()}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect(c.script);
    CountingClient k(server.Port());
    k.c.Connect(0);
    if (c.whole) k.AwaitBuffered(static_cast<int>(body.size()) + 6);
    k.log.clear();
    k.socket->receives = 0;
    TNetMemoryStream sink;
    k.c.ReadToStream(sink, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(k.log, BlockReports(300000));
    EXPECT_TRUE(sink.Bytes() == body);
    // 293 blocks; a body waiting whole takes one receive per 32 KiB.
    if (c.whole) EXPECT_LE(k.socket->receives, 300000 / TNetTCPConnection::kReadAheadBytes + 2);
    EXPECT_LT(k.c.InputBuffer().Size(), 1024u + 6u);
    EXPECT_EQ(k.c.ReadLine(), "NEXT");
  }
}

// A Disconnect from OnWork ends the body at the reported blocks, however far
// the receives had read ahead: nothing of it is left for a later read.
TEST(ReadToStream, DisconnectDropsWhatWasReadAhead) {
  S server;
  const std::string body = Bytes(100000);
  server.Expect({S::Send(body), S::WaitClose()});
  CountingClient k(server.Port());
  k.c.Connect(0);
  k.AwaitBuffered(100000);
  k.log.clear();
  std::size_t bufferedAtStop = 0;
  k.onWork = [&](std::int64_t n) {
    if (n != 2048) return;
    bufferedAtStop = k.c.InputBuffer().Size();
    k.c.Disconnect();
  };
  TNetMemoryStream sink;
  EXPECT_NO_THROW(k.c.ReadToStream(sink, 100000));
  EXPECT_EQ(k.log, (Log{"begin 0 100000", "work 1024", "work 2048", "status Disconnecting.", "ondisconnected",
                        "status Disconnected.", "end"}));
  EXPECT_GT(bufferedAtStop, 1024u);  // the receive did take more than a block
  EXPECT_TRUE(sink.Bytes() == body.substr(0, 2048));
  EXPECT_EQ(k.c.InputBuffer().Size(), 0u);
}

TEST(ReadToStream, DisconnectDuringTheReportOfTheHeaderBytes) {
  S server;
  server.Expect({S::Send("HEAD\r\n" + Bytes(300)), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.c.ReadLine();
  k.onWork = [&](std::int64_t) { k.c.Disconnect(); };
  TNetMemoryStream sink;
  EXPECT_NO_THROW(k.c.ReadToStream(sink, 5000));
  EXPECT_EQ(sink.Size(), 300);
}

TEST(ReadToStream, PeerResetMidBodyRaisesAndEndsTheWork) {
  S server;
  server.Expect({S::Send(Bytes(2048)), S::Pause(100), S::Reset()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  TNetMemoryStream sink;
  try {
    k.c.ReadToStream(sink, 100000);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10054);
  }
  ASSERT_FALSE(k.log.empty());
  EXPECT_EQ(k.log.back(), "end");
  EXPECT_EQ(sink.Size(), 2048);
}

TEST(ReadToStream, FailingSinkPropagatesAfterOnWorkEnd) {
  struct Failing : TNetMemoryStream {
    void Write(const void* b, std::size_t n) override {
      if (Position() >= 1024) throw std::runtime_error("disk full");
      TNetMemoryStream::Write(b, n);
    }
  };
  S server;
  server.Expect({S::Send(Bytes(5000)), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  Failing sink;
  EXPECT_THROW(k.c.ReadToStream(sink, 5000), std::runtime_error);
  EXPECT_EQ(k.log.back(), "end");
  EXPECT_EQ(sink.Size(), 1024);
  EXPECT_TRUE(k.c.IsConnected());
}

// --- ReadLine --------------------------------------------------------------

TEST(ReadLine, TerminatorsAndCarriageReturns) {
  S server;
  server.Expect({S::Send("abc\r\n\r\nabc\na\rb\n"), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  EXPECT_EQ(k.c.ReadLine(), "abc");
  EXPECT_EQ(k.c.ReadLine(), "");
  EXPECT_EQ(k.c.ReadLine(), "abc");
  EXPECT_EQ(k.c.ReadLine(), "a\rb");
  EXPECT_TRUE(k.log.empty());  // header lines raise no work events
}

TEST(ReadLine, LengthLimits) {
  const struct {
    const char* name;
    std::string data;
    bool accepted;
  } cases[] = {
      {"16384 + LF", std::string(16384, 'x') + "\n", true},
      {"16383 + CR LF", std::string(16383, 'x') + "\r\n", true},
      {"16384 + CR LF", std::string(16384, 'x') + "\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::Send(c.data), S::WaitClose()});
    Client k(server.Port());
    k.c.Connect(0);
    if (c.accepted) {
      EXPECT_EQ(k.c.ReadLine().size(), c.data.size() - (c.data[c.data.size() - 2] == '\r' ? 2 : 1));
    } else {
      EXPECT_THROW(k.c.ReadLine(), ENetReadLnMaxLineLengthExceeded);
      // The bytes stay buffered (what arrived so far).
      EXPECT_GT(k.c.InputBuffer().Size(), 16384u);
    }
  }
}

TEST(ReadLine, OverlongLineRaisesBeforeWaitingForMore) {
  S server;
  // 16385 bytes, then a long stall: the limit must trip without waiting.
  server.Expect({S::Send(std::string(16385, 'x')), S::Pause(3000)});
  Client k(server.Port());
  k.c.Connect(0);
  k.c.RecvBufferSize = 32768;
  auto start = std::chrono::steady_clock::now();
  try {
    k.c.ReadLine();
    FAIL() << "no exception";
  } catch (const ENetReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  k.c.Disconnect();
}

TEST(ReadLine, HundredMegabytesWithoutALineFeed) {
  S server;
  server.Expect({S::Send(std::string(100 * 1024 * 1024, 'y'))});
  Client k(server.Port());
  k.c.Connect(0);
  EXPECT_THROW(k.c.ReadLine(), ENetReadLnMaxLineLengthExceeded);
  EXPECT_LT(k.c.InputBuffer().Size(), 20000u);  // it stopped reading at the limit
  k.c.Disconnect();
}

TEST(ReadLine, SplitModeReturnsTheFirstPart) {
  S server;
  server.Expect({S::Send("abcdefgh\n"), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.c.MaxLineLength = 5;
  k.c.MaxLineAction = maSplit;
  EXPECT_EQ(k.c.ReadLine(), "abcde");
  EXPECT_TRUE(k.c.ReadLineSplit);
  EXPECT_EQ(k.c.ReadLine(), "fgh");
  EXPECT_FALSE(k.c.ReadLineSplit);
}

TEST(ReadLine, PeerCloseWithAnUnterminatedLine) {
  S server;
  server.Expect({S::Send("partial"), S::Close()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  EXPECT_EQ(k.c.ReadLine(), "");
  EXPECT_TRUE(k.c.ReadLineTimedOut);
  EXPECT_EQ(k.log, (Log{"status Disconnected.", "ondisconnected"}));
  EXPECT_THROW(k.c.ReadLine(), ENetConnClosedGracefully);
}

TEST(ReadLine, AfterDisconnectBufferedLinesStillRead) {
  S server;
  server.Expect({S::Send("one\ntwo\n"), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  EXPECT_EQ(k.c.ReadLine(), "one");
  k.c.Disconnect();
  EXPECT_EQ(k.c.ReadLine(), "two");
  try {
    k.c.ReadLine();
    FAIL() << "no exception";
  } catch (const ENetNotConnected& e) {
    EXPECT_STREQ(e.what(), "Not Connected");
  }
  char b[4];
  EXPECT_THROW(k.c.ReadExact(b, 4), ENetNotConnected);
}

TEST(ReadLine, ReadTimeout) {
  S server;
  server.Expect({S::Pause(2000)});
  Client k(server.Port());
  k.c.Connect(0);
  k.c.ReadTimeout = 150;
  try {
    k.c.ReadLine();
    FAIL() << "no exception";
  } catch (const ENetReadTimeout& e) {
    EXPECT_STREQ(e.what(), "Read Timeout");
  }
  EXPECT_TRUE(k.c.IsConnected());
  k.c.Disconnect();
}

// --- close detection and writes ---------------------------------------------

TEST(Connection, PollForCloseNoticesAClosedKeepAliveConnection) {
  S server;
  server.Expect({S::Close()});
  Client k(server.Port());
  k.c.Connect(0);
  // Connect returns once the kernel has the connection; the server may not
  // have accepted it yet, and WaitIdle only waits for accepted ones.
  for (int i = 0; i < 5000 && server.Connections() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server.WaitIdle();
  k.log.clear();
  k.c.PollForClose(false);
  EXPECT_EQ(k.log, (Log{"status Disconnected.", "ondisconnected"}));
  EXPECT_FALSE(k.c.IsConnected());
  EXPECT_EQ(k.log.size(), 2u);  // reported once
}

TEST(Connection, ReadExactShortfallAfterClose) {
  S server;
  server.Expect({S::Send("12345"), S::Close()});
  Client k(server.Port());
  k.c.Connect(0);
  char b[10];
  EXPECT_THROW(k.c.ReadExact(b, 10), ENetConnClosedGracefully);
  EXPECT_EQ(k.c.InputBuffer().Size(), 5u);
  k.c.ReadExact(b, 5);
  EXPECT_EQ(std::string(b, 5), "12345");
}

TEST(Connection, WriteBufferingSendsTheHeadInOneGo) {
  S server;
  server.Expect({S::ReadRequest(), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.c.OpenWriteBuffering(-1);
  k.c.WriteLine("GET / HTTP/1.0");
  k.c.WriteLine("Host: h");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(server.Requests().empty());  // still collected
  k.c.WriteLine("");
  k.c.CloseWriteBuffering();
  k.c.Disconnect();
  server.WaitIdle();
  EXPECT_EQ(server.Requests(), std::vector<std::string>{"GET / HTTP/1.0\r\nHost: h\r\n\r\n"});
}

TEST(Connection, SendToAClosedPeerRaisesWithoutSignal) {
  S server;
  server.Expect({S::Reset()});
  Client k(server.Port());
  k.c.Connect(0);
  server.WaitIdle();
  std::string chunk(65536, 'z');
  try {
    for (int i = 0; i < 1000; ++i) k.c.WriteBytes(chunk.data(), static_cast<int>(chunk.size()));
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_TRUE(e.SocketErrorCode == 10054 || e.SocketErrorCode == 10058) << e.SocketErrorCode;
  } catch (const ENetConnClosedGracefully&) {
    // a zero-byte send: also a close
  }
  EXPECT_FALSE(k.c.IsConnected());  // the socket was dropped
}

TEST(Connection, WriteWithoutConnection) {
  TNetTCPClient c;
  try {
    c.WriteLine("x");
    FAIL() << "no exception";
  } catch (const ENetNotConnected& e) {
    EXPECT_STREQ(e.what(), "Not Connected");
  }
}

TEST(Connection, WriteFromStreamReportsWriteWork) {
  S server;
  server.Expect({S::ReadBytes(70000), S::WaitClose()});
  Client k(server.Port());
  k.c.Connect(0);
  k.log.clear();
  TNetMemoryStream source(Bytes(70000));
  k.c.WriteFromStream(source);
  ASSERT_GE(k.log.size(), 3u);
  EXPECT_EQ(k.log.front(), "begin 1 70000");
  EXPECT_EQ(k.log[k.log.size() - 2], "work 70000");
  EXPECT_EQ(k.log.back(), "end");
}

// --- buffers ---------------------------------------------------------------

TEST(ManagedBuffer, ConsumesFromTheFrontAndCompacts) {
  TNetManagedBuffer b;
  std::vector<int> removed;
  b.OnRemove = [&](int n) { removed.push_back(n); };
  std::string data = Bytes(40000);
  b.Append(data.data(), data.size());
  b.Remove(30000);
  EXPECT_EQ(std::string(b.Data(), 10), data.substr(30000, 10));
  b.Remove(3000);  // offset passes 32768: compacted
  EXPECT_EQ(b.Size(), 7000u);
  EXPECT_EQ(b.Extract(7000), data.substr(33000));
  EXPECT_EQ(removed, (std::vector<int>{30000, 3000, 7000}));
  try {
    b.Remove(1);
    FAIL() << "no exception";
  } catch (const ENetNotEnoughDataInBuffer& e) {
    EXPECT_STREQ(e.what(), "Not enough data in buffer.");
  }
  b.Append("x", 1);
  b.Clear();
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(removed.size(), 3u);
}

TEST(Exceptions, FixedMessages) {
  const struct {
    std::string got, want;
  } cases[] = {
      {ENetConnClosedGracefully().what(), "Connection Closed Gracefully."},
      {ENetNoDataToRead().what(), "No data to read."},
      {ENetIOHandlerPropInvalid().what(), "IOHandler value is not valid"},
      {ENetClosedSocket().what(), "Disconnected."},
      {ENetInvalidSocket().what(), "Cannot allocate socket."},
      {ENetStackInitializationFailed().what(), "Winsock Initialization Error."},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
  // The family shares one root.
  EXPECT_NO_THROW(try { throw ENetConnClosedGracefully(); } catch (const ENetSilentException&) {});
  EXPECT_NO_THROW(try { throw ENetNotConnected(); } catch (const ENetTCPConnectionError&) {});
  EXPECT_NO_THROW(try { throw ENetCouldNotBindSocket(); } catch (const ENetSocketHandleError&) {});
  EXPECT_NO_THROW(try { throw ENetHTTPProtocolException("x", 1, ""); } catch (const ENetProtocolReplyError&) {});
}
