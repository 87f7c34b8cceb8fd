#include "rtl/IniFile.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "testing/TempDir.h"

namespace {

TEST(IniFileTest, ReadsIntegersAndBooleansWithTheQueueEncodings) {
  testing_support::TempDir dir;
  dir.WriteFile("m.ini",
                "[Connection]\r\nTimeOut=0x3C\r\nFailures=seven\r\n[Message]\r\nUrgent=true\r\n"
                "ConfirmRead=5\r\nWordWrap=0x1\r\nSubject=" +
                    std::string(2000, 's') + "\r\n");
  rtl::TIniFile ini(dir / "m.ini");
  EXPECT_EQ(ini.ReadInteger("Connection", "TimeOut", 0), 60);
  EXPECT_EQ(ini.ReadInteger("Connection", "Failures", 0), 0);
  EXPECT_EQ(ini.ReadInteger("Connection", "Missing", 45), 45);
  EXPECT_FALSE(ini.ReadBool("Message", "Urgent", false));
  EXPECT_TRUE(ini.ReadBool("Message", "ConfirmRead", false));
  EXPECT_TRUE(ini.ReadBool("Message", "WordWrap", false));
  EXPECT_FALSE(ini.ReadBool("Message", "Absent", false));
  EXPECT_EQ(ini.ReadString("Message", "Subject", ""), std::string(1023, 's'));
}

TEST(IniFileTest, WritesAndReportsAFailedWrite) {
  testing_support::TempDir dir;
  rtl::TIniFile ini(dir / "w.ini");
  ini.WriteInteger("Connection", "Failures", 3);
  ini.WriteBool("Message", "Urgent", false);
  ini.WriteString("Message", "Subject", "Hi");
  EXPECT_EQ(dir.ReadFile("w.ini"),
            "[Connection]\r\nFailures=3\r\n[Message]\r\nUrgent=0\r\nSubject=Hi\r\n");

  rtl::TIniFile nowhere(dir / "missing/w.ini");
  try {
    nowhere.WriteInteger("Connection", "Failures", 1);
    FAIL() << "the write succeeded";
  } catch (const rtl::EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + (dir / "missing/w.ini"));
  }
}

}  // namespace
