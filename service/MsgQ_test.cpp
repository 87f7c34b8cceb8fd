#include "service/MsgQ.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "rtl/SysUtils.h"
#include "service/QueueManagerTest.h"
#include "testing/Eventually.h"

namespace {

using service::TQManager;
using service_test::ManualClock;
using service_test::QueueDir;
using service_test::QueueManagerTest;

TEST_F(QueueManagerTest, AMessageIsHandedOutOnlyAfterItSettled) {
  queue_->AddPair("msgA1");
  manager_->ScanQueue();
  auto slot = manager_->Slot(1);
  EXPECT_EQ(slot.FileName, "msgA1.ini");
  EXPECT_EQ(slot.State, service::ssWaiting);
  EXPECT_EQ(slot.FoundTime, 14 * 3600 + 5 * 60 + 9);
  EXPECT_EQ(slot.FoundDate,
            static_cast<int>(rtl::EncodeDate(2026, 11, 3) - rtl::EncodeDate(1600, 1, 1)));
  clock_.Advance(14);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "");
  clock_.Advance(1);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "msgA1.ini");
  EXPECT_EQ(manager_->Slot(1).State, service::ssSending);
  EXPECT_EQ(manager_->GetNextMessage(), "");
}

TEST_F(QueueManagerTest, AClockSetBackStillSettles) {
  queue_->AddPair("back");
  manager_->ScanQueue();
  clock_.Advance(-10);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->Slot(1).State, service::ssWaiting);
  clock_.Advance(-6);  // 16 seconds before the message was found
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->Slot(1).State, service::ssReady);
}

TEST_F(QueueManagerTest, TheSettleDelayCountsAcrossMidnight) {
  clock_.Advance(9 * 3600 + 54 * 60 + 46);  // 23:59:55
  queue_->AddPair("late");
  manager_->ScanQueue();
  clock_.Advance(16);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->Slot(1).State, service::ssReady);
}

TEST_F(QueueManagerTest, TheSameFileOccupiesOneSlot) {
  queue_->AddPair("once");
  manager_->ScanQueue();
  manager_->ScanQueue();
  manager_->AddMessage("once.ini");
  EXPECT_EQ(Used(), 1);
  manager_->AddMessage("ONCE.ini");  // names compare exactly
  EXPECT_EQ(Used(), 2);
}

TEST_F(QueueManagerTest, AMessageThatAlwaysFailsIsTriedMaxMsgRetriesTimesThenMoved) {
  queue_->AddPair("bad");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  int attempts = 0;
  for (std::string name; !(name = manager_->GetNextMessage()).empty();) {
    ++attempts;
    manager_->SetState(name, service::ssFailed);
    manager_->UpdateQueueStatus();  // counts the failure; ready again in the same pass
    if (attempts < 5) {
      EXPECT_EQ(Failures(queue_->Dir() / "bad.ini"), std::to_string(attempts));
    }
  }
  EXPECT_EQ(attempts, 5);
  EXPECT_FALSE(queue_->Dir().Exists("bad.ini"));
  EXPECT_FALSE(queue_->Dir().Exists("bad.tmp"));
  EXPECT_EQ(Failures(queue_->Dir() / "Failed/bad.ini"), "5");
  EXPECT_TRUE(queue_->Dir().Exists("Failed/bad.tmp"));
  EXPECT_EQ(Used(), 0);
}

TEST_F(QueueManagerTest, OneRetryMovesAtTheFirstFailure) { ExpectOneFailureMovesIt("one"); }

