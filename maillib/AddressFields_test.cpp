#include "maillib/AddressFields.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"

namespace {

using maillib::SplitAddressList;

TEST(AddressFieldsTest, ListsSplitOnlyOutsideQuotesCommentsAndBrackets) {
  EXPECT_EQ(SplitAddressList(R"("Doe, J" <j@x>, (a, b) c@x, <d,e@x>, "q\", r" <f@x>)"),
            (std::vector<std::string>{R"("Doe, J" <j@x>)", "(a, b) c@x", "<d,e@x>",
                                      R"("q\", r" <f@x>)"}));
  EXPECT_EQ(SplitAddressList(" , ,undisclosed-recipients:;"), std::vector<std::string>{});
  EXPECT_EQ(SplitAddressList("team: a@x, b@x; c@x"),
            (std::vector<std::string>{"a@x", "b@x", "c@x"}));
}

TEST(AddressFieldsTest, ParsesTheFormsOfAnAddress) {
  maillib::TmsMailAddress a;
  maillib::ParseRawAddress(R"("Jo \"Q\" <Doe>" <jo@x>)", a);
  EXPECT_EQ(a.Address.str(), "jo@x");
  EXPECT_EQ(a.Name.str(), R"(Jo "Q" <Doe>)");
  maillib::ParseRawAddress("<box@x> Trailing Name", a);
  EXPECT_EQ(a.Name.str(), "Trailing Name");
  maillib::ParseRawAddress("box1 (Joe Bloggs)", a);
  EXPECT_EQ(a.Address.str(), "box1");
  EXPECT_EQ(a.Name.str(), "Joe Bloggs");
  maillib::ParseRawAddress("(first) box2", a);
  EXPECT_EQ(a.Address.str(), "box2");
  maillib::ParseRawAddress(" bare@x ", a);
  EXPECT_EQ(a.Address.str(), "bare@x");
  EXPECT_EQ(a.Name.str(), "");
  maillib::ParseRawAddress("=?utf-8?Q?Ann_=C3=A9?= =?utf-8?Q?_B?= <ab@x>", a);
  EXPECT_EQ(a.Name.str(), "Ann \xC3\xA9 B");
  EXPECT_THROW(maillib::ParseRawAddress("Joe <open", a), rtl::Exception);
  EXPECT_EQ(a.Address.str(), "ab@x");
}

TEST(AddressFieldsTest, FieldsAreMatchedByTheirWholeName) {
  maillib::TmsHeaders headers;
  for (const char* line : {"To: a@x,", " b@x", "Token: t@x", "TO : c@x", "X-To: d@x"}) {
    headers.Add(line);
  }
  maillib::TmsAddressList list;
  maillib::AddFieldAddresses(headers, "To", list);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(1).Address.str(), "b@x");
  EXPECT_EQ(list.Items(2).Address.str(), "c@x");
}

}  // namespace
