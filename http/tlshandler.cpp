#include "http/tlshandler.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "http/exceptions.h"

namespace larkvale::http {

namespace {

// --- the socket under the session ----------------------------------------
//
// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the
// peer has gone; this one sends with MSG_NOSIGNAL, as the plain transport
// does, and keeps the errno of its last failed call for the error text.

struct SocketBioState {
  int fd = -1;
  int lastErrno = 0;
  bool eof = false;
};

SocketBioState* StateOf(BIO* bio) { return static_cast<SocketBioState*>(BIO_get_data(bio)); }

int SocketBioWrite(BIO* bio, const char* data, int length) {
  SocketBioState* s = StateOf(bio);
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(s->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    s->lastErrno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
  }
  return static_cast<int>(n);
}

int SocketBioRead(BIO* bio, char* data, int length) {
  SocketBioState* s = StateOf(bio);
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(s->fd, data, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) s->eof = true;
  if (n < 0) {
    s->lastErrno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
  }
  return static_cast<int>(n);
}

long SocketBioCtrl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH: return 1;        // nothing is held back
    case BIO_CTRL_EOF: return StateOf(bio)->eof ? 1 : 0;
    default: return 0;
  }
}

int SocketBioCreate(BIO* bio) {
  BIO_set_data(bio, new SocketBioState);
  BIO_set_init(bio, 1);
  return 1;
}

int SocketBioDestroy(BIO* bio) {
  delete StateOf(bio);
  BIO_set_data(bio, nullptr);
  return 1;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "larkvale socket");
    BIO_meth_set_write(m, SocketBioWrite);
    BIO_meth_set_read(m, SocketBioRead);
    BIO_meth_set_ctrl(m, SocketBioCtrl);
    BIO_meth_set_create(m, SocketBioCreate);
    BIO_meth_set_destroy(m, SocketBioDestroy);
    return m;
  }();
  return method;
}

// --- the client context ---------------------------------------------------
//
// One context serves every connection while the trust store's environment
// stays the same; loading the system's certificates once per connection
// would cost milliseconds each. A changed SSL_CERT_FILE or SSL_CERT_DIR
// gives a fresh context, so the variables hold from the next connection on.

std::string TrustEnvironment() {
  std::string key;
  for (const char* name : {"SSL_CERT_FILE", "SSL_CERT_DIR"}) {
    const char* value = std::getenv(name);
    key += value ? value : "\x01";  // unset differs from empty
    key += '\n';
  }
  return key;
}

// The reason of the last OpenSSL error on this thread, "" when none.
std::string LastTLSReason() {
  const unsigned long code = ERR_peek_last_error();
  if (code == 0) return "";
  const char* reason = ERR_reason_error_string(code);
  if (reason) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

class ClientContext {
 public:
  ~ClientContext() {
    if (ctx_) SSL_CTX_free(ctx_);
  }

  // A reference the caller frees with SSL_CTX_free.
  SSL_CTX* Acquire() {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string key = TrustEnvironment();
    if (!ctx_ || key != key_) {
      SSL_CTX* fresh = Make();
      if (ctx_) SSL_CTX_free(ctx_);  // sessions made from it keep their reference
      ctx_ = fresh;
      key_ = key;
    }
    SSL_CTX_up_ref(ctx_);
    return ctx_;
  }

 private:
  static SSL_CTX* Make() {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) throw ENetTLSError("TLS is not available: " + LastTLSReason());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
      const std::string reason = LastTLSReason();
      SSL_CTX_free(ctx);
      throw ENetTLSError("The system's trusted certificates could not be loaded: " + reason);
    }
    // Writes may be partial (the caller loops, as with send()), and a retried
    // write may come from another address with the same bytes.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Many servers close without the close alert; a close then ends the
    // stream as it does on a plain connection, where lengths and chunks tell
    // a complete body from a cut one.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Read records from the socket in large pieces rather than a header and
    // a body at a time: half the receives on a long body. Bytes read ahead
    // are seen through SSL_has_pending, not by the socket's poll.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
    ERR_clear_error();
    return ctx;
  }

  std::mutex lock_;
  SSL_CTX* ctx_ = nullptr;
  std::string key_;
};

ClientContext& Contexts() {
  // OpenSSL registers its own clean-up at exit when it starts; started first,
  // it runs after the cache has freed its context.
  static const bool started = OPENSSL_init_ssl(0, nullptr) == 1;
  (void)started;
  static ClientContext contexts;
  return contexts;
}

bool IsVerifyResultHostMismatch(long result) {
  return result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH ||
         result == X509_V_ERR_EMAIL_MISMATCH;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, -2 for no deadline.
int MsLeft(bool limited, Clock::time_point deadline) {
  if (!limited) return -2;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(0, left));
}

}  // namespace

