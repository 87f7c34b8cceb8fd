// Workers delivering messages whose names only a Linux file system allows.
#include <gtest/gtest.h>

#include "service/WorkerTest.h"
#include "testing/FakeSmtpServer.h"

namespace {

using service_test::WorkerTest;

// "\" and ":" are ordinary characters in a file name here; the table knows the message by
// everything after the last "/".
TEST_F(WorkerTest, TheMessageIsNamedAsTheQueueTableNamesIt) {
  testing_support::FakeSmtpServer relay;
  std::string name = Queue("C:\\odd:name", relay.Address());
  ASSERT_EQ(name, "C:\\odd:name.ini");
  EXPECT_EQ(Deliver(name), service::ssSent);
  ASSERT_EQ(LogLines().size(), 1u);
  EXPECT_TRUE(LogLines()[0].starts_with("Success: (C:\\odd:name.ini) "));
}

}  // namespace
