// The TLS transport of https connections: the socket transport with
// OpenSSL's TLS on top. The socket is connected as for plain http (same
// statuses, same sliced waits), then switched to non-blocking and the
// handshake, reads and writes wait for it in the same poll() slices: a
// Disconnect from the wait hook ends any of them at once.
//
// The server's certificate is checked against the system's trust store
// (SSL_CERT_FILE and SSL_CERT_DIR are honoured) and against the host name
// (or IP address) the connection was asked for; TLS 1.2 is the least
// accepted. There is no way to turn verification off.
#pragma once

#include <string>

#include "http/connection.h"

struct ssl_st;

namespace larkvale::http {

class TNetIOHandlerTLS : public TNetIOHandlerSocket {
 public:
  TNetIOHandlerTLS() = default;
  ~TNetIOHandlerTLS() override;

  // Sends the close alert when it can without waiting, then closes the
  // socket. The session itself is freed by the next `Open` (or with the
  // transport), so that a Close from inside a wait leaves nothing dangling.
  void Close() override;
  void Open() override;
  // TCP connect, then the handshake, bounded by `timeoutMs` as a whole
  // (-2: no bound); it raises `ENetCertificateError` for a certificate that
  // fails, `ENetTLSError` for any other failed handshake.
  void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort, int timeoutMs,
                 const TWaitSlice& between = nullptr) override;
  // True when a receive would not wait: decrypted bytes are held, or a whole
  // record (or the end of the stream) has arrived. A record that is only
  // half there keeps the wait going.
  bool WaitReadable(int timeoutMs, const TWaitSlice& between = nullptr) override;
  int Receive(void* buffer, int length) override;
  int ReceiveNow(void* buffer, int length) override;
  int Send(const void* buffer, int length, const TWaitSlice& between = nullptr, int timeoutMs = -2) override;

  // The negotiated protocol and cipher ("TLSv1.3", "TLS_AES_256_GCM_SHA384"),
  // empty before a handshake.
  std::string Protocol() const;
  std::string Cipher() const;

 private:
  // One read attempt that never waits: > 0 bytes, 0 the stream has ended,
  // -1 a failure (the stack's `LastError` set; 10035 = nothing there yet).
  // With `peek` the bytes stay to be read.
  int ReadAttempt(void* buffer, int length, bool peek);
  // ReadAttempt, then whatever further records are already read in.
  int ReadMore(void* buffer, int length);
  void Handshake(int timeoutMs, const TWaitSlice& between);
  void FreeSession();
  int Fd();

  ssl_st* ssl_ = nullptr;
  std::string host_;
  // The last read or write wanted the socket writable (not readable).
  bool wantWrite_ = false;
  // A fatal error happened: no further call may go to the session.
  bool failed_ = false;
  // What ended the stream, kept for the reads after it: 0 the stream has
  // ended, otherwise the error number of a failed read.
  bool ended_ = false;
  int endError_ = 0;
  std::string endMessage_;  // a TLS failure, raised again by later reads
  // Inside a handshake or a write that waits: a Close from the wait hook
  // then cuts the stream without the close alert.
  bool inOperation_ = false;
};

}  // namespace larkvale::http
