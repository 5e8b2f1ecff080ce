#include "queue/parttransfer.h"

#include "http/decoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QLocale>

#include "http/exceptions.h"
#include "http/retryafter.h"
#include "http/uri.h"
#include "queue/splittransfer.h"
#include "platform/errors.h"

namespace larkvale::queue {
namespace {

// A file opened for writing from its start, closed on every way out.
class OpenFile {
 public:
  explicit OpenFile(const QString& path) {
    fd_ = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0)
      throw std::runtime_error(
          QStringLiteral("Cannot open file \"%1\". %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))).toStdString());
  }
  ~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

QString WebPageText(const std::string& type) {
  return QStringLiteral("The server sent a web page instead of the video: %1.").arg(QString::fromStdString(type));
}

// Text that opens as HTML or XML does ("<!DOCTYPE html>", "<html>", "<?xml"),
// after white space and a byte-order mark.
bool BeginsWithMarkup(const char* bytes, std::size_t n) {
  std::size_t at = 0;
  if (n >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) at = 3;
  while (at < n && (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\r' || bytes[at] == '\n')) ++at;
  return at < n && bytes[at] == '<';
}

// A .part file grows only by what arrives. The client gives a file its
// announced length up front; here that would leave a killed download's file
// full length with zeros at the end, indistinguishable from a whole one, and
// its length could no longer say where to resume.
class PartFile : public http::TNetStream {
 public:
  // `keep`: nothing may cut the file (a split .part while the first reply
  // has not said what it is).
  PartFile(int fd, const bool& keep, bool& sniffMarkup) : file_(fd, false), keep_(keep), sniffMarkup_(sniffMarkup) {}
  std::size_t Read(void* buffer, std::size_t n) override { return file_.Read(buffer, n); }
  void Write(const void* buffer, std::size_t n) override {
    if (sniffMarkup_ && n > 0) {
      sniffMarkup_ = false;
      if (BeginsWithMarkup(static_cast<const char*>(buffer), n))
        throw std::runtime_error(WebPageText("text/plain").toStdString());
    }
    file_.Write(buffer, n);
  }
  void Seek(std::int64_t position) override { file_.Seek(position); }
  std::int64_t Position() const override { return file_.Position(); }
  std::int64_t Size() const override { return file_.Size(); }
  // Cuts (a redirect, a restart); never grows.
  void SetSize(std::int64_t size) override {
    if (!keep_ && size < file_.Size()) file_.SetSize(size);
  }
  void Flush() { file_.Flush(); }

 private:
  http::TNetFileStream file_;
  const bool& keep_;
  bool& sniffMarkup_;
};

}  // namespace

namespace {

bool StrongETag(const std::string& etag) { return !etag.empty() && etag.rfind("W/", 0) != 0; }

// Two values of one validator differ only when both are known.
bool Differ(const std::string& kept, const std::string& now) { return !kept.empty() && !now.empty() && kept != now; }
bool Differ(std::int64_t kept, std::int64_t now) { return kept >= 0 && now >= 0 && kept != now; }

}  // namespace

PartTransfer::Result PartTransfer::Run(const QString& link, const QString& part) {
  resumeSplit_ = PartState();
  splitPending_ = splitRunning_ = splitWhole_ = splitRestart_ = false;
  cutByStop_ = false;
  restart_ = false;
  decodedBody_ = false;
  decodedFrom_ = 0;
  Result result;
  result.error = FirstAttempt(link, part);
  // The .part belongs to another version of the file: the whole file again,
  // once, with a plain request.
  if (restart_ && !cutByStop_) {
    resumeSplit_ = PartState();
    result.error = Attempt(link, part, 0);
  }
  if (splitPending_ && result.error.isEmpty() && !cutByStop_) {
    result.error = RunSplit(link, part);
    if (splitRestart_ && !cutByStop_) {
      // The parts did not get the ranges of the same file: once more, the
      // whole file, on one connection.
      resumeSplit_ = PartState();
      splitRunning_ = false;
      oneConnection_ = true;
      result.error = Attempt(link, part, 0);
      oneConnection_ = false;
    }
  }
  Conclude(part, result);
  return result;
}

QString PartTransfer::FirstAttempt(const QString& link, const QString& part) {
  const std::int64_t length = FileLength(part);
  PartState state;
  const bool stateFound = length >= 0 && PartState::Load(part, state);
  if (length >= 0 && (MarkedSplit(part) || (stateFound && state.Split()))) {
    // A split .part is no prefix: its length says nothing, only a sound
    // state does. Without one it starts again.
    bool sound = stateFound && state.RangesValid();
    // A range's bytes must all be in the file (a cut file keeps no state's promise).
    for (const PartState::Range& r : state.ranges) sound = sound && length >= r.start + r.have;
    if (!sound) {
      restart_ = true;
      return {};
    }
    resumeSplit_ = state;
    return Attempt(link, part, 0);
  }
  // What a compressed body left is checked only at its end: from the start.
  if (stateFound && !state.coding.empty()) return Attempt(link, part, 0);
  return Attempt(link, part, std::max<std::int64_t>(length, 0));
}

void PartTransfer::Conclude(const QString& part, Result& result) {
  result.have = FileLength(part);
  // A Stop that came with the last block still leaves a whole file.
  const bool whole = result.error.isEmpty() &&
                     (splitRunning_ ? splitWhole_
                                    : (expected_ >= 0 ? result.have >= expected_ : !cutByStop_));
  // A compressed body is checked only at its end: one that did not end
  // whole leaves none of its bytes, only what was there before it.
  if (!whole && decodedBody_ && result.have > decodedFrom_) {
    if (::truncate(part.toLocal8Bit().constData(), decodedFrom_) == 0) result.have = decodedFrom_;
    if (decodedFrom_ == 0) PartState::Remove(part);
  }
  if (result.error.isEmpty() && !whole && !cutByStop_)
    result.error = QStringLiteral("Connection closed after %1 of %2 bytes.").arg(result.have).arg(expected_);
  const QString name = part.chopped(5);
  if (whole && !RenameWithoutReplacing(part, name))
    result.error = errno == EEXIST
                       ? QStringLiteral("Cannot rename \"%1\": \"%2\" exists already.").arg(part, name)
                       : QStringLiteral("Cannot rename \"%1\". %2").arg(part, QString::fromLocal8Bit(std::strerror(errno)));
  result.complete = whole && result.error.isEmpty();
  result.stopped = !result.complete && cutByStop_;
  result.diskFull = !result.complete && !result.stopped && diskFull_;
  if (!result.complete && !result.stopped && transient_) {
    result.transient = true;
    result.reason = reason_;
    result.retryAfterMs = retryAfterMs_;
  }
  // A failure leaves no empty file behind; received bytes stay for a retry.
  if (!result.complete && !result.stopped && result.have == 0) ::unlink(part.toLocal8Bit().constData());
  // The state goes with its .part.
  if (result.complete || FileLength(part) < 0) PartState::Remove(part);
}

QString PartTransfer::Attempt(const QString& link, const QString& part, std::int64_t offset) {
  transient_ = false;
  diskFull_ = false;
  reason_.clear();
  retryAfterMs_ = -1;
  std::exception_ptr error;
  try {
    Transfer(link, part, offset);
    return rangeError_;
  } catch (const http::ENetHTTPProtocolException& e) {
    if (offset > 0 && e.ReplyCode == 416) {
      // Nothing left to send: whole when the .part has the file's length
      // (the run that got the last byte ended before the rename), else it
      // is not this file any more.
      // Only bytes a checked body wrote count: a state that knows the
      // length, of a body that was not compressed.
      std::int64_t total = client_.Response.ContentRangeTotal;
      if (total < 0) total = kept_.total;
      if (total == offset && keptFound_ && kept_.coding.empty() && kept_.total == offset) {
        expected_ = total;
        return {};
      }
      restart_ = true;
      return {};
    }
    error = std::current_exception();
  } catch (...) {
    // The client's error after the Disconnect that ends a body to be
    // replaced (or a first reply that hands over to the parts) does not count.
    if (restart_ || splitPending_) return {};
    error = std::current_exception();
  }
  const Failure f = DescribeFailure(error, &client_, part);
  transient_ = f.transient;
  reason_ = f.reason;
  retryAfterMs_ = f.retryAfterMs;
  diskFull_ = f.diskFull;
  return f.error;
}

void PartTransfer::Transfer(const QString& link, const QString& part, std::int64_t offset) {
  kept_ = PartState();
  keptFound_ = false;
  if (resumeSplit_.Split()) {
    // The parts' first request: the file must still be the one they began.
    kept_ = resumeSplit_;
    keptFound_ = true;
  } else if (offset == 0) {
    CreateEmptyFile(part);
    // A state left from another file would validate the wrong one.
    PartState::Remove(part);
    MarkSplit(part, false);
    // Best effort: without the attribute the .part is simply not found again.
    if (recordOrigin) {
      RecordOrigin(part, link);
    }
  } else {
    keptFound_ = PartState::Load(part, kept_);
  }
  part_ = part;
  OpenFile file(part);
  keepPartSize_ = resumeSplit_.Split();
  sniffMarkup_ = false;
  PartFile sink(file.Fd(), keepPartSize_, sniffMarkup_);
  sink.Seek(offset);
  sink_ = &sink;
  resumeFrom_ = offset;
  base_ = 0;
  resumed_ = 0;
  expected_ = -1;
  counting_ = false;
  cutByStop_ = false;
  restart_ = false;
  reply_ = 0;
  rangeError_.clear();
  // "Range: bytes=N-" asks for the rest, "If-Range" for it only if the file
  // is still the one the .part began with; the request record keeps its
  // fields from call to call, so they go back on every way out.
  client_.Request.ContentRangeStart = offset;
  client_.Request.ContentRangeEnd = 0;
  client_.Request.CustomHeaders.SetHeader("If-Range", "");
  client_.Request.CustomHeaders.SetHeader("Range", "");
  // A split .part goes on only when a 206 from its first byte shows the
  // same file (If-Range sends the whole new one otherwise).
  probing_ = offset == 0 && resumeSplit_.Split();
  if (probing_) client_.Request.CustomHeaders.Add("Range: bytes=0-");
  if (offset > 0 || resumeSplit_.Split()) {
    const std::string validator = StrongETag(kept_.etag) ? kept_.etag : kept_.lastModified;
    // Added as one line: a long ETag must not be folded onto a second.
    if (!validator.empty()) client_.Request.CustomHeaders.Add("If-Range: " + validator);
  }
  struct Restore {
    PartTransfer& t;
    ~Restore() {
      t.client_.Request.ContentRangeStart = 0;
      t.client_.Request.CustomHeaders.SetHeader("If-Range", "");
      t.client_.Request.CustomHeaders.SetHeader("Range", "");
      t.probing_ = false;
      t.sink_ = nullptr;
      t.counting_ = false;
    }
  } restore{*this};
  try {
    client_.Get(link.toStdString(), sink);
  } catch (...) {
    try {
      sink.Flush();  // keep what arrived before the failure
    } catch (...) {
    }
    throw;
  }
  sink.Flush();
  // The bytes that came with a refused reply's head were written all the same.
  if (!rangeError_.isEmpty() || restart_) sink.SetSize(offset);
  // A whole new file with no body at all (no work events came): it is empty.
  if (offset > 0 && reply_ == 0 && !restart_ && client_.Response.StatusCode() == 200) sink.SetSize(0);
}

bool PartTransfer::Begin(std::int64_t /*announced: the reply's Content-Length, read from it directly*/) {
  // The parts' sum, as one body.
  if (splitRunning_) {
    counting_ = true;
    return true;
  }
  // Only the body of a 2xx reply is the file's: a redirect's or an error's
  // body leaves the file alone.
  const http::TNetHTTPResponse& reply = client_.Response;
  const int code = reply.StatusCode();
  counting_ = sink_ && code / 100 == 2 && !restart_ && rangeError_.isEmpty() && !splitPending_;
  if (!counting_) return false;
  // The next chunk of the same reply goes on where the last one ended.
  if (client_.ReplyCount == reply_) {
    base_ = sink_->Position();
    return true;
  }
  reply_ = client_.ReplyCount;
  if (refusePages && RefusePage(reply)) return EndReply();
  const bool ranged = code == 206 && reply.HeaderLines.IndexOfHeader("Content-Range") >= 0;
  const std::int64_t start = ranged ? reply.ContentRangeStart : 0;
  const bool decoded = client_.DecodeContent &&
                       http::ContentCodingOf(client_.Response.ContentEncoding) != http::TNetContentCoding::None;
  PartState now = StateOf(reply, ranged, decoded);
  base_ = 0;
  ChooseSplit(now, code, ranged && start == 0, decoded);
  if (restart_ || splitPending_) return EndReply();
  if (resumeFrom_ > 0 && code == 206) {
    // Appending is safe only to the same file, from the .part's end.
    if (!ranged || start != resumeFrom_ || Differ(kept_.etag, now.etag) ||
        Differ(kept_.lastModified, now.lastModified) || Differ(kept_.total, now.total)) {
      restart_ = true;
      return EndReply();
    }
    base_ = resumeFrom_;
  } else if (start > 0) {
    // A part of the file when all of it was asked for: a gap would follow.
    rangeError_ = QStringLiteral("The server resumed at byte %1, not at byte %2.").arg(start).arg(resumeFrom_);
    return EndReply();
  }
  StartFile(now, decoded);
  return true;
}

bool PartTransfer::EndReply() {
  // (No exception here: it would leave the client's work bracket open.)
  counting_ = false;
  client_.Disconnect();
  return false;
}

bool PartTransfer::RefusePage(const http::TNetHTTPResponse& reply) {
  // Only a type the server gave counts (the client assumes text/html for a
  // reply without one).
  std::string type = reply.HeaderLines.IndexOfHeader("Content-Type") >= 0
                         ? reply.HeaderLines.ValueOf("Content-Type") : std::string();
  type = type.substr(0, type.find(';'));
  type.erase(std::remove_if(type.begin(), type.end(), [](unsigned char c) { return std::isspace(c); }), type.end());
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (type == "text/html" || type == "application/xhtml+xml") {
    rangeError_ = WebPageText(type);
    return true;
  }
  sniffMarkup_ = type == "text/plain";
  return false;
}

PartState PartTransfer::StateOf(const http::TNetHTTPResponse& reply, bool ranged, bool decoded) const {
  PartState now;
  now.etag = ValidatorText(reply.HeaderLines.ValueOf("ETag"));
  now.lastModified = ValidatorText(reply.HeaderLines.ValueOf("Last-Modified"));
  now.total = ranged ? reply.ContentRangeTotal : reply.StatusCode() == 206 ? -1 : reply.ContentLength;
  if (decoded) {
    // The compressed length is not the file's.
    now.coding = reply.ContentEncoding;
    now.total = -1;
  }
  return now;
}

void PartTransfer::ChooseSplit(PartState& now, int code, bool fromFirstByte, bool decoded) {
  const http::TNetHTTPResponse& reply = client_.Response;
  if (probing_ && fromFirstByte && !decoded) {
    // A split .part resumed: its parts go on only for the same file.
    if (Differ(kept_.etag, now.etag) || Differ(kept_.lastModified, now.lastModified) || kept_.total != now.total) {
      restart_ = true;
    } else {
      split_ = resumeSplit_;
      splitPending_ = true;
    }
    return;
  }
  if (code != 200 || resumeFrom_ != 0 || probing_ || connections <= 1 || oneConnection_ || decoded ||
      now.total < kSplitMinBytes ||
      !QByteArray::fromStdString(reply.HeaderLines.ValueOf("Accept-Ranges")).toLower().contains("bytes"))
    return;
  // A large file from a server that says it takes ranges: its parts come
  // over several connections (and each part's 206 proves the offer). The
  // mark and the state go down before any byte of a split file; without
  // either the file stays on this one connection.
  now.ranges = SplitRanges(now.total, connections);
  if (!MarkSplit(part_, true)) return;
  if (now.Save(part_)) {
    split_ = now;
    splitPending_ = true;
  } else {
    MarkSplit(part_, false);
  }
}

void PartTransfer::StartFile(PartState& now, bool decoded) {
  const http::TNetHTTPResponse& reply = client_.Response;
  // Anything but an appending 206 is the whole file from its first byte.
  // It replaces a split .part: cut first, so that a kill meanwhile leaves a
  // state that no longer fits the file (and so starts again), then the
  // split's state and mark go.
  keepPartSize_ = false;
  sink_->SetSize(base_);
  sink_->Seek(base_);
  if (resumeSplit_.Split()) {
    keptFound_ = false;
    MarkSplit(part_, false);
  }
  // Best effort: without it a later resume is checked by its offset alone.
  // A .part kept by a version that wrote no state gets one from the first
  // 206 that continues it.
  if (base_ == 0 || !keptFound_) {
    now.Save(part_);
    kept_ = now;
    keptFound_ = true;
  }
  resumed_ = base_;
  decodedBody_ = decoded;
  decodedFrom_ = base_;
  // A chunked body announces each chunk; only a Content-Length is the whole.
  // A compressed reply announces its compressed length; the file takes the
  // decoded bytes, whose count only the body's end tells.
  expected_ = reply.ContentLength >= 1 && !decoded ? base_ + reply.ContentLength : -1;
}

void PartTransfer::Stop() {
  cutByStop_ = true;
  client_.Disconnect();
  if (activeSplit_) activeSplit_->Stop();
}

std::unique_ptr<http::TNetHTTP> PartTransfer::NewPartClient(const std::string& address) const {
  if (makePartClient) return makePartClient();
  // As the caller's client stands for this file: its settings, limits and
  // request fields (the session's Referer and User-Agent among them).
  auto c = std::make_unique<http::TNetHTTP>();
  c->ProtocolVersion = client_.ProtocolVersion;
  c->HandleRedirects = client_.HandleRedirects;
  c->RedirectMaximum = client_.RedirectMaximum;
  c->HTTPOptions = client_.HTTPOptions;
  c->ReadTimeout = client_.ReadTimeout;
  c->IdleLimitMs = client_.IdleLimitMs;
  c->HeadLimitMs = client_.HeadLimitMs;
  c->ConnectTimeoutMs = client_.ConnectTimeoutMs;
  // No one sees a part's blocks (the caller gets the sum in slices): large
  // ones cost far less per byte than the window's 1 KiB.
  c->RecvBufferSize = std::max(client_.RecvBufferSize, 64 * 1024);
  c->MaxLineAction = client_.MaxLineAction;
  c->MaxLineLength = client_.MaxLineLength;
  c->DecodeContent = client_.DecodeContent;
  c->MaxDecodedBodyBytes = client_.MaxDecodedBodyBytes;
  c->Request = client_.Request;
  c->Request.Body = nullptr;
  // The cookies the caller's jar has for this address go with every part;
  // the parts follow no redirect, so they reach no other server.
  c->AllowCookies = false;
  if (client_.CookieManager) {
    const http::TNetURI url(address);
    const std::string cookies = client_.CookieManager->HeaderFor(url, url.Scheme == "https");
    if (!cookies.empty()) c->Request.CustomHeaders.Add("Cookie: " + cookies);
  }
  c->HandleRedirects = false;
  return c;
}

QString PartTransfer::RunSplit(const QString& link, const QString& part) {
  splitPending_ = false;
  // The address the first reply came from: the parts go there directly.
  std::string address = link.toStdString();
  if (!client_.CurrentUrl.Host.empty()) {
    try {
      http::TNetURI url = client_.CurrentUrl;
      url.Fragment.clear();
      address = url.Compose(false, false);
    } catch (const std::exception&) {
    }
  }
  SplitTransfer split([this, address] { return NewPartClient(address); }, address, part, split_);
  splitRunning_ = true;
  activeSplit_ = &split;
  expected_ = split_.total;
  resumed_ = 0;
  for (const PartState::Range& r : split_.ranges) resumed_ += r.have;
  // The caller's events see one body, the sum of the parts, resuming the
  // file after what the parts had (as a resumed body would).
  base_ = resumed_;
  if (client_.OnWorkBegin) client_.OnWorkBegin(&client_, http::wmRead, expected_ - resumed_);
  std::int64_t shown = resumed_;
  const SplitTransfer::Outcome outcome = split.Run([this, &shown](std::int64_t have) {
    if (have != shown && client_.OnWork) client_.OnWork(&client_, http::wmRead, have - resumed_);
    shown = have;
    if (client_.OnWaiting) client_.OnWaiting(&client_);
  });
  activeSplit_ = nullptr;
  if (client_.OnWorkEnd) client_.OnWorkEnd(&client_, http::wmRead);
  counting_ = false;
  splitWhole_ = outcome.whole && !outcome.restart && outcome.failure.error.isEmpty();
  splitRestart_ = outcome.restart;
  if (splitWhole_) {
    MarkSplit(part, false);
    return {};
  }
  if (outcome.restart) {
    // Nothing of the .part can be trusted: a later run starts again.
    PartState::Remove(part);
    return QStringLiteral("The file changed on the server during the download.");
  }
  if (cutByStop_) return {};
  transient_ = outcome.failure.transient;
  reason_ = outcome.failure.reason;
  retryAfterMs_ = outcome.failure.retryAfterMs;
  diskFull_ = outcome.failure.diskFull;
  return outcome.failure.error.isEmpty() ? QStringLiteral("The download stopped before all its parts were whole.")
                                         : outcome.failure.error;
}

}  // namespace larkvale::queue
