#include "maillib/HeaderText.h"

#include <gtest/gtest.h>

#include "maillib/HeaderFields.h"
#include "maillib/codecs.h"

namespace {

using Lines = std::vector<std::string>;

TEST(HeaderTextTest, Utf8IsRecognisedAcrossPieces) {
  EXPECT_TRUE(maillib::IsUtf8("plain"));
  EXPECT_TRUE(
      maillib::IsUtf8("Gr\xC3\xBC\xC3\x9F"
                      "e \xE2\x98\x83 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(maillib::IsUtf8("caf\xE9"));           // ISO-8859-1
  EXPECT_FALSE(maillib::IsUtf8("\xC3"));              // cut short
  EXPECT_FALSE(maillib::IsUtf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(maillib::IsUtf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(maillib::IsUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  maillib::TUtf8Check check;
  check.Feed("a\xE2\x98");
  EXPECT_FALSE(check.Valid());
  check.Feed("\x83");
  EXPECT_TRUE(check.Valid());
}

TEST(HeaderTextTest, QuotedStringsEscapeQuotesAndBackslashes) {
  EXPECT_EQ(maillib::QuotedString("Last, First"), "\"Last, First\"");
  EXPECT_EQ(maillib::QuotedString("B. \"Bee\" \\ Jones"), "\"B. \\\"Bee\\\" \\\\ Jones\"");
}

TEST(HeaderTextTest, EightBitWordsBecomeEncodedWordsWithinTheLineLength) {
  std::string subject =
      "Gr\xC3\xBC\xC3\x9F"
      "e an alle, und \xE2\x98\x83";
  for (int i = 0; i < 6; ++i) subject += " \xC3\xA4pfel und Birnen";
  Lines lines = maillib::EncodeHeaderLine("Subject:  " + subject, "utf-8");
  ASSERT_GT(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("Subject:  =?utf-8?Q?Gr=C3=BC=C3=9Fe?= an alle,"));
  for (const auto& line : lines) {
    EXPECT_LE(line.size(), maillib::kFoldedLineLength) << line;
    EXPECT_FALSE(maillib::HasEightBit(line));
  }
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i][0], ' ');
}

TEST(HeaderTextTest, AnEncodedWordNeverSplitsACharacter) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "\xE2\x82\xAC";  // a euro sign takes 9 encoded characters
  maillib::THeaderFolder folder("Subject: ", "UTF-8");
  folder.AddEncoded(text);
  for (const auto& line : folder.Lines()) {
    size_t open = line.find("?Q?");
    ASSERT_NE(open, std::string::npos);
    std::string word = line.substr(open + 3, line.size() - open - 5);
    EXPECT_EQ(word.size() % 9, 0u) << line;
    EXPECT_LE(line.size(), maillib::kFoldedLineLength);
  }
  // Specials are encoded too, so an encoded name cannot be misread as a list of addresses.
  maillib::THeaderFolder name("From: ", "iso-8859-1");
  name.AddEncoded("M\xFCller, Hans <x@y>");
  EXPECT_EQ(name.Lines(), Lines{"From: =?iso-8859-1?Q?M=FCller=2C_Hans_=3Cx=40y=3E?="});
}

TEST(HeaderTextTest, OnlyTheEightBitRunsOfAFieldAreEncoded) {
  Lines lines = maillib::EncodeHeaderLine(
      "Reply-To: J\xC3\xB6rg Sch\xC3\xA4"
      "fer <j@x.org>",
      "utf-8");
  EXPECT_EQ(lines, Lines{"Reply-To: =?utf-8?Q?J=C3=B6rg_Sch=C3=A4fer?= <j@x.org>"});
  EXPECT_EQ(maillib::EncodeHeaderLine("\tand M\xFCller", "iso-8859-1"),
            Lines{"\tand =?iso-8859-1?Q?M=FCller?="});
}

TEST(HeaderTextTest, OverlongLinesAreFoldedAtBlanksOrCut) {
  std::string words = "X-Long:";
  while (words.size() < 2500) words += " word";
  Lines folded = maillib::FoldLongHeaderLine(words);
  ASSERT_EQ(folded.size(), 3u);
  std::string joined;
  for (const auto& line : folded) {
    EXPECT_LE(line.size(), maillib::kMaxHeaderLineLength);
    joined += line;
  }
  EXPECT_EQ(joined, words);
  EXPECT_EQ(folded[1][0], ' ');

  std::string solid = "X-Solid: " + std::string(1014, 'a');
  EXPECT_EQ(maillib::FoldLongHeaderLine(solid), (Lines{"X-Solid:", solid.substr(8, 998)}));
  // Trailing blanks are no place to fold: a line of blanks alone would end the header block.
  std::string trailing = "X-Blanks: " + std::string(988, 'b') + std::string(20, ' ');
  EXPECT_EQ(maillib::FoldLongHeaderLine(trailing), (Lines{"X-Blanks:", trailing.substr(9, 998)}));
  EXPECT_EQ(maillib::FoldLongHeaderLine("Short: line"), Lines{"Short: line"});
}

TEST(HeaderTextTest, ExtendedParameterValuesPercentEncode) {
  EXPECT_EQ(maillib::ExtendedParameterValue("r\xC3\xA9sum\xC3\xA9 \"v2\".txt", "utf-8"),
            "utf-8''r%C3%A9sum%C3%A9%20%22v2%22.txt");
  EXPECT_EQ(maillib::ExtendedParameterValue("a-b_c.d", "us-ascii"), "us-ascii''a-b_c.d");
}

TEST(HeaderTextTest, EncodedWordsBecomeUtf8WhateverTheirCharset) {
  const std::pair<const char*, const char*> words[] = {
      {"=?ISO-8859-1?Q?caf=E9?=", "caf\xC3\xA9"},
      {"=?windows-1252?Q?=80_=93x=94?=", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D"},
      {"=?iso-8859-15*fr?Q?=A4?=", "\xE2\x82\xAC"},
      {"=?koi8-r?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"=?windows-1251?Q?=CF?= =?iso-8859-2?Q?=B3?=", "\xD0\x9F\xC5\x82"},
      {"=?utf-8?Q?=C3=A9?=", "\xC3\xA9"},
      {"=?utf-8?Q?=E9?=", "=?utf-8?Q?=E9?="},
      {"=?x-unknown?Q?=E9?= a", "=?x-unknown?Q?=E9?= a"},
  };
  for (const auto& [word, text] : words) {
    EXPECT_EQ(maillib::DecodePhrase(word), text) << word;
    EXPECT_EQ(maillib::DecodeEncodedWords(word), text) << word;
  }
  EXPECT_EQ(maillib::Utf8Prefix("ab\xC3\xA9", 3), "ab");
}

}  // namespace
