#pragma once
// One download into a ".part" file, shared by the queue runner and the
// command line: the body goes to the final name plus ".part", a .part that
// exists is continued with a Range request from its length, and the file gets
// its final name only when the body is whole, so a file under a final name is
// always complete.
//
// A resume is validated. The first reply's ETag, Last-Modified and whole
// length are kept beside the .part, in "<part>.state" (see `PartState`); a
// resume asks with "If-Range" (a strong ETag, else the date) so that a server
// whose file changed sends the whole new file (200), which replaces the
// .part. A 206 is checked as well, since some servers ignore If-Range: one
// that does not start at the .part's length, or whose total, ETag or
// Last-Modified differ from the first reply's, starts the file again with a
// plain request. A 416 for a .part that holds the whole length already (a
// run killed between the last byte and the rename) finishes the file.
//
// A large file from a server that offers ranges may come over several
// connections (`connections`): its parts are written in place, so such a
// .part is no prefix. It carries a mark and its state lists every part's
// range and bytes; only that state says what is whole, and a split .part
// without a sound one starts again. The caller's events see the parts' sum
// as one body.
//
// The caller owns the client and its events: it calls `Begin` from the
// client's `OnWorkBegin` and `Stop` from its `OnWork` or `OnWaiting` while
// `Run` runs.

#include <QDateTime>
#include <QString>
#include <exception>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "queue/failures.h"
#include "queue/partfile.h"

namespace larkvale::queue {

class PartTransfer {
 public:
  explicit PartTransfer(http::TNetHTTP& client) : client_(client) {}

  struct Result {
    bool complete = false;   // whole, and renamed to the final name
    bool stopped = false;    // cut by `Stop`; the .part is kept
    QString error;           // why it is not complete (empty when stopped without one)
    std::int64_t have = -1;  // bytes in the .part at the end; -1 when there is none
    // A fault that passes (a reset, a time-out, a busy or failing server):
    // worth asking again later. `reason` is what to show while waiting
    // ("503 Service Unavailable"), `retryAfterMs` the server's Retry-After,
    // -1 without one.
    bool transient = false;
    QString reason;
    std::int64_t retryAfterMs = -1;
    // No space was left for the body: the error reads "Disk full: 12 MB
    // free in <folder>", and the .part keeps what was written.
    bool diskFull = false;
  };

  // Gets `link` into `part` (a name ending in ".part"): from the .part's
  // length on when it exists, else into a new, empty one. A failure keeps the
  // bytes received for a later resume, but leaves no empty file behind.
  // Raises nothing: the client's errors come back as the result's `error`.
  Result Run(const QString& link, const QString& part);

  // The client's work begin during `Run`: decides whether the body coming is
  // the file's (a 2xx reply, not a redirect's or an error's) and where in the
  // file it starts. Returns whether it counts.
  bool Begin(std::int64_t announced);
  // Ends the running transfer now, from one of the client's events: the
  // result is stopped and the .part kept (unless the body was whole already).
  void Stop();

  // The body being received counts towards the file.
  bool Counting() const { return counting_; }
  // Bytes of the file before this body (a resumed .part, or the chunks
  // before this one), the bytes that were there before this reply (what a
  // resume starts from), and the whole file's length, -1 while unknown.
  std::int64_t Base() const { return base_; }
  std::int64_t Resumed() const { return resumed_; }
  std::int64_t Expected() const { return expected_; }

  // Set: a .part that `Run` creates records its link in the
  // "user.xdg.origin.url" extended attribute (the freedesktop.org name for
  // where a download came from), so that a run that has no list of its own
  // can find the .part of a link again (see `PartOrigin`).
  bool recordOrigin = false;

  // Set: the link was found on a page or asked for by a player, so a reply
  // typed as a web page ("text/html", "application/xhtml+xml", or
  // "text/plain" that begins with markup) is an error page or a login page,
  // not the video: the transfer fails and keeps none of it.
  bool refusePages = false;

  // A file of kSplitMinBytes or more whose server offers ranges
  // ("Accept-Ranges: bytes") is fetched over this many connections at once
  // (1: never split). The first reply says so; it ends there and the parts
  // start, each on a client of its own made by `makePartClient` (unset: one
  // configured as the caller's), each part checked as a resume is. A part
  // answered with anything but its range gets the file again on one
  // connection.
  int connections = 1;
  static constexpr std::int64_t kSplitMinBytes = 16ll << 20;
  std::function<std::unique_ptr<http::TNetHTTP>()> makePartClient;

 private:
  // One request from `offset`; the error text, empty when it went well or
  // when it asks for the file to start again (`restart_`).
  QString Attempt(const QString& link, const QString& part, std::int64_t offset);
  // The first request: a split .part resumed, or from the .part's end.
  QString FirstAttempt(const QString& link, const QString& part);
  // Whether the file is whole, its final name, and what the result says.
  void Conclude(const QString& part, Result& result);
  void Transfer(const QString& link, const QString& part, std::int64_t offset);
  // The steps of `Begin`: the reply ends here (false, for `Begin` to
  // return); a page in place of the video; what the reply says of the
  // file; whether it comes in parts; the body starts the file or goes on.
  bool EndReply();
  bool RefusePage(const http::TNetHTTPResponse& reply);
  PartState StateOf(const http::TNetHTTPResponse& reply, bool ranged, bool decoded) const;
  void ChooseSplit(PartState& now, int code, bool fromFirstByte, bool decoded);
  void StartFile(PartState& now, bool decoded);

  http::TNetHTTP& client_;
  http::TNetStream* sink_ = nullptr;  // the .part file while Get runs
  std::int64_t resumeFrom_ = 0;       // length of the .part file it resumes
  std::int64_t base_ = 0;             // bytes of the file before this body
  std::int64_t expected_ = -1;        // the whole file's length, -1 unknown
  bool counting_ = false;             // the body is the file's, not a redirect's or an error's
  bool cutByStop_ = false;            // Stop disconnected it
  QString rangeError_;                // a 206 that does not continue the file, or a page for the video
  std::int64_t resumed_ = 0;          // bytes of the file before this reply
  std::uint64_t reply_ = 0;           // the client's reply whose body is being counted
  bool restart_ = false;              // the resumed .part is not the server's file any more
  PartState kept_;                    // the first reply's, from the state file
  bool keptFound_ = false;            // the .part had a state file
  QString part_;                      // the .part being written
  bool transient_ = false;            // the last attempt's failure may pass
  QString reason_;
  std::int64_t retryAfterMs_ = -1;
  bool diskFull_ = false;
  // The file's body was decoded from a compressed reply: nothing of it is
  // checked before its end, so a body that does not end whole is cut off
  // again, from `decodedFrom_` on.
  bool sniffMarkup_ = false;          // a "text/plain" body: its first bytes say whether it is a page
  bool decodedBody_ = false;
  std::int64_t decodedFrom_ = 0;
  // Several connections: the state of a split .part being resumed (its
  // first request checks the file is still the same), the split the first
  // reply asked for, whether the parts run and came out whole.
  PartState resumeSplit_;
  PartState split_;
  bool splitPending_ = false;
  bool keepPartSize_ = false;         // the sink may not cut the .part
  bool probing_ = false;              // the request asks "Range: bytes=0-"
  bool splitRunning_ = false;
  bool splitWhole_ = false;
  bool splitRestart_ = false;
  bool oneConnection_ = false;        // no split this time
  class SplitTransfer* activeSplit_ = nullptr;
  QString RunSplit(const QString& link, const QString& part);
  std::unique_ptr<http::TNetHTTP> NewPartClient(const std::string& address) const;
};

}  // namespace larkvale::queue
