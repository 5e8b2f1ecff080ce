#include "http/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "http/exceptions.h"
#include "http/ratelimit.h"
#include "http/textutil.h"

namespace larkvale::http {

std::string StatusText(TNetStatus status, const std::string& argument) {
  switch (status) {
    case hsResolving: return "Resolving hostname " + argument + ".";
    case hsConnecting: return "Connecting to " + argument + ".";
    case hsConnected: return "Connected.";
    case hsDisconnecting: return "Disconnecting.";
    case hsDisconnected: return "Disconnected.";
    default: return argument;
  }
}

// --- TNetComponent -------------------------------------------------------

namespace {
std::mutex gInstanceLock;
int gInstanceCount = 0;
}  // namespace

TNetComponent::TNetComponent() {
  std::lock_guard<std::mutex> lock(gInstanceLock);
  if (gInstanceCount == 0) SocketStack = new TNetStackPosix();
  ++gInstanceCount;
}

TNetComponent::~TNetComponent() {
  std::lock_guard<std::mutex> lock(gInstanceLock);
  if (--gInstanceCount == 0) {
    delete SocketStack;
    SocketStack = nullptr;
  }
}

void TNetComponent::ReportStatus(TNetStatus status, const std::string& argument) {
  if (OnStatus) OnStatus(this, status, StatusText(status, argument));
}

void TNetComponent::ReportWorkBegin(TWorkMode mode, std::int64_t maximum) {
  TWorkInfo& w = WorkState[mode];
  if (++w.Level == 1) {
    w.Max = maximum;
    w.Count = 0;
    if (OnWorkBegin) OnWorkBegin(this, mode, maximum);
  }
}

void TNetComponent::ReportWork(TWorkMode mode, std::int64_t count) {
  TWorkInfo& w = WorkState[mode];
  if (w.Level > 0) {
    w.Count += count;
    if (OnWork) OnWork(this, mode, w.Count);
  }
}

void TNetComponent::ReportWorkEnd(TWorkMode mode) {
  TWorkInfo& w = WorkState[mode];
  if (w.Level == 1 && OnWorkEnd) OnWorkEnd(this, mode);
  --w.Level;
}

// --- TNetIOHandlerSocket -------------------------------------------------

TNetIOHandlerSocket::~TNetIOHandlerSocket() { Close(); }

void TNetIOHandlerSocket::Open() {
  if (socket_)
    socket_->Reset();
  else
    socket_ = std::make_unique<TNetSocketHandle>();
}

void TNetIOHandlerSocket::Close() {
  if (socket_) socket_->ShutAndClose();
}

bool TNetIOHandlerSocket::IsConnected() { return socket_ && socket_->Open; }

void TNetIOHandlerSocket::ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                                    int timeoutMs, const TWaitSlice& between) {
  TNetSocketHandle& s = *socket_;
  s.BeginConnect();
  s.IP = boundIP;
  s.Port = boundPort;
  const bool tunnel = Tunnel.Kind != TNetProxy::None;
  const std::string target = tunnel ? Tunnel.Host : host;
  const auto started = std::chrono::steady_clock::now();
  if (!TNetStack::IsAddressLiteral(target)) ReportStatus(hsResolving, target);
  std::vector<std::string> addresses;
  try {
    addresses = Stack().LookupAddresses(target, between, names_);
  } catch (const ENetSocketError& e) {
    if (!tunnel) throw;
    throw ENetProxyError("Proxy " + Tunnel.Label() + " could not be reached: " + TNetStack::SocketErrorText(e.SocketErrorCode));
  }
  const int result = s.ConnectFirst(addresses, tunnel ? Tunnel.Port : port, !UseNagle, timeoutMs, between,
                                    [this](const std::string& address) { ReportStatus(hsConnecting, address); });
  if (result == -2) throw ENetNotConnected();  // cut by a Disconnect meanwhile
  if (result == -1) {
    if (!tunnel) Stack().RaiseFromError(Stack().LastError);
    throw ENetProxyError("Proxy " + Tunnel.Label() + " could not be reached: " +
                         TNetStack::SocketErrorText(Stack().LastError));
  }
  if (tunnel) {
    // socks5:// (not socks5h://) takes an address: the name is ours to look up.
    std::string origin = host;
    if (Tunnel.Kind == TNetProxy::Socks5 && !Tunnel.RemoteNames && !TNetStack::IsAddressLiteral(host))
      origin = Stack().LookupAddresses(host, between, names_).front();
    int left = -2;
    if (timeoutMs >= 0) {
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
      left = static_cast<int>(std::max<long long>(0, timeoutMs - spent));
    }
    OpenProxyTunnel(s.Handle, Tunnel, origin, port, left, between);
  }
}

