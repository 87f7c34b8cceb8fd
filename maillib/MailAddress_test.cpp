#include "maillib/MailAddress.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"

namespace {

maillib::TmsMailAddress Parse(const std::string& text) {
  maillib::TmsMailAddress address;
  maillib::ParseAddress(text, address);
  return address;
}

TEST(ParseAddressTest, TheFormsOfAnAddress) {
  struct Case {
    const char* text;
    const char* address;
    const char* name;
  } cases[] = {
      {"box1", "box1", ""},
      {" box1 ", " box1 ", ""},  // a bare address is kept as it stands
      {"box1 (Joe Bloggs)", "box1", "Joe Bloggs"},
      {"box1 (Joe Bloggs", "box1", "Joe Blogg"},  // the last character is taken for ")"
      {"\"Joe Bloggs\" <box1>", "box1", "Joe Bloggs"},
      {"<box1> Joe", "box1", "Joe"},
      {"Joe <\"box1\">", "box1", "Joe"},
      {"<box1>", "box1", ""},
  };
  for (const auto& c : cases) {
    auto parsed = Parse(c.text);
    EXPECT_EQ(parsed.Address.str(), c.address) << c.text;
    EXPECT_EQ(parsed.Name.str(), c.name) << c.text;
  }
}

TEST(ParseAddressTest, ABracketWithoutItsCloseIsRefusedAndChangesNothing) {
  maillib::TmsMailAddress address;
  address.Address = "kept@example.org";
  for (const char* bad : {"Joe >x< ", "Joe <box1"}) {
    try {
      maillib::ParseAddress(bad, address);
      ADD_FAILURE() << bad;
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(e.Message(), "Unable to parse email address");
    }
  }
  EXPECT_EQ(address.Address.str(), "kept@example.org");
}

TEST(ParseAddressTest, OnlyOneAsciiMailboxGoesIntoTheEnvelope) {
  EXPECT_TRUE(maillib::IsEnvelopeMailbox("ann.smith+tag@mail.example.org"));
  for (const char* bad : {"", "x@", "@y", "a@b@c", "two words@x", "a@b>", "<a@b>", "a,b@c",
                          "a\r\n@b", "caf\xC3\xA9@x", "a\x7F@b", "q\"t@x"}) {
    EXPECT_FALSE(maillib::IsEnvelopeMailbox(bad)) << bad;
  }
}

TEST(AddressListTest, OwnsBoundedCopiesInOrder) {
  maillib::TmsAddressList list;
  list.AddAddress("a@example.org", "Ann");
  list.AddAddress(std::string(300, 'b'), std::string(400, 'n'));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1).Address.size(), 255u);
  EXPECT_EQ(list.Items(1).Name.size(), 255u);
  maillib::TmsAddressList copy;
  copy.AddAddress("old@example.org", "");
  copy.Assign(list);
  EXPECT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(0).Name.str(), "Ann");
  list.Items(0).Name = "Changed";
  EXPECT_EQ(copy.Items(0).Name.str(), "Ann");
  try {
    list.Items(2);
    FAIL();
  } catch (const rtl::EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (2)");
  }
  EXPECT_EQ(maillib::Unquote("  \"\"quoted\"  "), "quoted");
}

}  // namespace
