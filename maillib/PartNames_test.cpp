#include "maillib/PartNames.h"

#include <gtest/gtest.h>

namespace {

using maillib::ParameterValue;

TEST(PartNamesTest, ParametersAreMatchedByWholeName) {
  const std::string value = R"(attachment; filename="a;b \"c\".txt"; name=plain.txt ; size=3)";
  EXPECT_EQ(ParameterValue(value, "filename"), R"(a;b "c".txt)");
  EXPECT_EQ(ParameterValue(value, "NAME"), "plain.txt");
  EXPECT_EQ(ParameterValue(value, "size"), "3");
  EXPECT_EQ(ParameterValue(value, "ame"), "");
  EXPECT_EQ(ParameterValue("text/plain", "name"), "");
}

TEST(PartNamesTest, ExtendedAndContinuedValuesAreJoinedAndDecoded) {
  EXPECT_EQ(ParameterValue("x; name*=iso-8859-1'en'caf%E9.txt", "name"), "caf\xE9.txt");
  EXPECT_EQ(ParameterValue("x; name*0*=utf-8''%C3%A9t; name*1=\"e part\"; name*2*=%21", "name"),
            "\xC3\xA9te part!");
  EXPECT_EQ(ParameterValue("x; name=\"=?utf-8?Q?a_b?=.txt\"", "name"), "a b.txt");
}

TEST(PartNamesTest, SpecialNamesAreRenamed) {
  EXPECT_EQ(maillib::PartFileName("text/html; name=\"_HTMBODY.HTM\"", ""), "HTMBODY.HTM");
  EXPECT_EQ(maillib::PartFileName("text/plain", "attachment; filename=_alt.3"), "alt.3");
  EXPECT_EQ(maillib::PartFileName("text/rtf", "inline; filename=_rtfbody.rtf"), "rtfbody.rtf");
  EXPECT_EQ(maillib::PartFileName("text/plain; name=_other.txt", ""), "_other.txt");
}

}  // namespace
