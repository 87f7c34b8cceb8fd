#include "tools/larkq/MailqCommand.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "testing/TempDir.h"
#include "tools/larkq/CommandTestSupport.h"

namespace {

namespace fs = std::filesystem;
using larkq_test::RunCommand;

class MailqCommandTest : public ::testing::Test {
 protected:
  void SetQuePath(const std::string& dir) {
    root_.WriteHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n\"QuePath\"=\"" +
                    dir + "\"\n");
  }
  // A pair written at the given local time of 9 December 2020.
  void Pair(const std::string& base, const std::string& ini, const std::string& body, int hour,
            int minute) {
    std::tm local{};
    local.tm_year = 120;
    local.tm_mon = 11;
    local.tm_mday = 9;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    const auto when = fs::file_time_type::clock::from_sys(
        std::chrono::system_clock::from_time_t(std::mktime(&local)));
    for (const auto& [name, text] : {std::pair{base + ".ini", ini}, {base + ".tmp", body}}) {
      queue_.WriteFile(name, text);
      fs::last_write_time(queue_ / name, when);
    }
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
};

TEST_F(MailqCommandTest, PrintsTheQueueInTheLayoutScriptsParse) {
  SetQuePath(queue_.Path());
  EXPECT_EQ(RunCommand(larkq::RunMailqCommand, {"-v"}).out, "Mail queue is empty\n");
  Pair("msg0002",
       "[Connection]\r\nFailures=2\r\n[Message]\r\nLastResp=550 5.1.1 no such user\r\n"
       "NTO1=Dan\r\nATO1=dan@example.org\r\n",
       "body\r\n", 22, 5);
  Pair("msg0001",
       "[Message]\r\nFromAddr=shop@example.com\r\nNTO1=Ann\r\nATO1=ann@example.org\r\n"
       "NCC1=Carl\r\nACC1=carl@example.org\r\nNBCC1=Bea\r\nABCC1=bea@example.org\r\n",
       std::string(1000, 'x'), 22, 0);
  Pair("Failed/msg0003", "[Message]\r\nFromAddr=gone@example.com\r\n", "", 21, 0);
  const auto listed = RunCommand(larkq::RunMailqCommand, {});
  EXPECT_EQ(listed.code, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "-Queue ID-  --Size-- ----Arrival Time---- -Sender/Recipient-------\n"
            "msg0001         1138 Wed Dec  9 22:00:00  shop@example.com\n"
            "                                        ann@example.org\n"
            "                                        carl@example.org\n"
            "                                        bea@example.org\n"
            "\n"
            "msg0002          108 Wed Dec  9 22:05:00  MAILER-DAEMON\n"
            "                (550 5.1.1 no such user)\n"
            "                                        dan@example.org\n"
            "\n"
            "-- 2 Kbytes in 2 Requests.\n");

  EXPECT_EQ(RunCommand(larkq::RunMailqCommand, {"-q"}).code, 64);
  SetQuePath(queue_ / "nowhere");
  const auto missing = RunCommand(larkq::RunMailqCommand, {});
  EXPECT_EQ(missing.code, 78);
  EXPECT_NE(missing.err.find(queue_ / "nowhere"), std::string::npos) << missing.err;
}

}  // namespace
