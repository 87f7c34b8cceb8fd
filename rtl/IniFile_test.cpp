#include "rtl/IniFile.h"

#include <gtest/gtest.h>

#include <tuple>

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

// The in-memory reader answers every lookup as the profile service does, key by key.
TEST(IniFileTest, TheFileReadOnceAnswersAsTheProfileService) {
  testing_support::TempDir dir;
  dir.WriteFile("m.ini",
                "k=before any section\r\n[ Message ]\nA = 'quoted'  \rb=\"\"x\"\"\r\n"
                ";c=comment\r\nno equals\r\nA=second\r\n\tTab\t=\t1\v\r\n[message]\r\n"
                "d=later section\r\n[Other\r\ne=\"x'\r\nlong=" +
                    std::string(1500, 'v') + "\r\n");
  const rtl::TIniFile each(dir / "m.ini");
  const rtl::TMemIniFile once(dir / "m.ini", 1 << 20);
  for (auto [section, key] : {std::pair{" message ", "a"},
                              {"MESSAGE", "B"},
                              {"Message", "c"},
                              {"Message", "tab"},
                              {"Message", "d"},
                              {"Message", "no equals"},
                              {"", "k"},
                              {"other", "e"},
                              {"Other", "long"},
                              {"Other", " E "}}) {
    EXPECT_EQ(once.ReadString(section, key, "none  "), each.ReadString(section, key, "none  "))
        << section << "/" << key;
  }
  dir.WriteFile("big.ini", "[Message]\r\nSubject=" + std::string(2000, 's') + "\r\n");
  EXPECT_THROW(rtl::TMemIniFile(dir / "big.ini", 1000), rtl::EIniFileException);
}

// Composed in memory, a new file holds the very bytes its key-by-key writes leave.
TEST(IniFileTest, TheComposedTextIsWhatKeyByKeyWritesLeave) {
  testing_support::TempDir dir;
  const rtl::TIniFile each(dir / "w.ini");
  rtl::TIniComposer composed;
  for (auto [section, key, value] : {std::tuple{"Connection", "TimeOut", "45"},
                                     {"Message", "FromAddr", " a@b "},
                                     {"message", "NTO1", "Ann"},
                                     {"CONNECTION", "RemoteHost", "relay"},
                                     {"Message", "nto1", "Bob"},
                                     {" Extra ", " key ", ""}}) {
    each.WriteString(section, key, value);
    composed.WriteString(section, key, value);
  }
  EXPECT_EQ(composed.Text(), dir.ReadFile("w.ini"));
}

}  // namespace
