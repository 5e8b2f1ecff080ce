// https through the client: loopback nginx with TLS, certificates made at
// test time by the openssl CLI and trusted through the environment only.
// The same files are served over http and https, so that the two transports
// can be compared event by event; failures name the host and the reason;
// redirects cross between the schemes; Stop and timeouts work while a TLS
// record is only half there.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/exceptions.h"
#include "http/httpclient.h"
#include "http/tlshandler.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/stalling_servers.h"
#include "support/tls_certificates.h"
#include "support/video_site.h"

using namespace larkvale::http;
using larkvale::testing::HalfRecordRelay;
using larkvale::testing::NginxServer;
using larkvale::testing::ScriptedServer;
using larkvale::testing::TempDir;
using larkvale::testing::TlsCertificates;
using larkvale::testing::WriteFileBytes;
using S = ScriptedServer;
using Clock = std::chrono::steady_clock;

namespace {

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  return s;
}

// One folder served twice: over http and over https (trusted certificate).
struct TwoSchemes {
  TwoSchemes() {
    page = "<html><body>" + std::string(3000, 'p') + "</body></html>\n";
    body = Pattern(1 << 20);
    WriteFileBytes(root.File("page.html"), page);
    WriteFileBytes(root.File("body.bin"), body);
    const std::string extra = "    location = /small { return 200 \"small reply\"; }\n";
    plain = std::make_unique<NginxServer>(root.Path(), extra);
    secure = std::make_unique<NginxServer>(root.Path(), extra, TlsCertificates::Shared().Trusted());
  }
  TempDir root;
  std::string page, body;
  std::unique_ptr<NginxServer> plain, secure;
};

TwoSchemes& Site() {
  static TwoSchemes site;  // for the whole run
  return site;
}

std::string Port(const NginxServer& s) { return std::to_string(s.Port()); }

// A window-configured client that records what its events say.
struct Client {
  Client() {
    ApplyWindowConfiguration(c);
    c.OnStatus = [this](TNetComponent*, TNetStatus, const std::string& t) { statuses.push_back(t); };
    c.OnWorkBegin = [this](TNetComponent*, TWorkMode mode, std::int64_t n) {
      if (mode == wmRead) begins.push_back(n);
    };
    c.OnWork = [this](TNetComponent*, TWorkMode mode, std::int64_t n) {
      if (mode != wmRead) return;
      largestStep = std::max(largestStep, n - lastWork);
      lastWork = n;
      if (onWork) onWork(n);
    };
  }
  std::string Fetch(const std::string& url) {
    TNetMemoryStream sink;
    c.Get(url, sink);
    return sink.Bytes();
  }
  TNetHTTP c;
  std::vector<std::string> statuses;
  std::vector<std::int64_t> begins;
  std::int64_t lastWork = 0, largestStep = 0;
  std::function<void(std::int64_t)> onWork;
};

}  // namespace

// The same bytes, the same statuses and the same work as over plain http;
// the connection is TLS 1.2 or later and is kept alive like a plain one.
TEST(Https, SameBytesStatusesAndWorkAsPlainHttp) {
  const auto& site = Site();
  const struct {
    const char* path;
    const std::string& bytes;
    const char* host;
  } cases[] = {
      {"/page.html", site.page, "127.0.0.1"},
      {"/body.bin", site.body, "127.0.0.1"},
      {"/page.html", site.page, "localhost"},  // by name: SNI and a DNS name to match
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(std::string(t.host) + t.path);
    Client plain, secure;
    EXPECT_EQ(plain.Fetch("http://" + std::string(t.host) + ":" + Port(*site.plain) + t.path), t.bytes);
    EXPECT_EQ(secure.Fetch("https://" + std::string(t.host) + ":" + Port(*site.secure) + t.path), t.bytes);
    EXPECT_EQ(secure.statuses, plain.statuses);
    EXPECT_EQ(secure.begins, plain.begins);
    EXPECT_EQ(secure.lastWork, static_cast<std::int64_t>(t.bytes.size()));
    EXPECT_LE(secure.largestStep, 1024);  // the configured block, as on plain http

    auto* tls = dynamic_cast<TNetIOHandlerTLS*>(secure.c.IOHandler());
    ASSERT_NE(tls, nullptr) << "the kept-alive connection is not TLS";
    EXPECT_TRUE(tls->Protocol() == "TLSv1.3" || tls->Protocol() == "TLSv1.2") << tls->Protocol();
    EXPECT_FALSE(tls->Cipher().empty());

    // The next request rides the same TLS connection.
    const std::size_t connects = std::count(secure.statuses.begin(), secure.statuses.end(), "Connecting to 127.0.0.1.");
    EXPECT_EQ(secure.Fetch("https://" + std::string(t.host) + ":" + Port(*site.secure) + "/small"), "small reply");
    EXPECT_EQ(std::count(secure.statuses.begin(), secure.statuses.end(), "Connecting to 127.0.0.1."), connects);
    EXPECT_EQ(secure.c.IOHandler(), tls);
  }
}

