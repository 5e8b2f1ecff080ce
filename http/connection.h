// The TCP connection under the HTTP client: components with status and work
// events, the socket transport, and the buffered connection with its reads
// and writes.
//
// Threading and re-entrancy: every call is synchronous on the caller's
// thread, and events run synchronously inside the call that raises them.
// The window's `OnWork` handlers pump messages, and so does its `OnWaiting`
// handler, which runs every few milliseconds while a call waits for the
// network (connect, name resolution, receive, send); so other handlers run
// nested inside a transfer. From inside a connection's own events (or
// handlers nested in them) the only operation that may be called on that
// same connection is `Disconnect`; it is always safe: the running read
// finishes the block it is reporting and returns normally (see
// `ReadToStream`), and a wait ends at once. Reading properties is also fine.
// `TNetHTTP` refuses a second request outright.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/buffers.h"
#include "http/proxy.h"
#include "http/socketstack.h"
#include "http/streams.h"

namespace larkvale::http {

enum TNetStatus {
  hsResolving = 0,
  hsConnecting = 1,
  hsConnected = 2,
  hsDisconnecting = 3,
  hsDisconnected = 4,
  hsStatusText = 5,
  ftpTransfer = 6,
  ftpReady = 7,
  ftpAborted = 8,
};

enum TWorkMode { wmRead = 0, wmWrite = 1 };
enum TNetMaxLineAction { maException = 0, maSplit = 1 };

class TNetComponent;

using TNetStatusEvent = std::function<void(TNetComponent* ASender, TNetStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent = std::function<void(TNetComponent* Sender, TWorkMode AWorkMode, std::int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TNetComponent* Sender, TWorkMode AWorkMode, std::int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TNetComponent* Sender, TWorkMode AWorkMode)>;
using TNotifyEvent = std::function<void(TNetComponent* Sender)>;

// The fixed status texts ("%s" is filled with the argument).
std::string StatusText(TNetStatus status, const std::string& argument = "");

// Base of every network object. The process-wide count of these objects
// creates the `SocketStack` with the first one and frees it with the last.
class TNetComponent {
 public:
  TNetComponent();
  virtual ~TNetComponent();
  TNetComponent(const TNetComponent&) = delete;
  TNetComponent& operator=(const TNetComponent&) = delete;

  TNetStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // Counts are 64-bit so that bodies beyond 2 GiB report correctly.
  struct TWorkInfo {
    std::int64_t Count = 0;
    std::int64_t Max = 0;
    int Level = 0;
  };
  TWorkInfo WorkState[2];

  void ReportStatus(TNetStatus status, const std::string& argument = "");
  // Only the outermost of nested begin/end pairs reaches the events; `OnWork`
  // carries the running total since that begin.
  virtual void ReportWorkBegin(TWorkMode mode, std::int64_t maximum);
  virtual void ReportWork(TWorkMode mode, std::int64_t count);
  virtual void ReportWorkEnd(TWorkMode mode);
};

// The abstract transport of a connection.
class TNetIOHandler : public TNetComponent {
 public:
  ~TNetIOHandler() override = default;
  // A proxy to open a tunnel through (CONNECT or SOCKS5): the connect goes
  // to it, and the tunnel to the host asked for; `Kind` None: direct.
  TNetProxy Tunnel;
  virtual void Close() {}
  // `timeoutMs` bounds the connect (-2 = as long as the system tries; the
  // time running out raises "Socket Error # 10060"). With `between`, waits
  // (also a name lookup) run in slices; `between` ending one raises
  // `ENetNotConnected`.
  virtual void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                         int timeoutMs, const TWaitSlice& between = nullptr) {}
  virtual bool IsConnected() = 0;
  virtual void Open() {}
  // false also when `between` ended the wait.
  virtual bool WaitReadable(int timeoutMs, const TWaitSlice& between = nullptr) = 0;
  virtual int Receive(void* buffer, int length) = 0;
  // Like Receive, but returns -1 with error 10035 instead of waiting.
  virtual int ReceiveNow(void* buffer, int length) = 0;
  // With `between`, a full socket is waited for in slices; when `between`
  // ends that wait, 0 is returned. A socket that takes no byte for
  // `timeoutMs` (-2: no limit) returns -1 with error 10035.
  virtual int Send(const void* buffer, int length, const TWaitSlice& between = nullptr, int timeoutMs = -2) = 0;
};

class TNetIOHandlerSocket : public TNetIOHandler {
 public:
  // Names are looked up through `names`, or the system's resolver when null.
  explicit TNetIOHandlerSocket(std::shared_ptr<const TNetNameResolver> names = nullptr) : names_(std::move(names)) {}
  ~TNetIOHandlerSocket() override;
  bool UseNagle = true;
  TNetSocketHandle* SocketHandle() { return socket_.get(); }