bool TNetIOHandlerSocket::WaitReadable(int timeoutMs, const TWaitSlice& between) {
  return socket_->WaitReadable(timeoutMs, between);
}

int TNetIOHandlerSocket::Receive(void* buffer, int length) {
  if (!IsConnected()) throw ENetClosedSocket();
  return socket_->Receive(buffer, length);
}

int TNetIOHandlerSocket::ReceiveNow(void* buffer, int length) {
  if (!IsConnected()) throw ENetClosedSocket();
  return socket_->ReceiveNow(buffer, length);
}

int TNetIOHandlerSocket::Send(const void* buffer, int length, const TWaitSlice& between, int timeoutMs) {
  if (!IsConnected()) throw ENetClosedSocket();
  if (!between && timeoutMs < 0) return socket_->Send(buffer, length);
  for (;;) {
    const int n = socket_->SendNow(buffer, length);
    if (n != -1 || Stack().LastError != 10035) return n;
    const int seen = socket_->WaitWritable(timeoutMs, between);
    if (seen < 0) return 0;
    if (seen == 0) {
      Stack().LastError = 10035;
      return -1;
    }
  }
}

// --- TNetTCPConnection ---------------------------------------------------

TNetTCPConnection::TNetTCPConnection() {
  input_.OnRemove = [this](int n) { ReportWork(wmRead, n); };
}

TNetTCPConnection::~TNetTCPConnection() {
  // No statuses and no OnDisconnected on destruction.
  if (io_) io_->Close();
  io_.reset();
}

void TNetTCPConnection::NotifyDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TNetTCPConnection::ResetInput() {
  input_.Clear();
  deadline_.reset();
  lastActivity_ = std::chrono::steady_clock::now();
  peerClosed_ = false;
  waitCut_ = false;
}

TWaitSlice TNetTCPConnection::WaitHook() {
  if (!OnWaiting) return nullptr;
  return [this] {
    OnWaiting(this);
    // A Disconnect meanwhile closed the socket (and freed an owned transport).
    if (io_ && io_->IsConnected()) return true;
    waitCut_ = true;
    return false;
  };
}

void TNetTCPConnection::DropSocket() {
  peerClosed_ = true;
  if (io_) io_->Close();
}

void TNetTCPConnection::Disconnect() {
  ReportStatus(hsDisconnecting);
  if (io_) DropSocket();
  if (ownsIOHandler_) {
    io_.reset();
    ownsIOHandler_ = false;
  }
  NotifyDisconnected();
  ReportStatus(hsDisconnected);
}

void TNetTCPConnection::CheckClosed(bool raiseIfClosed, bool ignoreBuffer) {
  bool closed = false;
  if (peerClosed_ || !io_) {
    if (io_) {
      // The peer closed but our socket is still open: report it once, now.
      if (io_->IsConnected()) {
        DropSocket();
        ReportStatus(hsDisconnected);
        NotifyDisconnected();
      }
      closed = true;
    }
  } else {
    closed = !io_->IsConnected();
  }
  if (closed && raiseIfClosed && (input_.Size() == 0 || ignoreBuffer)) throw ENetConnClosedGracefully();
}

bool TNetTCPConnection::IsConnected() {
  CheckClosed(false, false);
  return io_ && io_->IsConnected();
}

void TNetTCPConnection::PollForClose(bool raiseIfClosed) { FillInputBuffer(raiseIfClosed, 1, false); }

namespace {
// "60", or "0.5" for a limit that is not whole seconds.
std::string SecondsText(int ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", ms / 1000.0);
  return text;
}
}  // namespace

