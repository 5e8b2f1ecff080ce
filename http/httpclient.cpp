#include "http/httpclient.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "http/decoding.h"
#include "http/exceptions.h"
#include "http/textutil.h"
#include "http/tlshandler.h"

namespace larkvale::http {

namespace {
const char* VerbText(TNetHTTPMethod m) {
  switch (m) {
    case hmHead: return "HEAD";
    case hmGet: return "GET";
    case hmPost: return "POST";
    case hmOptions: return "OPTIONS";
    case hmTrace: return "TRACE";
    case hmPut: return "PUT";
    case hmDelete: return "DELETE";
    case hmConnect: return "CONNECT";
  }
  return "GET";
}

// The size at the start of a chunk line: hexadecimal digits, then optional
// blanks and extensions after ";" (which are skipped). Anything else, or a
// size that does not fit 63 bits, is "Invalid chunk size": reading it as 0
// would end the body there and pass what came so far off as all of it.
std::int64_t ChunkSize(const std::string& line) {
  std::size_t end = line.find(';');
  if (end == std::string::npos) end = line.size();
  std::size_t first = 0;
  while (first < end && (line[first] == ' ' || line[first] == '\t')) ++first;
  while (end > first && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  if (first == end) throw ENetMalformedReply("Invalid chunk size");
  std::int64_t size = 0;
  for (std::size_t i = first; i < end; ++i) {
    const char c = line[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      throw ENetMalformedReply("Invalid chunk size");
    if (size > (INT64_MAX >> 4)) throw ENetMalformedReply("Invalid chunk size");
    size = size * 16 + digit;
  }
  return size;
}

// The body's length from every "Content-Length" of a head: -1 when there is
// none. Each must be digits only, and all of them (also a comma-separated
// list) the same number; otherwise the body's end is unknown.
std::int64_t ContentLengthOf(const TNetHeaderList& headers) {
  std::vector<std::string> values;
  headers.CollectValues("Content-Length", &values);
  std::int64_t length = -1;
  for (const std::string& value : values) {
    std::string rest = value;
    do {
      const std::string item = Trim(SplitOff(rest, ","));
      std::int64_t n = 0;
      bool valid = !item.empty();
      for (const char c : item) {
        if (c < '0' || c > '9' || n > (INT64_MAX - (c - '0')) / 10) {
          valid = false;
          break;
        }
        n = n * 10 + (c - '0');
      }
      if (!valid) throw ENetMalformedReply("Invalid Content-Length \"" + EscapedText(Trim(value), 80) + "\".");
      if (length >= 0 && n != length)
        throw ENetMalformedReply("Conflicting Content-Length values " + std::to_string(length) + " and " +
                                 std::to_string(n) + ".");
      length = n;
    } while (!rest.empty());
  }
  return length;
}

// The sink of a body that is only drained: counts, keeps nothing.
class DiscardSink : public TNetStream {
 public:
  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void*, std::size_t n) override {
    position_ += static_cast<std::int64_t>(n);
    size_ = std::max(size_, position_);
  }
  void Seek(std::int64_t position) override { position_ = position; }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return size_; }
  void SetSize(std::int64_t size) override { size_ = size; }

 private:
  std::int64_t position_ = 0, size_ = 0;
};

// The sink of an error page: keeps its first `limit` bytes and raises `Full`
// once more arrive, which ends the read there.
class PrefixSink : public TNetStream {
 public:
  struct Full {};
  explicit PrefixSink(std::size_t limit) : limit_(limit) {}
  std::size_t Read(void*, std::size_t) override { return 0; }
  void Write(const void* buffer, std::size_t n) override {
    const std::size_t at = static_cast<std::size_t>(position_);
    if (at < limit_) {
      const std::size_t k = std::min(n, limit_ - at);
      if (kept_.size() < at + k) kept_.resize(at + k);
      kept_.replace(at, k, static_cast<const char*>(buffer), k);
    }
    position_ += static_cast<std::int64_t>(n);
    size_ = std::max(size_, position_);
    if (static_cast<std::size_t>(position_) > limit_) throw Full{};
  }
  void Seek(std::int64_t position) override { position_ = position; }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return size_; }
  void SetSize(std::int64_t size) override { size_ = size; }
  std::string Bytes() const { return kept_.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(size_, static_cast<std::int64_t>(kept_.size())))); }

 private:
  std::size_t limit_;
  std::string kept_;
  std::int64_t position_ = 0, size_ = 0;
};
// A "Content-Range" bound, 64-bit; text that is not a number raises the
// conversion error.
std::int64_t RangeBound(const std::string& text) {
  if (auto v = ParseInteger(Trim(text))) return *v;
  throw EConvertError(text);
}
}  // namespace

