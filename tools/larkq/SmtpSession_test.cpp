#include "tools/larkq/SmtpSession.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/larkq/SendmailCommand.h"

namespace {

struct Queued {
  std::string sender;
  std::vector<std::string> recipients;
  std::string text;
  bool operator==(const Queued&) const = default;
};

struct Dialogue {
  const char* scenario;
  std::string input;
  std::vector<int> codes;  // of each reply, in order
  std::vector<Queued> queued = {};
};

void PrintTo(const Dialogue& dialogue, std::ostream* out) { *out << dialogue.scenario; }

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

std::vector<Dialogue> Dialogues() {
  const std::string line(998, 'x');
  const size_t overLimit = larkq::kMaxSendmailInput / (line.size() + 2) + 1;
  std::vector<int> manyCodes = {220, 250, 250};
  manyCodes.insert(manyCodes.end(), larkq::kMaxSendmailRecipients, 250);
  manyCodes.push_back(452);
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
       "NOOP " + std::string(995, 'x') + "\r\nNOOP " + line + "\r\n",
       {220, 250, 500}},
      {"the input ends inside the data",
       "MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nDATA\r\nhalf a message\r\n",
       {220, 250, 250, 354}},
      {"data over the limit is read to its end",
       "MAIL FROM:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nDATA\r\n" + Repeat(line + "\r\n", overLimit) +
           ".\r\nMAIL FROM:<a@x.test>\r\n",
       {220, 250, 250, 354, 552, 250}},
      {"too many recipients",
       "HELO app\r\nMAIL FROM:<a@x.test>\r\n" +
           Repeat("RCPT TO:<b@x.test>\r\n", larkq::kMaxSendmailRecipients + 1),
       manyCodes},
  };
}

class SmtpSessionTest : public ::testing::TestWithParam<Dialogue> {};

TEST_P(SmtpSessionTest, RepliesAndQueuesAsAnSmtpServer) {
  std::istringstream in(GetParam().input);
  std::ostringstream out;
  std::vector<Queued> queued = {};
  auto queue = [&](const std::string& sender, const std::vector<std::string>& recipients,
                   const std::string& text) {
    queued.push_back({sender, recipients, text});
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
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SmtpSessionTest, ::testing::ValuesIn(Dialogues()),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(SmtpSessionOutputTest, AReplyThatCannotBeWrittenEndsTheSession) {
  std::istringstream in("NOOP\r\n");
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  EXPECT_EQ(larkq::RunSmtpSession(in, out, "h", {}), larkq::kSessionOutputFailed);
}

}  // namespace
