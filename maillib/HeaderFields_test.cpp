#include "maillib/HeaderFields.h"

#include <gtest/gtest.h>

namespace {

TEST(HeaderFieldsTest, TellsFieldLinesFromOtherText) {
  EXPECT_TRUE(maillib::IsHeaderFieldLine("Subject: x"));
  EXPECT_TRUE(maillib::IsHeaderFieldLine("X-Odd_Name!:"));
  EXPECT_TRUE(maillib::IsHeaderFieldLine("Subject : obsolete blank"));
  EXPECT_FALSE(maillib::IsHeaderFieldLine("done"));
  EXPECT_FALSE(maillib::IsHeaderFieldLine("two words: no field"));
  EXPECT_FALSE(maillib::IsHeaderFieldLine(": no name"));
  EXPECT_TRUE(maillib::IsContinuationLine("\tmore"));
  EXPECT_TRUE(maillib::IsField("cc: x", "CC"));
  EXPECT_FALSE(maillib::IsField("CCx: x", "CC"));
}

TEST(HeaderFieldsTest, RemovesEveryOccurrenceWithItsContinuations) {
  maillib::TmsHeaders headers;
  for (const char* line : {"Bcc: a", " b", "Keep: 1", "bcc: c", "Keep: 2", "\tfolded"}) {
    headers.Add(line);
  }
  maillib::TmsHeaders kept = maillib::WithoutFields(headers, {"BCC"});
  EXPECT_EQ(std::vector<std::string>(kept.begin(), kept.end()),
            (std::vector<std::string>{"Keep: 1", "Keep: 2", "\tfolded"}));
  EXPECT_EQ(maillib::RawFieldValues(headers, "bcc"), (std::vector<std::string>{"a b", "c"}));
}

TEST(HeaderFieldsTest, PhrasesKeepTheirBlanksBetweenPlainWords) {
  EXPECT_EQ(maillib::DecodePhrase("=?utf-8?Q?J=C3=B6rg?= Smith"), "J\xC3\xB6rg Smith");
  EXPECT_EQ(maillib::DecodePhrase("=?utf-8?Q?a?=  \t=?utf-8?B?Yg==?= c_d"), "ab c_d");
  EXPECT_EQ(maillib::DecodePhrase("no words here"), "no words here");
  EXPECT_EQ(maillib::DecodePhrase("order =?utf-8?q?=C3=BCnd?= more"), "order \xC3\xBCnd more");
  EXPECT_EQ(maillib::DecodePhrase("=?x?b?no*good?="), "=?x?b?no*good?=");
}

}  // namespace