  void Close() override;
  void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort, int timeoutMs,
                 const TWaitSlice& between = nullptr) override;
  bool IsConnected() override;
  void Open() override;
  bool WaitReadable(int timeoutMs, const TWaitSlice& between = nullptr) override;
  int Receive(void* buffer, int length) override;
  int ReceiveNow(void* buffer, int length) override;
  int Send(const void* buffer, int length, const TWaitSlice& between = nullptr, int timeoutMs = -2) override;

 private:
  std::unique_ptr<TNetSocketHandle> socket_;
  std::shared_ptr<const TNetNameResolver> names_;
};

// The buffered connection: write collection, input buffer, line, exact and
// stream reads, and close detection.
class TNetTCPConnection : public TNetComponent {
 public:
  TNetTCPConnection();
  ~TNetTCPConnection() override;

  int ReadTimeout = 0;          // ms per receive; 0 = no limit
  int RecvBufferSize = 32768;   // block size of stream reads (one OnWork each); largest receive outside them
  int SendBufferSize = 32768;   // block size of stream writes
  int MaxLineLength = 16384;    // 0 = no limit
  TNetMaxLineAction MaxLineAction = maException;
  // A receive that waits this long without a byte ends the read with
  // ENetIdleTimeout "No data from <host> for <n> s."; 0 = no limit. It bounds
  // every wait, also one that `ReadTimeout` would let run longer. A send that
  // the peer takes no byte of for as long ends with ENetSendTimeout "Could
  // not send to <host> for <n> s.".
  int IdleLimitMs = 0;
  TNotifyEvent OnDisconnected;
  // Runs between wait slices (every few ms) while a call waits for the
  // network; a Disconnect from inside it ends the wait at once. Unset, waits
  // block in one piece.
  TNotifyEvent OnWaiting;

  // Outcome of the last ReadLine.
  bool ReadLineSplit = false;
  bool ReadLineTimedOut = false;

  TNetIOHandler* IOHandler() const { return io_.get(); }
  const TNetManagedBuffer& InputBuffer() const { return input_; }
  bool PeerClosed() const { return peerClosed_; }

  virtual void NotifyDisconnected();
  virtual void ResetInput();
  // Notices and reports a peer close; raises `ENetConnClosedGracefully` when
  // closed, `raiseIfClosed` is set and nothing is buffered (or `ignoreBuffer`).
  virtual void CheckClosed(bool raiseIfClosed, bool ignoreBuffer);
  // Waits at most 1 ms for pending bytes or a close.
  virtual void PollForClose(bool raiseIfClosed);
  virtual bool IsConnected();
  // Callable at any time, also from inside this connection's own events.
  virtual void Disconnect();
  virtual void DropSocket();
  // > 0 bytes received; 0 the peer has closed; -1 a timeout that does not raise.
  virtual int FillInputBuffer(bool raiseIfClosed = true, int timeoutMs = -1, bool raiseOnTimeout = true);
  virtual std::string ReadLine(const std::string& terminator = "\n", int timeoutMs = -1, int maxLength = -1);
  virtual void WriteText(const std::string& text);
  virtual void WriteLine(const std::string& text);
  virtual void WriteFromStream(TNetStream& stream, bool fromStart = true, std::int64_t count = 0);

  void ReadExact(char* buffer, int count);
  // Copies `count` bytes (or, with `untilClose`, everything until the peer
  // closes) into `stream` at its position, with one `OnWork` per block of
  // `RecvBufferSize` bytes. Receives take up to kReadAheadBytes of the body
  // at once (never past its end); the events are the same as with one
  // receive per block. A Disconnect meanwhile drops what was read ahead of
  // the reported blocks.
  void ReadToStream(TNetStream& stream, std::int64_t count, bool untilClose = false);
  static constexpr int kReadAheadBytes = 32768;

  // From now on, a read that needs more bytes after `ms` have passed fails
  // with ENetHeadTimeout(`message`), and waits end at that moment. Cleared by
  // `ClearReadDeadline` (and by a connect).
  void SetReadDeadline(int ms, std::string message);
  void ClearReadDeadline() { deadline_.reset(); }

  void WriteBytes(const char* buffer, int count, bool sendNow = false);
  void OpenWriteBuffering(int threshold = -1);
  void CloseWriteBuffering();
  void FlushWriteBuffering(int count = -1);

