#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "rtl/Paths.h"

namespace {

TEST(SysUtilsTest, TrimRemovesBlanksAndControlCharactersAtBothEnds) {
  EXPECT_EQ(rtl::Trim(" \t\r\n x y \x01\x1f "), "x y");
  EXPECT_EQ(rtl::Trim("   "), "");
  EXPECT_EQ(rtl::Trim("\xe9t\xe9"), "\xe9t\xe9");  // bytes above the blank stay
  EXPECT_EQ(rtl::UpperCase("Both-\xe9z"), "BOTH-\xe9Z");
  EXPECT_EQ(rtl::LowerCase("NT Event Log"), "nt event log");
}

TEST(SysUtilsTest, StrToIntAcceptsWholeNumbersOnly) {
  EXPECT_EQ(rtl::StrToInt("42"), 42);
  EXPECT_EQ(rtl::StrToInt("  -7"), -7);
  EXPECT_EQ(rtl::StrToInt("+3"), 3);
  EXPECT_EQ(rtl::StrToInt("$1F"), 31);
  EXPECT_EQ(rtl::StrToInt("0x3C"), 60);
  EXPECT_EQ(rtl::StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(rtl::StrToInt("-2147483648"), INT32_MIN);
  for (const char* bad : {"", "abc", "1.5", "12 ", "2147483648", "0x", "$", "-", "7x"}) {
    try {
      rtl::StrToInt(bad);
      ADD_FAILURE() << "converted '" << bad << "'";
    } catch (const rtl::EConvertError& e) {
      EXPECT_EQ(e.Message(), "'" + std::string(bad) + "' is not a valid integer value");
      EXPECT_STREQ(e.ClassName(), "EConvertError");
    }
  }
}

TEST(SysUtilsTest, ProfileIntegersTakeHexOnlyAfterALongerPrefix) {
  EXPECT_EQ(rtl::ProfileStrToInt("0x3C", 0), 60);
  EXPECT_EQ(rtl::ProfileStrToInt("0X10", 0), 16);
  EXPECT_EQ(rtl::ProfileStrToInt("0x", 5), 5);
  EXPECT_EQ(rtl::ProfileStrToInt("true", 0), 0);
  EXPECT_EQ(rtl::ProfileStrToInt("", 9), 9);
  EXPECT_EQ(rtl::ProfileStrToInt("-12", 0), -12);
}

TEST(SysUtilsTest, BoundedStringsKeepTheFirst255Characters) {
  EXPECT_EQ(rtl::BoundedString(std::string(300, 'a')), std::string(255, 'a'));
  EXPECT_EQ(rtl::BoundedString("short"), "short");
  EXPECT_EQ(rtl::Format("%s raised %s: %d", "UQS", "EConvertError", 5),
            "UQS raised EConvertError: 5");
}

TEST(PathsTest, OnlyADotAfterTheLastDelimiterIsAnExtension) {
  EXPECT_EQ(rtl::ChangeFileExt("/q/msgA1.ini", ".tmp"), "/q/msgA1.tmp");
  EXPECT_EQ(rtl::ChangeFileExt("/mail.q/msg1", ".tmp"), "/mail.q/msg1.tmp");
  EXPECT_EQ(rtl::ChangeFileExt("a.b.c", ".ini"), "a.b.ini");
  EXPECT_EQ(rtl::ChangeFileExt("name.", ".tmp"), "name.tmp");
  EXPECT_EQ(rtl::ExtractFileName("/q/msgA1.ini"), "msgA1.ini");
  EXPECT_EQ(rtl::ExtractFilePath("/q/msgA1.ini"), "/q/");
  EXPECT_EQ(rtl::ExtractFileName("bare"), "bare");
  EXPECT_EQ(rtl::ExtractFilePath("bare"), "");
}

// Each of the platform's delimiters ends a directory: on Windows an attachment C:\files\att.bin
// is named att.bin, and so are C:/files/att.bin and C:att.bin.
TEST(PathsTest, EveryDelimiterOfThePlatformEndsTheDirectory) {
  for (char delim : rtl::PathDelims) {
    const std::string path = std::string("C:") + delim + "files" + delim + "att.bin";
    EXPECT_EQ(rtl::ExtractFileName(path), "att.bin") << path;
    EXPECT_EQ(rtl::ExtractFilePath(path), path.substr(0, path.size() - 7)) << path;
    EXPECT_EQ(rtl::ChangeFileExt(std::string("a.d") + delim + "b", ".ini"),
              std::string("a.d") + delim + "b.ini");
  }
  EXPECT_EQ(rtl::PathDelims.find(rtl::PathDelim), 0u);
}

}  // namespace
