// IPv6: bracketed literals in addresses and Host headers, names with
// addresses of both families, the Happy Eyeballs connect between them, and
// real downloads from nginx on ::1 and 127.0.0.1.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/cookies.h"
#include "http/exceptions.h"
#include "http/httpclient.h"
#include "http/tlshandler.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/stalling_servers.h"
#include "support/tls_certificates.h"
#include "support/video_site.h"

using namespace larkvale::http;
using larkvale::testing::FullAcceptQueue;
using larkvale::testing::ListenOn;
using larkvale::testing::NginxServer;
using larkvale::testing::ScriptedServer;
using larkvale::testing::TempDir;
using larkvale::testing::TlsCertificates;
using larkvale::testing::WriteFileBytes;
using S = ScriptedServer;
using Clock = std::chrono::steady_clock;

namespace {

// Whether this machine can listen on ::1 at all (a container may lack it).
bool HaveIPv6Loopback() {
  int port = 0;
  const int fd = ListenOn("::1", 0, 1, &port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

#define REQUIRE_IPV6_LOOPBACK()                                                      \
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "this machine has no ::1 to listen on (no IPv6 loopback)"

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Names with chosen addresses, passed to what looks them up.
struct FakeNames : TNetNameResolver {
  explicit FakeNames(std::map<std::string, std::vector<std::string>> table) : names(std::move(table)) {}
  std::vector<std::string> Resolve(const std::string& host) const override {
    auto it = names.find(host);
    return it == names.end() ? std::vector<std::string>{} : it->second;
  }
  std::map<std::string, std::vector<std::string>> names;
};

}  // namespace

TEST(IPv6, AddressesWithBracketedLiterals) {
  const struct {
    const char *text, *user, *host, *port, *dir, *res, *composed;
  } cases[] = {
      {"http://[::1]:8080/a/b.flv?x=1", "", "::1", "8080", "/a/", "b.flv", "http://[::1]:8080/a/b.flv?x=1"},
      {"http://[2001:db8::7]/watch", "", "2001:db8::7", "", "/", "watch", "http://[2001:db8::7]/watch"},
      {"https://ann:pw@[::ffff:10.0.0.1]:443/", "ann", "::ffff:10.0.0.1", "443", "/", "",
       "https://ann:pw@[::ffff:10.0.0.1]:443/"},
      {"http://[fe80::1]", "", "fe80::1", "", "/", "", "http://[fe80::1]/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TNetURI u(c.text);
    EXPECT_EQ(u.User, c.user);
    EXPECT_EQ(u.Host, c.host);
    EXPECT_EQ(u.Port, c.port);
    EXPECT_EQ(u.Directory, c.dir);
    EXPECT_EQ(u.Resource, c.res);
    EXPECT_EQ(u.Compose(), c.composed);
  }
}

TEST(IPv6, RequestTargetAndHostHeader) {
  const struct {
    const char *address, *port, *host;
  } cases[] = {
      {"http://[::1]:8080/v.flv", "8080", "[::1]:8080"},
      {"http://[::1]/v.flv", "80", "[::1]"},
      {"https://[2001:DB8::1]/v.flv", "443", "[2001:DB8::1]:443"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    TNetURI current;
    TNetHTTPRequest r;
    ResolveRequest(current, r, c.address);
    EXPECT_EQ(current.Port, c.port);
    EXPECT_EQ(r.Host, c.host);
    EXPECT_EQ(r.Target, "/v.flv");
  }
  // Not IPv6 addresses: refused before anything is looked up.
  for (const char* bad : {"http://[::1/x", "http://[::g]/x", "http://[fe80::1%25eth0]/x", "http://[1.2.3.4]/x"}) {
    SCOPED_TRACE(bad);
    TNetURI current;
    TNetHTTPRequest r;
    EXPECT_THROW(ResolveRequest(current, r, bad), ENetURIException);
  }
}

TEST(IPv6, LookupGivesBothFamiliesIPv6FirstAndAlternating) {
  auto names = std::make_shared<FakeNames>(std::map<std::string, std::vector<std::string>>{
      {"mixed.test", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "2001:db8::1", "2001:db8::2", "10.0.0.1"}},
      {"v4only.test", {"10.0.0.9"}}});
  TNetStackPosix stack;
  EXPECT_EQ(stack.LookupAddresses("mixed.test", nullptr, names),
            (std::vector<std::string>{"2001:db8::1", "10.0.0.1", "2001:db8::2", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(stack.LookupAddresses("v4only.test", nullptr, names), (std::vector<std::string>{"10.0.0.9"}));
  EXPECT_EQ(stack.LookupCount, 2);
  // Literals and the loopback name need no lookup.
  EXPECT_EQ(stack.LookupAddresses("::1"), (std::vector<std::string>{"::1"}));
  EXPECT_EQ(stack.LookupAddresses("127.0.0.1"), (std::vector<std::string>{"127.0.0.1"}));
  EXPECT_EQ(stack.LookupAddresses("LocalHost"), (std::vector<std::string>{"::1", "127.0.0.1"}));
  EXPECT_EQ(stack.LookupCount, 2);
  try {
    stack.LookupAddresses("gone.test", [] { return true; }, names);
    ADD_FAILURE() << "resolved";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
  }
}

namespace {

// What listens at one port on one family.
enum class Side { kGood, kHangs, kRefuses };

// A port at which ::1 and 127.0.0.1 behave as asked. Both families share the
// port number, as a name's addresses do.
struct DualPort {
  std::unique_ptr<ScriptedServer> good4, good6;
  std::unique_ptr<FullAcceptQueue> hang4, hang6;
  int port = 0;

  DualPort(Side v6, Side v4) {
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
      try {
        Reset();
        int p = 0;
        {
          ScriptedServer probe;  // a port free on 127.0.0.1 a moment ago
          p = probe.Port();
        }
        Make("127.0.0.1", v4, p, good4, hang4);
        Make("::1", v6, p, good6, hang6);
        port = p;
      } catch (const std::runtime_error&) {
        // The port was taken on the other family meanwhile: another one.
      }
    }
    if (port == 0) throw std::runtime_error("no port free on both families");
  }
  void Reset() {
    good4.reset();
    good6.reset();
    hang4.reset();
    hang6.reset();
  }
  static void Make(const std::string& address, Side side, int p, std::unique_ptr<ScriptedServer>& good,
                   std::unique_ptr<FullAcceptQueue>& hang) {
    if (side == Side::kGood) {
      good = std::make_unique<ScriptedServer>(address, p);
      good->Expect({S::WaitClose()});
    } else if (side == Side::kHangs) {
      hang = std::make_unique<FullAcceptQueue>(address, p);
    }
  }
};

}  // namespace

// RFC 8305: the first IPv6 address at once, the first IPv4 address 250 ms
// later unless IPv6 has answered by then; a failure starts the next one at
// once; the first success wins and every other attempt is closed.
TEST(IPv6, HappyEyeballsTable) {
  REQUIRE_IPV6_LOOPBACK();
  auto names = std::make_shared<FakeNames>(std::map<std::string, std::vector<std::string>>{{"dual.test", {"127.0.0.1", "::1"}}});
  const struct {
    const char* name;
    Side v6, v4;
    const char* winner;  // nullptr: the connect fails
    int error;
    int minMs, maxMs;
    std::vector<std::string> statuses;
  } cases[] = {
      // The delay before IPv4 is the point; the upper bound leaves room
      // for a loaded machine.
      {"IPv6 hangs", Side::kHangs, Side::kGood, "127.0.0.1", 0, 250, 1500,
       {"Resolving hostname dual.test.", "Connecting to ::1.", "Connecting to 127.0.0.1.", "Connected."}},
      {"IPv6 refused", Side::kRefuses, Side::kGood, "127.0.0.1", 0, 0, 200,
       {"Resolving hostname dual.test.", "Connecting to ::1.", "Connecting to 127.0.0.1.", "Connected."}},
      {"both good", Side::kGood, Side::kGood, "::1", 0, 0, 200,
       {"Resolving hostname dual.test.", "Connecting to ::1.", "Connected."}},
      {"IPv4 hangs", Side::kGood, Side::kHangs, "::1", 0, 0, 200,
       {"Resolving hostname dual.test.", "Connecting to ::1.", "Connected."}},
      {"both refused", Side::kRefuses, Side::kRefuses, nullptr, 10061, 0, 200,
       {"Resolving hostname dual.test.", "Connecting to ::1.", "Connecting to 127.0.0.1."}},
      {"both hang", Side::kHangs, Side::kHangs, nullptr, 10060, 700, 2500,
       {"Resolving hostname dual.test.", "Connecting to ::1.", "Connecting to 127.0.0.1."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DualPort servers(c.v6, c.v4);
    const int before = OpenDescriptors();
    std::vector<std::string> statuses;
    {
      TNetTCPClient client(names);
      client.ConnectTimeoutMs = 700;
      client.SetHost("dual.test");
      client.SetPort(servers.port);
      client.OnStatus = [&](TNetComponent*, TNetStatus, const std::string& t) { statuses.push_back(t); };
      const Clock::time_point start = Clock::now();
      std::optional<int> error;
      try {
        client.Connect(0);
      } catch (const ENetSocketError& e) {
        error = e.SocketErrorCode;
      }
      const long long took = MsSince(start);
      const std::vector<std::string> seen = statuses;
      EXPECT_GE(took, c.minMs);
      EXPECT_LT(took, c.maxMs);
      if (c.winner) {
        ASSERT_FALSE(error) << *error;
        auto* io = dynamic_cast<TNetIOHandlerSocket*>(client.IOHandler());
        ASSERT_NE(io, nullptr);
        EXPECT_EQ(io->SocketHandle()->PeerIP, c.winner);
        client.Disconnect();
      } else {
        EXPECT_EQ(error, c.error);
      }
      EXPECT_EQ(seen, c.statuses);
    }
    // Every losing attempt was closed, and the winner with the client (the
    // servers' ends of it once they have seen the close).
    if (c.winner) {
      ScriptedServer* won = std::string(c.winner) == "::1" ? servers.good6.get() : servers.good4.get();
      const Clock::time_point start = Clock::now();
      while (won->Connections() == 0 && MsSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_EQ(won->Connections(), 1);
      won->WaitIdle();
    }
    EXPECT_EQ(OpenDescriptors(), before);
  }
}

TEST(IPv6, RequestsOverIPv6CarryTheBracketedHost) {
  REQUIRE_IPV6_LOOPBACK();
  S server("::1");
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nSet-Cookie: s=1; path=/\r\nContent-Length: 2\r\n\r\nok")});
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nyes")});
  TNetHTTP client;
  ApplyWindowConfiguration(client);
  const std::string base = "http://[::1]:" + std::to_string(server.Port());
  EXPECT_EQ(client.Get(base + "/a"), "ok");
  EXPECT_EQ(client.Get(base + "/b"), "yes");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("GET /a HTTP/1.0\r\n"), std::string::npos) << requests[0];
  EXPECT_NE(requests[0].find("\r\nHost: [::1]:" + std::to_string(server.Port()) + "\r\n"), std::string::npos)
      << requests[0];
  // The cookie set by the literal goes back to it.
  EXPECT_NE(requests[1].find("\r\nCookie: s=1\r\n"), std::string::npos) << requests[1];
}

TEST(IPv6, CookiesOfAnIPv6LiteralStayWithIt) {
  TNetCookieManager jar;
  jar.AcceptCookie("a=1; path=/", "2001:db8::1", Rfc2109Style);
  // A domain cut from the literal's text would reach other addresses.
  jar.AcceptCookie("b=2; path=/; domain=.1", "2001:db8::1", Rfc2109Style);
  jar.AcceptCookie("c=3; path=/; domain=.2.3.4", "::ffff:1.2.3.4", Rfc2109Style);
  EXPECT_EQ(jar.HeaderFor(TNetURI("http://[2001:db8::1]/x"), false), "a=1");
  EXPECT_EQ(jar.HeaderFor(TNetURI("http://[2001:db8::2]/x"), false), "");
  EXPECT_EQ(jar.HeaderFor(TNetURI("http://[::ffff:9.2.3.4]/x"), false), "");
}

class IPv6Nginx : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_IPV6_LOOPBACK();
    body_ = std::string(300 * 1024, '\0');
    for (std::size_t i = 0; i < body_.size(); ++i) body_[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    WriteFileBytes(dir_.File("v.flv"), body_);
  }
  TempDir dir_;
  std::string body_;
};

TEST_F(IPv6Nginx, DownloadsByLiteralOfEitherFamilyAndByName) {
  NginxServer nginx(dir_.Path(), "    listen [::1]:@PORT@;\n");
  const std::string port = std::to_string(nginx.Port());
  for (const std::string host : {"[::1]", "127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    std::vector<std::string> statuses;
    client.OnStatus = [&](TNetComponent*, TNetStatus, const std::string& t) { statuses.push_back(t); };
    EXPECT_EQ(client.Get("http://" + host + ":" + port + "/v.flv") == body_, true);
    EXPECT_EQ(client.Response.StatusCode(), 200);
    // By name, IPv6 is tried first and answers.
    const std::string expected = host == "127.0.0.1" ? "Connecting to 127.0.0.1." : "Connecting to ::1.";
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), expected), statuses.end());
  }
}

TEST_F(IPv6Nginx, HttpsToAnIPv6LiteralChecksTheAddressInTheCertificate) {
  const auto& certificates = TlsCertificates::Shared();
  {
    NginxServer nginx(dir_.Path(), "    listen [::1]:@PORT@ ssl;\n", certificates.Trusted());
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    EXPECT_TRUE(client.Get("https://[::1]:" + std::to_string(nginx.Port()) + "/v.flv") == body_);
  }
  NginxServer other(dir_.Path(), "    listen [::1]:@PORT@ ssl;\n", certificates.OtherName());
  TNetHTTP client;
  ApplyWindowConfiguration(client);
  try {
    client.Get("https://[::1]:" + std::to_string(other.Port()) + "/v.flv");
    ADD_FAILURE() << "accepted a certificate for another name";
  } catch (const ENetCertificateError& e) {
    EXPECT_NE(std::string(e.what()).find("Certificate not valid for ::1"), std::string::npos) << e.what();
  }
}
