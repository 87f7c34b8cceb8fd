#include "maillib/Headers.h"

#include <gtest/gtest.h>

namespace {

maillib::TmsHeaders Make(std::initializer_list<const char*> lines) {
  maillib::TmsHeaders headers;
  for (const char* line : lines) headers.Add(line);
  return headers;
}

std::vector<std::string> Lines(const rtl::TStringList& list) { return {list.begin(), list.end()}; }

TEST(HeadersTest, FieldValuesAreUnfoldedAndDecoded) {
  auto headers = Make({"Received: from x", "Subject: Hello", "\tWorld", "X-Note: one",
                       "subject: second", "From: =?iso-8859-1?Q?Jos=E9?= <j@example.org>"});
  EXPECT_EQ(headers.GetFieldValue("subject"), "Hello World");
  EXPECT_EQ(headers.GetFieldValue("SUBJECT:"), "Hello World");
  EXPECT_EQ(headers.GetFieldValue("From"), "Jos\xC3\xA9<j@example.org>");
  EXPECT_EQ(headers.GetFieldValue("Missing"), "");
  EXPECT_EQ(maillib::TmsHeaders().GetFieldValue("Subject"), "");
}

TEST(HeadersTest, AMalformedEncodedWordIsReturnedAsItStands) {
  auto headers = Make({"Date: =?=?qj=?==", "Subject: =?utf-8?B?not*base64?="});
  EXPECT_EQ(headers.GetFieldValue("Date"), "=?=?qj=?==");
  EXPECT_EQ(headers.GetFieldValue("Subject"), "=?utf-8?B?not*base64?=");
}

TEST(HeadersTest, OnlyTheDecodedFieldsAreBounded) {
  std::string longValue(300, 'v');
  auto headers = Make({});
  headers.Add("Content-Type: " + longValue);
  headers.Add("Subject: " + longValue);
  EXPECT_EQ(headers.GetFieldValue("Content-Type").size(), 300u);
  EXPECT_EQ(headers.GetFieldValue("Subject").size(), 255u);
}

TEST(HeadersTest, FieldValuesSplitAtCommasOutsideQuotes) {
  auto headers =
      Make({"To: \"Bloggs, Joe\" <joe@example.org>, ann@example.org", "Subject: not a recipient",
            "TO: third@example.org,", "  fourth@example.org, \"a,b\" <x@y>"});
  rtl::TStringList items;
  headers.GetFieldValues("TO", items);
  EXPECT_EQ(Lines(items), (std::vector<std::string>{"\"Bloggs, Joe\" <joe@example.org>",
                                                    "ann@example.org", "third@example.org",
                                                    "fourth@example.org", "\"a", "b\" <x@y>"}));
}

TEST(HeadersTest, RemovingFieldsTakesTheirContinuations) {
  auto headers = Make({"Subject: one", "\tcontinued", "Subject: two", "X-Mailer: x"});
  headers.RemoveField("Subject");
  EXPECT_EQ(Lines(headers), (std::vector<std::string>{"Subject: two", "X-Mailer: x"}));
  headers.RemoveXFields();  // the last line is an X- field
  EXPECT_EQ(Lines(headers), std::vector<std::string>{"Subject: two"});

  auto more = Make({"X-A: 1", " folded", "Subject: kept", "x-lower: 2"});
  more.RemoveXFields();
  EXPECT_EQ(Lines(more), std::vector<std::string>{"Subject: kept"});
}

TEST(HeaderParamTest, PicksParametersOutOfValues) {
  EXPECT_EQ(maillib::GetHeaderParam("boundary", "multipart/mixed; boundary=\"=_abc; def\""),
            "=_abc; def");
  EXPECT_EQ(maillib::GetHeaderParam("charset", "text/plain; CHARSET=iso-8859-1;"), "iso-8859-1");
  EXPECT_EQ(maillib::GetHeaderParam("charset", "text/plain"), "");
  // A plain substring search: "name" is found inside "filename" first.
  EXPECT_EQ(maillib::GetHeaderParam("name", "attachment; filename=a.pdf; name=b.pdf"), "a.pdf");
  EXPECT_EQ(maillib::FirstToken("text/plain; charset=x"), "text/plain");
  EXPECT_EQ(maillib::FirstToken(" text/plain"), "");  // the text before the first blank
  EXPECT_EQ(maillib::FirstToken("text/html"), "text/html");
}

}  // namespace
