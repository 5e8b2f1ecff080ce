// Replies that end early, fail half-way or try to smuggle text onto the
// wire: no cut body passes as complete, no connection carries a request
// after a reply it did not finish, nothing but the address's own request
// line is sent, and hostile heads cost time in proportion to their size.
#include <gtest/gtest.h>
#include <malloc.h>
#include <time.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "http/exceptions.h"
#include "http/httpclient.h"
#include "support/scripted_server.h"

using namespace larkvale::http;
using larkvale::testing::ScriptedServer;
using S = ScriptedServer;

namespace {

struct Http {
  Http() { ApplyWindowConfiguration(c); }
  TNetHTTP c;
};

std::string Url(const S& s, const std::string& path = "/") { return "http://127.0.0.1:" + std::to_string(s.Port()) + path; }

std::string Reply(const std::string& status, const std::string& headers, const std::string& body) {
  return status + "\r\n" + headers + "\r\n" + body;
}

const std::string kKeepAliveOk = Reply("HTTP/1.0 200 OK", "Connection: keep-alive\r\nContent-Length: 2\r\n", "ok");

// Sanitized code runs several times slower; a quadratic head would still
// take far longer than the allowance.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
constexpr double kSlowdown = 4.0;
#else
constexpr double kSlowdown = 1.0;
#endif

// CPU seconds of the calling thread: the client's work, whatever else the
// machine is doing.
double ThreadSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A sink that fails like a full disk after `room` bytes.
class FullDiskSink : public TNetMemoryStream {
 public:
  explicit FullDiskSink(std::int64_t room) : room_(room) {}
  void Write(const void* buffer, std::size_t n) override {
    if (Position() + static_cast<std::int64_t>(n) > room_) throw std::system_error(ENOSPC, std::generic_category());
    TNetMemoryStream::Write(buffer, n);
  }

 private:
  std::int64_t room_;
};

}  // namespace

TEST(ReplySoundness, BodiesThatEndEarlyFailAndKeepEveryByteThatCame) {
  const std::string b4500(4500, 'b');
  const struct {
    const char* name;
    std::string reply;
    std::string kept;
    const char* error;  // nullptr: the call succeeds
  } cases[] = {
      {"counted, cut in a block", Reply("HTTP/1.0 200 OK", "Content-Length: 5000\r\n", b4500), b4500,
       "Connection closed after 4500 of 5000 bytes."},
      {"counted, nothing after the head", Reply("HTTP/1.0 200 OK", "Content-Length: 5000\r\n", ""), "",
       "Connection closed after 0 of 5000 bytes."},
      {"chunked, cut inside a chunk", Reply("HTTP/1.0 200 OK", "Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n400\r\nabc"),
       "helloabc", "Connection closed after 8 bytes of a chunked body, before its last chunk."},
      {"chunked, cut before a size line", Reply("HTTP/1.0 200 OK", "Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n"),
       "hello", "Connection closed after 5 bytes of a chunked body, before its last chunk."},
      {"chunked, only the closing line missing", Reply("HTTP/1.0 200 OK", "Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n"),
       "hello", nullptr},
      {"counted, complete", Reply("HTTP/1.0 200 OK", "Content-Length: 4500\r\n", b4500), b4500, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(c.reply), S::Close()});
    Http h;
    TNetMemoryStream sink;
    if (c.error) {
      try {
        h.c.Get(Url(server), sink);
        ADD_FAILURE() << "no exception";
      } catch (const ENetBodyIncomplete& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    } else {
      EXPECT_NO_THROW(h.c.Get(Url(server), sink));
    }
    EXPECT_EQ(sink.Bytes(), c.kept);
    EXPECT_FALSE(h.c.IsConnected());
  }
}

