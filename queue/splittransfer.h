#pragma once
// The parts of one file fetched over several connections at once, each a
// client of its own on a worker thread, written in place into the .part at
// their offsets. The caller's thread waits in slices and runs `between`
// with the bytes the file has so far (the window's pump and progress).
//
// Every part asks with "If-Range" and is checked as a resume is: a 206 that
// starts elsewhere, or whose total, ETag or Last-Modified differ from the
// state's, or a 200 (the whole file: it changed), means the .part is not the
// server's file any more (`restart`). The first part to fail for good stops
// the others; the state keeps what every part has, so a later run resumes
// each one.

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/httpclient.h"
#include "queue/parttransfer.h"

namespace larkvale::queue {

class SplitTransfer {
 public:
  // `state` holds the validators, the total and the ranges; it is saved
  // beside `part` as the parts progress.
  SplitTransfer(std::function<std::unique_ptr<http::TNetHTTP>()> makeClient, std::string address, QString part,
                PartState& state);

  struct Outcome {
    bool whole = false;    // every range complete
    bool restart = false;  // the server's file is not the .part's any more
    Failure failure;       // the first part's failure for good; empty error when none
  };
  Outcome Run(const std::function<void(std::int64_t have)>& between);
  // From `between` (the caller's thread): every part's connection ends at
  // its next block or wait slice.
  void Stop() { stop_ = true; }

  // How often the state is rewritten while the parts run.
  static constexpr int kStateSaveMs = 250;

 private:
  struct Parts;
  // One part on its own thread, from where its range stands.
  void FetchPart(std::size_t index, int fd, Parts& parts);
  // The caller's slices until every part has ended; the state is saved now
  // and then.
  void WaitForParts(Parts& parts, const std::function<void(std::int64_t have)>& between);
  void Keep(const Parts& parts);
  // The reply continues the same file at `from`.
  bool SameFile(const http::TNetHTTPResponse& reply, std::int64_t from) const;
  void AskForRange(http::TNetHTTP& client, std::int64_t from, std::int64_t end) const;

  std::function<std::unique_ptr<http::TNetHTTP>()> makeClient_;
  std::string address_;
  QString part_;
  PartState& state_;
  std::atomic<bool> stop_{false};
};

// The ranges a file of `total` bytes is split into over `connections`.
std::vector<PartState::Range> SplitRanges(std::int64_t total, int connections);

}  // namespace larkvale::queue
