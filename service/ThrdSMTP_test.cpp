#include "service/ThrdSMTP.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "rtl/SysUtils.h"
#include "service/GatedRelay.h"
#include "service/WorkerTest.h"
#include "settings/RegSet.h"
#include "testing/Eventually.h"
#include "testing/FakeSmtpServer.h"

namespace {

using service::TSMTPThread;
using service::WorkerTable;
using service_test::WorkerTest;
using testing_support::Eventually;

TEST_F(WorkerTest, ADeliveryLogsErasesAndReportsSent) {
  service_test::GatedRelay relay;
  std::string name = Queue("A1B2C3", relay.Address());
  HANDLE thread = TSMTPThread::Start(queue_.Dir() / name, 2, manager_);
  ASSERT_TRUE(Eventually([&] { return relay.Holding(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(WorkerTable().WorkerBusy[2]);
  EXPECT_FALSE(WorkerTable().WorkerBusy[1]);
  EXPECT_EQ(WorkerTable().ActiveWorkers, 1);
  relay.Open();
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  CloseHandle(thread);
  ASSERT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
  EXPECT_FALSE(WorkerTable().WorkerBusy[2]);

  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("Success: (A1B2C3.ini) shop@example.com")) << lines[0];
  EXPECT_FALSE(queue_.Dir().Exists("A1B2C3.ini"));
  EXPECT_FALSE(queue_.Dir().Exists("A1B2C3.tmp"));
  EXPECT_EQ(manager_.Slot(1).State, service::ssSent);
  EXPECT_TRUE(Entries().empty());
}

// The attachments a producer spooled for the message are its own: they go once it is delivered,
// and stay while it may still be tried. A file it names elsewhere is never touched.
TEST_F(WorkerTest, ADeliveryRemovesTheMessagesSpoolFolderOnly) {
  testing_support::FakeSmtpServer relay;
  queue_.Dir().WriteFile("spool/att1/a.txt", "spooled");
  queue_.Dir().WriteFile("spool/att2/b.txt", "another message's");
  queue_.Dir().WriteFile("invoice.pdf", "%PDF");
  const std::string keys = "Attachments1=" + (queue_.Dir() / "spool/att1/a.txt") +
                           "\r\nAttachments2=" + (queue_.Dir() / "invoice.pdf") + "\r\n";
  EXPECT_EQ(Deliver(Queue("spooled", relay.Address(), keys)), service::ssSent);
  EXPECT_FALSE(queue_.Dir().Exists("spool/att1"));
  EXPECT_TRUE(queue_.Dir().Exists("spool/att2/b.txt"));
  EXPECT_TRUE(queue_.Dir().Exists("invoice.pdf"));
  manager_.UpdateQueueStatus();

  queue_.Dir().WriteFile("spool/att3/c.txt", "kept");
  testing_support::FakeSmtpServer refusing;
  refusing.Reply("MAIL", {"550 5.7.1 relaying denied\r\n"});
  EXPECT_EQ(Deliver(Queue("refused", refusing.Address(),
                          "Attachments1=" + (queue_.Dir() / "spool/att3/c.txt") + "\r\n")),
            service::ssFailed);
  EXPECT_TRUE(queue_.Dir().Exists("spool/att3/c.txt"));
}

// Delivered to the others, the message is done; each refused recipient gets a line of its own
// (a failure, so the event log hears of it too), and the relay hears the configured HELO name.
TEST_F(WorkerTest, EachRefusedRecipientIsLoggedAfterTheSuccess) {
  settings::Settings().HeloName = "mail.example.org";
  settings::Settings().LogTarget = settings::ltBoth;
  testing_support::FakeSmtpServer relay;
  relay.Reply("RCPT", {"550 5.1.1 <gone@example.org> no such user\r\n", "250 ok\r\n"});
  queue_.Dir().WriteFile("part.ini",
                         "[Connection]\r\nRemoteHost=" + relay.Address() +
                             "\r\nTimeOut=20\r\n[Message]\r\nIgnoreRecipientErrors=1\r\n"
                             "FromAddr=shop@example.com\r\nNTO1=Gone\r\nATO1=gone@example.org\r\n"
                             "NTO2=Ann\r\nATO2=ann@example.org\r\n");
  queue_.Dir().WriteFile("part.tmp", "Hello.\r\n");
  manager_.AddMessage("part.ini");
  clock_.Advance(15);
  manager_.UpdateQueueStatus();
  std::string name = manager_.GetNextMessage();
  EXPECT_EQ(Deliver(name), service::ssSent);
  settings::Settings().HeloName.clear();
  settings::Settings().LogTarget = settings::ltMessageLog;
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("Success: (part.ini)")) << lines[0];
  const std::string refused =
      "Recipient refused (part.ini) gone@example.org Reason: 550 5.1.1 <gone@example.org> no "
      "such user";
  EXPECT_EQ(lines[1], refused);
  auto entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].kind, svchost::ekError);
  EXPECT_EQ(entries[0].text, refused);
  ASSERT_FALSE(relay.Commands().empty());
  EXPECT_EQ(relay.Commands()[0], "HELO mail.example.org");
}

TEST_F(WorkerTest, ARefusedDeliveryLeavesTheFilesAndReportsFailed) {
  testing_support::FakeSmtpServer relay;
  relay.Reply("MAIL", {"550 5.7.1 relaying denied\r\n"});
  std::string name = Queue("refused", relay.Address());
  EXPECT_EQ(Deliver(name), service::ssFailed);
  EXPECT_EQ(LogLines(), std::vector<std::string>{
                            "Send Failure (refused.ini) Reason: 550 5.7.1 relaying denied"});
  EXPECT_TRUE(queue_.Dir().Exists("refused.ini"));
  EXPECT_TRUE(queue_.Dir().Exists("refused.tmp"));
}

TEST_F(WorkerTest, ABodyGoneBeforeTheCleanUpIsReportedButTheMessageIsSent) {
  DeliverHeld("body", [&] { std::filesystem::remove(queue_.Dir() / "body.tmp"); });
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("Success: (body.ini) "));
  EXPECT_EQ(lines[1], "Unable to erase file " + (queue_.Dir() / "body.tmp") + " " +
                          rtl::SysErrorMessage(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(manager_.Slot(1).State, service::ssSent);
}

// A delivered .ini left in the queue would be found and sent again by every later scan.
TEST_F(WorkerTest, ADeliveredMessageWhoseIniStaysIsNotDeliveredAgain) {
  DeliverHeld("stays", [&] {
    // A directory under the .ini's name: listed by scans, refused by the erase.
    std::filesystem::remove(queue_.Dir() / "stays.ini");
    std::filesystem::create_directory(queue_.Dir() / "stays.ini");
  });
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Unable to erase file " + (queue_.Dir() / "stays.ini") + " " +
                          rtl::SysErrorMessage(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(queue_.Dir().Exists("stays.tmp"));
  manager_.UpdateQueueStatus();
  manager_.ScanQueue();
  EXPECT_EQ(manager_.Slot(1).State, service::ssFree);
}

// Counting a delivered message as failed would send it again; the log's trouble goes to the
// event log instead, and the outcome stands.
TEST_F(WorkerTest, AnOutcomeThatCannotBeLoggedStillCounts) {
  std::filesystem::create_directory(queue_.Dir() / "larkq.log");
  {
    testing_support::FakeSmtpServer relay;
    std::string name = Queue("unlogged", relay.Address());
    EXPECT_EQ(Deliver(name), service::ssSent);
    EXPECT_FALSE(queue_.Dir().Exists("unlogged.ini"));
  }
  manager_.UpdateQueueStatus();
  testing_support::FakeSmtpServer refusing;
  refusing.Reply("MAIL", {"550 no\r\n"});
  std::string name = Queue("refused", refusing.Address());
  EXPECT_EQ(Deliver(name), service::ssFailed);

  // The entry names the message and its outcome; the same trouble again is not repeated.
  auto entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].kind, svchost::ekError);
  EXPECT_TRUE(entries[0].text.starts_with(
      "Unable to write to the message log: Cannot open " + (queue_.Dir() / "larkq.log") + ": " +
      rtl::SysErrorMessage(ERROR_ACCESS_DENIED) + " Not logged: Success: (unlogged.ini) "))
      << entries[0].text;
}

TEST_F(WorkerTest, AnEndingWorkerWakesThePollWhenAsked) {
  testing_support::FakeSmtpServer relay;
  ResetEvent(service::WorkerFinishedEvent());
  settings::Settings().DispatchOnFinish = true;
  Deliver(Queue("woken", relay.Address()));
  EXPECT_EQ(WaitForSingleObject(service::WorkerFinishedEvent(), 0), WAIT_OBJECT_0);
  settings::Settings().DispatchOnFinish = false;
  manager_.UpdateQueueStatus();
  Deliver(Queue("quiet", relay.Address()));
  EXPECT_EQ(WaitForSingleObject(service::WorkerFinishedEvent(), 0),
            static_cast<DWORD>(WAIT_TIMEOUT));
}

// The success line is the same whichever relay took the message; debug logging adds why.
TEST_F(WorkerTest, ASecondRelayIsNamedWhenDebugging) {
  testing_support::FakeSmtpServer first, second;
  first.SetGreeting("421 busy\r\n");
  settings::Settings().DebugLogging = true;
  Deliver(Queue("debug", first.Address() + ";" + second.Address()));
  settings::Settings().DebugLogging = false;
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("Success: (debug.ini) shop@example.com")) << lines[0];
  EXPECT_EQ(lines[1], "Second relay (debug.ini) " + second.Address() +
                          " took the message; the first relay " + first.Address() +
                          " failed: 421 busy");
}