// --- TNetIOHandlerTLS -----------------------------------------------------

TNetIOHandlerTLS::~TNetIOHandlerTLS() {
  Close();
  FreeSession();
}

int TNetIOHandlerTLS::Fd() { return SocketHandle()->Handle; }

void TNetIOHandlerTLS::FreeSession() {
  if (ssl_) SSL_free(ssl_);  // frees the socket BIO with it
  ssl_ = nullptr;
  wantWrite_ = failed_ = ended_ = inOperation_ = false;
  endError_ = 0;
  endMessage_.clear();
}

void TNetIOHandlerTLS::Open() {
  FreeSession();
  TNetIOHandlerSocket::Open();
}

void TNetIOHandlerTLS::Close() {
  // The close alert, if it fits into the socket now; a cut stream (a Stop in
  // the middle of a handshake or a write, a failed session) gets none.
  if (ssl_ && IsConnected() && !failed_ && !inOperation_ && SSL_is_init_finished(ssl_)) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  TNetIOHandlerSocket::Close();
}

std::string TNetIOHandlerTLS::Protocol() const { return ssl_ ? SSL_get_version(ssl_) : ""; }

std::string TNetIOHandlerTLS::Cipher() const {
  const char* name = ssl_ ? SSL_get_cipher_name(ssl_) : nullptr;
  return name && ssl_ && SSL_is_init_finished(ssl_) ? name : "";
}

void TNetIOHandlerTLS::ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                                 int timeoutMs, const TWaitSlice& between) {
  FreeSession();
  TNetIOHandlerSocket::ConnectTo(host, port, boundIP, boundPort, timeoutMs, between);
  host_ = host;
  const int fd = Fd();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

  SSL_CTX* ctx = Contexts().Acquire();
  ssl_ = SSL_new(ctx);
  SSL_CTX_free(ctx);  // the session holds its own reference
  BIO* bio = ssl_ ? BIO_new(SocketBioMethod()) : nullptr;
  if (!bio) throw ENetTLSError("TLS connection to " + host + " could not be set up: " + LastTLSReason());
  StateOf(bio)->fd = fd;
  SSL_set_bio(ssl_, bio, bio);

  // The name (or address) the certificate must be for; the name also goes
  // out as SNI, which does not carry IP addresses.
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool named;
  if (TNetStack::IsAddressLiteral(host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  } else {
    named = X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1 &&
            SSL_set_tlsext_host_name(ssl_, host.c_str()) == 1;
  }
  if (!named) throw ENetTLSError("TLS connection to " + host + " could not be set up: the host name is not valid");
  Handshake(timeoutMs, between);
}

void TNetIOHandlerTLS::Handshake(int timeoutMs, const TWaitSlice& between) {
  const bool limited = timeoutMs >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  inOperation_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{inOperation_};
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r == 1) return;
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      const int seen = WaitForSocket(Fd(), e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, MsLeft(limited, deadline), between);
      // Cut by a Disconnect meanwhile, as a connect is.
      if (seen == -1) throw ENetNotConnected();
      if (seen == 0) Stack().RaiseFromError(kWsaETimedOut);
      if (seen == -2) Stack().RaiseFromError(Stack().FetchLastError());
      continue;
    }
    failed_ = true;
    const long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
      const std::string reason = X509_verify_cert_error_string(verify);
      throw ENetCertificateError(
          std::string(IsVerifyResultHostMismatch(verify) ? "Certificate not valid for " : "Certificate not trusted for ") +
              host_ + ": " + reason,
          verify);
    }
    const SocketBioState* socket = StateOf(SSL_get_rbio(ssl_));
    if (e == SSL_ERROR_SYSCALL && socket->lastErrno != 0 && ERR_peek_last_error() == 0)
      Stack().RaiseFromError(MapErrno(socket->lastErrno));
    std::string reason = LastTLSReason();
    if (reason.empty()) reason = socket->eof ? "the server closed the connection" : "no reason given";
    throw ENetTLSError("TLS handshake with " + host_ + " failed: " + reason);
  }
}

