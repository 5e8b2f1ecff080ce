// The HTTP/1.0 client: one GET transaction at a time, synchronously on the
// caller's thread, with redirects, cookies and the body into the caller's
// sink.
//
// Re-entrancy: a client's events run inside `Get`, and the window's `OnWork`
// handlers pump messages, so a nested handler may reach this client while
// its transfer runs. Only `Disconnect` (the supported abort: `Get` then
// returns normally with the bytes received so far) and reading properties
// are allowed then. A second `Get` on a busy client is refused with
// `ENetClientBusy` before it touches anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/connection.h"
#include "http/cookies.h"
#include "http/headerlist.h"
#include "http/uri.h"

namespace larkvale::http {

enum TNetHTTPProtocolVersion { pv1_0, pv1_1 };
enum TNetHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmDelete, hmConnect };
enum TNetHTTPOption : unsigned { hoInProcessAuth = 1, hoKeepOrigProtocol = 2, hoForceEncodeParams = 4 };

struct TNetEntityHeaderInfo {
  TNetEntityHeaderInfo() { HeaderLines.WrapWidth = 1024; }
  std::string CacheControl;
  TNetHeaderList HeaderLines;
  std::string Connection, ContentEncoding, ContentLanguage;
  // -1 = none. 64-bit, so that bodies beyond 2 GiB keep their length.
  std::int64_t ContentLength = -1;
  // 64-bit, so that a resumed download past 4 GiB asks for the right bytes.
  std::int64_t ContentRangeEnd = 0, ContentRangeStart = 0;
  std::string ContentType = "text/html";
  std::string ContentVersion;
  TNetHeaderList CustomHeaders;
  double Date = 0, Expires = 0, LastModified = 0;
  std::string Pragma;
  bool LengthGiven() const { return ContentLength >= 0; }
  void Clear();
};

struct TNetRequestHeaderInfo : TNetEntityHeaderInfo {
  TNetRequestHeaderInfo() { Clear(); }
  std::string Accept, AcceptCharSet, AcceptEncoding, AcceptLanguage, From, Password, Referer, UserAgent, Username,
      Host;
  bool BasicAuthentication = false;
  std::string ProxyConnection;
  void Clear();
};

struct TNetHTTPRequest : TNetRequestHeaderInfo {
  std::string Target;
  TNetHTTPMethod Verb = hmGet;
  TNetStream* Body = nullptr;
};

struct TNetResponseHeaderInfo : TNetEntityHeaderInfo {
  std::string Location, Server, ProxyConnection;
  // The whole length a "Content-Range" names after "/"; -1 when the reply
  // has none or gives "*".
  std::int64_t ContentRangeTotal = -1;
  TNetHeaderList ProxyAuthenticate, WWWAuthenticate;
};

struct TNetHTTPResponse : TNetResponseHeaderInfo {
  std::string StatusLine;
  TNetStream* BodySink = nullptr;
  TNetHTTPProtocolVersion ReplyVersion = pv1_0;
  // Read from `StatusLine` each time: the second word as a number, or -1.
  int StatusCode() const;
};

class TNetCustomHTTP : public TNetTCPClient {
 public:
  // Largest reply head (status line and header lines) read before the reply
  // is refused with "The reply head is larger than 8 MiB.".
  static constexpr std::size_t kMaxReplyHeadBytes = 8 * 1024 * 1024;
  // Most bytes of a reply's own text (a proxy's status line) quoted in a
  // message.
  static constexpr std::size_t kMaxShownReplyBytes = 80;
  // "100 Continue" heads accepted in a row before the reply is refused.
  static constexpr int kMaxContinueHeads = 32;
  // The part of an error page kept in `ENetHTTPProtocolException::ReplyBody`.
  static constexpr std::size_t kMaxErrorPageBytes = 64 * 1024;
  using TNetHTTPOnRedirectEvent =
      std::function<void(TNetCustomHTTP* Sender, std::string& dest, int& NumRedirect, bool& Handled,
                         TNetHTTPMethod& VMethod)>;

  TNetCustomHTTP();
  ~TNetCustomHTTP() override;

