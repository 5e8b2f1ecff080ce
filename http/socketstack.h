// The process-wide socket stack and the socket handle it drives. Every call
// is synchronous for its caller and runs on the caller's thread. Names
// resolve to IPv6 and IPv4 addresses; a connect tries them in the order of
// RFC 8305 (Happy Eyeballs).
// A wait may be given a `TWaitSlice`: it then waits in short poll() slices
// and runs the hook between them, so that the caller's thread (the window's)
// keeps working; the hook ends the wait by returning false. Error numbers are
// the Windows Sockets numbers the client's messages are defined with; errno
// is mapped onto them.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace larkvale::http {

// Error numbers the client tests for by number.
enum : int {
  kWsaEInterrupted = 10004,
  kWsaEAddrInUse = 10048,
  kWsaEConnAborted = 10053,
  kWsaEConnReset = 10054,
  kWsaEShutdown = 10058,
  kWsaETimedOut = 10060,
  kWsaEConnRefused = 10061,
  kWsaHostNotFound = 11001,
};

// Runs between two slices of a wait; false ends the wait at once.
using TWaitSlice = std::function<bool()>;
// Length of one slice: short enough that a window pumped between slices
// stays within a frame, long enough to cost nothing measurable.
constexpr int kWaitSliceMs = 4;

// Waits for `events` (poll() flags) on `fd`, at most `timeoutMs` (-2 = no
// limit). Without `between` this is one poll(); with it, slices of
// kWaitSliceMs with `between` run after each empty slice. Returns the
// revents seen, 0 when the time ran out, -1 when `between` ended the wait,
// -2 when poll() failed (errno kept).
int WaitForSocket(int fd, short events, int timeoutMs, const TWaitSlice& between = nullptr);

// Maps an errno value onto its Windows Sockets number; numbers without a
// counterpart pass through unchanged (and have no text).
int MapErrno(int err);

// Where a name's addresses come from: the system's resolver unless a caller
// passes its own (a table of names with chosen addresses, in tests).
class TNetNameResolver {
 public:
  virtual ~TNetNameResolver() = default;
  // Every address of `host`, either family, in the resolver's order; empty
  // for an unknown host. May run on a helper thread.
  virtual std::vector<std::string> Resolve(const std::string& host) const = 0;
};

class TNetStack {
 public:
  virtual ~TNetStack() = default;

  // The last error number fetched by `CheckSocketResult` or `FetchLastError`.
  int LastError = 0;
  // Number of resolver calls made, so that callers can see that dotted
  // addresses and "localhost" never reach the resolver.
  int LookupCount = 0;

  static bool IsDottedAddress(const std::string& text);
  // An IPv6 address in text form, without brackets or zone ("::1").
  static bool IsIPv6Address(const std::string& text);
  // Text that needs no lookup: a dotted IPv4 or an IPv6 address.
  static bool IsAddressLiteral(const std::string& text) { return IsDottedAddress(text) || IsIPv6Address(text); }

  // Every address of `host`, both families, in the order a connect tries
  // them: IPv6 first, then alternating with IPv4 (RFC 8305). Literals come
  // back as they are and "localhost" as ::1 and 127.0.0.1, without a lookup.
  // Failure and `between` as for `LookupHost`. Names are asked of `names`,
  // or of the system's resolver when it is null.
  std::vector<std::string> LookupAddresses(const std::string& host, const TWaitSlice& between = nullptr,
                                           const std::shared_ptr<const TNetNameResolver>& names = nullptr);
  // The first IPv4 address of `LookupAddresses`: "LOCALHOST" (any case) and
  // dotted addresses without a lookup; otherwise the name's. Failure raises `ENetSocketError` 11001.
  // With `between`, the resolver runs on a helper thread and the caller
  // waits for it in slices; when `between` ends the wait, the lookup is
  // abandoned (the helper finishes on its own) and `ENetNotConnected` raised.
  std::string LookupHost(const std::string& host, const TWaitSlice& between = nullptr);
  // false for a result other than -1; for -1 the last error is fetched and
  // true returned when it is one of `expected`, otherwise `RaiseFromError`.
  bool CheckSocketResult(int result, std::initializer_list<int> expected = {});
  [[noreturn]] void RaiseFromError(int code);
  // The table text of an error number ("" for numbers outside the table).
  static std::string SocketErrorText(int code);
  // "Socket Error # %d\r\n%s" filled with the number and its text.
  static std::string SocketErrorMessage(int code);
  // Reads errno (mapped) into `LastError` and returns it.
  int FetchLastError();