// A certificate that fails is an error naming the host and the reason; the
// client is left clean for the next request.
TEST(Https, CertificateThatFailsIsRefusedWithTheReason) {
  const auto& certs = TlsCertificates::Shared();
  TempDir root;
  WriteFileBytes(root.File("page.html"), "secret");
  NginxServer selfSigned(root.Path(), "", certs.SelfSigned());
  NginxServer otherName(root.Path(), "", certs.OtherName());
  const struct {
    std::string url;
    const char* error;
  } cases[] = {
      {"https://127.0.0.1:" + Port(selfSigned) + "/page.html",
       "Certificate not trusted for 127.0.0.1: self-signed certificate"},
      {"https://localhost:" + Port(selfSigned) + "/page.html",
       "Certificate not trusted for localhost: self-signed certificate"},
      {"https://localhost:" + Port(otherName) + "/page.html", "Certificate not valid for localhost: hostname mismatch"},
      {"https://127.0.0.1:" + Port(otherName) + "/page.html",
       "Certificate not valid for 127.0.0.1: IP address mismatch"},
  };
  Client k;
  for (const auto& t : cases) {
    SCOPED_TRACE(t.url);
    k.statuses.clear();
    TNetMemoryStream sink;
    try {
      k.c.Get(t.url, sink);
      ADD_FAILURE() << "no error";
    } catch (const ENetCertificateError& e) {
      EXPECT_EQ(e.Message(), t.error);
      EXPECT_NE(e.VerifyResult, 0);
    }
    EXPECT_EQ(sink.Size(), 0);
    EXPECT_FALSE(k.c.IsConnected());
    // The same client then fetches over plain http (the failed TLS
    // transport does not stay in the way) and from a trusted server.
    EXPECT_EQ(k.Fetch(Site().plain->BaseUrl() + "/small"), "small reply");
    EXPECT_EQ(k.Fetch(Site().secure->BaseUrl() + "/small"), "small reply");
  }
}

TEST(Https, ServerThatDoesNotSpeakTlsFailsTheHandshake) {
  Client k;
  try {
    k.Fetch("https://127.0.0.1:" + Port(*Site().plain) + "/page.html");
    ADD_FAILURE() << "no error";
  } catch (const ENetCertificateError& e) {
    ADD_FAILURE() << e.what();
  } catch (const ENetTLSError& e) {
    EXPECT_EQ(e.Message().rfind("TLS handshake with 127.0.0.1 failed: ", 0), 0u) << e.what();
  }
  EXPECT_FALSE(k.c.IsConnected());
}

// http -> https -> http in one Get: the transport changes with the scheme at
// every hop. A cookie marked secure, set by the https hop, is sent back over
// https only.
TEST(Https, RedirectsCrossBetweenHttpAndHttps) {
  S plain;
  const std::string back = "http://127.0.0.1:" + std::to_string(plain.Port());
  NginxServer secure(Site().root.Path(),
                     "    location = /hop {\n"
                     "      add_header Set-Cookie \"s=1; path=/; secure\";\n"
                     "      add_header Set-Cookie \"p=2; path=/\";\n"
                     "      return 302 " + back + "/final;\n"
                     "    }\n"
                     "    location = /cookies { return 200 \"$http_cookie\"; }\n",
                     TlsCertificates::Shared().Trusted());
  plain.Expect({S::ReadRequest(),
                S::Send("HTTP/1.0 302 Found\r\nLocation: " + secure.BaseUrl() + "/hop\r\nContent-Length: 0\r\n\r\n"),
                S::Close()});
  plain.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal"), S::Close()});
  Client k;
  EXPECT_EQ(k.Fetch(back + "/start"), "final");
  plain.WaitIdle();
  const auto requests = plain.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /start HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(requests[1].rfind("GET /final HTTP/1.0\r\n", 0), 0u);
  EXPECT_NE(requests[1].find("\r\nCookie: p=2\r\n"), std::string::npos) << requests[1];
  EXPECT_EQ(requests[1].find("s=1"), std::string::npos) << requests[1];
  // Back on https, both cookies go.
  const std::string cookies = k.Fetch(secure.BaseUrl() + "/cookies");
  EXPECT_NE(cookies.find("s=1"), std::string::npos) << cookies;
  EXPECT_NE(cookies.find("p=2"), std::string::npos) << cookies;
}

// Stop from a work event in the middle of an https body: the Get returns
// with what arrived, as on plain http, and the client fetches again cleanly.
TEST(Https, DisconnectFromAWorkEventEndsTheBodyQuietly) {
  const auto& site = Site();
  Client k;
  k.onWork = [&](std::int64_t n) {
    if (n >= 100 * 1024) k.c.Disconnect();
  };
  const std::string part = k.Fetch(site.secure->BaseUrl() + "/body.bin");
  EXPECT_GE(part.size(), 100u * 1024);
  EXPECT_LT(part.size(), site.body.size());
  EXPECT_EQ(part, site.body.substr(0, part.size()));
  EXPECT_EQ(k.statuses.back(), "Disconnected.");
  EXPECT_FALSE(k.c.IsConnected());
  k.onWork = nullptr;
  EXPECT_EQ(k.Fetch(site.secure->BaseUrl() + "/body.bin"), site.body);
}