// The service's workers keep one thread per index for one delivery after another; one ended by
// force during a delivery is made anew for the next, and a stop ends the idle ones.
TEST_F(WorkerTest, AKeptWorkerThreadServesEveryDeliveryOfItsIndex) {
  testing_support::FakeSmtpServer relay;
  auto start = [&](const std::string& base, const std::string& address) {
    return service::StartPooledWorker(queue_.Dir() / Queue(base, address), 1, manager_);
  };
  HANDLE first = start("kept1", relay.Address());
  ASSERT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
  EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  {
    service_test::GatedRelay held;
    HANDLE second = start("kept2", held.Address());
    ASSERT_TRUE(Eventually([&] { return held.Holding(); }, std::chrono::seconds(10)));
    TerminateThread(second, 0);
    EXPECT_EQ(WaitForSingleObject(first, 10000), WAIT_OBJECT_0);  // one thread, now ended
    CloseHandle(second);
  }
  service::SetActive(1, false);  // as the shutdown does for an index it ended
  manager_.SetState("kept2.ini", service::ssFailed);
  HANDLE third = start("kept3", relay.Address());
  ASSERT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
  EXPECT_EQ(relay.Messages().size(), 2u);
  for (HANDLE ended : service::EndPooledWorkers()) {
    EXPECT_EQ(WaitForSingleObject(ended, 10000), WAIT_OBJECT_0);
    CloseHandle(ended);
  }
  EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0);
  for (HANDLE handle : {first, third}) CloseHandle(handle);
}

}  // namespace