// Attachments a producer spooled for the message go into Failed with it; a file it names outside
// the spool stays where it is.
TEST_F(QueueManagerTest, AMessageMovedIntoFailedTakesItsSpoolFolder) {
  Make(1);
  const auto& dir = queue_->Dir();
  dir.WriteFile("spool/att1/a.txt", "spooled");
  dir.WriteFile("invoice.pdf", "%PDF");
  dir.WriteFile("one.ini",
                "[Connection]\r\nRemoteHost=relay\r\n[Message]\r\nFromAddr=a@b\r\n"
                "Attachments1=" +
                    (dir / "spool/att1/a.txt") + "\r\n");
  dir.WriteFile("one.tmp", "body\r\n");
  dir.WriteFile("two.ini",
                "[Connection]\r\nRemoteHost=relay\r\n[Message]\r\nFromAddr=a@b\r\n"
                "Attachments1=" +
                    (dir / "invoice.pdf") + "\r\n");
  dir.WriteFile("two.tmp", "body\r\n");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  for (int i = 0; i < 2; ++i) manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  manager_->UpdateQueueStatus();
  EXPECT_TRUE(dir.Exists("Failed/one.ini"));
  EXPECT_TRUE(dir.Exists("Failed/two.ini"));
  EXPECT_EQ(dir.ReadFile("Failed/spool/att1/a.txt"), "spooled");
  EXPECT_FALSE(dir.Exists("spool/att1"));
  EXPECT_TRUE(dir.Exists("invoice.pdf"));
}

TEST_F(QueueManagerTest, MessagesAtOrAboveTheLimitAreNeverAdded) {
  for (int limit : {0, -1}) {
    Make(limit);
    queue_->AddPair("any");
    manager_->ScanQueue();
    EXPECT_EQ(Used(), 0) << limit;
  }
  Make(5);
  queue_->AddPair("seven", 7);
  queue_->AddPair("four", 4);
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 1);
  EXPECT_EQ(manager_->Slot(1).FileName, "four.ini");
  EXPECT_TRUE(queue_->Dir().Exists("seven.ini"));
}

TEST_F(QueueManagerTest, AFullTableTakesTheNextMessageAtALaterScan) {
  for (int i = 0; i < 201; ++i) queue_->AddPair("m" + std::to_string(i));
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 200);
  std::string left;
  for (int i = 0; i < 201; ++i) {
    std::string name = "m" + std::to_string(i) + ".ini";
    bool found = false;
    for (int n = 1; n <= 200 && !found; ++n) found = manager_->Slot(n).FileName == name;
    if (!found) left = name;
  }
  ASSERT_FALSE(left.empty());
  std::string freed = manager_->Slot(37).FileName;
  manager_->SetState(freed, service::ssSent);
  std::filesystem::remove(queue_->Dir() / freed);  // delivered files are gone
  // The table still holds work: one freed slot is not worth listing a long queue for.
  EXPECT_FALSE(manager_->UpdateQueueStatus());
  // A quarter of the table free is.
  for (int n = 1; n <= 49; ++n) {
    std::string name = manager_->Slot(n == 37 ? 200 : n).FileName;
    manager_->SetState(name, service::ssSent);
    std::filesystem::remove(queue_->Dir() / name);
  }
  EXPECT_TRUE(manager_->UpdateQueueStatus());
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 151);
  bool taken = false;
  for (int n = 1; n <= 200 && !taken; ++n) taken = manager_->Slot(n).FileName == left;
  EXPECT_TRUE(taken);
}

TEST_F(QueueManagerTest, AMessageLeftOutIsTakenOnceTheTableHasNoWorkLeft) {
  for (int i = 0; i < 201; ++i) queue_->AddPair("m" + std::to_string(i));
  manager_->ScanQueue();
  // One message is sent, every other one is out with a worker: nothing is waiting or ready.
  for (int n = 1; n <= 199; ++n) {
    manager_->SetState(manager_->Slot(n).FileName, service::ssSending);
  }
  manager_->SetState(manager_->Slot(200).FileName, service::ssSent);
  EXPECT_TRUE(manager_->UpdateQueueStatus());
}

TEST_F(QueueManagerTest, ReadyMessagesGoOutLowestSlotFirst) {
  queue_->AddPair("b");
  queue_->AddPair("a");
  queue_->AddPair("c");
  manager_->AddMessage("b.ini");
  manager_->AddMessage("a.ini");
  manager_->SetState("b.ini", service::ssSent);
  manager_->UpdateQueueStatus();  // frees slot 1
  manager_->AddMessage("c.ini");  // takes the lowest free slot
  EXPECT_EQ(manager_->Slot(1).FileName, "c.ini");
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "c.ini");
  EXPECT_EQ(manager_->GetNextMessage(), "a.ini");
}