// The server stops in the middle of a TLS record: the socket has bytes, yet
// nothing can be read. The wait must go on in slices (so that Stop from the
// wait hook ends it at once) and must honour a read timeout; a receive that
// blocked on the half record would hang here.
TEST(Https, HalfARecordNeitherHoldsTheCallerNorOutlivesATimeout) {
  const auto& site = Site();
  const struct {
    const char* name;
    int readTimeoutMs;  // with 0, Stop comes from the wait hook 300 ms in
    const char* error;  // "" = the Get returns normally
  } cases[] = {
      {"Stop from the wait hook", 0, ""},
      {"read timeout", 300, "Read Timeout"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    HalfRecordRelay relay(site.secure->Port());
    Client k;
    k.c.ReadTimeout = t.readTimeoutMs;
    Clock::time_point start, cutAt;
    if (t.readTimeoutMs == 0) {
      k.c.OnWaiting = [&](TNetComponent*) {
        if (!relay.Stalled()) return;
        if (start == Clock::time_point{}) start = Clock::now();
        if (cutAt == Clock::time_point{} && Clock::now() - start >= std::chrono::milliseconds(300)) {
          cutAt = Clock::now();
          k.c.Disconnect();
        }
      };
    }
    TNetMemoryStream sink;
    std::string error;
    try {
      k.c.Get("https://127.0.0.1:" + std::to_string(relay.Port()) + "/body.bin", sink);
    } catch (const ENetException& e) {
      error = e.Message();
    }
    EXPECT_TRUE(relay.Stalled());
    EXPECT_EQ(error, t.error);
    EXPECT_LT(sink.Size(), static_cast<std::int64_t>(site.body.size()));
    EXPECT_EQ(sink.Bytes(), site.body.substr(0, static_cast<std::size_t>(sink.Size())));
    EXPECT_FALSE(k.c.IsConnected());
    if (t.readTimeoutMs == 0) {
      ASSERT_NE(cutAt, Clock::time_point{}) << "the wait hook never ran while the record was cut";
      const double afterCutMs = std::chrono::duration<double, std::milli>(Clock::now() - cutAt).count();
      EXPECT_LT(afterCutMs, 100);
    }
  }
}

// Decrypted bytes held by the session count as readable although the socket
// is quiet; once they are read, a quiet socket is not readable.
TEST(Https, BytesHeldByTheSessionCountAsReadable) {
  TNetIOHandlerTLS h;
  h.Open();
  h.ConnectTo("127.0.0.1", Site().secure->Port(), "", 0, 5000);
  const std::string request = "GET /small HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
  ASSERT_EQ(h.Send(request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
  char buffer[4096];
  std::string reply(buffer, static_cast<std::size_t>(h.Receive(buffer, 10)));
  ASSERT_EQ(reply.size(), 10u);
  // The whole reply came in one record, now held by the session: the socket
  // itself has nothing more.
  pollfd p{h.SocketHandle()->Handle, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 100), 0) << "the reply did not come as one record";
  EXPECT_TRUE(h.WaitReadable(0));
  for (;;) {
    const int n = h.ReceiveNow(buffer, sizeof buffer);
    if (n <= 0) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(Stack().LastError, 10035);
      break;
    }
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.substr(reply.size() - 11), "small reply");
  EXPECT_FALSE(h.WaitReadable(100));  // kept alive: nothing more comes
  h.Close();
}

// The session reads records ahead of what is asked for; a record held that
// way, with the socket itself quiet, is readable all the same. Small reads
// with a wait before each leave records behind at the end of the body.
TEST(Https, RecordsReadAheadCountAsReadable) {
  TNetIOHandlerTLS h;
  h.Open();
  h.ConnectTo("127.0.0.1", Site().secure->Port(), "", 0, 5000);
  const std::string request = "GET /body.bin HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
  ASSERT_EQ(h.Send(request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
  std::string reply;
  char buffer[4096];  // a whole record is four of these: reads end on its boundary
  const auto whole = [&] {
    const std::size_t head = reply.find("\r\n\r\n");
    return head != std::string::npos && reply.size() - head - 4 >= Site().body.size();
  };
  while (!whole() && h.WaitReadable(2000)) {
    const int n = h.ReceiveNow(buffer, sizeof buffer);
    if (n == -1 && Stack().LastError == 10035) continue;  // half a record
    ASSERT_GT(n, 0);
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t head = reply.find("\r\n\r\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_EQ(reply.size() - head - 4, Site().body.size()) << "a held record was never seen as readable";
  EXPECT_TRUE(reply.substr(head + 4) == Site().body);
  h.Close();
}