// --- records -------------------------------------------------------------

void TNetEntityHeaderInfo::Clear() {
  Connection.clear();
  ContentVersion.clear();
  ContentEncoding.clear();
  ContentLanguage.clear();
  ContentType = "text/html";
  ContentLength = -1;
  ContentRangeStart = ContentRangeEnd = 0;
  Date = Expires = LastModified = 0;
  HeaderLines.Clear();
}

void TNetRequestHeaderInfo::Clear() {
  Accept = "text/html, */*";
  AcceptCharSet.clear();
  UserAgent = "Mozilla/3.0 (compatible; Larkvale_HD)";
  BasicAuthentication = false;
  TNetEntityHeaderInfo::Clear();
}

int TNetHTTPResponse::StatusCode() const {
  std::size_t space = StatusLine.find(' ');
  if (space == std::string::npos) return -1;
  std::string rest = Trim(StatusLine.substr(space + 1));
  std::string code = SplitOff(rest, " ");
  auto v = ParseInteger(code);
  return v && *v >= INT32_MIN && *v <= INT32_MAX ? static_cast<int>(*v) : -1;
}

void ApplyWindowConfiguration(TNetHTTP& c) {
  c.ProtocolVersion = pv1_0;
  c.AllowCookies = true;
  c.HandleRedirects = true;
  c.RedirectMaximum = 15;
  c.ReadTimeout = 0;
  c.IdleLimitMs = kDefaultLimitSeconds * 1000;
  c.HeadLimitMs = kDefaultLimitSeconds * 1000;
  c.RecvBufferSize = 1024;
  c.MaxLineAction = maException;
  c.MaxLineLength = 16384;
  c.Request.ContentType = "text/html";
  c.Request.Accept = "text/html, */*";
  c.Request.UserAgent = "Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.8.1.6) Gecko/20070725 Firefox/2.0.0.6";
  c.Request.BasicAuthentication = false;
  c.Request.ContentLength = 0;
  c.Request.ContentRangeStart = c.Request.ContentRangeEnd = 0;
  // No compression is asked for by default; a body compressed anyway is
  // written as what it means.
  c.DecodeContent = true;
}