TEST_F(QueueManagerTest, AMessageWhoseNameIsTakenInFailedStaysAndIsSkipped) {
  Make(1);
  queue_->AddPair("dup");
  queue_->Dir().WriteFile("Failed/dup.ini", "older");
  queue_->Dir().WriteFile("Failed/dup.tmp", "older");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(Used(), 0);
  EXPECT_EQ(Failures(queue_->Dir() / "dup.ini"), "1");
  EXPECT_TRUE(queue_->Dir().Exists("dup.tmp"));
  EXPECT_EQ(queue_->Dir().ReadFile("Failed/dup.ini"), "older");
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 0);
}

// While a worker delivers a message its files are still in the queue: neither the status
// passes nor the scans of the directory may touch its slot or hand it out a second time.
TEST_F(QueueManagerTest, AMessageBeingSentSurvivesPassesAndScansUnchanged) {
  queue_->AddPair("out");
  queue_->AddPair("other");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  std::string sending = manager_->GetNextMessage();
  ASSERT_FALSE(sending.empty());
  int slot = manager_->Slot(1).FileName == sending ? 1 : 2;
  const service::QueueSlot before = manager_->Slot(slot);
  for (int round = 0; round < 3; ++round) {
    clock_.Advance(3600);
    manager_->UpdateQueueStatus();
    manager_->ScanQueue();
  }
  const service::QueueSlot after = manager_->Slot(slot);
  EXPECT_EQ(after.FileName, before.FileName);
  EXPECT_EQ(after.State, service::ssSending);
  EXPECT_EQ(after.FoundDate, before.FoundDate);
  EXPECT_EQ(after.FoundTime, before.FoundTime);
  EXPECT_EQ(Used(), 2);
  EXPECT_NE(manager_->GetNextMessage(), sending);
  EXPECT_EQ(manager_->GetNextMessage(), "");
  EXPECT_EQ(Failures(queue_->Dir() / sending), "absent");
}

TEST_F(QueueManagerTest, SetStateWithAnUnknownNameChangesNothing) {
  queue_->AddPair("known");
  manager_->ScanQueue();
  manager_->SetState("unknown.ini", service::ssSent);
  manager_->SetState("", service::ssSent);
  EXPECT_EQ(manager_->Slot(1).State, service::ssWaiting);
  EXPECT_EQ(Used(), 1);
}

// Any producer may write a bad count: the message is passed over, and reported once by name.
TEST_F(QueueManagerTest, ACountThatIsNotANumber) {
  std::vector<std::string> reports;
  manager_->OnReport = [&](const std::string& text) { reports.push_back(text); };
  queue_->Dir().WriteFile("broken.ini", "[Connection]\r\nFailures=abc\r\n");
  queue_->AddPair("fine");
  manager_->ScanQueue();
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 1);
  EXPECT_EQ(manager_->Slot(1).FileName, "fine.ini");
  EXPECT_EQ(reports, std::vector<std::string>{"Skipped " + (queue_->Dir() / "broken.ini") +
                                              ": its failure count 'abc' is not a valid integer "
                                              "value"});
}

// A pass reports the error of one slot and goes on: a count spoiled while its message was out
// is reported at every pass, while the slot after it is counted and retried as usual.
TEST_F(QueueManagerTest, AnErrorAtOneSlotDoesNotHoldUpTheOthers) {
  std::vector<std::string> reports;
  manager_->OnSlotError = [&](const std::exception& e) {
    reports.push_back(std::string(rtl::ClassNameOf(e)) + ": " + e.what());
  };
  queue_->AddPair("first");
  queue_->AddPair("second");
  manager_->AddMessage("first.ini");
  manager_->AddMessage("second.ini");
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  queue_->Dir().WriteFile("first.ini", "[Connection]\r\nFailures=x1\r\n");
  manager_->UpdateQueueStatus();
  manager_->UpdateQueueStatus();
  EXPECT_EQ(reports,
            std::vector<std::string>(2, "EConvertError: 'x1' is not a valid integer value"));
  EXPECT_EQ(manager_->Slot(1).State, service::ssFailed);
  EXPECT_EQ(manager_->Slot(2).State, service::ssReady);
  EXPECT_EQ(Failures(queue_->Dir() / "second.ini"), "1");
}

