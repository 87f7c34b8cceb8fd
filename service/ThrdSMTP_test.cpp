#include "service/ThrdSMTP.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "service/GatedRelay.h"
#include "service/QueueTestSupport.h"
#include "settings/RegSet.h"
#include "testing/Eventually.h"
#include "testing/FakeSmtpServer.h"

namespace {

using service::TSMTPThread;
using service::WorkerTable;
using testing_support::Eventually;

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
    EXPECT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
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
    HANDLE thread = TSMTPThread::Start(queue_.Dir() / name, index, manager_);
    EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
    return manager_.Slot(1).State;
  }
  // Delivers the message through a relay that holds it after DATA; whileHeld runs meanwhile.
  void DeliverHeld(const std::string& base, const std::function<void()>& whileHeld) {
    service_test::GatedRelay relay;
    std::string name = Queue(base, relay.Address());
    HANDLE thread = TSMTPThread::Start(queue_.Dir() / name, 1, manager_);
    ASSERT_TRUE(Eventually([&] { return relay.Holding(); }, std::chrono::seconds(10)));
    whileHeld();
    relay.Open();
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
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
  EXPECT_EQ(lines[1], "Unable to erase file " + (queue_.Dir() / "body.tmp") +
                          " The system cannot find the file specified.");
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
  EXPECT_EQ(lines[1],
            "Unable to erase file " + (queue_.Dir() / "stays.ini") + " Access is denied.");
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
      "Unable to write to the message log: Cannot open " + (queue_.Dir() / "larkq.log") +
      ": Access is denied. Not logged: Success: (unlogged.ini) "))
      << entries[0].text;
}

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
