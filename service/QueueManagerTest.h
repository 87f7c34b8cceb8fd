// The queue manager tests' fixture: a queue directory, a manager over it on a clock the test
// moves, and a failed attempt of every message it hands out.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "rtl/IniFile.h"
#include "service/MsgQ.h"
#include "service/QueueTestSupport.h"

namespace service_test {

class QueueManagerTest : public ::testing::Test {
 protected:
  void Make(int maxMsgRetries = 5) {
    queue_ = std::make_unique<QueueDir>(maxMsgRetries);
    manager_ = std::make_unique<service::TQManager>(clock_.AsLocalClock());
    manager_->QuePath = queue_->Path();
  }
  void SetUp() override { Make(); }
  std::string Failures(const std::string& path) {
    return rtl::TIniFile(path).ReadString("Connection", "Failures", "absent");
  }
  // One attempt of every message a scan finds, each failing and counted.
  void FailAll() {
    manager_->ScanQueue();
    clock_.Advance(15);
    manager_->UpdateQueueStatus();
    for (std::string name; !(name = manager_->GetNextMessage()).empty();)
      manager_->SetState(name, service::ssFailed);
    manager_->UpdateQueueStatus();
  }
  // A message that may be tried once is in Failed/ with its body after one failed attempt.
  void ExpectOneFailureMovesIt(const std::string& name) {
    Make(1);
    queue_->AddPair(name);
    FailAll();
    EXPECT_TRUE(queue_->Dir().Exists("Failed/" + name + ".ini")) << name;
    EXPECT_TRUE(queue_->Dir().Exists("Failed/" + name + ".tmp")) << name;
    EXPECT_EQ(Used(), 0) << name;
  }
  int Used() {
    int used = 0;
    for (int n = 1; n <= service::TQManager::kSlotCount; ++n) used += manager_->Slot(n).State != 0;
    return used;
  }

  ManualClock clock_;
  std::unique_ptr<QueueDir> queue_;
  std::unique_ptr<service::TQManager> manager_;
};

}  // namespace service_test