// A run cut off within a move into Failed, after the count was written or between the two moves,
// leaves the rest for the next start, the spooled attachments too.
TEST_F(QueueManagerTest, AStartFinishesAMoveIntoFailedThatWasCutOff) {
  for (const std::string step : {"counted", "ini moved"}) {
    Make(1);
    const auto& dir = queue_->Dir();
    dir.WriteFile("spool/att1/a.txt", "spooled");
    dir.WriteFile("cut.ini", "[Connection]\r\nRemoteHost=relay\r\n[Message]\r\nAttachments1=" +
                                 (dir / "spool/att1/a.txt") + "\r\n");
    dir.WriteFile("cut.tmp", "body\r\n");
    manager_->AtStep = [&](const char* at) {
      if (at == step) throw std::runtime_error("killed");
    };
    FailAll();
    manager_ = std::make_unique<TQManager>(clock_.AsLocalClock());
    manager_->QuePath = queue_->Path();
    manager_->RepairQueue();
    for (const char* moved : {"cut.ini", "cut.tmp", "spool/att1/a.txt"}) {
      EXPECT_TRUE(dir.Exists(std::string("Failed/") + moved)) << step << " " << moved;
      EXPECT_FALSE(dir.Exists(moved)) << step << " " << moved;
    }
  }
}

// Left by a delivery cut off between its erases, or for a moment by a producer, which writes
// them first: the start removes only what is older than that.
TEST_F(QueueManagerTest, AStartRemovesWhatADeliveryLeftBehind) {
  std::vector<std::string> repairs;
  manager_->OnRepair = [&](const std::string& text) { repairs.push_back(text); };
  const auto& dir = queue_->Dir();
  for (const char* name : {"old.tmp", "new.tmp", "spool/old/a", "spool/new/a", "spool/kept/a"}) {
    dir.WriteFile(name, "body");
  }
  dir.WriteFile("kept.ini", "[Message]\r\nAttachments1=" + (dir / "spool/kept/a") + "\r\n");
  for (const char* name : {"old.tmp", "spool/old", "spool/kept"}) {
    service_test::MakeOlder(dir / name, 16);
  }
  service_test::MakeOlder(dir / "new.tmp", 13);
  manager_->RepairQueue();
  for (const char* name : {"new.tmp", "spool/new/a", "spool/kept/a"}) EXPECT_TRUE(dir.Exists(name));
  EXPECT_EQ(repairs,
            (std::vector<std::string>{
                "Removed " + (dir / "old.tmp") + ", a body left without its .ini",
                "Removed " + (dir / "spool") + LARK_PATH_DELIM + "old, named by no message"}));
  // A body too young at start goes once it would have settled, not at the next start only.
  EXPECT_TRUE(testing_support::Eventually([&] {
    manager_->RemoveSettledOrphans();
    return !dir.Exists("new.tmp");
  }));
}

// Counting writes into the .ini; for a message removed by hand that would leave a stub .ini
// holding nothing but the count.
TEST_F(QueueManagerTest, AFailureOfAMessageRemovedMeanwhileFreesItsSlotAndWritesNothing) {
  queue_->AddPair("removed");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  std::filesystem::remove(queue_->Dir() / "removed.ini");
  std::filesystem::remove(queue_->Dir() / "removed.tmp");
  manager_->UpdateQueueStatus();
  EXPECT_EQ(Used(), 0);
  EXPECT_FALSE(queue_->Dir().Exists("removed.ini"));
}

TEST_F(QueueManagerTest, AMoveIntoFailedThatFailsIsReportedOnce) {
  Make(1);
  std::vector<std::string> moves;
  manager_->OnReport = [&](const std::string& text) { moves.push_back(text); };
  queue_->AddPair("taken");
  queue_->Dir().WriteFile("Failed/taken.ini", "older");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  manager_->UpdateQueueStatus();
  manager_->ScanQueue();
  manager_->UpdateQueueStatus();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0], "Unable to move file " + (queue_->Dir() / "taken.ini") + " to " +
                          (queue_->Dir() / "Failed") + LARK_PATH_DELIM + "taken.ini " +
                          rtl::SysErrorMessage(ERROR_ALREADY_EXISTS));
  // The body stays with its .ini: it moves only after the .ini did.
  EXPECT_TRUE(queue_->Dir().Exists("taken.tmp"));
  EXPECT_FALSE(queue_->Dir().Exists("Failed/taken.tmp"));

  // Nothing moves unless both names are free in Failed.
  queue_->AddPair("body");
  queue_->Dir().WriteFile("Failed/body.tmp", "older");
  FailAll();
  EXPECT_EQ(moves.size(), 2u);
  EXPECT_TRUE(queue_->Dir().Exists("body.ini") && !queue_->Dir().Exists("Failed/body.ini"));
}