 protected:
  // The transport, shared so that a `Disconnect` from inside one of its calls
  // (a status handler) cannot free it under that call.
  std::shared_ptr<TNetIOHandler> io_;
  bool ownsIOHandler_ = false;
  bool peerClosed_ = false;
  // Set when a Disconnect from `OnWaiting` ended a wait; cleared by a connect.
  bool waitCut_ = false;
  TNetManagedBuffer input_;

  // The hook the transport runs between wait slices: `OnWaiting`, then
  // whether the wait may go on (no Disconnect came meanwhile). Null while
  // `OnWaiting` is unset, so that waits do not slice.
  TWaitSlice WaitHook();
  // Who the idle message names: the host connected to.
  virtual std::string PeerName() const { return std::string(); }

 private:
  std::unique_ptr<std::string> writeBuffer_;
  int writeThreshold_ = 0;
  std::vector<char> scratch_;
  // Set by ReadToStream: the body bytes not yet buffered, which the next
  // receive may take beyond `RecvBufferSize` (up to kReadAheadBytes).
  std::int64_t bodyAhead_ = 0;
  // Under the speed limit: no body receive before this moment.
  std::chrono::steady_clock::time_point limitUntil_{};
  // Waits (in slices, running `between`) until `limitUntil_`; false when a
  // Disconnect ended the wait.
  bool WaitForRateLimit(const TWaitSlice& between);

  // The steps of `FillInputBuffer`. How long one receive may wait, and which
  // limit set that (it decides the error when the wait runs out).
  enum class WaitBound { Caller, Idle, Deadline };
  struct ReceiveWait {
    int timeoutMs;  // -2: no limit
    WaitBound bound;
  };
  ReceiveWait LimitWait(int timeoutMs);
  // The most one receive may take.
  int ReceiveSize(bool limited) const;
  // One receive into `area` (waiting when nothing is there); nullopt when
  // the wait ended without a byte.
  std::optional<int> ReceiveInto(TNetIOHandler& io, char* area, int size, const ReceiveWait& wait,
                                 const TWaitSlice& between);
  // A wait that ended without a byte: raises the error of the limit that
  // ended it, or returns what `FillInputBuffer` returns (0 or -1).
  int WaitEnded(const ReceiveWait& wait, bool raiseIfClosed, bool raiseOnTimeout);
  // Books a receive's result in the input buffer; its count as
  // `FillInputBuffer` returns it.
  int TakeReceived(int n, bool limited);

  // The steps of `ReadToStream`: sizes the stream and begins the work
  // report, returning the bytes to read; reads them block by block; and at
  // a peer's close keeps the bytes left (false: the body was cut short and
  // the close is to be raised).
  std::int64_t BeginBody(TNetStream& stream, std::int64_t count, bool untilClose);
  void ReadBlocks(TNetStream& stream, std::int64_t& remaining, bool untilClose);
  bool KeepBytesAtClose(TNetStream& stream, std::int64_t& remaining, bool untilClose);
  struct Deadline {
    std::chrono::steady_clock::time_point at;
    std::string message;
  };
  std::optional<Deadline> deadline_;
  // The last byte received or sent: a deadline that runs out on a
  // connection silent for the idle limit is silence, not slowness.
  std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
};

class TNetTCPClient : public TNetTCPConnection {
 public:
  // Names are looked up through `names`, or the system's resolver when null.
  explicit TNetTCPClient(std::shared_ptr<const TNetNameResolver> names = nullptr) : names_(std::move(names)) {}
  virtual void SetHost(const std::string& host) { host_ = host; }
  virtual void SetPort(int port) { port_ = port; }
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }
  std::string BoundIP;
  int BoundPort = 0;
  TNotifyEvent OnConnected;
  // Longest wait for a connect to complete, in ms; when it runs out the
  // connect fails with "Socket Error # 10060". A listener whose queue is full
  // would otherwise keep a connect waiting for minutes.
  int ConnectTimeoutMs = 30000;
  // Given to the transport for each connect (see TNetIOHandler::Tunnel).
  TNetProxy Tunnel;

  virtual void NotifyConnected();
  // A connect to `Host`:`Port`, waiting at most `ConnectTimeoutMs` (0 and -1
  // are the only timeouts passed, and both mean that bound).
  virtual void Connect(int timeoutMs = 0);
  std::string PeerName() const override { return host_; }

 protected:
  // The transport `Connect` creates when none is attached: plain TCP here;
  // the HTTP client picks TLS for https.
  virtual std::shared_ptr<TNetIOHandler> NewIOHandler();

  std::string host_;
  int port_ = 0;
  std::shared_ptr<const TNetNameResolver> names_;
};

}  // namespace larkvale::http
