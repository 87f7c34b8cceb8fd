// The settings file read once against the Linux machine layer's profile service, which keeps the
// documented Win32 rules; Wine's own differs at the edges (a key before any section, blanks around
// a section's name, a value over 64 KB), so the comparison is made on Linux.
#include <gtest/gtest.h>

#include <tuple>

#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "testing/TempDir.h"

namespace {

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
