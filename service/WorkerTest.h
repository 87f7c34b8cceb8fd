// The worker tests' fixture: a queue directory, a table that hands out its messages as the
// dispatcher would, and the event log entries the workers make.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "service/GatedRelay.h"
#include "service/QueueTestSupport.h"
#include "service/ThrdSMTP.h"
#include "testing/Eventually.h"
#include "testing/TempDir.h"

namespace service_test {

struct Entry {
  svchost::EventKind kind;
  std::string text;
};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_.QuePath = queue_.Path();
    service::SetEventSink([this](svchost::EventKind kind, const std::string& text) {
      std::lock_guard lock(mutex_);
      entries_.push_back({kind, text});
    });
  }
  void TearDown() override {
    EXPECT_TRUE(
        testing_support::Eventually([] { return service::WorkerTable().ActiveWorkers == 0; }));
    service::SetEventSink(nullptr);
  }

  // Queues a pair for the relay and hands it out as the dispatcher would.
  std::string Queue(const std::string& base, const std::string& relay,
                    const std::string& moreKeys = "") {
    queue_.Dir().WriteFile(base + ".ini",
                           "[Connection]\r\nRemoteHost=" + relay +
                               "\r\nTimeOut=20\r\n[Message]\r\nFromAddr=shop@example.com\r\n"
                               "Subject=Order\r\nNTO1=Ann\r\nATO1=ann@example.org\r\n" +
                               moreKeys);
    queue_.Dir().WriteFile(base + ".tmp", "Hello Ann.\r\n");
    manager_.AddMessage(base + ".ini");
    clock_.Advance(15);
    manager_.UpdateQueueStatus();
    return manager_.GetNextMessage();
  }
  // Runs one worker to its end and returns the slot's state.
  service::SlotState Deliver(const std::string& name, int index = 1) {
    HANDLE thread = service::TSMTPThread::Start(queue_.Dir() / name, index, manager_);
    EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_TRUE(
        testing_support::Eventually([] { return service::WorkerTable().ActiveWorkers == 0; }));
    return manager_.Slot(1).State;
  }
  // Delivers the message through a relay that holds it after DATA; whileHeld runs meanwhile.
  void DeliverHeld(const std::string& base, const std::function<void()>& whileHeld) {
    service_test::GatedRelay relay;
    std::string name = Queue(base, relay.Address());
    HANDLE thread = service::TSMTPThread::Start(queue_.Dir() / name, 1, manager_);
    ASSERT_TRUE(
        testing_support::Eventually([&] { return relay.Holding(); }, std::chrono::seconds(10)));
    whileHeld();
    relay.Open();
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_TRUE(
        testing_support::Eventually([] { return service::WorkerTable().ActiveWorkers == 0; }));
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    if (!queue_.Dir().Exists("larkq.log")) return lines;
    std::string log = queue_.Dir().ReadFile("larkq.log");
    for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
      lines.push_back(log.substr(at + 19, end - at - 19));  // without the stamp
    }
    return lines;
  }
  std::vector<Entry> Entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

  testing_support::MachineRoot root_;
  service_test::QueueDir queue_;
  service_test::ManualClock clock_;
  service::TQManager manager_{clock_.AsLocalClock()};
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace service_test