int TNetIOHandlerTLS::ReadAttempt(void* buffer, int length, bool peek) {
  // A stream that has ended (or failed) answers every later read the same.
  if (ended_) {
    if (!endMessage_.empty()) throw ENetTLSError(endMessage_);
    if (endError_ == 0) return 0;
    Stack().LastError = endError_;
    return -1;
  }
  ERR_clear_error();
  const int n = peek ? SSL_peek(ssl_, buffer, length) : SSL_read(ssl_, buffer, length);
  if (n > 0) return n;
  const int e = SSL_get_error(ssl_, n);
  switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      wantWrite_ = e == SSL_ERROR_WANT_WRITE;
      Stack().LastError = 10035;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      // The close alert, or the socket's end (see SSL_OP_IGNORE_UNEXPECTED_EOF).
      ended_ = true;
      return 0;
    default: {
      failed_ = ended_ = true;
      const int socketErrno = StateOf(SSL_get_rbio(ssl_))->lastErrno;
      if (e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0) {
        // A failed socket call (a reset): its own error number, as on a
        // plain connection; with no errno the socket simply ended.
        endError_ = socketErrno != 0 ? MapErrno(socketErrno) : 0;
        if (endError_ == 0) return 0;
        Stack().LastError = endError_;
        return -1;
      }
      endMessage_ = "TLS error on the connection to " + host_ + ": " + LastTLSReason();
      throw ENetTLSError(endMessage_);
    }
  }
}

bool TNetIOHandlerTLS::WaitReadable(int timeoutMs, const TWaitSlice& between) {
  if (!IsConnected() || !ssl_) throw ENetConnClosedGracefully();
  // Decrypted bytes held by the session leave the socket quiet.
  if (ended_ || SSL_pending(ssl_) > 0) return true;
  char probe;
  // Raw bytes read ahead may hold a whole record while the socket is quiet.
  if (SSL_has_pending(ssl_) && (ReadAttempt(&probe, 1, true) != -1 || Stack().LastError != 10035)) return true;
  const bool limited = timeoutMs >= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  for (;;) {
    const int seen = WaitForSocket(Fd(), wantWrite_ ? POLLOUT : POLLIN, MsLeft(limited, deadline), between);
    if (seen == -2) Stack().FetchLastError();
    if (seen <= 0) return false;  // time out, poll failure, or cut by `between`
    // The socket has bytes; a whole record decides. A close or an error
    // counts as readable: the receive reports it.
    if (ReadAttempt(&probe, 1, true) != -1 || Stack().LastError != 10035) return true;
  }
}

int TNetIOHandlerTLS::ReadMore(void* buffer, int length) {
  const int n = ReadAttempt(buffer, length, false);
  if (n <= 0) return n;
  // One record is at most 16 KiB; take what else is already here, so that
  // a large receive costs one call of the caller, as on a plain socket.
  int total = n;
  char* const at = static_cast<char*>(buffer);
  while (total < length && !ended_ && SSL_has_pending(ssl_)) {
    int more = 0;
    try {
      more = ReadAttempt(at + total, length - total, false);
    } catch (const ENetTLSError&) {
      more = 0;  // kept in endMessage_: the next receive raises it
    }
    // WANT_READ: the rest of a record is still on its way. A close or an
    // error is answered by the next receive, after these bytes.
    if (more <= 0) break;
    total += more;
  }
  return total;
}

int TNetIOHandlerTLS::ReceiveNow(void* buffer, int length) {
  if (!IsConnected() || !ssl_) throw ENetClosedSocket();
  return ReadMore(buffer, length);
}

int TNetIOHandlerTLS::Receive(void* buffer, int length) {
  if (!IsConnected() || !ssl_) throw ENetClosedSocket();
  for (;;) {
    const int n = ReadMore(buffer, length);
    if (n != -1 || Stack().LastError != 10035) return n;
    // A blocking receive: wait, without slices, as recv() would.
    if (WaitForSocket(Fd(), wantWrite_ ? POLLOUT : POLLIN, -2) == -2) {
      Stack().FetchLastError();
      return -1;
    }
  }
}

int TNetIOHandlerTLS::Send(const void* buffer, int length, const TWaitSlice& between, int timeoutMs) {
  if (!IsConnected() || !ssl_) throw ENetClosedSocket();
  if (length <= 0) return 0;
  inOperation_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{inOperation_};
  for (;;) {
    ERR_clear_error();
    const int n = SSL_write(ssl_, buffer, length);
    if (n > 0) return n;
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
      const int seen = WaitForSocket(Fd(), e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeoutMs, between);
      if (seen == -1) return 0;  // `between` ended the wait
      if (seen == 0) {
        // The peer took nothing for the limit; the session cannot carry on.
        failed_ = true;
        Stack().LastError = 10035;
        return -1;
      }
      if (seen == -2) {
        Stack().FetchLastError();
        return -1;
      }
      continue;
    }
    failed_ = true;
    if (e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0) {
      const int socketErrno = StateOf(SSL_get_wbio(ssl_))->lastErrno;
      Stack().LastError = MapErrno(socketErrno != 0 ? socketErrno : EPIPE);
      return -1;
    }
    if (e == SSL_ERROR_ZERO_RETURN) {
      Stack().LastError = kWsaEShutdown;
      return -1;
    }
    throw ENetTLSError("TLS error on the connection to " + host_ + ": " + LastTLSReason());
  }
}

}  // namespace larkvale::http
