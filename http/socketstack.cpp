#include "http/socketstack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "http/exceptions.h"

namespace larkvale::http {

TNetStack* SocketStack = nullptr;

TNetStack& Stack() {
  if (SocketStack) return *SocketStack;
  static TNetStackPosix fallback;
  return fallback;
}

int WaitForSocket(int fd, short events, int timeoutMs, const TWaitSlice& between) {
  using Clock = std::chrono::steady_clock;
  const bool limited = timeoutMs >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  for (;;) {
    int slice = -1;
    if (limited) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = static_cast<int>(std::max<long long>(0, left));
    }
    if (between) slice = slice < 0 ? kWaitSliceMs : std::min(slice, kWaitSliceMs);
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, slice);
    if (r > 0) return p.revents;
    if (r < 0) {
      if (errno == EINTR) continue;
      return -2;
    }
    if (limited && Clock::now() >= deadline) return 0;
    if (between && !between()) return -1;
  }
}

int MapErrno(int err) {
  switch (err) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return err;
  }
}

std::string TNetStack::SocketErrorText(int code) {
  switch (code) {
    case 11001: return "Host not found.";
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Bad address.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block. ";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    default: return "";
  }
}

std::string TNetStack::SocketErrorMessage(int code) {
  char head[64];
  std::snprintf(head, sizeof head, "Socket Error # %d\r\n", code);
  return head + SocketErrorText(code);
}

int TNetStack::FetchLastError() {
  LastError = MapErrno(errno);
  return LastError;
}

void TNetStack::RaiseFromError(int code) { throw ENetSocketError(code, SocketErrorMessage(code)); }

bool TNetStack::CheckSocketResult(int result, std::initializer_list<int> expected) {
  if (result != -1) return false;
  FetchLastError();
  if (std::find(expected.begin(), expected.end(), LastError) != expected.end()) return true;
  RaiseFromError(LastError);
}

namespace {
// A field of a dotted address: a whole number from 0 to 255, nothing else.
bool IsByteField(const std::string& s) {
  if (s.empty() || s.size() > 3) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return std::stoi(s) <= 255;
}
}  // namespace

bool TNetStack::IsDottedAddress(const std::string& text) {
  // Three fields end at the first three dots; the fourth takes the rest.
  std::string rest = text;
  for (int i = 0; i < 3; ++i) {
    auto dot = rest.find('.');
    if (dot == std::string::npos) return false;
    if (!IsByteField(rest.substr(0, dot))) return false;
    rest.erase(0, dot + 1);
  }
  return IsByteField(rest);
}

bool TNetStack::IsIPv6Address(const std::string& text) {
  in6_addr a{};
  return text.find(':') != std::string::npos && ::inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

namespace {

// Every address of `host` from getaddrinfo, in its order.
std::vector<std::string> SystemAddresses(const std::string& host) {
  std::vector<std::string> found;
  {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return {};
    for (addrinfo* i = result; i; i = i->ai_next) {
      char text[INET6_ADDRSTRLEN] = {};
      if (i->ai_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ai_addr)->sin_addr, text, sizeof text);
      else if (i->ai_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(i->ai_addr)->sin6_addr, text, sizeof text);
      else
        continue;
      found.emplace_back(text);
    }
    freeaddrinfo(result);
  }
  return found;
}

// Every address of `host`, deduplicated, IPv6 first and then alternating
// families (RFC 8305, section 4), each family in the resolver's order.
// Touches nothing but its arguments, so it may run on any thread.
std::vector<std::string> AllAddresses(const std::string& host, const std::shared_ptr<const TNetNameResolver>& names) {
  const std::vector<std::string> found = names ? names->Resolve(host) : SystemAddresses(host);
  std::vector<std::string> v6, v4;
  for (const auto& a : found) {
    auto& list = TNetStack::IsIPv6Address(a) ? v6 : v4;
    if (std::find(list.begin(), list.end(), a) == list.end()) list.push_back(a);
  }
  std::vector<std::string> ordered;
  for (std::size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
    if (i < v6.size()) ordered.push_back(v6[i]);
    if (i < v4.size()) ordered.push_back(v4[i]);
  }
  return ordered;
}

}  // namespace

