#pragma once
// The queue runner's surroundings for tests without a window: settings set
// by the test, what the runner says recorded, and hooks for the moments a
// test acts in (bytes arriving, a full disk).

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStringList>
#include <functional>
#include <vector>

#include "queue/runnerhost.h"

namespace larkvale::testing {

struct RecordingRunnerHost : queue::RunnerHost {
  bool stopped = false;
  queue::RunnerSettings settings;  // its folder must end in "/"
  stream::ClientFactory streamClients;
  QStringList statuses, done;
  int passErrors = 0;
  std::vector<std::int64_t> received;  // every count, 0 and -1 included
  // Called with each count of bytes received (also 0 and -1).
  std::function<void(std::int64_t)> onReceived;
  std::function<void()> onDiskFull;
  bool failOnPassError = false;  // a failed pass fails the test
  int fileChecks = 0;            // the runner's questions to the disk

  bool Stopped() override { return stopped; }
  queue::RunnerSettings Settings() override { return settings; }
  void PumpMessages() override { QCoreApplication::processEvents(); }
  stream::ClientFactory StreamClients() override { return streamClients; }
  bool FileExists(const QString& path) override {
    ++fileChecks;
    return RunnerHost::FileExists(path);
  }
  void Status(const QString& text) override { statuses << text; }
  void RowDone(const QString& file) override { done << file; }
  void DiskFull() override {
    if (onDiskFull) onDiskFull();
  }
  void PassFailed(std::exception_ptr) override {
    ++passErrors;
    if (failOnPassError) ADD_FAILURE() << "the pass failed";
  }
  void Received(std::int64_t bytes) override {
    received.push_back(bytes);
    if (onReceived) onReceived(bytes);
  }
};

}  // namespace larkvale::testing
