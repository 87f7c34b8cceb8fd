#include "service/LarkqSvc.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "service/ServiceLoopTest.h"
#include "testing/Eventually.h"
#include "testing/FakeSmtpServer.h"

namespace {

using service::TLarkqService;
using service::WorkerTable;
using service_test::ServiceLoopTest;
using testing_support::Eventually;

// Two services on one queue would deliver most messages twice: the second says so and stops. A
// bad failure count of one message no longer stops a start: it is reported with the file's name.
TEST_F(ServiceLoopTest, ASecondServiceOnTheSameQueueSaysSoAndStops) {
  RunSecondServiceOnTheSameQueue();
}

// Deliveries cut off by a stop record nothing and leave their files for the next start; the
// stop does not wait for them.
TEST_F(ServiceLoopTest, AStopEndsHangingDeliveriesAtOnce) { RunStopWithHangingDeliveries(); }

// A stop that arrives during a dispatch pass starts no further delivery.
TEST_F(ServiceLoopTest, AStopRequestedDuringAPassStartsNoDelivery) {
  testing_support::FakeSmtpServer relay;
  Queue("waiting", relay.Address());
  TLarkqService service;  // its steps run by hand on this thread
  ASSERT_TRUE(service.StartUp());
  service.QueueManager()->UpdateQueueStatus();
  service.StopEvent.SetEvent();
  service.SendMessages();
  EXPECT_EQ(WorkerTable().ActiveWorkers, 0);
  EXPECT_EQ(service.QueueManager()->Slot(1).State, service::ssReady);
  service.StopEvent.ResetEvent();
  service.SendMessages();
  EXPECT_TRUE(Eventually([&] { return relay.Messages().size() == 1; }));
  EXPECT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
}

// Running out of threads is no delivery attempt: nothing is counted, the message is ready for
// the next pass, and the error is reported under its step's tag.
TEST_F(ServiceLoopTest, AWorkerThatCannotBeMadeCountsNoFailure) { RunWorkerThatCannotBeMade(); }

TEST_F(ServiceLoopTest, AMessageRemovedBeforeItsTurnIsNotSent) {
  Set("SettleTime", 2);
  testing_support::FakeSmtpServer relay;
  Queue("gone", relay.Address());
  Start();
  ASSERT_TRUE(Eventually([&] { return service_->QueueManager() != nullptr; }));
  std::filesystem::remove(queue_ / "gone.ini");
  std::filesystem::remove(queue_ / "gone.tmp");
  ASSERT_TRUE(Eventually([&] { return service_->QueueManager()->Slot(1).State == service::ssFree; },
                         std::chrono::seconds(10)));
  EXPECT_EQ(relay.Connections(), 0);
  EXPECT_FALSE(queue_.Exists("larkq.log"));
}

TEST_F(ServiceLoopTest, NoWorkersMeansNoStatusPassAndNoDelivery) {
  Set("Threads", 0);
  testing_support::FakeSmtpServer relay;
  Queue("idle", relay.Address());
  Start();
  ASSERT_TRUE(Eventually([&] {
    return service_->QueueManager() != nullptr &&
           service_->QueueManager()->Slot(1).State == service::ssWaiting;
  }));
  Sleep(300);  // six polls
  EXPECT_EQ(service_->QueueManager()->Slot(1).State, service::ssWaiting);
  EXPECT_EQ(relay.Connections(), 0);
}

}  // namespace
