// What the service tells the event log, read where the Linux machine layer keeps it.
#include <gtest/gtest.h>

#include "service/ServiceLoopTest.h"
#include "testing/Eventually.h"

namespace {

using service_test::ServiceLoopTest;

TEST_F(ServiceLoopTest, ASecondServiceOnTheSameQueueSaysSoAndStops) {
  RunSecondServiceOnTheSameQueue();
  auto entries = Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].kind, svchost::ekError);  // the bad count, named
  EXPECT_EQ(entries[1].text, "Larkpost Service Started");
  EXPECT_EQ(entries[2].kind, svchost::ekFailure);
  EXPECT_EQ(entries[2].text, "Larkpost could not start. Another Larkpost is delivering the queue " +
                                 queue_.Path() + "/..");
}

TEST_F(ServiceLoopTest, AStopEndsHangingDeliveriesAtOnce) {
  RunStopWithHangingDeliveries();
  EXPECT_TRUE(Logged("Larkpost Service Stopped"));
}

TEST_F(ServiceLoopTest, AWorkerThatCannotBeMadeCountsNoFailure) {
  RunWorkerThatCannotBeMade();
  EXPECT_TRUE(
      Logged("TSC: Exception raised: Thread creation error: Resource temporarily unavailable"));
}

TEST_F(ServiceLoopTest, NoWorkersMeansNoStatusPassAndNoDelivery) {
  Set("Threads", 0);
  Start();
  EXPECT_TRUE(testing_support::Eventually([&] { return Logged("Larkpost Service Started"); }));
}

}  // namespace
