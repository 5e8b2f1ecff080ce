#include "queue/rowjob.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"
#include "platform/rounding.h"

namespace larkvale::queue {
namespace {

using platform::RoundHalfEven;

constexpr std::int64_t kSpeedRefreshMs = 500;  // as the speed label refreshes

qint64 Percent(std::int64_t part, std::int64_t whole) {
  return RoundHalfEven(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

}  // namespace

void JobWake::Notify() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    notified_ = true;
  }
  changed_.notify_one();
}

void JobWake::Wait(int ms) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return notified_; });
  notified_ = false;
}

RowJob::RowJob(Start start, std::unique_ptr<http::TNetHTTP> client, JobWake& wake)
    : start_(std::move(start)), wake_(wake), client_(std::move(client)) {
  download_ = std::make_unique<RowDownload>(*client_, start_.options);
  thread_ = std::thread([this] {
    RowResult result = download_->Run(start_.link, start_.part, *this);
    {
      const std::lock_guard<std::mutex> hold(lock_);
      result_ = std::move(result);
    }
    finished_ = true;
    wake_.Notify();
  });
}

RowJob::~RowJob() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

void RowJob::Began(std::int64_t resumed, std::int64_t expected) {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    ++counts_.bodies;
    counts_.resumed = resumed;
    counts_.expected = expected;
  }
  wake_.Notify();  // the row shows where it starts without waiting a slice
}

void RowJob::Moved(std::int64_t have, std::int64_t expected, std::int64_t received, double fraction) {
  const std::lock_guard<std::mutex> hold(lock_);
  counts_.have = have;
  if (expected >= 0) counts_.expected = expected;
  counts_.received = received;
  counts_.fraction = fraction;
}

void RowJob::Status(const QString& text) {
  const std::lock_guard<std::mutex> hold(lock_);
  ++counts_.statuses;
  counts_.status = text;
}

RowJob::Shown RowJob::Show(DownloadList& list, int row) {
  Counts c;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    c = counts_;
  }
  Shown shown;
  shown.received = c.received;
  shown.have = c.have;
  if (c.statuses != statusesShown_) {
    statusesShown_ = c.statuses;
    shown.status = c.status;
  }
  if (row < 0) return shown;  // deleted: nothing to show it on
  if (c.bodies != bodiesShown_) {
    bodiesShown_ = c.bodies;
    bodyStart_ = c.received;
    shown.began = true;
    shown.announced = c.expected > 0 ? c.expected - c.resumed : 0;
    meter_.Start(shown.announced);
    list.BeginUpdate();
    if (c.expected > 0) {
      list.SetCellInt(colSize, row, c.expected);
      list.SetCellInt(colProgress, row, Percent(c.resumed, c.expected));
    } else {
      list.SetCellInt(colProgress, row, 0);
    }
    list.EndUpdate();
  }
  const bool counting = c.bodies > 0 || c.fraction >= 0;
  if (!counting) return shown;
  meter_.Update(c.received - bodyStart_);
  if (const std::int64_t now = platform::TickCountMs(); now - speedShownMs_ >= kSpeedRefreshMs) {
    speedShownMs_ = now;
    list.SetSpeedText(row, meter_.Text());
  }
  list.BeginUpdate();
  // A stream learns its length as it goes.
  if (c.fraction >= 0 && c.expected > 0 && list.CellInt(colSize, row) != c.expected)
    list.SetCellInt(colSize, row, c.expected);
  shown.size = std::max<qint64>(list.CellInt(colSize, row), 0);
  // The percentage moves once in about a hundred blocks of a large file;
  // writing the same value again would only announce a change that is none.
  qint64 percent = -1;
  if (c.fraction >= 0)
    percent = RoundHalfEven(c.fraction * 100.0);
  else if (shown.size >= 1)
    percent = Percent(c.have, shown.size);
  if (percent >= 0 && (list.CellEmpty(colProgress, row) || list.CellInt(colProgress, row) != percent))
    list.SetCellInt(colProgress, row, percent);
  list.EndUpdate();
  shown.moved = c.have != haveShown_;
  haveShown_ = c.have;
  sizeShown_ = shown.size;
  return shown;
}

RowResult RowJob::Result() {
  if (thread_.joinable()) thread_.join();
  const std::lock_guard<std::mutex> hold(lock_);
  return result_;
}

std::unique_ptr<http::TNetHTTP> RowJob::TakeClient() {
  if (thread_.joinable()) thread_.join();
  download_.reset();
  return std::move(client_);
}

}  // namespace larkvale::queue
