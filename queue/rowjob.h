#pragma once
// One row downloading beside others: its client, its download and the
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
#include "queue/rowdownload.h"
#include "queue/ratemeter.h"

namespace larkvale::queue {

struct RowJob : RowProgress {
  ~RowJob() override {
    if (download) download->Stop();
    if (thread.joinable()) thread.join();
  }

  quint64 id = 0;
  QString link;
  QString part;
  std::string host;
  // Declared in the order they are made: the download goes before the
  // client it uses.
  std::unique_ptr<http::TNetHTTP> client;
  std::unique_ptr<RowDownload> download;
  std::thread thread;

  std::atomic<bool> finished{false};  // `result` holds the end

  std::mutex lock;  // guards the fields up to `result`
  std::uint64_t bodies = 0;  // bodies of the file begun so far
  bool counting = false;     // the body coming in is the file's
  std::int64_t expected = -1;
  std::int64_t have = 0;      // the file's bytes so far
  std::int64_t received = 0;  // bytes of the file received in this run, all bodies
  RowResult result;

  // The runner's thread only.
  std::uint64_t bodiesShown = 0;
  std::int64_t whole = 0;  // the file's bytes so far, as last shown
  std::int64_t size = 0;   // its length as last shown, 0 unknown
  RateMeter meter;         // this body's speed
  std::int64_t bodyStart = 0;  // `received` when this body began, for the meter
  std::int64_t speedShownMs = 0;

  // The download's reports, on the worker: counted for the runner's thread.
  void Began(std::int64_t, std::int64_t whole) override {
    const std::lock_guard<std::mutex> hold(lock);
    ++bodies;
    counting = true;
    expected = whole;
  }
  void Moved(std::int64_t now, std::int64_t whole, std::int64_t total, double) override {
    const std::lock_guard<std::mutex> hold(lock);
    have = now;
    if (whole >= 0) expected = whole;
    received = total;
  }
  void Status(const QString&) override {}
  void Idle() override {}
};

}  // namespace larkvale::queue
