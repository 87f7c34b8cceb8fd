#include "tools/larkq/AdminCommands.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "testing/TempDir.h"
#include "tools/larkq/CommandTestSupport.h"

namespace {

using larkq_test::Result;
using larkq_test::RunCommand;

class AdminCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    larkq_test::SettingsKey()->WriteString("QuePath", queue_.Path());
    std::filesystem::create_directory(queue_ / "Failed");
  }
  void Pair(const std::string& base, int failures, const std::string& body = "Hello Ann.\r\n") {
    queue_.WriteFile(base + ".ini",
                     "[Connection]\r\nRemoteHost=relay1;relay2\r\nTimeOut=20\r\nFailures=" +
                         std::to_string(failures) +
                         "\r\n[Message]\r\nFromName=Shop\r\nFromAddr=shop@example.com\r\n"
                         "Subject=Your order\r\nNTO1=Ann\r\nATO1=ann@example.org\r\n"
                         "NCC1=bob@example.org\r\nACC1=bob@example.org\r\nAttachments1=" +
                         (queue_ / "invoice.pdf") + "\r\n");
    queue_.WriteFile(base + ".tmp", body);
  }
  std::string Failed(const std::string& name) const {
    return queue_ / "Failed" + rtl::PathDelim + name;
  }
  std::string Failures(const std::string& ini) {
    return rtl::TIniFile(queue_ / ini).ReadString("Connection", "Failures", "absent");
  }

  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
};

TEST_F(AdminCommandsTest, ShowPrintsTheMessageAsTheServiceReadsIt) {
  queue_.WriteFile("invoice.pdf", std::string(1234, 'x'));
  Pair("Failed/msg0001", 5, "Hello Ann.\r\nline 2\r\n");
  Result shown = RunCommand(larkq::RunShowCommand, {"msg0001"});
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_EQ(shown.out, "Message:     " + Failed("msg0001.ini") +
                           " (failed)\n"
                           "Relays:      relay1;relay2\n"
                           "Time-out:    20 s\n"
                           "From:        Shop <shop@example.com>\n"
                           "To:          Ann <ann@example.org>\n"
                           "Cc:          bob@example.org\n"
                           "Subject:     Your order\n"
                           "Attachment:  " +
                           (queue_ / "invoice.pdf") +
                           " (1234 bytes)\n"
                           "Failures:    5\n"
                           "Body:        2 lines\n"
                           "  Hello Ann.\n"
                           "  line 2\n");
  EXPECT_EQ(RunCommand(larkq::RunShowCommand, {"msg0001", "msg0002"}).code, 2);
  EXPECT_EQ(RunCommand(larkq::RunShowCommand, {"--help"}).code, 0);
}

// Only what the service would take up is edited or removed, whatever path names it.
TEST_F(AdminCommandsTest, DeleteAndRetryTouchNothingButQueuedMessages) {
  testing_support::TempDir elsewhere;
  const std::string ini = "[Connection]\r\nFailures=3\r\n[Message]\r\nFromAddr=a@x.test\r\n";
  elsewhere.WriteFile("php.ini", ini);
  queue_.WriteFile("sub/m.ini", ini);
  queue_.WriteFile("plain.ini", "[Connection]\r\nFailures=3\r\n");
  const std::string paths[] = {elsewhere / "php.ini", queue_ / "sub/m.ini", queue_ / "plain.ini"};
  for (auto command : {larkq::RunDeleteCommand, larkq::RunRetryCommand}) {
    for (const auto& path : paths) {
      Result refused = RunCommand(command, {path});
      EXPECT_EQ(refused.code, 1) << path;
      EXPECT_NE(refused.err.find("not a queued message: " + path), std::string::npos)
          << refused.err;
    }
  }
  EXPECT_EQ(elsewhere.ReadFile("php.ini"), ini);
  EXPECT_EQ(queue_.ReadFile("sub/m.ini"), ini);
  EXPECT_EQ(queue_.ReadFile("plain.ini"), "[Connection]\r\nFailures=3\r\n");
}