std::vector<std::string> TNetStack::ResolveAll(const std::string& host, const TWaitSlice& between,
                                               const std::shared_ptr<const TNetNameResolver>& names) {
  ++LookupCount;
  std::vector<std::string> addresses;
  if (!between) {
    addresses = AllAddresses(host, names);
  } else {
    // The resolver may take seconds (a slow or missing name server): it must
    // not hold the caller's thread, which is the window's. The caller may
    // stop waiting; the helper then finishes alone and the shared record
    // dies with the last owner.
    struct Job {
      std::mutex lock;
      std::condition_variable done;
      bool finished = false;
      std::vector<std::string> addresses;
    };
    auto job = std::make_shared<Job>();
    // The helper holds its own share of `names`: it may outlive the caller.
    std::thread([job, host, names] {
      std::vector<std::string> found = AllAddresses(host, names);
      std::lock_guard<std::mutex> g(job->lock);
      job->addresses = std::move(found);
      job->finished = true;
      job->done.notify_all();
    }).detach();
    for (;;) {
      {
        std::unique_lock<std::mutex> g(job->lock);
        if (job->done.wait_for(g, std::chrono::milliseconds(kWaitSliceMs), [&] { return job->finished; })) {
          addresses = job->addresses;
          break;
        }
      }
      if (!between()) throw ENetNotConnected();
    }
  }
  if (addresses.empty()) {
    // Every resolver failure, including a missing name server, reads to the
    // user as an unknown host.
    LastError = kWsaHostNotFound;
    RaiseFromError(LastError);
  }
  return addresses;
}

std::vector<std::string> TNetStack::LookupAddresses(const std::string& host, const TWaitSlice& between,
                                                    const std::shared_ptr<const TNetNameResolver>& names) {
  std::string upper = host;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // The loopback name of RFC 6761 never needs a name server.
  if (upper == "LOCALHOST") return {"::1", "127.0.0.1"};
  if (IsAddressLiteral(host)) return {host};
  return ResolveAll(host, between, names);
}

std::string TNetStack::LookupHost(const std::string& host, const TWaitSlice& between) {
  for (const std::string& address : LookupAddresses(host, between))
    if (IsDottedAddress(address)) return address;
  LastError = kWsaHostNotFound;
  RaiseFromError(LastError);
}

// --- TNetSocketHandle ---------------------------------------------------

TNetSocketHandle::~TNetSocketHandle() { ShutAndClose(); }

void TNetSocketHandle::Reset(bool resetLocal) {
  Open = false;
  Handle = -1;
  PeerIP.clear();
  PeerPort = 0;
  if (resetLocal) {
    IP.clear();
    Port = 0;
  }
}

void TNetSocketHandle::BeginConnect() {
  ShutAndClose();
  Handle = -1;
  Open = true;
}

void TNetSocketHandle::OpenSocket(int type, int protocol, int family) {
  ShutAndClose();
  int h = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (h < 0) {
    Stack().FetchLastError();
    throw ENetInvalidSocket();
  }
  Handle = h;
  Family = family;
  Open = true;
}

namespace {
int FamilyOf(const std::string& ip) { return TNetStack::IsIPv6Address(ip) ? AF_INET6 : AF_INET; }

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

// `ip` empty = any address of `family`.
SocketAddress MakeAddress(const std::string& ip, int port, int family) {
  SocketAddress out;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out.storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    a->sin6_addr = in6addr_any;
    if (!ip.empty()) ::inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr);
    out.length = sizeof(sockaddr_in6);
    return out;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out.storage);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(port));
  a->sin_addr.s_addr = htonl(INADDR_ANY);
  if (!ip.empty()) {
    // Field by field, as the dotted text was validated before.
    unsigned b[4] = {0, 0, 0, 0};
    std::sscanf(ip.c_str(), "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]);
    a->sin_addr.s_addr = htonl((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3]);
  }
  out.length = sizeof(sockaddr_in);
  return out;
}

void ReadName(const sockaddr_storage& a, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    port = ntohs(in6.sin6_port);
  } else {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
    port = ntohs(in4.sin_port);
  }
  ip = text;
}
}  // namespace