bool TNetTCPConnection::WaitForRateLimit(const TWaitSlice& between) {
  // Short slices: the hook (the window's pump, a Stop) runs between them.
  constexpr auto kSlice = std::chrono::milliseconds(10);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= limitUntil_) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(limitUntil_ - now, kSlice));
    if (between && !between()) return false;
    if (!IsConnected()) {
      waitCut_ = true;
      return false;
    }
  }
}

void TNetTCPConnection::SetReadDeadline(int ms, std::string message) {
  deadline_ = Deadline{std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(message)};
}

// The limits only shorten a wait. Which one ended it decides the error.
TNetTCPConnection::ReceiveWait TNetTCPConnection::LimitWait(int timeoutMs) {
  ReceiveWait wait{timeoutMs, WaitBound::Caller};
  if (IdleLimitMs > 0 && (wait.timeoutMs < 0 || wait.timeoutMs > IdleLimitMs)) {
    wait.timeoutMs = IdleLimitMs;
    wait.bound = WaitBound::Idle;
  }
  if (deadline_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_->at - std::chrono::steady_clock::now()).count();
    // Bytes that keep dripping in never end a wait, so the deadline is also
    // checked before each one.
    if (left <= 0) throw ENetHeadTimeout(deadline_->message);
    if (wait.timeoutMs < 0 || wait.timeoutMs > left) {
      wait.timeoutMs = static_cast<int>(left);
      wait.bound = WaitBound::Deadline;
    }
  }
  return wait;
}

int TNetTCPConnection::ReceiveSize(bool limited) const {
  // Inside a body one receive may take several blocks, up to the body's
  // end: far fewer system calls, and ReadToStream still takes the bytes
  // out (and reports them) block by block.
  int size = static_cast<int>(
      std::max<std::int64_t>(std::max(1, RecvBufferSize), std::min<std::int64_t>(bodyAhead_, kReadAheadBytes)));
  if (limited) size = std::min(size, RateLimit::Global().ReceiveBytes());
  return size;
}

std::optional<int> TNetTCPConnection::ReceiveInto(TNetIOHandler& io, char* area, int size, const ReceiveWait& wait,
                                                  const TWaitSlice& between) {
  // Waiting without limit: the blocking receive is the wait itself.
  if (wait.timeoutMs == -2 && !between) return io.Receive(area, size);
  // Take what is already there without a poll; wait only when empty.
  const int n = io.ReceiveNow(area, size);
  if (n != -1 || Stack().LastError != 10035) return n;
  if (!io.WaitReadable(wait.timeoutMs, between)) return std::nullopt;
  return io.Receive(area, size);
}

int TNetTCPConnection::WaitEnded(const ReceiveWait& wait, bool raiseIfClosed, bool raiseOnTimeout) {
  // A Disconnect from `OnWaiting` ended the wait: no transport is
  // left, as after a Disconnect from a work event.
  if (waitCut_) {
    if (raiseIfClosed) throw ENetNotConnected();
    return 0;
  }
  // A deadline reached after a silence of the idle limit is that
  // silence (measured to the deadline, which the wait may end a
  // fraction of a millisecond short of).
  const bool silent = wait.bound == WaitBound::Deadline && IdleLimitMs > 0 &&
                      lastActivity_ <= deadline_->at - std::chrono::milliseconds(IdleLimitMs);
  if (wait.bound == WaitBound::Deadline && !silent) throw ENetHeadTimeout(deadline_->message);
  if (wait.bound != WaitBound::Caller)
    throw ENetIdleTimeout("No data from " + EscapedText(PeerName()) + " for " + SecondsText(IdleLimitMs) + " s.");
  if (raiseOnTimeout) throw ENetReadTimeout();
  return -1;
}

int TNetTCPConnection::TakeReceived(int n, bool limited) {
  peerClosed_ = (n == 0);
  if (n == -1) {
    int err = Stack().LastError;
    // A connection shut down under us ends like a close, after what is
    // already buffered has been read.
    if (err == kWsaEShutdown || err == kWsaEConnAborted) {
      n = 0;
      DropSocket();
      if (input_.Size() == 0) Stack().RaiseFromError(err);
    } else {
      Stack().RaiseFromError(err);
    }
  }
  if (n > 0) {
    input_.Commit(static_cast<std::size_t>(n));
    lastActivity_ = std::chrono::steady_clock::now();
    if (limited) limitUntil_ = RateLimit::Global().Charge(n);
  }
  return n;
}

