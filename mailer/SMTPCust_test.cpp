#include "mailer/SMTPCust.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "rtl/Exception.h"
#include "testing/TempDir.h"

namespace {

using mailer::TCustomMailer;

std::vector<std::string> Lines(const rtl::TStringList& list) { return {list.begin(), list.end()}; }

TEST(HostAtTest, WordsSeparatedByRunsOfCommasAndSemicolons) {
  TCustomMailer mailer;
  struct Case {
    const char* hosts;
    const char* first;
    const char* second;
  } cases[] = {{"a;b", "a", "b"},
               {"a", "a", ""},
               {";;a;;b", "a", "b"},
               {"a,b,x", "a", "b"},
               {"a, b", "a", " b"},
               {"", "", ""},
               {"relay:2525", "relay:2525", ""}};
  for (const auto& c : cases) {
    mailer.RemoteHost = c.hosts;
    EXPECT_EQ(mailer.HostAt(0), c.first) << c.hosts;
    EXPECT_EQ(mailer.HostAt(1), c.second) << c.hosts;
  }
}

TEST(WrapLineTest, BreaksAtBlanksAndCutsLongWords) {
  using Pair = std::pair<std::string, std::string>;
  EXPECT_EQ(mailer::WrapLine("aaa bbb ccc ddd", 10), (Pair{"aaa bbb", "ccc ddd"}));
  EXPECT_EQ(mailer::WrapLine("abcdefghijklmno", 10), (Pair{"abcdefghij", "klmno"}));
  EXPECT_EQ(mailer::WrapLine("abc   def", 4), (Pair{"abc", "def"}));
  EXPECT_EQ(mailer::WrapLine("short", 10), (Pair{"short", ""}));
  EXPECT_EQ(mailer::WrapLine("exactly ten", 11), (Pair{"exactly ten", ""}));
}

TEST(BuildBodyTest, WrapsWhenAsked) {
  TCustomMailer mailer;
  mailer.BodyLines.Add("aaa bbb ccc ddd");
  mailer.BodyLines.Add("");
  mailer.BodyLines.Add("abcdefghijklmno");
  mailer.BodyLines.Add("x\r\n\r\ny");
  maillib::TmsMessage message;
  mailer.BuildBody(message);
  EXPECT_EQ(Lines(message.Body), Lines(mailer.BodyLines));
  mailer.WordWrap = true;
  mailer.WordWrapLength = 10;
  mailer.BuildBody(message);
  EXPECT_EQ(Lines(message.Body), (std::vector<std::string>{"aaa bbb", "ccc ddd", "", "abcdefghij",
                                                           "klmno", "x", "", "y"}));
  mailer.WordWrapLength = 0;  // no margin to wrap at: the lines go out as they are
  mailer.BuildBody(message);
  EXPECT_EQ(message.Body[0], "aaa bbb ccc ddd");
}

class BuildMessageTest : public ::testing::Test {
 protected:
  TCustomMailer& Mailer() {
    mailer_.FromAddress = "shop@example.com";
    mailer_.FromName = "Web Shop";
    mailer_.Subject = "Your order of 3 December 2026";  // 29 characters
    mailer_.DateTime = "Tue, 01 Dec 1998 10:00:00 -0500";
    mailer_.ToList.AddAddress("ann@example.org", "Ann");
    mailer_.CcList.AddAddress("carl@example.org", "Carl");
    mailer_.BccList.AddAddress("bea@example.org", "");
    return mailer_;
  }
  std::vector<std::string> Headers() { return Lines(message_.Headers); }
  TCustomMailer mailer_;
  maillib::TmsMessage message_;
};

TEST_F(BuildMessageTest, FillsTheMessageAndItsHeaderLinesInOrder) {
  auto& m = Mailer();
  m.ExtraHdrs.Add("X-Order: 1234");
  m.Urgent = true;
  m.Organization = "Shop Ltd";
  m.ConfirmRead = true;
  m.ReplyTo = "help@example.com";
  m.Priority = 2;
  m.BodyLines.Add("Thank you.");
  m.BuildMessage(message_);
  EXPECT_EQ(Headers(),
            (std::vector<std::string>{
                "X-Order: 1234", "Priority: urgent", "Date: Tue, 01 Dec 1998 10:00:00 -0500",
                "Organization: Shop Ltd", "X-Confirm-Reading-To: <shop@example.com>",
                "X-MSMail-Priority: High", "Reply-To: help@example.com", "X-mailer: Pelibox 3.0"}));
  EXPECT_EQ(message_.Sender.Address.str(), "shop@example.com");
  EXPECT_EQ(message_.Recipients.Items(0).Name.str(), "Ann");
  EXPECT_EQ(message_.CC.Items(0).Address.str(), "carl@example.org");
  EXPECT_EQ(message_.BCC.Items(0).Address.str(), "bea@example.org");
  EXPECT_EQ(message_.Priority, maillib::ptHigh);
  EXPECT_EQ(message_.Encoding, maillib::meMIME);
  EXPECT_EQ(message_.CharSet, maillib::csUSASCII);
  EXPECT_FALSE(message_.RemoveRRHeader);  // no receipt asked for
  EXPECT_EQ(message_.Body[0], "Thank you.");
  EXPECT_EQ(m.Summary,
            "shop@example.com              Your order of 3 Dec "
            "Tue, 01 Dec 1998 10:00:00 -0500 ann@example.org");
}

TEST_F(BuildMessageTest, TheSummaryWithoutARecipientEndsAfterTheDate) {
  auto& m = Mailer();
  m.ToList.Clear();
  m.DateTime = "short";
  m.BuildMessage(message_);
  EXPECT_EQ(m.Summary, "shop@example.com              Your order of 3 Dec short         ");
}

TEST_F(BuildMessageTest, PrioritiesEncodingsAndCharsets) {
  struct Case {
    int priority;
    const char* line;
  } cases[] = {{0, "X-MSMail-Priority: Low"},
               {1, "X-MSMail-Priority: Normal"},
               {2, "X-MSMail-Priority: High"},
               {3, "X-MSMail-Priority: Normal"}};
  for (const auto& c : cases) {
    maillib::TmsMessage message;
    auto& m = Mailer();
    m.Priority = static_cast<uint8_t>(c.priority);
    m.BuildMessage(message);
    auto headers = Lines(message.Headers);
    EXPECT_NE(std::find(headers.begin(), headers.end(), c.line), headers.end()) << c.priority;
  }
  for (int encoding : {0, 1, 2, 3}) {
    maillib::TmsMessage message;
    Mailer().Encoding = static_cast<int16_t>(encoding);
    mailer_.CharSet = static_cast<int16_t>(encoding);
    mailer_.BuildMessage(message);
    EXPECT_EQ(message.Encoding, encoding == 2 ? maillib::meMIME : maillib::meUU);
    EXPECT_EQ(message.CharSet, encoding == 2 ? maillib::csISO8859 : maillib::csUSASCII);
  }
}

TEST_F(BuildMessageTest, TheCurrentDateIsInGmt) {
  auto& m = Mailer();
  m.DateTime = "";
  m.UseMSMailHeaders = false;
  m.BuildMessage(message_);
  std::regex shape(
      "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} [0-2][0-9]:[0-5][0-9]:[0-5]"
      "[0-9] GMT");
  EXPECT_TRUE(std::regex_match(message_.Headers[0], shape)) << message_.Headers[0];
}

TEST(FormatMailDateTest, ManyWorkersAtOnceReadTheSameZone) {
  std::vector<std::string> dates(16);
  std::vector<std::thread> workers;
  for (auto& date : dates) {
    workers.emplace_back([&date] {
      for (int i = 0; i < 50; ++i) date = mailer::FormatMailDate();
    });
  }
  for (auto& worker : workers) worker.join();
  for (const auto& date : dates) EXPECT_EQ(date.substr(0, 20), dates[0].substr(0, 20));
}

TEST_F(BuildMessageTest, AFixedContentTypeOnlyWithoutAttachments) {
  testing_support::TempDir dir;
  dir.WriteFile("a.pdf", "%PDF");
  auto& m = Mailer();
  m.ContentType = "text/html";
  m.BuildMessage(message_);
  EXPECT_FALSE(message_.DetermineContentType);
  EXPECT_EQ(message_.ContentType(), "text/html");
  maillib::TmsMessage withAttachment;
  m.Attachments.Add(dir / "a.pdf");
  m.BuildMessage(withAttachment);
  EXPECT_TRUE(withAttachment.DetermineContentType);
}

TEST_F(BuildMessageTest, FailuresThatStopTheBuild) {
  TCustomMailer empty;
  try {
    empty.BuildMessage(message_);
    FAIL();
  } catch (const mailer::EEmptyFromAddress& e) {
    EXPECT_EQ(e.Message(), "FromAddress Property cannot be blank.");
    EXPECT_STREQ(e.ClassName(), "EEmptyFromAddress");
  }
  EXPECT_TRUE(message_.Sender.Address.empty());
  auto& m = Mailer();
  m.Attachments.Add("/nonexistent/file.pdf");
  EXPECT_THROW(m.BuildMessage(message_), rtl::EFOpenError);
  bool proceed = false;
  m.RejectedRecipientHandler("x@example.org", "550 unknown", proceed);
  EXPECT_TRUE(proceed);
  m.IgnoreRecipientErrors = false;
  m.RejectedRecipientHandler("y@example.org", "451 later", proceed);
  EXPECT_FALSE(proceed);
  EXPECT_EQ(m.RefusedRecipients,
            (std::vector<mailer::TRefusedRecipient>{{"x@example.org", "550 unknown"},
                                                    {"y@example.org", "451 later"}}));
}

}  // namespace
