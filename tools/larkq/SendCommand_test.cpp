#include "tools/larkq/SendCommand.h"

#include <gtest/gtest.h>

#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"
#include "tools/larkq/CommandTestSupport.h"

namespace {

using larkq_test::Result;

Result Send(const std::vector<std::string>& args) {
  return larkq_test::RunCommand(larkq::RunSendCommand, args);
}

class SendCommandTest : public ::testing::Test {
 protected:
  void Queue(const std::string& recipients) {
    queue_.WriteFile("m.ini", "[Connection]\r\nRemoteHost=" + relay_.Address() +
                                  "\r\nTimeOut=20\r\n[Message]\r\nIgnoreRecipientErrors=1\r\n"
                                  "FromAddr=shop@example.com\r\n" +
                                  recipients);
    queue_.WriteFile("m.tmp", "Hello.\r\n");
  }

  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
  testing_support::FakeSmtpServer relay_;
};

TEST_F(SendCommandTest, EachRefusedRecipientIsPrinted) {
  relay_.Reply("RCPT", {"250 ok\r\n", "550 5.1.1 no such user\r\n"});
  Queue("NTO1=Ann\r\nATO1=ann@example.org\r\nNTO2=Gone\r\nATO2=gone@example.org\r\n");
  Result partly = Send({queue_ / "m.ini"});
  EXPECT_EQ(partly.code, 0) << partly.err;
  EXPECT_TRUE(partly.out.starts_with("Sent: ")) << partly.out;
  EXPECT_EQ(partly.err, "Recipient refused: gone@example.org Reason: 550 5.1.1 no such user\n");

  relay_.Reply("RCPT", {"550 5.1.1 no such user\r\n"});
  Result none = Send({queue_ / "m.ini"});
  EXPECT_EQ(none.code, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("Recipient refused: ann@example.org Reason: 550 5.1.1 no such user\n"),
            std::string::npos)
      << none.err;
  EXPECT_NE(none.err.find("Not sent: "), std::string::npos) << none.err;
}

TEST_F(SendCommandTest, TheHeloNameIsGivenOrTakenFromTheSettingsAndChecked) {
  Queue("NTO1=Ann\r\nATO1=ann@example.org\r\n");
  Result given = Send({"--helo", "mail.example.org", queue_ / "m.ini"});
  ASSERT_EQ(given.code, 0) << given.err;
  ASSERT_FALSE(relay_.Commands().empty());
  EXPECT_EQ(relay_.Commands()[0], "HELO mail.example.org");

  larkq_test::SettingsKey()->WriteString("HeloName", "set.example");
  ASSERT_EQ(Send({queue_ / "m.ini"}).code, 0);
  EXPECT_NE(relay_.Received().find("HELO set.example\r\n"), std::string::npos);

  for (const char* bad : {"two words", "x\r\nRCPT TO:<a@evil.test>", ""}) {
    Result refused = Send({"--helo", bad, queue_ / "m.ini"});
    EXPECT_EQ(refused.code, 2) << bad;
    EXPECT_NE(refused.err.find("is not a host name a relay would take"), std::string::npos);
  }
  EXPECT_EQ(relay_.Connections(), 2);

  Result help = Send({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("--helo NAME"), std::string::npos);
}

}  // namespace