int TNetTCPConnection::FillInputBuffer(bool raiseIfClosed, int timeoutMs, bool raiseOnTimeout) {
  if (timeoutMs == -1) timeoutMs = ReadTimeout;
  if (timeoutMs == 0) timeoutMs = -2;
  CheckClosed(raiseIfClosed, false);
  if (!IsConnected()) {
    if (raiseIfClosed) throw ENetNotConnected();
    return 0;
  }
  const ReceiveWait wait = LimitWait(timeoutMs);
  const TWaitSlice between = WaitHook();
  for (;;) {
    // A body read under the speed limit waits for its turn first.
    const bool limited = bodyAhead_ > 0 && RateLimit::Global().Active();
    if (limited && !WaitForRateLimit(between)) {
      if (raiseIfClosed) throw ENetNotConnected();
      return 0;
    }
    // Held to the end of the step: a Disconnect inside the wait must not
    // free the transport under its receive.
    std::shared_ptr<TNetIOHandler> io = io_;
    const int size = ReceiveSize(limited);
    // The receive lands directly at the end of the input buffer.
    char* area = input_.Reserve(static_cast<std::size_t>(size));
    const std::optional<int> received = ReceiveInto(*io, area, size, wait, between);
    if (!received) return WaitEnded(wait, raiseIfClosed, raiseOnTimeout);
    const int n = TakeReceived(*received, limited);
    CheckClosed(raiseIfClosed, false);
    if (n != 0) return n;
    if (!IsConnected()) return 0;
  }
}

void TNetTCPConnection::ReadExact(char* buffer, int count) {
  if (count <= 0) return;
  while (input_.Size() < static_cast<std::size_t>(count)) {
    FillInputBuffer(true, -1, true);
    CheckClosed(true, true);
  }
  input_.ExtractTo(buffer, static_cast<std::size_t>(count));
}