 protected:
  virtual std::vector<std::string> ResolveAll(const std::string& host, const TWaitSlice& between,
                                              const std::shared_ptr<const TNetNameResolver>& names);
};

// How long a connect attempt has before the next address is tried beside it
// (RFC 8305's Connection Attempt Delay).
constexpr int kConnectionAttemptDelayMs = 250;

// POSIX sockets need neither start-up nor run-time loading.
class TNetStackPosix : public TNetStack {};

// The single stack of the process while at least one network component
// exists (see `TNetComponent`); null otherwise.
extern TNetStack* SocketStack;
// The stack to use: `SocketStack`, or a process-lifetime fallback for callers
// that run without any component.
TNetStack& Stack();

class TNetSocketHandle {
 public:
  TNetSocketHandle() = default;
  ~TNetSocketHandle();
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

  int Handle = -1;
  bool Open = false;
  int Family = 2;  // AF_INET or AF_INET6
  std::string IP;  // local address
  int Port = 0;    // local port
  std::string PeerIP;
  int PeerPort = 0;

  // Closes any open socket and marks the handle open without a socket: a
  // connect is under way (lookup, then `ConnectFirst`), and a ShutAndClose
  // meanwhile ends it.
  void BeginConnect();
  // Closes any open socket, then creates a new one.
  void OpenSocket(int type, int protocol, int family = 2 /* AF_INET */);
  // Binds to `IP`/`Port` (empty = any, 0 = any port).
  void BindLocal();
  void SetPeer(const std::string& address, int port);
  // connect(), waiting at most `timeoutMs` (-2 = as long as the system
  // tries); -1 is returned for the caller to check, with `LastError` 10060
  // when the time ran out. When `between` ends the wait, -2 is returned.
  int ConnectPeer(int timeoutMs = -2, const TWaitSlice& between = nullptr);
  // Connects to `port` at the first of `addresses` that accepts, in their
  // order: a new attempt starts when the last one failed or has waited
  // kConnectionAttemptDelayMs, the first to succeed wins and every other is
  // closed. `IP`/`Port`, when set, are bound to (only addresses of their
  // family are tried). `onAttempt` runs as each attempt starts. The handle
  // counts as open while the attempts run, so that a `ShutAndClose` from
  // `between` ends them all; returns as ConnectPeer does, `LastError` being
  // the last attempt's failure (10060 when `timeoutMs` ran out).
  int ConnectFirst(const std::vector<std::string>& addresses, int port, bool noDelay, int timeoutMs,
                   const TWaitSlice& between, const std::function<void(const std::string&)>& onAttempt);
  // true only when the socket became readable; -2 waits without limit.
  // A handle that is not open raises `ENetConnClosedGracefully`.
  bool WaitReadable(int timeoutMs, const TWaitSlice& between = nullptr);
  // 1 when the socket can take more bytes (or has failed: the next send
  // tells); 0 when `timeoutMs` (-2: no limit) ran out; -1 when `between`
  // ended the wait or the handle is not open.
  int WaitWritable(int timeoutMs, const TWaitSlice& between);
  // One recv/send; -1 on failure (with the stack's error fetched).
  int Receive(void* buffer, int length);
  // Receive without waiting: -1 with `LastError` 10035 when nothing is there.
  int ReceiveNow(void* buffer, int length);
  int Send(const void* buffer, int length);
  // Send without waiting: -1 with `LastError` 10035 when the socket is full.
  int SendNow(const void* buffer, int length);
  void ShutAndClose();
  void Reset(bool resetLocal = true);

 private:
  void RefreshAddresses(bool peer);
};

}  // namespace larkvale::http