// A queue directory set by hand has no Failed directory: it is made like the queue directory.
TEST_F(QueueManagerTest, AMissingFailedDirectoryIsMade) {
  Make(1);
  std::filesystem::remove_all(queue_->Dir() / "Failed");
  manager_->RepairQueue();
  EXPECT_EQ(std::filesystem::status(queue_->Dir() / "Failed").permissions(),
            std::filesystem::status(queue_->Path()).permissions());
  std::filesystem::remove_all(queue_->Dir() / "Failed");
  queue_->AddPair("nowhere");
  FailAll();
  EXPECT_TRUE(queue_->Dir().Exists("Failed/nowhere.ini") &&
              queue_->Dir().Exists("Failed/nowhere.tmp"));
}

TEST_F(QueueManagerTest, TheSettleTimeIsTunable) {
  settings::Settings().SettleTime = 0;
  queue_->AddPair("now");
  manager_->ScanQueue();
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "now.ini");

  settings::Settings().SettleTime = 40;
  queue_->AddPair("later");
  manager_->ScanQueue();
  clock_.Advance(39);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "");
  clock_.Advance(1);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "later.ini");
}

TEST_F(QueueManagerTest, ARetryDelayHoldsAFailedMessageBack) {
  settings::Settings().RetryDelay = 300;
  queue_->AddPair("retry");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetState(manager_->GetNextMessage(), service::ssFailed);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(Failures(queue_->Dir() / "retry.ini"), "1");
  EXPECT_EQ(manager_->Slot(1).State, service::ssWaiting);
  clock_.Advance(299);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "");
  clock_.Advance(1);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "retry.ini");
}

// A message a scan could not take waits for a slot; the pass that frees one says so, and only
// then, since a scan of a long queue is not cheap.
TEST_F(QueueManagerTest, APassAsksForARescanWhenItFreedASlotAMessageWaitsFor) {
  queue_->AddPair("a");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  EXPECT_EQ(manager_->GetNextMessage(), "a.ini");
  manager_->SetState("a.ini", service::ssSent);
  std::filesystem::remove(queue_->Dir() / "a.ini");
  EXPECT_FALSE(manager_->UpdateQueueStatus());  // freed, but nothing waits

  queue_->AddPair("b");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetState(manager_->GetNextMessage(), service::ssSent);
  queue_->AddPair("b");  // delivered and erased, then queued anew under the same name
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 1);  // the sent slot still holds the name
  EXPECT_TRUE(manager_->UpdateQueueStatus());
  manager_->ScanQueue();
  EXPECT_EQ(manager_->Slot(1).FileName, "b.ini");
  EXPECT_EQ(manager_->Slot(1).State, service::ssWaiting);
}

// A delivered message whose .ini could not be erased would otherwise be found and delivered
// again by every scan; once the file is gone its name is free for a new message.
TEST_F(QueueManagerTest, ADeliveredMessageLeftInTheQueueIsNotTakenUpAgain) {
  queue_->AddPair("stuck");
  manager_->ScanQueue();
  clock_.Advance(15);
  manager_->UpdateQueueStatus();
  manager_->SetSentStillQueued(manager_->GetNextMessage());
  manager_->UpdateQueueStatus();
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 0);

  std::filesystem::remove(queue_->Dir() / "stuck.ini");
  queue_->AddPair("other");
  manager_->ScanQueue();  // no longer finds it, and forgets it
  queue_->AddPair("stuck");
  manager_->ScanQueue();
  EXPECT_EQ(Used(), 2);
  EXPECT_EQ(manager_->Slot(2).FileName, "stuck.ini");
}

}  // namespace
