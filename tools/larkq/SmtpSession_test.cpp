#include "tools/larkq/SmtpSession.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/larkq/SendmailCommand.h"

namespace {

using Queued = std::tuple<std::string, std::vector<std::string>, std::string>;

struct Dialogue {
  const char* scenario;
  std::string input;
  std::vector<int> codes;  // of each reply, in order
  std::vector<Queued> queued = {};
};

std::vector<Dialogue> Dialogues() {
  const std::string envelope = "MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nDATA\r\n";
  const std::string big(larkq::kMaxSendmailInput, 'x');
  std::string manyRecipients = "HELO app\r\nMAIL FROM:<a@x.test>\r\n";
  for (int i = 0; i <= larkq::kMaxSendmailRecipients; ++i) manyRecipients += "RCPT TO:<b@x>\r\n";
  std::vector<int> manyCodes(larkq::kMaxSendmailRecipients + 4, 250);
  manyCodes.front() = 220;
  manyCodes.back() = 452;
  return {
      {"a pipelining client, LF or CR LF, dots undone",
       "EHLO app\r\nMAIL FROM:<shop@example.com> BODY=8BITMIME SIZE=100\nRCPT TO:<a@x.test>\r\n"
       "RCPT TO: <b@x.test>\r\nDATA\r\nSubject: hi\n\n..leading dot\r\n.\r\nQUIT\r\n",
       {220, 250, 250, 250, 250, 354, 250, 221},
       {{"shop@example.com", {"a@x.test", "b@x.test"}, "Subject: hi\r\n\r\n.leading dot\r\n"}}},
      {"commands out of order and unknown",
       "RCPT TO:<a@x.test>\r\nDATA\r\nMAIL FROM:<>\r\nDATA\r\nMAIL FROM:<a@x.test>\r\n"
       "RCPT TO:<>\r\nRCPT TO:\r\nDATA now\r\nRSET\r\nRCPT TO:<a@x.test>\r\nHELO\r\n"
       "VRFY root\r\nVRFY\r\nHELP\r\nNOOP\r\nAUTH PLAIN x\r\nFROB\r\n\r\nMAIL TO:<a@x.test>\r\n",
       {220, 503, 503, 250, 503, 503, 501, 501, 501, 250,
        503, 501, 252, 501, 214, 250, 502, 500, 500, 501}},
      {"the null sender, a size refused, two messages in one session",
       "HELO app\r\nMAIL FROM:<a@x.test> SIZE=99999999999\r\nMAIL FROM:<> SIZE=x\r\n"
       "MAIL FROM:<>\r\nRCPT TO:<@relay.test:a@x.test>\r\nDATA\r\none\r\n.\r\n"
       "MAIL FROM:b@x.test\r\nRCPT TO:<c@x.test>\r\nDATA\r\ntwo\r\n.\r\n",
       {220, 250, 552, 501, 250, 250, 354, 250, 250, 250, 354, 250},
       {{"", {"a@x.test"}, "one\r\n"}, {"b@x.test", {"c@x.test"}, "two\r\n"}}},
      {"a command line too long",
       "NOOP " + std::string(995, 'x') + "\r\nNOOP " + std::string(996, 'x') + "\r\n",
       {220, 250, 500}},
      {"the input ends inside the data", envelope + "half a message\r\n", {220, 250, 250, 354}},
      {"data over the limit is read to its end",
       envelope + big + "\r\n.\r\nMAIL FROM:<a@x.test>\r\n",
       {220, 250, 250, 354, 552, 250}},
      {"too many recipients", manyRecipients, manyCodes},
  };
}

class SmtpSessionTest : public ::testing::TestWithParam<Dialogue> {};

TEST_P(SmtpSessionTest, RepliesAndQueuesAsAnSmtpServer) {
  std::istringstream in(GetParam().input);
  std::ostringstream out;
  std::vector<Queued> queued = {};
  auto queue = [&](auto&&... message) {
    queued.emplace_back(message...);
    return std::string("250 2.0.0 Ok: queued");
  };
  EXPECT_EQ(larkq::RunSmtpSession(in, out, "mail.example.com", queue), 0);
  std::vector<int> codes;
  std::istringstream replies(out.str());
  for (std::string reply; std::getline(replies, reply);) {
    ASSERT_TRUE(reply.ends_with('\r')) << reply;
    if (reply[3] == ' ') codes.push_back(std::stoi(reply.substr(0, 3)));
  }
  EXPECT_EQ(codes, GetParam().codes) << out.str().substr(0, 2000);
  EXPECT_EQ(queued, GetParam().queued);
  EXPECT_EQ(out.str().find("220 mail.example.com "), 0u);
  // A reply that cannot be written ends the session.
  std::istringstream again(GetParam().input);
  out.setstate(std::ios::badbit);
  EXPECT_EQ(larkq::RunSmtpSession(again, out, "h", queue), larkq::kSessionOutputFailed);
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SmtpSessionTest, ::testing::ValuesIn(Dialogues()),
                         [](const auto& info) { return std::to_string(info.index); });

}  // namespace
