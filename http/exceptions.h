// The HTTP client's failures: one family rooted at `ENetException`, each with
// the fixed English message the user sees in the error report.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "http/textutil.h"

namespace larkvale::http {

class ENetException : public std::runtime_error {
 public:
  explicit ENetException(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// Base of the close signal only.
class ENetSilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
 public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

class ENetTCPConnectionError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetNotConnected : public ENetTCPConnectionError {
 public:
  ENetNotConnected() : ENetTCPConnectionError("Not Connected") {}
};

class ENetNotEnoughDataInBuffer : public ENetTCPConnectionError {
 public:
  ENetNotEnoughDataInBuffer() : ENetTCPConnectionError("Not enough data in buffer.") {}
};

class ENetNoDataToRead : public ENetTCPConnectionError {
 public:
  ENetNoDataToRead() : ENetTCPConnectionError("No data to read.") {}
};

class ENetIOHandlerPropInvalid : public ENetTCPConnectionError {
 public:
  ENetIOHandlerPropInvalid() : ENetTCPConnectionError("IOHandler value is not valid") {}
};

class ENetReadTimeout : public ENetException {
 public:
  ENetReadTimeout() : ENetException("Read Timeout") {}

 protected:
  explicit ENetReadTimeout(const std::string& message) : ENetException(message) {}
};

// No byte arrived for the connection's idle limit: "No data from <host> for
// <n> s.".
class ENetIdleTimeout : public ENetReadTimeout {
 public:
  explicit ENetIdleTimeout(const std::string& message) : ENetReadTimeout(message) {}
};

// A reply head that was not complete within the client's head limit, however
// many bytes of it dripped in meanwhile.
class ENetHeadTimeout : public ENetReadTimeout {
 public:
  explicit ENetHeadTimeout(const std::string& message) : ENetReadTimeout(message) {}
};

// A send that the peer took no byte of for the connection's idle limit
// (a peer that stopped reading): "Could not send to <host> for <n> s.". Of
// the read time-outs' family, so that it is the same passing fault.
class ENetSendTimeout : public ENetReadTimeout {
 public:
  explicit ENetSendTimeout(const std::string& message) : ENetReadTimeout(message) {}
};

class ENetReadLnMaxLineLengthExceeded : public ENetException {
 public:
  ENetReadLnMaxLineLengthExceeded() : ENetException("Max line length exceeded.") {}
};

class ENetAlreadyConnected : public ENetException {
 public:
  ENetAlreadyConnected() : ENetException("Already connected.") {}
};

class ENetClosedSocket : public ENetException {
 public:
  ENetClosedSocket() : ENetException("Disconnected.") {}
};

// A failed socket call; the message is "Socket Error # <n>\r\n<text>".
class ENetSocketError : public ENetException {
 public:
  ENetSocketError(int code, const std::string& message) : ENetException(message), SocketErrorCode(code) {}
  int SocketErrorCode;
};

class ENetInvalidSocket : public ENetException {
 public:
  ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ENetSocketHandleError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetCouldNotBindSocket : public ENetSocketHandleError {
 public:
  ENetCouldNotBindSocket()
      : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class ENetStackError : public ENetException {
 public:
  using ENetException::ENetException;
};

// Kept for completeness: POSIX sockets need no start-up, so nothing raises it.
class ENetStackInitializationFailed : public ENetStackError {
 public:
  ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};

class ENetProtocolReplyError : public ENetException {
 public:
  ENetProtocolReplyError(const std::string& message, int replyCode)
      : ENetException(message), ReplyCode(replyCode) {}
  int ReplyCode;
};

// A reply that is neither 2xx nor a followed redirect; the message is the
// status line as the server sent it, its control bytes escaped.
class ENetHTTPProtocolException : public ENetProtocolReplyError {
 public:
  ENetHTTPProtocolException(const std::string& statusLine, int replyCode, std::string replyBody)
      : ENetProtocolReplyError(statusLine, replyCode), ReplyBody(std::move(replyBody)) {}
  std::string ReplyBody;
};

class ENetURIException : public ENetException {
 public:
  using ENetException::ENetException;
};

// A body that ended before all of it arrived: a counted body cut short, or a
// chunked body without its last chunk. Not silent: the bytes that did arrive
// are in the sink, but the transfer is not complete.
class ENetBodyIncomplete : public ENetException {
 public:
  using ENetException::ENetException;
};

// A reply whose framing cannot be read: a chunk size that is not a
// hexadecimal number or does not fit one, a Content-Length that is not a
// single non-negative number, a head cut off by the server's close. Where
// the body ends is then unknown, so the body is never taken as whole.
class ENetMalformedReply : public ENetException {
 public:
  using ENetException::ENetException;
};

// A body larger than its reader accepts (a page that decompresses past its
// limit, for one).
class ENetBodyTooLarge : public ENetException {
 public:
  using ENetException::ENetException;
};

// A reply head (status line and header lines) larger than the client reads.
class ENetReplyHeadTooLarge : public ENetException {
 public:
  ENetReplyHeadTooLarge() : ENetException("The reply head is larger than 8 MiB.") {}
};

// A compressed body whose data is corrupt or ends early.
class ENetContentDecodingError : public ENetException {
 public:
  using ENetException::ENetException;
};

// A body in a content coding the client cannot undo ("br", "compress", a
// name it does not know): raised before any byte of the body reaches the
// sink. `Coding` is the coding as the server named it.
class ENetUnsupportedContentCoding : public ENetContentDecodingError {
 public:
  ENetUnsupportedContentCoding(const std::string& message, std::string coding)
      : ENetContentDecodingError(message), Coding(std::move(coding)) {}
  std::string Coding;
};

// A proxy that could not be reached, refused a tunnel, or cannot be used;
// the message names it ("Proxy 127.0.0.1:3128 refused the connection: 403
// Forbidden").
class ENetProxyError : public ENetException {
 public:
  using ENetException::ENetException;
};

// A chain of redirects longer than the client allows.
class ENetTooManyRedirects : public ENetException {
 public:
  explicit ENetTooManyRedirects(int count)
      : ENetException("Too many redirects: gave up after " + std::to_string(count) + "."), Count(count) {}
  int Count;
};

// Text that would change the request's lines if it were sent: a line break
// or a NUL in an address, a redirect target or a header value.
class ENetUnsafeRequestText : public ENetException {
 public:
  using ENetException::ENetException;
};

// A scheme other than http or https on a default port; the message is empty.
class ENetUnknownProtocol : public ENetException {
 public:
  ENetUnknownProtocol() : ENetException("") {}
};

class ENetFailedToRetreiveTimeZoneInfo : public ENetException {
 public:
  ENetFailedToRetreiveTimeZoneInfo()
      : ENetException("Failed attempting to retrieve time zone information.") {}
};

// A second request started on a client whose transfer is still running,
// typically from a handler nested in its own `OnWork`.
class ENetClientBusy : public ENetException {
 public:
  ENetClientBusy()
      : ENetException("The HTTP client is busy with another request; only Disconnect may be called now.") {}
};

// A TLS connection that could not be made or kept: a failed handshake, a
// protocol error on an established connection. The message names the host
// and says why.
class ENetTLSError : public ENetException {
 public:
  using ENetException::ENetException;
};

// A server certificate that failed verification; never bypassed.
// `VerifyResult` is the verifier's code (X509_V_ERR_...).
class ENetCertificateError : public ENetTLSError {
 public:
  ENetCertificateError(const std::string& message, long verifyResult)
      : ENetTLSError(message), VerifyResult(verifyResult) {}
  long VerifyResult;
};

// Text that should have been a whole number ("'%s' is not a valid integer
// value"), the conversion error of port texts, Content-Range bounds and
// cookie port lists. Not part of the ENetException family. The text may
// come from the network: its control bytes are shown escaped.
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& text)
      : std::runtime_error("'" + EscapedText(text) + "' is not a valid integer value") {}
};

}  // namespace larkvale::http
