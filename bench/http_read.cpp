// Reads a 1 GiB counted body from a private nginx on 127.0.0.1, each way
// into a file, and prints the client's time as ratios:
//   curl       the curl CLI (anchor a)
//   bare       blocking 1024-byte recv calls, each block fwrite()n to the
//              file through a 256 KiB stdio buffer (anchor b: the limit of
//              one receive per 1024 bytes)
//   client     TNetTCPClient with RecvBufferSize 1024, ReadToStream into a
//              TNetFileStream, an OnWork handler that does nothing
// and the same body from a second nginx with TLS (a certificate made by the
// openssl CLI for the run, trusted through SSL_CERT_FILE):
//   curl tls   the curl CLI over https
//   client tls the client as above over its TLS transport (anchor c: the
//              client over plain http; the target is >= 0.8 of it)
// with the processor time (user + system) of the client per GiB for both.
// Usage: bench_http_read [rounds=5] [MiB=1024]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/tlshandler.h"
#include "support/nginx_server.h"
#include "support/tls_certificates.h"

using namespace larkvale::http;
using larkvale::testing::NginxServer;
using larkvale::testing::TempDir;
using larkvale::testing::TlsCertificates;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Processor seconds (user + system) of this process so far.
double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

double RunCurl(const std::string& url, const std::string& out, const std::string& caFile = "") {
  auto t0 = Clock::now();
  std::string cmd = "curl -s -o '" + out + "' " + (caFile.empty() ? "" : "--cacert '" + caFile + "' ") + "'" + url + "'";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("curl failed");
  return Seconds(t0, Clock::now());
}

double RunBare(int port, const std::string& path, const std::string& out) {
  auto t0 = Clock::now();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  FILE* f = std::fopen(out.c_str(), "wb");
  // The same write-buffer size as TNetFileStream, so that the ratio isolates
  // the client's own layers rather than the number of write calls.
  std::setvbuf(f, nullptr, _IOFBF, TNetFileStream::kBufferSize);
  char buf[1024];
  std::string head;
  long long length = -1, got = 0;
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    if (length < 0) {
      head.append(buf, static_cast<size_t>(n));
      auto end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      auto cl = head.find("Content-Length: ");
      length = std::atoll(head.c_str() + cl + 16);
      std::fwrite(head.data() + end + 4, 1, head.size() - end - 4, f);
      got = static_cast<long long>(head.size() - end - 4);
    } else {
      std::fwrite(buf, 1, static_cast<size_t>(n), f);
      got += n;
    }
    if (got >= length) break;
  }
  std::fclose(f);
  ::close(fd);
  return Seconds(t0, Clock::now());
}

// The client over TLS: the same connection class with the TLS transport.
class TlsClient : public TNetTCPClient {
 protected:
  std::shared_ptr<TNetIOHandler> NewIOHandler() override { return std::make_shared<TNetIOHandlerTLS>(); }
};

// The client's wall time; its processor time goes to `cpu`.
template <class Client>
double RunClient(int port, const std::string& path, const std::string& out, double& cpu) {
  const double cpu0 = CpuSeconds();
  auto t0 = Clock::now();
  Client c;
  c.SetHost("127.0.0.1");
  c.SetPort(port);
  c.RecvBufferSize = 1024;
  long long works = 0;
  c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t) { ++works; };
  c.Connect(0);
  c.OpenWriteBuffering();
  c.WriteLine("GET " + path + " HTTP/1.0");
  c.WriteLine("Host: 127.0.0.1");
  c.WriteLine("");
  c.CloseWriteBuffering();
  long long length = -1;
  for (std::string line = c.ReadLine(); !line.empty(); line = c.ReadLine())
    if (line.rfind("Content-Length: ", 0) == 0) length = std::atoll(line.c_str() + 16);
  {
    TNetFileStream file(out);
    c.ReadToStream(file, length);
    file.Flush();
  }
  c.Disconnect();
  if (works < length / 1024) throw std::runtime_error("too few OnWork events");
  const double wall = Seconds(t0, Clock::now());
  cpu = CpuSeconds() - cpu0;
  return wall;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  long long mib = argc > 2 ? std::atoll(argv[2]) : 1024;
  TempDir dir;
  std::string served = dir.Path() + "/www";
  ::mkdir(served.c_str(), 0755);
  {
    // Real bytes (not a sparse file), written once.
    int fd = ::open((served + "/body.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 3);
    for (long long i = 0; i < mib; ++i)
      if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
    ::close(fd);
  }
  const long long bytes = mib << 20;
  const TlsCertificates& certificates = TlsCertificates::Shared();
  NginxServer nginx(served);
  NginxServer nginxTls(served, "", certificates.Trusted());
  const std::string url = nginx.BaseUrl() + "/body.bin";
  const std::string tlsUrl = nginxTls.BaseUrl() + "/body.bin";
  const std::string out = dir.Path() + "/out.bin";
  std::printf("body %lld bytes from %s and %s, %d rounds\n", bytes, url.c_str(), tlsUrl.c_str(), rounds);
  std::printf("%-6s %10s %10s %10s %10s %10s %10s %10s\n", "round", "curl s", "bare s", "client s", "curl tls", "tls s",
              "cpu s", "tls cpu s");
  std::vector<double> tc, tb, tl, tct, tt, cl, ct;
  auto check = [&](const char* who) {
    if (FileSize(out) != bytes) throw std::runtime_error(std::string(who) + ": wrong size");
    ::unlink(out.c_str());
  };
  for (int r = 1; r <= rounds; ++r) {
    double cpu = 0;
    tc.push_back(RunCurl(url, out));
    check("curl");
    tb.push_back(RunBare(nginx.Port(), "/body.bin", out));
    check("bare");
    tl.push_back(RunClient<TNetTCPClient>(nginx.Port(), "/body.bin", out, cpu));
    cl.push_back(cpu);
    check("client");
    tct.push_back(RunCurl(tlsUrl, out, certificates.CaFile()));
    check("curl tls");
    tt.push_back(RunClient<TlsClient>(nginxTls.Port(), "/body.bin", out, cpu));
    ct.push_back(cpu);
    check("client tls");
    std::printf("%-6d %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f\n", r, tc.back(), tb.back(), tl.back(),
                tct.back(), tt.back(), cl.back(), ct.back());
  }
  double c = Median(tc), b = Median(tb), l = Median(tl), cs = Median(tct), t = Median(tt);
  auto mbs = [&](double s) { return static_cast<double>(bytes) / s / 1e6; };
  const double gib = static_cast<double>(bytes) / (1024.0 * 1024 * 1024);
  std::printf("median %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f\n", c, b, l, cs, t, Median(cl), Median(ct));
  std::printf("MB/s: curl %.0f, bare %.0f, client %.0f, curl tls %.0f, client tls %.0f\n", mbs(c), mbs(b), mbs(l),
              mbs(cs), mbs(t));
  std::printf("client throughput / curl      = %.3f\n", c / l);
  std::printf("client throughput / bare loop = %.3f  (target >= 0.9)\n", b / l);
  std::printf("client tls throughput / client http = %.3f  (target >= 0.8)\n", l / t);
  std::printf("client tls throughput / curl tls    = %.3f\n", cs / t);
  std::printf("client cpu s per GiB: http %.3f, tls %.3f\n", Median(cl) / gib, Median(ct) / gib);
  return 0;
}