void ResolveRequest(TNetURI& c, TNetHTTPRequest& request, const std::string& address) {
  // The target and the Host header go onto the wire as they stand: a line
  // break would end the request line early and let the address write lines
  // of its own.
  if (address.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw ENetUnsafeRequestText("The address contains a line break or a NUL character and cannot be requested.");
  TNetURI n(address);
  // A bracket left over (no closing one) or a colon in a name that is no
  // IPv6 address would reach the resolver as nonsense.
  if (n.Host.find_first_of("[]") != std::string::npos ||
      (TNetURI::IsBracketHost(n.Host) && !TNetStack::IsIPv6Address(n.Host)))
    throw ENetURIException("Invalid IPv6 address: " + EscapedText(n.Host, 80));
  // A port named for one host says nothing about another.
  const bool otherHost = !n.Host.empty() && !SameText(n.Host, c.Host);
  if (!n.User.empty()) {
    request.Username = n.User;
    request.Password = n.Password;
  }
  c.User = request.Username;
  c.Password = request.Password;
  c.Directory = TNetURI::MergePath(c.Directory, n.Directory);
  c.Resource = n.Resource;
  c.Query = n.Query;
  if (!n.Host.empty()) c.Host = n.Host;
  c.Scheme = n.Scheme.empty() ? "http" : n.Scheme;
  if (!n.Port.empty()) {
    c.Port = n.Port;
  } else {
    // A port given earlier stays in force for the same host; default ports
    // follow the scheme.
    std::int64_t port = otherHost ? 0 : StrToInt64Def(c.Port, 0);
    if (port == 0 || port == 80 || port == 443) {
      if (SameText(c.Scheme, "http"))
        c.Port = "80";
      else if (SameText(c.Scheme, "https"))
        c.Port = "443";
      else
        throw ENetUnknownProtocol();
    }
  }
  // A number that does not fit a port would be cut to 16 bits by the socket
  // while the Host header still names it.
  // Digits too many for any number are out of range too, with the same words.
  const std::string portText = Trim(c.Port);
  const auto port = ParseInteger(portText);
  const bool digitsOnly = !portText.empty() && portText.find_first_not_of("0123456789") == std::string::npos;
  if ((port && (*port < 1 || *port > 65535)) || (!port && digitsOnly))
    throw ENetURIException("Port " + EscapedText(portText, 40) + " is out of range (1-65535).");
  request.Target = c.Directory + c.Resource + c.Query;
  const std::string host = TNetURI::HostForHeader(c.Host);
  request.Host = c.Port == "80" ? host : host + ":" + c.Port;
}

// --- client --------------------------------------------------------------

TNetCustomHTTP::TNetCustomHTTP() {
  port_ = 80;
  CurrentUrl.Port = "80";
}

TNetCustomHTTP::~TNetCustomHTTP() = default;

void TNetCustomHTTP::SetHost(const std::string& host) {
  TNetTCPClient::SetHost(host);
  CurrentUrl.Host = host;
}

void TNetCustomHTTP::SetPort(int port) {
  TNetTCPClient::SetPort(port);
  CurrentUrl.Port = std::to_string(port);
}

std::string TNetCustomHTTP::Get(const std::string& address) {
  TNetMemoryStream sink;
  Get(address, sink);
  return sink.Bytes();
}

void TNetCustomHTTP::Disconnect() {
  // From a handler during a call this is a Stop: the call ends quietly with
  // what arrived and makes no further request.
  if (busy_) stopRequested_ = true;
  TNetTCPClient::Disconnect();
}

void TNetCustomHTTP::Get(const std::string& address, TNetStream& sink) {
  if (busy_) throw ENetClientBusy();
  busy_ = true;
  stopRequested_ = false;
  struct Release {
    bool& flag;
    ~Release() { flag = false; }
  } release{busy_};

  const std::int64_t start = sink.Position();
  RedirectsSoFar = 0;
  Request.Target = address;
  Request.Verb = hmGet;
  Request.Body = nullptr;
  Response.BodySink = &sink;
  try {
    for (;;) {
      ++RedirectsSoFar;
      PrepareRequest();
      ChooseConnection();
      OpenConnection();
      SendRequest();
      // A 100 Continue is followed by the real reply head; a server that
      // sends nothing else would keep the call here for ever.
      for (int continues = 0;; ++continues) {
        ReadReplyHead();
        StoreCookies();
        if (Response.StatusCode() != 100) break;
        if (continues == kMaxContinueHeads)
          throw ENetHTTPProtocolException("More than " + std::to_string(kMaxContinueHeads) +
                                              " \"100 Continue\" replies in a row.",
                                          100, "");
      }
      Outcome outcome = ExamineReply();
      if (outcome == FollowRedirect) {
        // Only the final reply's body stays in the sink.
        sink.SetSize(start);
        sink.Seek(start);
        // A Stop while the redirect's body was drained ends the call without
        // another request.
        if (stopRequested_) break;
        continue;
      }
      if (outcome == Finished) break;
      // The body of a 2xx reply cannot follow a head the server cut off.
      if (headCut_) throw ENetMalformedReply("Connection closed before the end of the reply head.");
      throw ENetException("Undefined situation");
    }
  } catch (...) {
    // A failed call may have left part of a reply unread: the connection
    // cannot carry another request.
    CloseConnection();
    RedirectsSoFar = 0;
    throw;
  }
  if (!Persistent() || !replyComplete_) CloseConnection();
  RedirectsSoFar = 0;
}

void TNetCustomHTTP::CloseConnection() { TNetTCPClient::Disconnect(); }

void TNetCustomHTTP::PrepareRequest() {
  ResolveRequest(CurrentUrl, Request, Request.Target);
  if ((Request.Verb == hmOptions || Request.Verb == hmTrace || Request.Verb == hmPut || Request.Verb == hmDelete) &&
      ProtocolVersion != pv1_1)
    throw ENetException("This request method is supported in HTTP 1.1");
  Request.ContentLength = (Request.Verb == hmPost || Request.Verb == hmPut) && Request.Body ? Request.Body->Size() : -1;
}

void TNetCustomHTTP::ChooseConnection() {
  const int port = StrToInt(CurrentUrl.Port);
  // The scheme picks the transport: TLS for https, plain TCP for http.
  const bool secure = SameText(CurrentUrl.Scheme, "HTTPS");
  const bool known = secure || SameText(CurrentUrl.Scheme, "HTTP");
  const TNetProxy proxy = known ? ProxyFor(ProxySetting(), CurrentUrl.Scheme, CurrentUrl.Host, port) : TNetProxy{};
  const bool forward = proxy.Kind == TNetProxy::Http && !secure;
  const std::string connectHost = forward ? proxy.Host : CurrentUrl.Host;
  const int connectPort = forward ? proxy.Port : port;
  if (!SameText(Host(), connectHost) || Port() != connectPort || secure != secure_ || !(proxy == proxy_)) {
    if (IsConnected()) CloseConnection();
    if (forward) {
      // The connection is the proxy's; the address stays the origin's.
      TNetTCPClient::SetHost(connectHost);
      TNetTCPClient::SetPort(connectPort);
    } else {
      SetHost(CurrentUrl.Host);
      SetPort(port);
    }
  }
  proxy_ = proxy;
  forward_ = forward;
  Tunnel = forward ? TNetProxy{} : proxy;
  // Any other scheme (with a port of its own) has no transport here; refuse
  // before any resolution.
  if (!known) throw ENetIOHandlerPropInvalid();
  secure_ = secure;
  // A transport left attached by a failed connect may be of the other kind.
  if (ownsIOHandler_ && io_ && !io_->IsConnected() &&
      secure != (dynamic_cast<TNetIOHandlerTLS*>(io_.get()) != nullptr)) {
    io_.reset();
    ownsIOHandler_ = false;
  }
}

std::shared_ptr<TNetIOHandler> TNetCustomHTTP::NewIOHandler() {
  if (secure_) return std::make_shared<TNetIOHandlerTLS>();
  return TNetTCPClient::NewIOHandler();
}

void TNetCustomHTTP::OpenConnection() {
  if (ProtocolVersion == pv1_0 && Request.Connection.empty()) Request.Connection = "keep-alive";
  // Only a reply read to its end leaves the connection ready for the next.
  if (!Persistent() || !replyComplete_) CloseConnection();
  // Notices a kept-alive connection that the server has closed meanwhile.
  PollForClose(false);
  if (!IsConnected()) {
    try {
      Connect(ReadTimeout);
    } catch (const ENetSocketError& e) {
      if (!forward_) throw;
      throw ENetProxyError("Proxy " + proxy_.Label() + " could not be reached: " +
                           TNetStack::SocketErrorText(e.SocketErrorCode));
    }
  }
}

void TNetCustomHTTP::BuildRequestHeaders() {
  TNetHeaderList& h = Request.HeaderLines;
  h.Clear();
  auto set = [&](const char* name, const std::string& value) {
    if (!value.empty()) h.SetHeader(name, value);
  };
  set("Connection", Request.Connection);
  set("Content-Version", Request.ContentVersion);
  set("Content-Encoding", Request.ContentEncoding);
  set("Content-Language", Request.ContentLanguage);
  set("Content-Type", Request.ContentType);
  if (Request.ContentLength >= 0) set("Content-Length", std::to_string(Request.ContentLength));
  set("Cache-control", Request.CacheControl);
  if (Request.Date > 0) set("Date", FormatInternetDate(Request.Date));
  if (Request.Expires > 0) set("Expires", FormatInternetDate(Request.Expires));
  set("Pragma", Request.Pragma);
  for (const auto& line : Request.CustomHeaders.Lines) h.Add(line);
  set("Proxy-Connection", Request.ProxyConnection);
  // The proxy's credentials go to the proxy alone: in a tunnel they were
  // part of the CONNECT, and an HTTP proxy removes this header.
  if (forward_ && !proxy_.User.empty()) set("Proxy-Authorization", BasicCredentials(proxy_.User, proxy_.Password));
  set("Host", Request.Host);
  set("Accept", Request.Accept);
  set("Accept-Charset", Request.AcceptCharSet);
  set("Accept-Encoding", Request.AcceptEncoding);
  set("Accept-Language", Request.AcceptLanguage);
  set("From", Request.From);
  set("Referer", Request.Referer);
  set("User-Agent", Request.UserAgent);
  if (Request.LastModified > 0) set("If-Modified-Since", FormatInternetDate(Request.LastModified));
  if (Request.ContentRangeStart != 0 || Request.ContentRangeEnd != 0) {
    std::string range = "bytes=" + std::to_string(Request.ContentRangeStart) + "-";
    if (Request.ContentRangeEnd != 0) range += std::to_string(Request.ContentRangeEnd);
    set("Range", range);
  }
  // No credentials are configured, so no Authorization lines. Cookies
  // marked secure go out only over https.
  if (CookieManager) set("Cookie", CookieManager->HeaderFor(CurrentUrl, secure_));
}

void TNetCustomHTTP::SendRequest() {
  replyComplete_ = false;
  BuildRequestHeaders();
  // Every line of the head is checked before any of it is sent.
  for (const auto& line : Request.HeaderLines.Lines)
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      throw ENetUnsafeRequestText("A request header contains a line break or a NUL character: " +
                                  line.substr(0, line.find(':')));
  // The whole head leaves in one send.
  OpenWriteBuffering(-1);
  try {
    // Through an HTTP proxy the target is the whole address (absolute form).
    const std::string target = forward_ ? "http://" + Request.Host + Request.Target : Request.Target;
    WriteLine(std::string(VerbText(Request.Verb)) + " " + target + " HTTP/" +
              (ProtocolVersion == pv1_0 ? "1.0" : "1.1"));
    for (const auto& line : Request.HeaderLines.Lines)
      if (!line.empty()) WriteLine(line);
    WriteLine("");
  } catch (...) {
    CloseWriteBuffering();
    throw;
  }
  CloseWriteBuffering();
  if ((Request.Verb == hmPost || Request.Verb == hmPut) && Request.Body) WriteFromStream(*Request.Body);
}

void TNetCustomHTTP::ReadReplyHead() {
  // Nothing of an earlier reply may decide about this one (keep-alive above
  // all), even when reading this head fails half-way.
  Response.StatusLine.clear();
  Response.Connection.clear();
  Response.ProxyConnection.clear();
  Response.HeaderLines.Clear();
  headCut_ = false;
  ++ReplyCount;
  // A head must be whole within the limit, however slowly it drips in.
  if (HeadLimitMs > 0)
    SetReadDeadline(HeadLimitMs, "No complete reply head from " + EscapedText(Host()) + " within " +
                                     (HeadLimitMs % 1000 == 0 ? std::to_string(HeadLimitMs / 1000) + " s."
                                                              : std::to_string(HeadLimitMs) + " ms."));
  struct DeadlineOff {
    TNetCustomHTTP& c;
    ~DeadlineOff() { c.ClearReadDeadline(); }
  } deadlineOff{*this};
  Response.StatusLine = ReadLine();
  // Wait for the empty line that ends the head. A close after the first
  // header line keeps what arrived. A head that never ends would grow
  // without limit (no work events run here, so Stop cannot cut it): past
  // kMaxReplyHeadBytes it is refused like an over-long line, and the
  // connection, left in the middle of a head, is dropped.
  std::size_t headBytes = Response.StatusLine.size();
  for (bool first = true;; first = false) {
    std::string line;
    try {
      line = ReadLine();
    } catch (const ENetConnClosedGracefully&) {
      if (first) throw;
      CloseConnection();
      headCut_ = true;
      break;
    }
    // A close in the middle of a line gives it back empty: that is no end
    // of the head.
    if (line.empty() && ReadLineTimedOut) {
      CloseConnection();
      headCut_ = true;
      break;
    }
    if (line.empty()) break;
    headBytes += line.size() + 2;
    if (headBytes > kMaxReplyHeadBytes) {
      CloseConnection();
      throw ENetReplyHeadTooLarge();
    }
    Response.HeaderLines.Add(line);
  }
  ProcessReplyHeaders();
}

void TNetCustomHTTP::ProcessReplyHeaders() {
  TNetHTTPResponse& r = Response;
  const TNetHeaderList& h = r.HeaderLines;
  r.Location = h.ValueOf("Location");
  r.Server = h.ValueOf("Server");
  r.ProxyConnection = h.ValueOf("Proxy-Connection");
  r.ContentRangeTotal = -1;
  if (h.IndexOfHeader("Content-Range") >= 0) {
    std::string range = h.ValueOf("Content-Range");
    SplitOff(range, " ");  // the unit
    // "*/total" (a 416's form) names no bytes, only the whole length.
    if (Trim(range).rfind('*', 0) == 0) {
      SplitOff(range, "/");
      r.ContentRangeStart = r.ContentRangeEnd = 0;
    } else {
      std::string first = SplitOff(range, "-");
      std::string last = SplitOff(range, "/");
      r.ContentRangeStart = RangeBound(first);
      r.ContentRangeEnd = RangeBound(last);
    }
    if (const auto total = ParseInteger(Trim(range)); total && *total >= 0) r.ContentRangeTotal = *total;
  }
  r.WWWAuthenticate.Clear();
  h.CollectValues("WWW-Authenticate", &r.WWWAuthenticate.Lines);
  r.ProxyAuthenticate.Clear();
  h.CollectValues("Proxy-Authenticate", &r.ProxyAuthenticate.Lines);
  r.Connection = h.ValueOf("Connection");
  r.ContentVersion = h.ValueOf("Content-Version");
  // A coding may be added by a later line (RFC 9110, 5.3): all of them count.
  std::vector<std::string> codings;
  h.CollectValues("Content-Encoding", &codings);
  r.ContentEncoding.clear();
  for (const std::string& coding : codings) r.ContentEncoding += (r.ContentEncoding.empty() ? "" : ", ") + coding;
  r.ContentLanguage = h.ValueOf("Content-Language");
  r.ContentType = h.ValueOf("Content-Type");
  // Chunked wins over any Content-Length (RFC 9112, 6.3): the length is not
  // even read, as reading by it is how a body is cut short or a second reply
  // smuggled in.
  std::vector<std::string> transfer;
  h.CollectValues("Transfer-Encoding", &transfer);
  chunked_ = false;
  for (const std::string& value : transfer) {
    std::string rest = value;
    while (!rest.empty())
      if (SameText(Trim(SplitOff(rest, ",")), "chunked")) chunked_ = true;
  }
  framingConflict_ = !transfer.empty() && h.IndexOfHeader("Content-Length") >= 0;
  r.ContentLength = chunked_ ? -1 : ContentLengthOf(h);
  r.Date = InternetDateToLocal(h.ValueOf("Date"));
  r.LastModified = InternetDateToLocal(h.ValueOf("Last-Modified"));
  std::string expires = h.ValueOf("Expires");
  auto seconds = ParseInteger(expires);
  if (seconds && *seconds != -1)
    r.Expires = NowLocal() + static_cast<double>(*seconds) / 86400.0;
  else
    r.Expires = InternetDateToLocal(expires);
  r.Pragma = h.ValueOf("Pragma");
}

void TNetCustomHTTP::StoreCookies() {
  if (!CookieManager && AllowCookies) {
    ownedCookieManager_ = std::make_unique<TNetCookieManager>();
    CookieManager = ownedCookieManager_.get();
  }
  if (!CookieManager) return;
  std::vector<std::string> values;
  Response.HeaderLines.CollectValues("Set-cookie", &values);
  for (const auto& v : values) CookieManager->AcceptCookie(v, CurrentUrl.Host, Rfc2109Style);
  values.clear();
  Response.HeaderLines.CollectValues("Set-cookie2", &values);
  for (const auto& v : values) CookieManager->AcceptCookie(v, CurrentUrl.Host, Rfc2965Style);
}

bool TNetCustomHTTP::Persistent() {
  const std::string version = Response.StatusLine.size() >= 8 ? Response.StatusLine.substr(5, 3) : "";
  if (SameText(version, "1.0"))
    Response.ReplyVersion = pv1_0;
  else if (SameText(version, "1.1"))
    Response.ReplyVersion = pv1_1;
  CheckClosed(false, false);
  if (!IsConnected() || framingConflict_) return false;
  const std::string connection = UpperCase(Trim(Response.Connection));
  const std::string proxy = UpperCase(Trim(Response.ProxyConnection));
  if (ProtocolVersion == pv1_0) return connection == "KEEP-ALIVE" || proxy == "KEEP-ALIVE";
  return !(connection == "CLOSE" || proxy == "CLOSE");
}

TNetCustomHTTP::Outcome TNetCustomHTTP::ExamineReply() {
  const int code = Response.StatusCode();
  // Only the proxy asks for its own credentials.
  if (forward_ && code == 407)
    throw ENetProxyError("Proxy " + proxy_.Label() + " refused the connection: " +
                         EscapedText(Trim(Response.StatusLine.substr(
                                         std::min(Response.StatusLine.size(), Response.StatusLine.find(' ') + 1))),
                                     kMaxShownReplyBytes));
  // Through an HTTP proxy the reply comes from the proxy: one that is not
  // HTTP at all is the proxy's fault, and the message says whose.
  if (forward_ && (code < 0 || Response.StatusLine.rfind("HTTP/", 0) != 0))
    throw ENetProxyError("Proxy " + proxy_.Label() + " answered with something that is not HTTP: \"" +
                         EscapedText(Response.StatusLine, kMaxShownReplyBytes) + "\".");
  Outcome outcome = Undecided;
  if ((code / 100 == 3 && code != 304) || !Response.Location.empty()) {
    std::string dest = Response.Location;
    int num = RedirectsSoFar;
    bool handled = HandleRedirects;
    TNetHTTPMethod method = Request.Verb;
    if (HandleRedirects && RedirectsSoFar < RedirectMaximum) {
      if (OnRedirect) OnRedirect(this, dest, num, handled, method);
      if (!handled) RaiseProtocolError();
      outcome = FollowRedirect;
      Request.Target = dest;
      Request.Verb = method;
    } else {
      outcome = Finished;
      if (OnRedirect) OnRedirect(this, dest, num, handled, method);
      if (!handled) RaiseProtocolError();
      // Following redirects and running out of them is a failure: returning
      // would pass an empty body off as the result.
      if (HandleRedirects) throw ENetTooManyRedirects(RedirectsSoFar);
      Response.Location = dest;
    }
    if (IsConnected()) replyComplete_ = DrainBody() && !stopRequested_;
    return outcome;
  }
  if (code / 100 != 2 || code < 0) RaiseProtocolError();
  if (IsConnected()) {
    if (code != 204) ReadFinalBody(Response.BodySink);
    replyComplete_ = !stopRequested_;
    outcome = Finished;
  }
  return outcome;
}

namespace {

// Counts the bytes a body delivers. The sink's position cannot tell: its
// owner may move it when the body starts (a resumed download rewinds to
// where the server's range begins).
class CountingSink : public TNetStream {
 public:
  explicit CountingSink(TNetStream& inner) : inner_(inner) {}
  std::size_t Read(void* buffer, std::size_t n) override { return inner_.Read(buffer, n); }
  void Write(const void* buffer, std::size_t n) override {
    inner_.Write(buffer, n);
    written_ += static_cast<std::int64_t>(n);
  }
  void Seek(std::int64_t position) override { inner_.Seek(position); }
  std::int64_t Position() const override { return inner_.Position(); }
  std::int64_t Size() const override { return inner_.Size(); }
  void SetSize(std::int64_t size) override { inner_.SetSize(size); }
  std::int64_t Written() const { return written_; }

 private:
  TNetStream& inner_;
  std::int64_t written_ = 0;
};

}  // namespace

void TNetCustomHTTP::ReadBody(TNetStream* target) {
  if (!target) return;
  CountingSink counted(*target);
  TNetStream* sink = &counted;
  if (chunked_) {
    ReportStatus(hsStatusText, "Chunk Started");
    try {
      for (std::int64_t size = ChunkSize(ReadLine()); size > 0; size = ChunkSize(ReadLine())) {
        ReadToStream(*sink, size);
        ReadLine();  // the line end after the chunk
      }
    } catch (const ENetConnClosedGracefully&) {
      throw ENetBodyIncomplete("Connection closed after " + std::to_string(counted.Written()) +
                               " bytes of a chunked body, before its last chunk.");
    }
    try {
      ReadLine();
    } catch (const ENetConnClosedGracefully&) {
      // Every chunk has arrived; only the closing line is missing.
    }
  } else if (Response.ContentLength >= 1) {
    try {
      ReadToStream(*sink, Response.ContentLength);
    } catch (const ENetConnClosedGracefully&) {
      // A short body keeps what came in the sink, but it is no success.
      throw ENetBodyIncomplete("Connection closed after " + std::to_string(counted.Written()) + " of " +
                               std::to_string(Response.ContentLength) + " bytes.");
    }
    // The read also ends when the connection is gone; short of a Stop, that
    // is the same failure.
    if (counted.Written() < Response.ContentLength && !stopRequested_)
      throw ENetBodyIncomplete("Connection closed after " + std::to_string(counted.Written()) + " of " +
                               std::to_string(Response.ContentLength) + " bytes.");
  } else if (!Response.LengthGiven()) {
    ReadToStream(*sink, -1, true);
  }
}

void TNetCustomHTTP::ReadFinalBody(TNetStream* target) {
  if (!target || !DecodeContent) {
    ReadBody(target);
    return;
  }
  // Decided before the body is read: a coding we cannot undo must not reach
  // the sink as if it were the file.
  const std::vector<TNetContentCoding> codings = ContentCodingsOf(Response.ContentEncoding);
  if (codings.empty()) {
    ReadBody(target);
    return;
  }
  // A compressed piece from the middle of a stream cannot be decoded, nor
  // joined to the decoded bytes that came before.
  if (Response.StatusCode() == 206)
    throw ENetContentDecodingError("The server sent part of the file compressed (Content-Encoding: " +
                                   EscapedText(Trim(Response.ContentEncoding), 80) + "); it cannot be resumed.");
  // The codings are listed in the order they were applied, so the last is
  // undone first: the wire's bytes go to its decoder, and the decoder of the
  // first writes to the sink (and alone holds the size bound).
  std::vector<std::unique_ptr<TNetInflateStream>> decoders;
  TNetStream* next = target;
  for (const TNetContentCoding coding : codings) {
    decoders.push_back(
        std::make_unique<TNetInflateStream>(*next, coding, decoders.empty() ? MaxDecodedBodyBytes : -1));
    next = decoders.back().get();
  }
  ReadBody(next);
  const bool complete = std::all_of(decoders.begin(), decoders.end(), [](const auto& d) { return d->Complete(); });
  if (!complete && !stopRequested_)
    throw ENetBodyIncomplete("The compressed reply ended before its end (" +
                             std::to_string(decoders.front()->Decoded()) + " bytes decoded).");
}

void TNetCustomHTTP::RaiseProtocolError() {
  const int savedTimeout = ReadTimeout;
  TNetStream* savedSink = Response.BodySink;
  // Only the start of an error page is kept; the call fails and closes the
  // connection, so the rest is not read at all.
  PrefixSink body(kMaxErrorPageBytes);
  ReadTimeout = 2000;
  Response.BodySink = &body;
  try {
    ReadBody(&body);
  } catch (const PrefixSink::Full&) {
  } catch (const ENetBodyIncomplete&) {
    // The status is the error; a page cut short does not change it.
  } catch (...) {
    ReadTimeout = savedTimeout;
    Response.BodySink = savedSink;
    throw;
  }
  ReadTimeout = savedTimeout;
  Response.BodySink = savedSink;
  // The reason phrase is the server's text: shown, never obeyed by a terminal.
  throw ENetHTTPProtocolException(EscapedText(Response.StatusLine), Response.StatusCode(), body.Bytes());
}

bool TNetCustomHTTP::DrainBody() {
  const int savedTimeout = ReadTimeout;
  ReadTimeout = 4000;
  DiscardSink discard;
  bool complete = true;
  try {
    ReadBody(&discard);
  } catch (...) {
    // A redirect's body does not matter, but a connection left inside it
    // cannot carry the next request.
    complete = false;
  }
  ReadTimeout = savedTimeout;
  return complete;
}

}  // namespace larkvale::http
