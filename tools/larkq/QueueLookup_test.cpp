#include "tools/larkq/QueueLookup.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/TempDir.h"
#include "tools/larkq/AddCommand.h"
#include "tools/larkq/CommandTestSupport.h"
#include "tools/larkq/ComposeCommand.h"
#include "tools/larkq/ListCommand.h"
#include "tools/larkq/SendCommand.h"

namespace {

using larkq_test::Result;

Result List(const std::vector<std::string>& args) {
  return larkq_test::RunCommand(larkq::RunListCommand, args);
}
Result Compose(const std::vector<std::string>& args) {
  return larkq_test::RunCommand(larkq::RunComposeCommand, args);
}
Result Send(const std::vector<std::string>& args) {
  return larkq_test::RunCommand(larkq::RunSendCommand, args);
}
Result Add(const std::vector<std::string>& args) {
  std::istringstream in("body\n");
  std::ostringstream out, err;
  int code = larkq::RunAddCommand(args, in, false, out, err);
  return {code, out.str(), err.str()};
}

const std::vector<std::string> kAddArgs = {"--from",          "shop@example.com", "--to",
                                           "ann@example.org", "--relay",          "relay1"};

class QueueLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_.WriteFile(
        "msg02C6.ini",
        "[Message]\r\nFromAddr=shop@example.com\r\nNTO1=Ann\r\nATO1=ann@example.org\r\n"
        "Subject=Queued\r\n[Connection]\r\nRemoteHost=127.0.0.1:1\r\n");
    queue_.WriteFile("msg02C6.tmp", "body\r\n");
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
};

TEST_F(QueueLookupTest, AQuePathThatIsNotTextSaysSo) {
  larkq_test::SettingsKey()->WriteInteger("QuePath", 5);
  Result result = List({});
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find("the QuePath setting is a REG_DWORD; the service takes only a text "
                            "(REG_SZ) there"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("larkctl reg add 'HKLM\\SOFTWARE\\Quobex\\LRKP' /v QuePath /d DIR"),
            std::string::npos);
  EXPECT_EQ(Add(kAddArgs).err, "larkq add: no queue directory given, and " +
                                   result.err.substr(std::string("larkq list: no queue directory "
                                                                 "given, and ")
                                                         .size()));

  larkq_test::SettingsKey()->WriteString("QuePath", "");
  EXPECT_NE(List({}).err.find("the QuePath setting is empty"), std::string::npos);
  larkq_test::SettingsKey()->WriteExpandString("QuePath", "/tmp");
  EXPECT_EQ(larkq::ReadQuePath(), "/tmp");  // REG_EXPAND_SZ, read unexpanded as the service does
}

TEST_F(QueueLookupTest, AMissingMessageIsNamedBeforeItsBodyIsLookedFor) {
  for (const std::string& missing : {queue_ / "nonexistent.ini", queue_ / "nonexistent"}) {
    Result composed = Compose({missing});
    EXPECT_EQ(composed.code, 1);
    EXPECT_EQ(composed.err, "larkq compose: no such queued message: " + missing + "\n");
    Result sent = Send({missing});
    EXPECT_EQ(sent.code, 1);
    EXPECT_EQ(sent.err, "larkq send: no such queued message: " + missing + "\n");
  }
  // A directory is not a queued message either.
  queue_.WriteFile("folder.ini/x", "");
  EXPECT_EQ(Compose({queue_ / "folder.ini"}).err,
            "larkq compose: no such queued message: " + (queue_ / "folder.ini") + "\n");
}

TEST_F(QueueLookupTest, ABareNameIsLookedUpInTheQueueDirectory) {
  larkq_test::SettingsKey()->WriteString("QuePath", queue_.Path());
  Result byPath = Compose({queue_ / "msg02C6.ini", "--seed", "3"});
  ASSERT_EQ(byPath.code, 0) << byPath.err;
  for (const std::string name : {"msg02C6.ini", "msg02C6"}) {
    Result byName = Compose({name, "--seed", "3"});
    EXPECT_EQ(byName.code, 0) << byName.err;
    EXPECT_EQ(byName.out, byPath.out);
  }
  EXPECT_EQ(larkq::FindQueuedMessage(queue_ / "msg02C6"), queue_ / "msg02C6.ini");

  Result missing = Compose({"msg9999"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "larkq compose: no such queued message: msg9999 (nor " +
                             (queue_ / "msg9999.ini") + ")\n");
  // send finds it too, and gets as far as the relay (a closed port here).
  Result sent = Send({"msg02C6"});
  EXPECT_EQ(sent.code, 1);
  EXPECT_EQ(sent.err.rfind("Not sent: ", 0), 0u) << sent.err;

  larkq_test::SettingsKey()->DeleteValue("QuePath");
  EXPECT_NE(Compose({"msg02C6"})
                .err.find("no such queued message: msg02C6, and the QuePath "
                          "setting is empty"),
            std::string::npos);
}

}  // namespace
