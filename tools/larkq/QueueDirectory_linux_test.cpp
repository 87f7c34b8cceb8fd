// What only a Linux machine gives larkq's commands to meet: links and mode bits in the queue
// directory, and a hive file that can be damaged.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <utility>

#include "testing/TempDir.h"
#include "tools/larkq/AddCommand.h"
#include "tools/larkq/AdminCommands.h"
#include "tools/larkq/CommandTestSupport.h"
#include "tools/larkq/ComposeCommand.h"
#include "tools/larkq/ListCommand.h"
#include "tools/larkq/SendmailCommand.h"

namespace {

namespace fs = std::filesystem;
using larkq_test::Result;
using larkq_test::RunCommand;

class LinuxQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings::Settings() = settings::TSettings{};
    auto key = larkq_test::SettingsKey();
    key->WriteString("QuePath", queue_.Path());
    key->WriteString("RemoteHosts", "relay.test");
  }
  void Pair(const std::string& base, const std::string& ini) {
    queue_.WriteFile(base + ".ini", ini);
    queue_.WriteFile(base + ".tmp", "body\r\n");
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
};
using AdminCommandsTest = LinuxQueueTest;
using QueueLookupTest = LinuxQueueTest;
using SendmailCommandTest = LinuxQueueTest;

// The queue directory is open to others: a link under a message's name is refused, and nothing
// it points at is read, changed or removed.
TEST_F(AdminCommandsTest, WhatIsNotAQueuedMessageIsRefusedAndLeftAlone) {
  const std::string target = "[Connection]\r\nFailures=9\r\n";
  queue_.WriteFile("elsewhere/target.ini", target);
  fs::create_symlink(queue_ / "elsewhere/target.ini", queue_ / "linked.ini");
  Pair("bodylink", "[Connection]\r\nFailures=1\r\n");
  fs::remove(queue_ / "bodylink.tmp");
  fs::create_symlink(queue_ / "elsewhere/target.ini", queue_ / "bodylink.tmp");
  testing_support::TempDir elsewhere;
  elsewhere.WriteFile("php.ini", target);
  fs::create_symlink(elsewhere / "php.ini", queue_ / "link.ini");
  for (auto command : {larkq::RunShowCommand, larkq::RunDeleteCommand, larkq::RunRetryCommand}) {
    for (const char* name : {"linked", "bodylink", "missing"}) {
      Result refused = RunCommand(command, {name});
      EXPECT_EQ(refused.code, 1) << name;
      EXPECT_NE(refused.err.find("message: "), std::string::npos) << refused.err;
    }
  }
  // Named by its path, a link into the queue is no queued message either.
  for (auto command : {larkq::RunDeleteCommand, larkq::RunRetryCommand}) {
    Result refused = RunCommand(command, {queue_ / "link.ini"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("not a queued message: " + (queue_ / "link.ini")), std::string::npos)
        << refused.err;
  }
  EXPECT_TRUE(fs::is_symlink(queue_ / "linked.ini") && fs::is_symlink(queue_ / "link.ini"));
  EXPECT_TRUE(queue_.Exists("bodylink.ini"));
  EXPECT_NE(queue_.ReadFile("bodylink.ini").find("Failures=1"), std::string::npos);
  EXPECT_EQ(queue_.ReadFile("elsewhere/target.ini"), target);
  EXPECT_EQ(elsewhere.ReadFile("php.ini"), target);
}

TEST_F(SendmailCommandTest, QueuedFilesAreKeptFromOtherUsersWhateverTheUmask) {
  std::istringstream in("x\n");
  std::ostringstream out, err;
  ASSERT_EQ(larkq::RunSendmailCommand({"a@x.test"}, in, out, err), 0) << err.str();
  int files = 0;
  for (const auto& entry : fs::directory_iterator(queue_.Path())) {
    EXPECT_EQ(entry.status().permissions(), static_cast<fs::perms>(0640)) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 2);
}

TEST_F(QueueLookupTest, ADamagedHiveIsReportedWithItsPathAndLine) {
  root_.WriteHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"cut\"=\"short\n");
  const std::string where = root_.HivePath() + ":4: unterminated string";
  const std::vector<std::string> addArgs = {"--from",          "shop@example.com", "--to",
                                            "ann@example.org", "--relay",          "relay1"};
  auto add = [&](std::istream& in, bool terminal) {
    std::ostringstream out, err;
    int code = larkq::RunAddCommand(addArgs, in, terminal, out, err);
    return Result{code, out.str(), err.str()};
  };
  std::istringstream body("body\n");
  for (auto [name, result] : {std::pair{"list", RunCommand(larkq::RunListCommand, {})},
                              std::pair{"add", add(body, false)}}) {
    EXPECT_EQ(result.code, 1) << name;
    EXPECT_EQ(result.err.rfind(std::string("larkq ") + name +
                                   ": no queue directory given, and the QuePath setting cannot "
                                   "be read: The configuration registry database is corrupt.\n",
                               0),
              0u)
        << result.err;
    EXPECT_NE(result.err.find(where), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("is empty"), std::string::npos) << result.err;
  }
  // Said before a body is read, not after someone has typed it.
  std::istringstream typed("body\n");
  EXPECT_EQ(add(typed, true).code, 1);
  EXPECT_EQ(typed.tellg(), 0);

  Result bare = RunCommand(larkq::RunComposeCommand, {"msg02C6"});
  EXPECT_EQ(bare.code, 1);
  EXPECT_NE(bare.err.find("no such queued message: msg02C6, and the QuePath setting cannot be "
                          "read"),
            std::string::npos)
      << bare.err;
  EXPECT_NE(bare.err.find(where), std::string::npos) << bare.err;
}

}  // namespace
