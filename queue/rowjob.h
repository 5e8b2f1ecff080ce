#pragma once
// One row downloading beside others: its client, its transfer and the
// worker thread they run on. The worker writes only the fields under `lock`
// (and `finished`); the runner's thread reads them between its waits and
// alone touches the list.

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/httpclient.h"
#include "queue/parttransfer.h"
#include "queue/ratemeter.h"
#include "queue/sessionscope.h"

namespace larkvale::queue {

struct RowJob {
  ~RowJob() {
    stop = true;
    if (thread.joinable()) thread.join();
  }

  quint64 id = 0;
  QString link;
  QString part;
  std::string host;
  // Declared in the order they are made: the transfer and the session
  // scope go before the client they use.
  std::unique_ptr<http::TNetHTTP> client;
  std::unique_ptr<SessionScope> session;
  std::unique_ptr<PartTransfer> transfer;
  std::thread thread;

  std::atomic<bool> stop{false};      // set by the runner: end at the next block or wait slice
  std::atomic<bool> finished{false};  // `result` holds the end

  std::mutex lock;  // guards the fields up to `result`
  std::uint64_t bodies = 0;  // bodies of the file begun so far
  bool counting = false;     // the body coming in is the file's
  std::int64_t base = 0;     // bytes of the file before this body
  std::int64_t expected = -1;
  std::int64_t count = 0;     // bytes of this body so far
  std::int64_t received = 0;  // bytes of the file received in this run, all bodies
  PartTransfer::Result result;

  // The runner's thread only.
  std::uint64_t bodiesShown = 0;
  std::int64_t whole = 0;  // the file's bytes so far, as last shown
  std::int64_t size = 0;   // its length as last shown, 0 unknown
  RateMeter meter;         // this body's speed
  std::int64_t speedShownMs = 0;
};

}  // namespace larkvale::queue
