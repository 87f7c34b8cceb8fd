#include "tools/larkq/MailqCommand.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "testing/TempDir.h"
#include "tools/larkq/CommandTestSupport.h"

namespace {

namespace fs = std::filesystem;
using larkq_test::RunCommand;

TEST(MailqCommandTest, PrintsTheQueueInTheLayoutScriptsParse) {
  testing_support::MachineRoot root;
  testing_support::TempDir queue;
  auto writePair = [&](const std::string& base, const std::string& ini, const std::string& body,
                       const std::string& time) {
    std::tm local{};
    std::istringstream(time) >> std::get_time(&local, "%Y-%m-%d %H:%M");
    local.tm_isdst = -1;
    const auto when = fs::file_time_type::clock::from_sys(
        std::chrono::system_clock::from_time_t(std::mktime(&local)));
    for (const auto& [name, text] : {std::pair{base + ".ini", ini}, {base + ".tmp", body}}) {
      queue.WriteFile(name, text);
      fs::last_write_time(queue / name, when);
    }
  };
  larkq_test::SettingsKey()->WriteString("QuePath", queue.Path());
  EXPECT_EQ(RunCommand(larkq::RunMailqCommand, {"-v"}).out, "Mail queue is empty\n");
  writePair("msg0002",
            "[Connection]\r\nFailures=2\r\n[Message]\r\nLastResp=550 5.1.1 no such user\r\n"
            "NTO1=Dan\r\nATO1=dan@example.org\r\n",
            "body\r\n", "2020-12-09 22:05");
  writePair("msg0001",
            "[Message]\r\nFromAddr=shop@example.com\r\nNTO1=Ann\r\nATO1=ann@example.org\r\n"
            "NCC1=Carl\r\nACC1=carl@example.org\r\nNBCC1=Bea\r\nABCC1=bea@example.org\r\n",
            std::string(1000, 'x'), "2020-12-09 22:00");
  writePair("Failed/msg0003", "[Message]\r\nFromAddr=gone@example.com\r\n", "", "2020-12-09 21:00");
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
  larkq_test::SettingsKey()->WriteString("QuePath", queue / "nowhere");
  const auto missing = RunCommand(larkq::RunMailqCommand, {});
  EXPECT_EQ(missing.code, 78);
  EXPECT_NE(missing.err.find(queue / "nowhere"), std::string::npos) << missing.err;
}

}  // namespace