std::string TNetTCPConnection::ReadLine(const std::string& terminatorIn, int timeoutMs, int maxLength) {
  const std::size_t maximum = static_cast<std::size_t>(maxLength == -1 ? MaxLineLength : maxLength);
  const std::string terminator = terminatorIn.empty() ? "\n" : terminatorIn;
  ReadLineSplit = false;
  ReadLineTimedOut = false;
  std::size_t pos = 0;  // 1-based position of the terminator, 0 = not found yet
  std::size_t scanned = 0;
  bool tooLong = false;
  do {
    if (input_.Size() > 0) {
      // Resume where the last search ended (a terminator may straddle it).
      std::size_t from = scanned >= terminator.size() ? scanned - terminator.size() + 1 : 0;
      std::size_t at = input_.Find(terminator, from);
      pos = at == std::string::npos ? 0 : at + 1;
      scanned = input_.Size();
    }
    if (pos > 0 && pos - 1 > maximum && maximum != 0) {
      tooLong = true;
      break;
    }
    if (pos == 0) {
      if (scanned > maximum && maximum != 0) {
        tooLong = true;
        break;
      }
      CheckClosed(true, true);
      int n = FillInputBuffer(true, timeoutMs, timeoutMs == -1);
      ReadLineTimedOut = (n == 0);
      if (ReadLineTimedOut) return std::string();
    }
  } while (pos == 0);

  if (tooLong) {
    if (MaxLineAction == maException) throw ENetReadLnMaxLineLengthExceeded();
    ReadLineSplit = true;
    return input_.Extract(maximum);
  }
  std::string line = input_.Extract(pos + terminator.size() - 1);
  line.resize(line.size() - terminator.size());
  if (terminator == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::int64_t TNetTCPConnection::BeginBody(TNetStream& stream, std::int64_t count, bool untilClose) {
  // A known length gives a file its full size at once.
  if (count >= 0) {
    std::int64_t at = stream.Position();
    stream.SetSize(at + count);
    stream.Seek(at);
  }
  if (untilClose) {
    // Until the peer closes, without an artificial 2 GiB cap.
    ReportWorkBegin(wmRead, 0);
    return INT64_MAX;
  }
  ReportWorkBegin(wmRead, count);
  return count;
}

bool TNetTCPConnection::KeepBytesAtClose(TNetStream& stream, std::int64_t& remaining, bool untilClose) {
  const int k = static_cast<int>(input_.Size());
  if (k > 0) std::memcpy(scratch_.data(), input_.Data(), static_cast<std::size_t>(k));
  input_.Clear();
  if (!untilClose) {
    if (k > 0) stream.Write(scratch_.data(), static_cast<std::size_t>(k));
    return false;
  }
  // The last bytes of a body that runs to the close count like every
  // other block; the total shown would otherwise fall short of the file.
  if (k > 0) {
    stream.Write(scratch_.data(), static_cast<std::size_t>(k));
    remaining -= k;
    ReportWork(wmRead, k);
  }
  return true;
}

void TNetTCPConnection::ReadBlocks(TNetStream& stream, std::int64_t& remaining, bool untilClose) {
  const int block = static_cast<int>(std::min<std::int64_t>(remaining, std::max(1, RecvBufferSize)));
  if (scratch_.size() < static_cast<std::size_t>(std::max(block, 0))) scratch_.resize(static_cast<std::size_t>(block));
  struct AheadOff {
    std::int64_t& ahead;
    ~AheadOff() { ahead = 0; }
  } aheadOff{bodyAhead_};
  while (remaining > 0 && IsConnected()) {
    int k = static_cast<int>(std::min<std::int64_t>(remaining, block));
    bodyAhead_ = remaining - static_cast<std::int64_t>(input_.Size());
    try {
      // Reports the block (OnWork) as it takes it out of the input buffer.
      ReadExact(scratch_.data(), k);
    } catch (const ENetNotConnected&) {
      // A Disconnect from `OnWaiting` while the body stalled ends it as a
      // Disconnect from a work event does.
      if (!waitCut_) throw;
      break;
    } catch (const ENetConnClosedGracefully&) {
      // The peer's close ends the body: keep the last, unreported bytes,
      // also when the body was meant to be longer (then the close raises).
      if (!KeepBytesAtClose(stream, remaining, untilClose)) throw;
      continue;
    }
    if (k > 0) {
      stream.Write(scratch_.data(), static_cast<std::size_t>(k));
      remaining -= k;
    }
  }
  // Cut by a Disconnect: the body ends with its reported blocks. Its bytes
  // read ahead of them go, so that later reads on this connection (the
  // line after a chunk) find what one receive per block would have left:
  // nothing of this body.
  if (remaining > 0 && static_cast<std::int64_t>(input_.Size()) <= remaining) input_.Clear();
}

void TNetTCPConnection::ReadToStream(TNetStream& stream, std::int64_t count, bool untilClose) {
  std::int64_t remaining = BeginBody(stream, count, untilClose);
  auto finish = [&] {
    ReportWorkEnd(wmRead);
    if (stream.Size() > stream.Position()) stream.SetSize(stream.Position());
  };
  try {
    // Bytes that came with the header: written first, then reported.
    if (input_.Size() > 0 && remaining > 0) {
      std::size_t k = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(input_.Size()), remaining));
      stream.Write(input_.Data(), k);
      input_.Remove(k);
      remaining -= static_cast<std::int64_t>(k);
    }
    ReadBlocks(stream, remaining, untilClose);
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

// --- writing -------------------------------------------------------------

void TNetTCPConnection::WriteText(const std::string& text) {
  if (text.empty()) return;
  WriteBytes(text.data(), static_cast<int>(text.size()), false);
}

void TNetTCPConnection::WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

void TNetTCPConnection::OpenWriteBuffering(int threshold) {
  writeBuffer_ = std::make_unique<std::string>();
  writeThreshold_ = threshold;
}

void TNetTCPConnection::CloseWriteBuffering() {
  try {
    FlushWriteBuffering(-1);
  } catch (...) {
    writeBuffer_.reset();
    throw;
  }
  writeBuffer_.reset();
}

void TNetTCPConnection::FlushWriteBuffering(int count) {
  if (!writeBuffer_ || writeBuffer_->empty()) return;
  // Take the bytes out first: WriteBytes with sendNow bypasses the collection.
  std::string out;
  if (count != -1 && writeBuffer_->size() >= static_cast<std::size_t>(count)) {
    out = writeBuffer_->substr(0, static_cast<std::size_t>(count));
    writeBuffer_->erase(0, static_cast<std::size_t>(count));
  } else {
    out.swap(*writeBuffer_);
  }
  WriteBytes(out.data(), static_cast<int>(out.size()), true);
}

void TNetTCPConnection::WriteBytes(const char* buffer, int count, bool sendNow) {
  if (count <= 0) return;
  CheckClosed(true, true);
  if (!IsConnected()) throw ENetNotConnected();
  if (writeBuffer_ && !sendNow) {
    writeBuffer_->append(buffer, static_cast<std::size_t>(count));
    if (writeThreshold_ > 0 && writeBuffer_->size() >= static_cast<std::size_t>(writeThreshold_))
      FlushWriteBuffering(writeThreshold_);
    return;
  }
  std::string copy(buffer, static_cast<std::size_t>(count));
  std::size_t sent = 0;
  const TWaitSlice between = WaitHook();
  while (sent < copy.size()) {
    std::shared_ptr<TNetIOHandler> io = io_;
    if (!io) throw ENetNotConnected();
    // Each send waits at most the idle limit for the peer to take a byte:
    // a peer that stopped reading is silence too.
    int n = io->Send(copy.data() + sent, static_cast<int>(copy.size() - sent), between,
                     IdleLimitMs > 0 ? IdleLimitMs : -2);
    if (n == 0 && waitCut_) throw ENetNotConnected();
    if (n == -1 && IdleLimitMs > 0 && Stack().LastError == 10035)
      throw ENetSendTimeout("Could not send to " + EscapedText(PeerName()) + " for " + SecondsText(IdleLimitMs) +
                            " s.");
    peerClosed_ = (n == 0);
    CheckClosed(true, false);
    if (n == -1) {
      int err = Stack().LastError;
      if (err == kWsaEShutdown || err == kWsaEConnAborted || err == kWsaEConnReset) DropSocket();
      Stack().RaiseFromError(err);
    }
    lastActivity_ = std::chrono::steady_clock::now();
    ReportWork(wmWrite, n);
    sent += static_cast<std::size_t>(n);
  }
}

void TNetTCPConnection::WriteFromStream(TNetStream& stream, bool fromStart, std::int64_t count) {
  if (fromStart) stream.Seek(0);
  std::int64_t end = count == 0 ? stream.Size() : stream.Position() + count;
  ReportWorkBegin(wmWrite, end - stream.Position());
  try {
    std::vector<char> block(static_cast<std::size_t>(std::max(1, SendBufferSize)));
    while (stream.Position() < end) {
      std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(end - stream.Position(), static_cast<std::int64_t>(block.size())));
      std::size_t got = stream.Read(block.data(), want);
      if (got == 0) throw ENetNoDataToRead();
      WriteBytes(block.data(), static_cast<int>(got));
    }
  } catch (...) {
    ReportWorkEnd(wmWrite);
    throw;
  }
  ReportWorkEnd(wmWrite);
}

// --- TNetTCPClient -------------------------------------------------------

void TNetTCPClient::NotifyConnected() {
  if (OnConnected) OnConnected(this);
}

std::shared_ptr<TNetIOHandler> TNetTCPClient::NewIOHandler() { return std::make_shared<TNetIOHandlerSocket>(names_); }

void TNetTCPClient::Connect(int timeoutMs) {
  if (!io_) {
    std::shared_ptr<TNetIOHandler> handler = NewIOHandler();
    handler->OnStatus = OnStatus;
    io_ = handler;
    ownsIOHandler_ = true;
  } else if (io_->IsConnected()) {
    throw ENetAlreadyConnected();
  }
  // Keeps the transport alive even if a status handler disconnects us.
  std::shared_ptr<TNetIOHandler> io = io_;
  try {
    io->Open();
    io->Tunnel = Tunnel;
    ResetInput();
    io->ConnectTo(host_, port_, BoundIP, BoundPort, timeoutMs > 0 ? timeoutMs : ConnectTimeoutMs, WaitHook());
    ReportStatus(hsConnected, host_);
    NotifyConnected();
  } catch (...) {
    if (io_) DropSocket();
    throw;
  }
}

}  // namespace larkvale::http