TEST_F(AdminCommandsTest, DeleteRemovesEachPairAndNamesWhatItCouldNot) {
  Pair("a", 0);
  Pair("Failed/b", 5);
  queue_.WriteFile("c.ini", "[Message]\r\n");  // a message whose body is already gone
  Result deleted = RunCommand(larkq::RunDeleteCommand, {"a", "b", "c.ini", "nothere"});
  EXPECT_EQ(deleted.code, 1);
  EXPECT_EQ(deleted.out, "Deleted " + (queue_ / "a.ini") + "\nDeleted " + Failed("b.ini") +
                             "\nDeleted " + (queue_ / "c.ini") + "\n");
  EXPECT_NE(deleted.err.find("larkq delete: no such queued message: nothere"), std::string::npos);
  for (const char* file : {"a.ini", "a.tmp", "Failed/b.ini", "Failed/b.tmp", "c.ini"}) {
    EXPECT_FALSE(queue_.Exists(file)) << file;
  }
}

TEST_F(AdminCommandsTest, RetryResetsTheCountAndBringsAFailedMessageBack) {
  Pair("queued", 3);
  Pair("Failed/failed", 5);
  Result retried = RunCommand(larkq::RunRetryCommand, {"queued", "failed"});
  EXPECT_EQ(retried.code, 0) << retried.err;
  EXPECT_EQ(Failures("queued.ini"), "0");
  EXPECT_EQ(Failures("failed.ini"), "0");
  EXPECT_EQ(queue_.ReadFile("failed.tmp"), "Hello Ann.\r\n");
  EXPECT_FALSE(queue_.Exists("Failed/failed.ini") || queue_.Exists("Failed/failed.tmp"));

  // A message of the same name in the queue is never replaced, and the failed one stays whole.
  Pair("Failed/queued", 5, "the older one\r\n");
  Result taken = RunCommand(larkq::RunRetryCommand, {(queue_ / "Failed/queued.ini")});
  EXPECT_EQ(taken.code, 1);
  EXPECT_NE(taken.err.find("the queue already holds queued.ini"), std::string::npos) << taken.err;
  EXPECT_EQ(queue_.ReadFile("queued.tmp"), "Hello Ann.\r\n");
  EXPECT_EQ(queue_.ReadFile("Failed/queued.tmp"), "the older one\r\n");
  EXPECT_TRUE(queue_.Exists("Failed/queued.ini"));
}

// A message's spooled attachments leave with it and come back with it; another message's stay.
TEST_F(AdminCommandsTest, DeleteAndRetryTakeTheSpoolFolderAlong) {
  auto spooled = [&](const std::string& ini, const std::string& folder) {
    queue_.WriteFile(ini,
                     "[Connection]\r\nRemoteHost=relay1\r\n[Message]\r\nFromAddr=a@x.test\r\n"
                     "NTO1=b@x.test\r\nATO1=b@x.test\r\nAttachments1=" +
                         (queue_ / ("spool/" + folder + "/a.txt")) + "\r\n");
    queue_.WriteFile(rtl::ChangeFileExt(ini, ".tmp"), "body\r\n");
  };
  spooled("queued.ini", "att1");
  queue_.WriteFile("spool/att1/a.txt", "one");
  spooled("Failed/failed.ini", "att2");
  queue_.WriteFile("Failed/spool/att2/a.txt", "two");
  spooled("Failed/back.ini", "att3");
  queue_.WriteFile("Failed/spool/att3/a.txt", "three");
  queue_.WriteFile("spool/att4/a.txt", "someone else's");

  Result deleted = RunCommand(larkq::RunDeleteCommand, {"queued", "failed"});
  EXPECT_EQ(deleted.code, 0) << deleted.err;
  EXPECT_FALSE(queue_.Exists("spool/att1"));
  EXPECT_FALSE(queue_.Exists("Failed/spool/att2"));
  EXPECT_TRUE(queue_.Exists("spool/att4/a.txt"));

  Result retried = RunCommand(larkq::RunRetryCommand, {"back"});
  EXPECT_EQ(retried.code, 0) << retried.err;
  EXPECT_EQ(queue_.ReadFile("spool/att3/a.txt"), "three");
  EXPECT_FALSE(queue_.Exists("Failed/spool/att3"));
  Result shown = RunCommand(larkq::RunShowCommand, {"back"});
  EXPECT_NE(shown.out.find("a.txt (5 bytes)"), std::string::npos) << shown.out;
}

}  // namespace