// After a call that failed or left part of a reply unread, the next request
// goes out on a new connection; the old one would hand it the rest of the
// earlier reply.
TEST(ReplySoundness, AConnectionLeftInsideAReplyIsNeverReused) {
  const std::string fresh = Reply("HTTP/1.0 200 OK", "Content-Length: 5\r\n", "fresh");
  const std::string leftovers = "leftover bytes HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nstale";
  const struct {
    const char* name;
    S::Script failing;     // after the first, kept-alive exchange on the same connection
    bool secondCallFails;  // else it follows a redirect and gets the fresh reply
    std::int64_t sinkRoom;
  } cases[] = {
      {"over-long header line",
       {S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nX-Long: " + std::string(20000, 'x') + "\r\n\r\n"),
        S::Send(leftovers), S::WaitClose()},
       true, 1 << 20},
      {"404 whose body stalls past its read time",
       {S::ReadRequest(), S::Send(Reply("HTTP/1.0 404 Not Found", "Connection: keep-alive\r\nContent-Length: 100\r\n", "not")),
        S::Pause(2600), S::Send(leftovers), S::WaitClose()},
       true, 1 << 20},
      {"302 whose body stalls past its drain time",
       {S::ReadRequest(),
        S::Send(Reply("HTTP/1.0 302 Found", "Location: /next\r\nConnection: keep-alive\r\nContent-Length: 100\r\n", "moved")),
        S::Pause(4600), S::Send(leftovers), S::WaitClose()},
       false, 1 << 20},
      {"sink out of space",
       {S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Connection: keep-alive\r\nContent-Length: 8000\r\n", std::string(8000, 'd'))),
        S::Send(leftovers), S::WaitClose()},
       true, 3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    S::Script first = {S::ReadRequest(), S::Send(kKeepAliveOk)};
    first.insert(first.end(), c.failing.begin(), c.failing.end());
    server.Expect(first);
    server.Expect({S::ReadRequest(), S::Send(fresh), S::WaitClose()});
    Http h;
    EXPECT_EQ(h.c.Get(Url(server, "/a")), "ok");
    ASSERT_TRUE(h.c.IsConnected());
    FullDiskSink sink(c.sinkRoom);
    if (c.secondCallFails) {
      EXPECT_ANY_THROW(h.c.Get(Url(server, "/b"), sink));
      EXPECT_FALSE(h.c.IsConnected());
      EXPECT_EQ(h.c.Get(Url(server, "/c")), "fresh");
    } else {
      h.c.Get(Url(server, "/b"), sink);
      EXPECT_EQ(sink.Bytes(), "fresh");
    }
    EXPECT_EQ(server.Connections(), 2);
  }
}

TEST(ReplySoundness, LineBreaksAndNulNeverReachTheWire) {
  S target;  // nothing may ever connect here
  const std::string base = Url(target);
  for (const std::string& address : {base + "a\r\nX-Injected: 1", base + "a\nX-Injected: 1", base + "a\rb",
                                     base + std::string("a\0b", 3), std::string("http://127.0.0.1\r\nX-Injected: 1/")}) {
    SCOPED_TRACE(address);
    Http h;
    EXPECT_THROW(h.c.Get(address), ENetUnsafeRequestText);
  }
  EXPECT_EQ(target.Connections(), 0);

  // A Location with a bare CR (a CR LF would end the header) and a redirect
  // handler that writes a line break.
  for (bool handler : {false, true}) {
    SCOPED_TRACE(handler ? "handler" : "Location");
    S server;
    server.Expect({S::ReadRequest(),
                   S::Send(Reply("HTTP/1.0 302 Found", "Location: /next\rX-Injected: 1\r\nContent-Length: 0\r\n", "")),
                   S::WaitClose()});
    Http h;
    if (handler)
      h.c.OnRedirect = [](TNetCustomHTTP*, std::string& dest, int&, bool&, TNetHTTPMethod&) { dest = "/x\r\nX-Injected: 2"; };
    EXPECT_THROW(h.c.Get(Url(server)), ENetUnsafeRequestText);
    server.WaitIdle();
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Connections(), 1);
  }

  // A cookie value with a bare CR is not kept, so it never comes back.
  S server;
  server.Expect({S::ReadRequest(),
                 S::Send(Reply("HTTP/1.0 200 OK",
                               "Set-Cookie: a=1\rX-Injected: 1; path=/\r\nSet-Cookie: b=2; path=/\r\nConnection: keep-alive\r\nContent-Length: 0\r\n",
                               "")),
                 S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Content-Length: 0\r\n", "")), S::WaitClose()});
  Http h;
  h.c.Get(Url(server, "/"));
  h.c.Get(Url(server, "/again"));
  server.WaitIdle();
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("\r\nCookie: b=2\r\n\r\n"), std::string::npos) << requests[1];
  for (std::size_t at = requests[1].find('\r'); at != std::string::npos; at = requests[1].find('\r', at + 1))
    EXPECT_EQ(requests[1][at + 1], '\n') << "bare CR at " << at;
}

TEST(ReplySoundness, CookiesGoOnlyToTheHostThatMatches) {
  // One server under two names: 127.0.0.1 and localhost are different hosts.
  S server;
  const std::string port = std::to_string(server.Port());
  server.Expect({S::ReadRequest(),
                 S::Send(Reply("HTTP/1.0 200 OK", "Set-Cookie: a=1; path=/\r\nSet-Cookie: w=2; path=/watch\r\nContent-Length: 0\r\n", "")),
                 S::WaitClose()});
  for (int i = 0; i < 3; ++i) server.Expect({S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Content-Length: 0\r\n", "")), S::WaitClose()});
  Http h;
  h.c.Get("http://127.0.0.1:" + port + "/");
  h.c.Get("http://localhost:" + port + "/watch/x");
  h.c.Get("http://127.0.0.1:" + port + "/watchlater/x");
  h.c.Get("http://127.0.0.1:" + port + "/watch/x");
  server.WaitIdle();
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].find("Cookie:"), std::string::npos) << requests[1];
  EXPECT_NE(requests[2].find("\r\nCookie: a=1\r\n"), std::string::npos) << requests[2];
  EXPECT_NE(requests[3].find("\r\nCookie: w=2; a=1\r\n"), std::string::npos) << requests[3];
}

TEST(ReplySoundness, PortsBelongToTheirHost) {
  const struct {
    const char *host, *port, *address;
    const char* wantPort;  // nullptr: refused with `error`
    const char* wantHostHeader;
    const char* error;
  } cases[] = {
      {"127.0.0.1", "38843", "http://localhost/watch", "80", "localhost", nullptr},
      {"127.0.0.1", "38843", "http://LOCALHOST:8080/watch", "8080", "LOCALHOST:8080", nullptr},
      {"127.0.0.1", "38843", "http://127.0.0.1/b", "38843", "127.0.0.1:38843", nullptr},  // the same host keeps it
      {"Video.Example", "8080", "http://video.example/b", "8080", "video.example:8080", nullptr},
      {"127.0.0.1", "38843", "/relative", "38843", "127.0.0.1:38843", nullptr},
      {"127.0.0.1", "38843", "https://other.example/x", "443", "other.example:443", nullptr},
      {"h", "80", "http://h:98629/", nullptr, nullptr, "Port 98629 is out of range (1-65535)."},
      {"h", "80", "http://h:0/", nullptr, nullptr, "Port 0 is out of range (1-65535)."},
      {"h", "80", "http://h:-80/", nullptr, nullptr, "Port -80 is out of range (1-65535)."},
      {"h", "80", "http://[::1]:8080/x", "8080", "[::1]:8080", nullptr},
      {"h", "80", "http://[::1]/x", "80", "[::1]", nullptr},
      {"h", "80", "http://[::g]/x", nullptr, nullptr, "Invalid IPv6 address: ::g"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    TNetURI current;
    current.Scheme = "http";
    current.Host = c.host;
    current.Port = c.port;
    current.Directory = "/";
    TNetHTTPRequest request;
    if (c.wantPort) {
      ResolveRequest(current, request, c.address);
      EXPECT_EQ(current.Port, c.wantPort);
      EXPECT_EQ(request.Host, c.wantHostHeader);
    } else {
      try {
        ResolveRequest(current, request, c.address);
        ADD_FAILURE() << "no exception";
      } catch (const ENetURIException& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
  // Refused before anything is sent: the Host header would say one port
  // while the socket used another.
  S server;
  Http h;
  EXPECT_THROW(h.c.Get("http://127.0.0.1:" + std::to_string(server.Port() + 65536) + "/"), ENetURIException);
  EXPECT_EQ(server.Connections(), 0);
}

TEST(ReplySoundness, ErrorPagesAreKeptOnlyInPart) {
  S server;
  // 64 MiB of error page unless the client stops reading.
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 67108864\r\n\r\n"),
                 S::SendRepeated(std::string(1024, 'e'), 65536)});
  Http h;
  try {
    h.c.Get(Url(server));
    FAIL() << "no exception";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_STREQ(e.what(), "HTTP/1.0 404 Not Found");
    EXPECT_EQ(e.ReplyBody, std::string(TNetCustomHTTP::kMaxErrorPageBytes, 'e'));
  }
  EXPECT_FALSE(h.c.IsConnected());
}

TEST(ReplySoundness, RedirectBodiesAreDrainedWithoutBeingKept) {
  // The heap in use while a 32 MiB redirect body is drained (glibc's count;
  // under AddressSanitizer it reads 0 and the bound holds trivially).
  S target;
  target.Expect({S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Content-Length: 2\r\n", "ok")), S::WaitClose()});
  S server;
  server.Expect({S::ReadRequest(),
                 S::Send("HTTP/1.0 302 Found\r\nLocation: " + Url(target, "/f") + "\r\nContent-Length: 33554432\r\n\r\n"),
                 S::SendRepeated(std::string(64 * 1024, 'r'), 512), S::WaitClose()});
  Http h;
  const auto heap = [] {
    const struct mallinfo2 m = ::mallinfo2();
    return static_cast<std::int64_t>(m.uordblks + m.hblkhd);
  };
  const std::int64_t before = heap();
  std::int64_t peak = before;
  h.c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t) { peak = std::max(peak, heap()); };
  EXPECT_EQ(h.c.Get(Url(server)), "ok");
  EXPECT_LT(peak - before, 4 << 20);
}

TEST(ReplySoundness, AStopWhileARedirectIsDrainedEndsTheCall) {
  S target;  // the redirect's target: never reached
  S server;
  server.Expect({S::ReadRequest(),
                 S::Send("HTTP/1.0 302 Found\r\nLocation: " + Url(target, "/f") + "\r\nConnection: keep-alive\r\nContent-Length: 10485760\r\n\r\n"),
                 S::SendRepeated(std::string(1024, 'r'), 10240)});
  Http h;
  int works = 0;
  h.c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t n) {
    ++works;
    if (n >= 100 * 1024) h.c.Disconnect();
  };
  TNetMemoryStream sink;
  EXPECT_NO_THROW(h.c.Get(Url(server), sink));
  EXPECT_EQ(sink.Size(), 0);
  EXPECT_GT(works, 0);
  EXPECT_FALSE(h.c.IsConnected());
  EXPECT_EQ(target.Connections(), 0);
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(h.c.RedirectsSoFar, 0);
}

TEST(ReplySoundness, EndlessContinueHeadsAreAProtocolError) {
  const std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
  for (int heads : {32, 33, 1000}) {
    SCOPED_TRACE(heads);
    S server;
    server.Expect({S::ReadRequest(), S::SendRepeated(cont, heads),
                   S::Send(Reply("HTTP/1.1 200 OK", "Content-Length: 3\r\n", "yes")), S::WaitClose()});
    Http h;
    if (heads <= TNetCustomHTTP::kMaxContinueHeads) {
      EXPECT_EQ(h.c.Get(Url(server)), "yes");
      continue;
    }
    try {
      h.c.Get(Url(server));
      FAIL() << "no exception";
    } catch (const ENetHTTPProtocolException& e) {
      EXPECT_EQ(e.ReplyCode, 100);
      EXPECT_STREQ(e.what(), "More than 32 \"100 Continue\" replies in a row.");
    }
    EXPECT_FALSE(h.c.IsConnected());
  }
}

// Heads built to be slow: 2.4 MB of Set-Cookie lines, and 2.4 MB of
// continuation lines folded into one value. The bound is on the client's own
// CPU time, so a loaded machine does not make it fail.
TEST(ReplySoundness, HostileHeadsCostTimeInProportionToTheirSize) {
  std::string cookies;
  for (int i = 0; cookies.size() < 2'400'000; ++i) cookies += "Set-Cookie: c" + std::to_string(i) + "=v; path=/\r\n";
  std::string folded = "Content-Type: video/x-flv\r\n";
  while (folded.size() < 2'400'000) folded += " ;a=b\r\n";
  const struct {
    const char* name;
    std::string head;
  } cases[] = {{"Set-Cookie lines", cookies}, {"continuation lines", folded}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", c.head + "Content-Length: 2\r\n", "ok")), S::WaitClose()});
    Http h;
    const double start = ThreadSeconds();
    EXPECT_EQ(h.c.Get(Url(server)), "ok");
    EXPECT_LT(ThreadSeconds() - start, 1.0 * kSlowdown);
    if (c.head == folded) {
      EXPECT_EQ(h.c.Response.ContentType.size(), std::string("video/x-flv").size() + (folded.size() - 27) / 7 * 5);
    }
  }
}

// A reply whose body cannot be delimited fails the call before any of it is
// taken as the body: a Content-Length that is not one non-negative number,
// as a hostile or broken server sends them. Equal repeats are one length.
TEST(ReplySoundness, LengthsThatAreNotOneNumberFailTheCall) {
  const struct {
    const char* name;
    std::string headers;
    const char* error;  // nullptr: the body "hello" is read
  } cases[] = {
      {"too large", "Content-Length: 99999999999999999999\r\n", "Invalid Content-Length \"99999999999999999999\"."},
      {"negative", "Content-Length: -5\r\n", "Invalid Content-Length \"-5\"."},
      {"signed", "Content-Length: +5\r\n", "Invalid Content-Length \"+5\"."},
      {"not a number", "Content-Length: 5x\r\n", "Invalid Content-Length \"5x\"."},
      {"empty", "Content-Length: \r\n", "Invalid Content-Length \"\"."},
      {"two headers", "Content-Length: 5\r\nContent-Length: 6\r\n", "Conflicting Content-Length values 5 and 6."},
      {"a list", "Content-Length: 5, 6\r\n", "Conflicting Content-Length values 5 and 6."},
      {"a list of one value", "Content-Length: 5, 5\r\n", nullptr},
      {"the same twice", "Content-Length: 5\r\nContent-Length: 5\r\n", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", c.headers, "hello and more")), S::WaitClose()});
    Http h;
    int works = 0;
    h.c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t) { ++works; };
    TNetMemoryStream sink;
    if (!c.error) {
      h.c.Get(Url(server), sink);
      EXPECT_EQ(sink.Bytes(), "hello");
      continue;
    }
    try {
      h.c.Get(Url(server), sink);
      ADD_FAILURE() << "no exception";
    } catch (const ENetMalformedReply& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_EQ(sink.Size(), 0);
    EXPECT_EQ(works, 0);
    EXPECT_FALSE(h.c.IsConnected());
  }
}

// What the user reads is true: the last count of a body that runs to the
// close is its length, a head cut off by the close says so, and every port
// out of range is refused in the same words.
TEST(ReplySoundness, CountsAndMessagesAreTrue) {
  {
    SCOPED_TRACE("a body to the close");
    const std::string body(1 << 20, 'u');
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\n", body)), S::Close()});
    Http h;
    std::int64_t last = -1;
    h.c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t n) { last = n; };
    TNetMemoryStream sink;
    h.c.Get(Url(server), sink);
    EXPECT_EQ(sink.Size(), static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(last, static_cast<std::int64_t>(body.size()));
  }
  {
    SCOPED_TRACE("a head cut off");
    S server;
    server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Type: video/mp4\r\nContent-Le"), S::Close()});
    Http h;
    try {
      h.c.Get(Url(server));
      ADD_FAILURE() << "no exception";
    } catch (const ENetMalformedReply& e) {
      EXPECT_STREQ(e.what(), "Connection closed before the end of the reply head.");
    }
  }
  S server;  // nothing may connect
  for (const std::string port : {"0", "99999", "99999999999999999999"}) {
    SCOPED_TRACE(port);
    Http h;
    try {
      h.c.Get("http://127.0.0.1:" + port + "/clip.mp4");
      ADD_FAILURE() << "no exception";
    } catch (const ENetURIException& e) {
      EXPECT_EQ(std::string(e.what()), "Port " + port + " is out of range (1-65535).");
    }
  }
  EXPECT_EQ(server.Connections(), 0);
}

// A reply with both Transfer-Encoding: chunked and a Content-Length was read
// by the length: a body cut short, or the rest of it taken as the next
// reply. Chunked wins (RFC 9112, 6.3), whatever the length says, and the
// connection carries nothing after such a reply.
TEST(ReplySoundness, ChunkedWinsOverContentLength) {
  const std::string chunks = "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
  const struct {
    const char* name;
    std::string headers;
  } cases[] = {
      {"a length shorter than the body", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n"},
      {"the length first", "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n"},
      {"a length of nothing", "Content-Length: 0\r\nTransfer-Encoding: chunked\r\n"},
      {"a length that is not a number", "Transfer-Encoding: chunked\r\nContent-Length: lots\r\n"},
      {"chunked in capitals, after another coding line", "Transfer-Encoding: identity\r\nTransfer-Encoding: Chunked\r\n"
                                                         "Content-Length: 7\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(),
                   S::Send(Reply("HTTP/1.0 200 OK", "Connection: keep-alive\r\n" + c.headers, chunks)), S::WaitClose()});
    Http h;
    TNetMemoryStream sink;
    h.c.Get(Url(server), sink);
    EXPECT_EQ(sink.Bytes(), "hello world");
    EXPECT_EQ(h.c.Response.ContentLength, -1);
    // Kept alive by its head, but not reused.
    EXPECT_FALSE(h.c.IsConnected());
  }
}

// The bytes after a smuggled length never become the next reply: the
// second request goes out on a new connection.
TEST(ReplySoundness, AReplyWithBothFramingsLeavesNothingForTheNextRequest) {
  S server;
  server.Expect({S::ReadRequest(),
                 S::Send(Reply("HTTP/1.0 200 OK",
                               "Connection: keep-alive\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n",
                               "5\r\nfirst\r\n0\r\n\r\n")),
                 S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Content-Length: 5\r\n", "stale")), S::Close()});
  server.Expect({S::ReadRequest(), S::Send(Reply("HTTP/1.0 200 OK", "Content-Length: 5\r\n", "fresh")), S::Close()});
  Http h;
  EXPECT_EQ(h.c.Get(Url(server, "/a")), "first");
  EXPECT_EQ(h.c.Get(Url(server, "/b")), "fresh");
  EXPECT_EQ(server.Connections(), 2);
}

// Text from the server in a message (the status line, a header value
// quoted) reached the terminal and the window raw: ESC, BEL and invalid
// UTF-8 are shown escaped; readable text, UTF-8 included, stays.
TEST(ReplySoundness, ControlBytesFromTheServerAreShownEscaped) {
  const struct {
    const char* name;
    std::string reply;
    std::string message;
  } cases[] = {
      {"ESC and BEL in the reason", "HTTP/1.0 404 Not\x1b[31m Found\x07!\r\n\r\n", "HTTP/1.0 404 Not\\x1b[31m Found\\x07!"},
      {"a title sequence", "HTTP/1.1 503 \x1b]0;owned\x07 Busy\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 503 \\x1b]0;owned\\x07 Busy"},
      {"DEL, NUL and bytes that are not UTF-8", std::string("HTTP/1.0 500 Bad\x7f") + '\0' + "\xff\xc3(\r\n\r\n",
       "HTTP/1.0 500 Bad\\x7f\\x00\\xff\\xc3("},
      {"a C1 control", "HTTP/1.0 404 \xc2\x9b" "2J\r\n\r\n", "HTTP/1.0 404 \\xc2\\x9b2J"},
      {"readable UTF-8 stays", "HTTP/1.0 503 Dienst \xc3\xbc" "berlastet\r\n\r\n", "HTTP/1.0 503 Dienst \xc3\xbc" "berlastet"},
      {"a quoted length", "HTTP/1.0 200 OK\r\nContent-Length: 12\x1b[2J34\r\n\r\n",
       "Invalid Content-Length \"12\\x1b[2J34\"."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(c.reply), S::Close()});
    Http h;
    try {
      h.c.Get(Url(server));
      ADD_FAILURE() << "no exception";
    } catch (const ENetException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}
