#include "winapi/RegFile.h"

#include <gtest/gtest.h>

namespace {

using regfile::Operation;

TEST(RegFileTest, ReadsAHiveEditedByHand) {
  auto parsed = regfile::Parse(
      "REGEDIT4\n"
      "; a comment\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n"
      "\"QuePath\"=\"C:\\\\Mail\\\\Queue\"   ; where the queue lives\n"
      "@=\"default \\\"quoted\\\"\"\n"
      "\"Threads\"=dword:0000000A\n"
      "\"Path\"=hex(2):25,53,79,73,\\\n"
      "    00\n"
      "\"Gone\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
      "\"Ignored\"=\"under a deleted key\"\n");
  ASSERT_EQ(parsed.errorLine, 0) << parsed.error;
  ASSERT_EQ(parsed.operations.size(), 7u);
  EXPECT_EQ(parsed.operations[0].kind, Operation::kCreateKey);
  EXPECT_EQ(parsed.operations[1].value.name, "QuePath");
  EXPECT_EQ(parsed.operations[1].value.data, std::string("C:\\Mail\\Queue\0", 14));
  EXPECT_EQ(parsed.operations[2].value.name, "");
  EXPECT_EQ(parsed.operations[2].value.data, std::string("default \"quoted\"\0", 17));
  EXPECT_EQ(parsed.operations[3].value.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(parsed.operations[3].value.data, std::string("\x0a\0\0\0", 4));
  EXPECT_EQ(parsed.operations[4].value.type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(parsed.operations[4].value.data, std::string("%Sys\0", 5));
  EXPECT_EQ(parsed.operations[5].kind, Operation::kDeleteValue);
  EXPECT_EQ(parsed.operations[6].kind, Operation::kDeleteKey);
}

TEST(RegFileTest, ReportsTheLineItCannotRead) {
  using namespace std::string_literals;
  const std::string longKey(256, 'k'), longValue(16384, 'v');
  struct Case {
    std::string text;
    int line;
  } cases[] = {
      {"REGEDIT5\n", 1},
      {"\n\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 4},
      {"REGEDIT4\n\"v\"=\"before any key\"\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"cut short\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:0g\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nnonsense\n", 3},
      // A dword has its eight digits, or the line was cut short.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:00\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:0000000g\n", 3},
      // No line deletes a root, and keys lie under the two roots there are.
      {"REGEDIT4\n\n[-HKEY_LOCAL_MACHINE]\n", 3},
      {"REGEDIT4\n\n[-hkey_classes_root\\]\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[HKEY_CURRENT_USER\\A]\n", 3},
      {"REGEDIT4\n[HKLM\\A]\n", 2},
      // Names longer than Windows allows, or holding a line break.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\A\\" + longKey + "]\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"" + longValue + "\"=\"x\"\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\rb\"=\"x\"\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\rB]\n", 2},
      // A NUL would cut the name short: the root itself, or another key or value.
      {"REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\\0]\n"s, 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\0x]\n"s, 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\0b\"=\"x\"\n"s, 3},
  };
  for (const auto& c : cases) {
    auto parsed = regfile::Parse(c.text);
    EXPECT_EQ(parsed.errorLine, c.line) << c.text.substr(0, 100);
    EXPECT_FALSE(parsed.error.empty());
    EXPECT_TRUE(parsed.operations.empty());
  }
}

TEST(RegFileTest, NamesAtWindowsLimitsAreRead) {
  std::string key(255, 'k'), value(16383, 'v');
  auto parsed = regfile::Parse("REGEDIT4\n[HKEY_CLASSES_ROOT\\" + key + "]\n\"" + value +
                               "\"=dword:00000001\n[-HKEY_LOCAL_MACHINE\\" + key + "]\n");
  ASSERT_EQ(parsed.errorLine, 0) << parsed.error;
  ASSERT_EQ(parsed.operations.size(), 3u);
  EXPECT_EQ(parsed.operations[1].value.name, value);
}

TEST(RegFileTest, EveryValueSurvivesFormatAndParse) {
  std::vector<regfile::Value> values = {
      {"plain", REG_SZ, std::string("text with \"quotes\" and \\\0", 25)},
      {"", REG_SZ, std::string("default\0", 8)},
      {"no terminator", REG_SZ, "abc"},
      {"two lines", REG_SZ, std::string("a\r\nb\0", 5)},
      {"expand", REG_EXPAND_SZ, std::string("%SystemRoot%\0", 13)},
      {"number", REG_DWORD, std::string("\xff\xff\xff\xff", 4)},
      {"short dword", REG_DWORD, "\x01"},
      {"binary", REG_BINARY, std::string(300, '\x7f')},
      {"empty binary", REG_BINARY, ""},
      {"multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
  };
  std::string text = regfile::Header() + regfile::FormatKey("HKEY_LOCAL_MACHINE\\K", values);
  auto parsed = regfile::Parse(text);
  ASSERT_EQ(parsed.errorLine, 0) << parsed.error << "\n" << text;
  ASSERT_EQ(parsed.operations.size(), values.size() + 1);
  for (size_t i = 0; i < values.size(); ++i) {
    const auto& got = parsed.operations[i + 1].value;
    EXPECT_EQ(got.name, values[i].name);
    EXPECT_EQ(got.type, values[i].type) << values[i].name;
    EXPECT_EQ(got.data, values[i].data) << values[i].name;
  }
}

}  // namespace