  TNetHTTPProtocolVersion ProtocolVersion = pv1_1;
  bool AllowCookies = true;
  bool HandleRedirects = false;
  int RedirectMaximum = 15;
  unsigned HTTPOptions = hoForceEncodeParams;
  // Not owned when assigned by the caller; created (and owned) on the first
  // reply when none is set and `AllowCookies` holds.
  TNetCookieManager* CookieManager = nullptr;
  TNetHTTPOnRedirectEvent OnRedirect;
  // A reply head must be complete within this many ms (ENetHeadTimeout);
  // 0 = no limit. The idle limit (`IdleLimitMs`) bounds each silence.
  int HeadLimitMs = 0;
  // Reply heads read so far: tells a new reply from the next chunk of the
  // same one in the work events.
  std::uint64_t ReplyCount = 0;
  // A successful body sent with Content-Encoding gzip or deflate (also
  // stacked, "gzip, gzip") reaches the sink decoded (work events still count
  // the bytes as they came); any other coding fails the call with
  // ENetUnsupportedContentCoding before a byte reaches the sink. Asking for
  // compression is up to the caller (Request.AcceptEncoding).
  bool DecodeContent = false;
  // Most bytes a decoded body may grow to (-1: no limit); past it the call
  // fails with ENetBodyTooLarge.
  std::int64_t MaxDecodedBodyBytes = -1;

  TNetHTTPRequest Request;
  TNetHTTPResponse Response;
  TNetHTTPResponse& Reply() { return Response; }
  TNetURI CurrentUrl;
  int RedirectsSoFar = 0;
  bool Busy() const { return busy_; }

  void SetHost(const std::string& host) override;
  void SetPort(int port) override;

  // The body as bytes.
  std::string Get(const std::string& address);
  // The body into `sink` from its current position (reset there on each
  // redirect; cut at the end).
  void Get(const std::string& address, TNetStream& sink);

  // Keep-alive decision for the last reply (also sets `Response.ReplyVersion`);
  // never after a reply that had both a Transfer-Encoding and a
  // Content-Length.
  bool Persistent();
  // During a call (from a handler) this also ends the call: no further
  // request is made, and `Get` returns normally with what arrived.
  void Disconnect() override;

 protected:
  std::shared_ptr<TNetIOHandler> NewIOHandler() override;

 private:
  enum Outcome { Undecided, FollowRedirect, Finished };
  void PrepareRequest();
  void ChooseConnection();
  void OpenConnection();
  void SendRequest();
  void ReadReplyHead();
  void ProcessReplyHeaders();
  void StoreCookies();
  Outcome ExamineReply();
  void ReadBody(TNetStream* sink);
  // ReadBody for the final reply: decoded when `DecodeContent` asks for it.
  void ReadFinalBody(TNetStream* sink);
  [[noreturn]] void RaiseProtocolError();
  // True when the body was read to its end.
  bool DrainBody();
  // Closes without counting as a Stop.
  void CloseConnection();
  void BuildRequestHeaders();

  std::unique_ptr<TNetCookieManager> ownedCookieManager_;
  bool busy_ = false;
  // A Disconnect came from outside during the running call.
  bool stopRequested_ = false;
  // The last reply was read to its end, so the connection may carry another.
  bool replyComplete_ = false;
  // The current address is https: connections are made with TLS.
  bool secure_ = false;
  // The server closed the connection in the middle of the last reply head.
  bool headCut_ = false;
  // The last reply's body is chunked (Transfer-Encoding), whatever its
  // Content-Length says.
  bool chunked_ = false;
  // The last reply named both a Transfer-Encoding and a Content-Length: its
  // framing is suspect (request smuggling, response splitting), so the
  // connection carries nothing after it.
  bool framingConflict_ = false;
  // The proxy of the current connection; with `forward_` (http through an
  // HTTP proxy) requests go to it in absolute form, otherwise it tunnels.
  TNetProxy proxy_;
  bool forward_ = false;
};

class TNetHTTP : public TNetCustomHTTP {};

// The configuration both of the window's clients carry: HTTP/1.0, redirects
// followed (at most 15 requests), cookies, 1024-byte receives, the browser
// identification of the original program, and the silence limits (no byte
// for kDefaultLimitSeconds, a head not complete within as long).
inline constexpr int kDefaultLimitSeconds = 60;
void ApplyWindowConfiguration(TNetHTTP& client);

// Resolves `address` against the client's current URL (a port given earlier
// stays in force for the same host; "80"/"443" defaults) and fills the
// request's `Target` and `Host`. Raises ENetUnknownProtocol for other schemes
// on a default port, ENetUnsafeRequestText for a line break or NUL in the
// address, ENetURIException for a port outside 1-65535 or a malformed IPv6
// literal. An IPv6 host goes into `Host` in brackets ("[::1]:8080").
void ResolveRequest(TNetURI& current, TNetHTTPRequest& request, const std::string& address);

}  // namespace larkvale::http