void TNetSocketHandle::RefreshAddresses(bool peer) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(Handle, reinterpret_cast<sockaddr*>(&a), &len) != 0) Stack().CheckSocketResult(-1);
  ReadName(a, IP, Port);
  if (peer) {
    len = sizeof a;
    if (::getpeername(Handle, reinterpret_cast<sockaddr*>(&a), &len) != 0) Stack().CheckSocketResult(-1);
    ReadName(a, PeerIP, PeerPort);
  }
}

void TNetSocketHandle::BindLocal() {
  SocketAddress a = MakeAddress(IP, Port, Family);
  if (::bind(Handle, a.get(), a.length) != 0) {
    if (Stack().CheckSocketResult(-1, {kWsaEAddrInUse})) throw ENetCouldNotBindSocket();
  }
  RefreshAddresses(false);
}

void TNetSocketHandle::SetPeer(const std::string& address, int port) {
  PeerIP = address;
  PeerPort = port;
}

int TNetSocketHandle::ConnectPeer(int timeoutMs, const TWaitSlice& between) {
  SocketAddress a = MakeAddress(PeerIP, PeerPort, Family);
  if (timeoutMs == -2 && !between) {
    int r;
    do {
      r = ::connect(Handle, a.get(), a.length);
    } while (r != 0 && errno == EINTR);
    if (r == 0) {
      RefreshAddresses(true);
      return 0;
    }
    Stack().FetchLastError();
    return -1;
  }
  // A connect that may be bounded or sliced starts without blocking and is
  // waited for with poll(); the socket blocks again afterwards.
  const int flags = ::fcntl(Handle, F_GETFL);
  ::fcntl(Handle, F_SETFL, flags | O_NONBLOCK);
  int r = ::connect(Handle, a.get(), a.length);
  if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) {
    const int seen = WaitForSocket(Handle, POLLOUT, timeoutMs, between);
    // Ended by `between`: the socket may already be closed under us.
    if (seen == -1) {
      if (Open) ::fcntl(Handle, F_SETFL, flags);
      return -2;
    }
    if (seen == 0) {
      ::fcntl(Handle, F_SETFL, flags);
      Stack().LastError = kWsaETimedOut;
      return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (seen == -2)
      err = errno;
    else if (::getsockopt(Handle, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
      err = errno;
    errno = err;
    r = err == 0 ? 0 : -1;
  }
  if (r != 0) {
    Stack().FetchLastError();
    ::fcntl(Handle, F_SETFL, flags);
    return -1;
  }
  ::fcntl(Handle, F_SETFL, flags);
  RefreshAddresses(true);
  return 0;
}

namespace {

// One connect's attempts, raced as RFC 8305 says: each address in turn, the
// next one starting when the last has failed or has waited its delay; the
// first to connect wins. Every way out but a win leaves the handle closed
// with nothing open.
class ConnectRace {
 public:
  using Clock = std::chrono::steady_clock;
  struct Attempt {
    int fd;
    std::string address;
  };
  enum class Seen { kNothing, kFailures, kWinner, kPollFailed };

  ConnectRace(TNetSocketHandle& handle, std::vector<std::string> candidates, int port, bool noDelay, int timeoutMs)
      : handle_(handle),
        candidates_(std::move(candidates)),
        port_(port),
        noDelay_(noDelay),
        limited_(timeoutMs >= 0),
        deadline_(Clock::now() + std::chrono::milliseconds(limited_ ? timeoutMs : 0)) {}
  // Also when a status handler throws: no attempt is left open.
  ~ConnectRace() { ClosePending(); }
  ConnectRace(const ConnectRace&) = delete;
  ConnectRace& operator=(const ConnectRace&) = delete;

  bool NoCandidates() const { return candidates_.empty(); }
  bool NothingPending() const { return pending_.empty(); }
  bool PastDeadline() const { return limited_ && Clock::now() >= deadline_; }
  int LastError() const { return lastError_; }

  int Fail(int error) {
    ClosePending();
    handle_.Open = false;
    handle_.Handle = -1;
    Stack().LastError = error;
    return -1;
  }

  // A Disconnect (from `between` or a status handler) ended the connect.
  int Cut() {
    ClosePending();
    handle_.Open = false;
    handle_.Handle = -1;
    return -2;
  }

  // Starts every attempt that is due. -2 when a status handler disconnected
  // the handle meanwhile, else 0. A failed bind or option raises.
  int StartDue(const std::function<void(const std::string&)>& onAttempt) {
    while (next_ < candidates_.size() && (pending_.empty() || Clock::now() >= nextStart_)) {
      const std::string address = candidates_[next_++];
      const int fd = OpenSocketFor(address);
      if (fd < 0) continue;
      if (onAttempt) onAttempt(address);
      // A status handler may have disconnected us.
      if (!handle_.Open) {
        ::close(fd);
        return Cut();
      }
      SocketAddress peer = MakeAddress(address, port_, FamilyOf(address));
      const int r = ::connect(fd, peer.get(), peer.length);
      if (r != 0 && errno != EINPROGRESS && errno != EINTR) {
        // Refused at once: the next address may start now.
        lastError_ = MapErrno(errno);
        ::close(fd);
        nextStart_ = Clock::now();
        continue;
      }
      pending_.push_back({fd, address});
      if (r == 0) break;  // connected already: the poll tells
      nextStart_ = Clock::now() + std::chrono::milliseconds(kConnectionAttemptDelayMs);
    }
    return 0;
  }

  // How long the next poll may wait: until the next start is due or the
  // deadline, and one slice at most when `between` must run.
  int SliceMs(bool slicing) const {
    const Clock::time_point now = Clock::now();
    auto msUntil = [&](Clock::time_point t) {
      return static_cast<int>(
          std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1));
    };
    int slice = next_ < candidates_.size() ? msUntil(nextStart_) : -1;
    if (limited_) slice = slice < 0 ? msUntil(deadline_) : std::min(slice, msUntil(deadline_));
    if (slicing) slice = slice < 0 ? kWaitSliceMs : std::min(slice, kWaitSliceMs);
    return slice;
  }

  // Waits at most `sliceMs` for the attempts; failed ones are closed and
  // make way for the next address. A winner is taken out of the race.
  Seen Poll(int sliceMs, Attempt* winner) {
    std::vector<pollfd> watch;
    for (const auto& a : pending_) watch.push_back({a.fd, POLLOUT, 0});
    const int r = ::poll(watch.data(), static_cast<nfds_t>(watch.size()), sliceMs);
    if (r < 0) return errno == EINTR ? Seen::kFailures : Seen::kPollFailed;
    if (r == 0) return Seen::kNothing;
    std::vector<Attempt> still;
    bool won = false;
    for (std::size_t i = 0; i < watch.size(); ++i) {
      if (watch[i].revents == 0 || won) {
        still.push_back(pending_[i]);
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(watch[i].fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0 && (watch[i].revents & POLLOUT)) {
        *winner = pending_[i];
        won = true;
        continue;
      }
      lastError_ = MapErrno(err != 0 ? err : ECONNREFUSED);
      ::close(watch[i].fd);
      nextStart_ = Clock::now();
    }
    pending_ = std::move(still);
    if (!won) return Seen::kFailures;
    ClosePending();  // the losers
    return Seen::kWinner;
  }

 private:
  // A non-blocking socket for `address`, bound and set up as asked; -1 when
  // the system lacks its family and other addresses remain.
  int OpenSocketFor(const std::string& address) {
    const int family = FamilyOf(address);
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      lastError_ = MapErrno(errno);
      // A family the system lacks only rules out its addresses.
      if (candidates_.size() == 1) {
        Fail(lastError_);
        throw ENetInvalidSocket();
      }
      return -1;
    }
    if (!handle_.IP.empty() || handle_.Port != 0) {
      SocketAddress local = MakeAddress(handle_.IP, handle_.Port, family);
      if (::bind(fd, local.get(), local.length) != 0) {
        const int err = MapErrno(errno);
        ::close(fd);
        Fail(err);
        if (err == kWsaEAddrInUse) throw ENetCouldNotBindSocket();
        Stack().RaiseFromError(err);
      }
    }
    int one = 1;
    if (noDelay_ && ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
      const int err = MapErrno(errno);
      ::close(fd);
      Fail(err);
      Stack().RaiseFromError(err);
    }
    return fd;
  }

  void ClosePending() {
    for (const auto& a : pending_) ::close(a.fd);
    pending_.clear();
  }

  TNetSocketHandle& handle_;
  const std::vector<std::string> candidates_;
  const int port_;
  const bool noDelay_;
  const bool limited_;
  const Clock::time_point deadline_;
  std::vector<Attempt> pending_;
  std::size_t next_ = 0;
  Clock::time_point nextStart_ = Clock::now();
  int lastError_ = kWsaEConnRefused;
};

}  // namespace

int TNetSocketHandle::ConnectFirst(const std::vector<std::string>& addresses, int port, bool noDelay, int timeoutMs,
                                   const TWaitSlice& between,
                                   const std::function<void(const std::string&)>& onAttempt) {
  if (!Open) return -2;
  std::vector<std::string> candidates;
  for (const auto& a : addresses)
    if (IP.empty() || FamilyOf(a) == FamilyOf(IP)) candidates.push_back(a);
  ConnectRace race(*this, std::move(candidates), port, noDelay, timeoutMs);
  if (race.NoCandidates()) return race.Fail(MapErrno(EAFNOSUPPORT));
  for (;;) {
    if (race.StartDue(onAttempt) == -2) return -2;
    if (race.NothingPending()) return race.Fail(race.LastError());
    ConnectRace::Attempt won;
    switch (race.Poll(race.SliceMs(static_cast<bool>(between)), &won)) {
      case ConnectRace::Seen::kPollFailed:
        return race.Fail(MapErrno(errno));
      case ConnectRace::Seen::kWinner: {
        const int flags = ::fcntl(won.fd, F_GETFL);
        ::fcntl(won.fd, F_SETFL, flags & ~O_NONBLOCK);
        Handle = won.fd;
        Family = FamilyOf(won.address);
        RefreshAddresses(true);
        return 0;
      }
      case ConnectRace::Seen::kFailures:
        continue;  // the next address may start at once
      case ConnectRace::Seen::kNothing:
        break;
    }
    if (race.PastDeadline()) return race.Fail(kWsaETimedOut);
    if (between && !between()) return race.Cut();
  }
}

bool TNetSocketHandle::WaitReadable(int timeoutMs, const TWaitSlice& between) {
  if (!Open) throw ENetConnClosedGracefully();
  // poll(), not select(): select() cannot watch descriptors at or above
  // FD_SETSIZE. An error or hang-up counts as readable: the receive reports it.
  const int seen = WaitForSocket(Handle, POLLIN, timeoutMs, between);
  if (seen == -2) Stack().FetchLastError();
  return seen > 0;
}

int TNetSocketHandle::WaitWritable(int timeoutMs, const TWaitSlice& between) {
  if (!Open) return -1;
  const int seen = WaitForSocket(Handle, POLLOUT, timeoutMs, between);
  if (seen == -1) return -1;
  return seen == 0 ? 0 : 1;
}

int TNetSocketHandle::Receive(void* buffer, int length) {
  ssize_t n;
  do {
    n = ::recv(Handle, buffer, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) Stack().FetchLastError();
  return static_cast<int>(n);
}

int TNetSocketHandle::ReceiveNow(void* buffer, int length) {
  ssize_t n;
  do {
    n = ::recv(Handle, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) Stack().FetchLastError();
  return static_cast<int>(n);
}

int TNetSocketHandle::Send(const void* buffer, int length) {
  ssize_t n;
  do {
    // A peer that has gone away must surface as an error, never as SIGPIPE.
    n = ::send(Handle, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) Stack().FetchLastError();
  return static_cast<int>(n);
}

int TNetSocketHandle::SendNow(const void* buffer, int length) {
  ssize_t n;
  do {
    n = ::send(Handle, buffer, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) Stack().FetchLastError();
  return static_cast<int>(n);
}

void TNetSocketHandle::ShutAndClose() {
  if (!Open) return;
  Open = false;
  ::shutdown(Handle, SHUT_WR);
  ::close(Handle);
}

}  // namespace larkvale::http
