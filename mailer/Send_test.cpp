#include <gtest/gtest.h>

#include <chrono>

#include "mailer/SMTPCust.h"
#include "settings/RegSet.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"
#include "testing/Wine.h"

namespace {

using mailer::TCustomMailer;
using testing_support::FakeSmtpServer;

class SendTest : public ::testing::Test {
 protected:
  TCustomMailer& Mailer(const std::string& hosts) {
    mailer_.RemoteHost = hosts;
    mailer_.FromAddress = "shop@example.com";
    mailer_.Subject = "Order";
    mailer_.ToList.AddAddress("ann@example.org", "Ann");
    mailer_.CcList.AddAddress("carl@example.org", "Carl");
    mailer_.BccList.AddAddress("bea@example.org", "Bea");
    mailer_.BodyLines.Add("Hello.");
    mailer_.TimeOut = 5;
    return mailer_;
  }
  // The address of a port where nothing listens: connections are refused.
  static std::string ClosedPort() {
    FakeSmtpServer gone;
    return gone.Address();
  }
  testing_support::MachineRoot root_;
  FakeSmtpServer first_, second_, third_;
  TCustomMailer mailer_;
};

TEST_F(SendTest, DeliversToTheFirstRelay) {
  auto& m = Mailer(first_.Address() + ";" + second_.Address());
  ASSERT_TRUE(m.Send()) << m.LastResp;
  EXPECT_EQ(first_.Connections(), 1);
  EXPECT_EQ(second_.Connections(), 0);
  auto commands = first_.Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.starts_with("RCPT TO:"); }),
            3);  // To, CC and BCC all reach the envelope
  EXPECT_TRUE(m.Summary.starts_with("shop@example.com"));
}

TEST_F(SendTest, TheSecondRelayAfterAFailure) {
  first_.Reply("MAIL", {"451 4.3.0 try later\r\n"});
  auto& m = Mailer(";;" + first_.Address() + ";;" + second_.Address());
  EXPECT_TRUE(m.Send());
  EXPECT_EQ(m.LastResp, "451 4.3.0 try later");  // the first attempt's reason stays
  EXPECT_EQ(second_.Messages().size(), 1u);
}

TEST_F(SendTest, OnlyTwoRelaysAreTried) {
  auto& m = Mailer(ClosedPort() + "," + ClosedPort() + "," + third_.Address());
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "[10061] Connection refused");
  EXPECT_EQ(third_.Connections(), 0);
}

TEST_F(SendTest, ABlankAfterTheSeparatorBelongsToTheSecondName) {
  first_.Reply("HELO", {"421 closing\r\n"});
  auto& m = Mailer(first_.Address() + ", " + second_.Address());
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(second_.Connections(), 0);
  // Wine's look-up fails with 8 when the machine root's HKEY_LOCAL_MACHINE lacks the host's name.
  EXPECT_EQ(m.LastResp,
            testing_support::RunningUnderWine() ? "Error #8" : "[11001] Host not found");
}

TEST_F(SendTest, NoRelayAtAll) {
  auto& m = Mailer("");
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "Server property is required");
}

TEST_F(SendTest, AMessageThatCannotBeBuiltIsNotTriedAgain) {
  for (const std::string& hosts : {first_.Address(), first_.Address() + ";" + second_.Address()}) {
    TCustomMailer m;
    m.RemoteHost = hosts;
    m.ToList.AddAddress("ann@example.org", "Ann");
    EXPECT_FALSE(m.Send());
    EXPECT_EQ(m.LastResp, "FromAddress Property cannot be blank.");
  }
  EXPECT_EQ(first_.Connections(), 0);
  EXPECT_EQ(second_.Connections(), 0);

  auto& m = Mailer(first_.Address() + ";" + second_.Address());
  m.Attachments.Add("/nonexistent/report.pdf");
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "Cannot open file /nonexistent/report.pdf");
  EXPECT_EQ(second_.Connections(), 0);
}

TEST_F(SendTest, ALoadFailureIsReported) {
  testing_support::TempDir queue;
  queue.WriteFile("m.ini", "[Connection]\r\nRemoteHost=" + first_.Address() + "\r\n");
  TCustomMailer m;
  m.QueueFile = queue / "m.ini";
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "Unable to read message body" + (queue / "m.tmp"));
  EXPECT_EQ(first_.Connections(), 0);
}

TEST_F(SendTest, RefusedRecipientsFollowIgnoreRecipientErrors) {
  first_.Reply("RCPT", {"250 ok\r\n", "550 no such user\r\n", "250 ok\r\n"});
  auto& m = Mailer(first_.Address());
  EXPECT_TRUE(m.Send()) << m.LastResp;
  first_.Reply("RCPT", {"250 ok\r\n", "550 no such user\r\n", "250 ok\r\n"});
  m.IgnoreRecipientErrors = false;
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "550 no such user");
}

// The refusals of the attempt that ended the send are kept for the caller to report.
TEST_F(SendTest, RefusedRecipientsAreKept) {
  first_.Reply("RCPT", {"250 ok\r\n", "550 5.1.1 no such user\r\n", "250 ok\r\n"});
  auto& m = Mailer(first_.Address());
  ASSERT_TRUE(m.Send()) << m.LastResp;
  EXPECT_EQ(
      m.RefusedRecipients,
      (std::vector<mailer::TRefusedRecipient>{{"carl@example.org", "550 5.1.1 no such user"}}));
  EXPECT_EQ(first_.Messages().size(), 1u);

  // None accepted: no data, the last refusal is the reason, and every refusal is kept.
  first_.Reply("RCPT",
               {"550 5.1.1 unknown\r\n", "553 5.7.1 relaying denied\r\n", "551 5.1.6 moved\r\n"});
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "551 5.1.6 moved");
  EXPECT_EQ(m.RefusedRecipients, (std::vector<mailer::TRefusedRecipient>{
                                     {"ann@example.org", "550 5.1.1 unknown"},
                                     {"carl@example.org", "553 5.7.1 relaying denied"},
                                     {"bea@example.org", "551 5.1.6 moved"}}));
  EXPECT_EQ(first_.Messages().size(), 1u);
  auto commands = first_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DATA"), 1);
  EXPECT_EQ(commands.back(), "QUIT");

  // A second relay that takes them all leaves no refusal from the first.
  first_.Reply("RCPT", {"550 5.1.1 unknown\r\n"});
  m.RemoteHost = first_.Address() + ";" + second_.Address();
  ASSERT_TRUE(m.Send());
  EXPECT_TRUE(m.RefusedRecipients.empty());
}

TEST_F(SendTest, TheHeloNameIsGivenWhenSet) {
  const std::string helo = "HELO mail.example.com";
  auto& m = Mailer(first_.Address());
  ASSERT_TRUE(m.Send()) << m.LastResp;
  auto commands = first_.Commands();
  EXPECT_TRUE(commands.front().starts_with("HELO ") && commands.front().size() > 5);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), helo), 0);  // the host name by default
  m.HeloName = "mail.example.com";
  ASSERT_TRUE(m.Send()) << m.LastResp;
  commands = first_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), helo), 1);
}

// A relay whose settings cannot be used is not tried; the next one is, with its own HELO name
// over the service-wide one, unless the name was given for this delivery.
TEST_F(SendTest, EachRelayTakesItsOwnSettings) {
  auto& relays = settings::Settings().Relays;
  relays[first_.Address()].Problem = "Relays\\first: Security 'ssl' is none of none, starttls, tls";
  relays[second_.Address()].HeloName = "relay.example.net";
  auto& m = Mailer(first_.Address() + ";" + second_.Address());
  m.HeloName = "service.example.com";
  ASSERT_TRUE(m.Send()) << m.LastResp;
  EXPECT_EQ(m.LastResp, relays[first_.Address()].Problem);
  EXPECT_EQ(first_.Connections(), 0);
  EXPECT_EQ(second_.Commands().front(), "HELO relay.example.net");
  m.HeloNameFixed = true;
  ASSERT_TRUE(m.Send()) << m.LastResp;
  const auto commands = second_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "HELO service.example.com"), 1);
  relays.clear();
}

TEST_F(SendTest, TemporaryRefusalsAreNeverSuccess) {
  struct Case {
    const char* verb;  // "." for the end of the data
    std::vector<std::string> replies;
    const char* reason;
  } cases[] = {
      {"RCPT",
       {"250 ok\r\n", "450 4.2.1 mailbox busy\r\n", "250 ok\r\n"},
       "450 4.2.1 mailbox busy"},
      {"MAIL", {"421 4.3.2 shutting down\r\n"}, "421 4.3.2 shutting down"},
      {".", {"451 4.3.0 try later\r\n"}, "451 4.3.0 try later"},
      {".", {"554 5.6.0 rejected\r\n"}, "554 5.6.0 rejected"},
  };
  for (const auto& c : cases) {
    FakeSmtpServer relay;
    if (std::string(c.verb) == ".") {
      relay.ReplyAfterData(c.replies[0]);
    } else {
      relay.Reply(c.verb, c.replies);
    }
    TCustomMailer m;
    m.RemoteHost = relay.Address();
    m.FromAddress = "shop@example.com";
    m.ToList.AddAddress("ann@example.org", "Ann");
    m.ToList.AddAddress("bob@example.org", "Bob");
    m.ToList.AddAddress("cid@example.org", "Cid");
    m.BodyLines.Add("Hello.");
    m.TimeOut = 5;
    m.IgnoreRecipientErrors = false;
    EXPECT_FALSE(m.Send()) << c.reason;
    EXPECT_EQ(m.LastResp, c.reason);
  }
  // Told to ignore refused recipients, the client goes on without the one refused for now, and
  // the message reaches the others; when all are refused for now, the last refusal is the
  // reason and no data is sent.
  first_.Reply("RCPT", {"250 ok\r\n", "451 4.7.1 greylisted\r\n", "250 ok\r\n"});
  auto& m = Mailer(first_.Address());
  ASSERT_TRUE(m.IgnoreRecipientErrors);
  EXPECT_TRUE(m.Send()) << m.LastResp;
  EXPECT_EQ(first_.Messages().size(), 1u);
  first_.Reply("RCPT", {"451 4.7.1 greylisted\r\n"});
  first_.Reply("DATA", {"554 5.5.1 no valid recipients\r\n"});
  EXPECT_FALSE(m.Send());
  EXPECT_EQ(m.LastResp, "451 4.7.1 greylisted");
  EXPECT_EQ(first_.Messages().size(), 1u);
}

TEST_F(SendTest, MultiLineRepliesAtEveryStage) {
  first_.SetGreeting("220-fake.example\r\n220-no spam\r\n220 ready\r\n");
  first_.Reply("HELO", {"250-fake.example\r\n250-SIZE 100000\r\n250-8BITMIME\r\n250 HELP\r\n"});
  first_.Reply("MAIL", {"250-a\r\n250-b\r\n250 sender ok\r\n"});
  first_.Reply("RCPT",
               {"250-a\r\n250-b\r\n250 ok\r\n", "250-a\r\n250-b\r\n250-c\r\n250-d\r\n250 ok\r\n",
                "250-a\r\n250-b\r\n250 ok\r\n"});
  first_.Reply("DATA", {"354-a\r\n354-b\r\n354 go ahead\r\n"});
  first_.ReplyAfterData("250-a\r\n250-b\r\n250 queued\r\n");
  first_.Reply("QUIT", {"221-a\r\n221-b\r\n221 bye\r\n"});
  auto& m = Mailer(first_.Address());
  ASSERT_TRUE(m.Send()) << m.LastResp;
  std::vector<std::string> verbs;
  for (const auto& command : first_.Commands()) verbs.push_back(command.substr(0, 4));
  EXPECT_EQ(verbs,
            (std::vector<std::string>{"HELO", "MAIL", "RCPT", "RCPT", "RCPT", "DATA", "QUIT"}));
  EXPECT_EQ(first_.Messages().size(), 1u);
}

TEST_F(SendTest, TheQueuedTimeOutReachesTheSocket) {
  first_.SetGreeting(FakeSmtpServer::kSilence);
  testing_support::TempDir queue;
  auto& m = Mailer(first_.Address());
  m.TimeOut = 1;
  ASSERT_TRUE(m.SaveToQueue(queue.Path())) << m.LastResp;
  TCustomMailer queued;
  queued.QueueFile = m.QueueFile;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queued.Send());
  EXPECT_EQ(queued.LastResp, "Operation timed out");
  EXPECT_EQ(queued.TimeOut, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::seconds(5));  // not the 45 s default
}

TEST_F(SendTest, WhatTheRelayReceives) {
  auto& m = Mailer(first_.Address());
  m.DateTime = "Tue, 01 Dec 1998 10:00:00 -0500";
  m.Priority = 0;
  m.Encoding = 0;  // a stored 0 means plain text with uuencoded attachments
  ASSERT_TRUE(m.Send()) << m.LastResp;
  ASSERT_EQ(first_.Messages().size(), 1u);
  const std::string text = first_.Messages()[0];
  EXPECT_NE(text.find("\r\nDate: Tue, 01 Dec 1998 10:00:00 -0500\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nX-Priority: 5\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nX-MSMail-Priority: Low\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Mime-Version"), std::string::npos);
  EXPECT_EQ(text.find("bea@example.org"), std::string::npos);  // BCC is not in the text
}

}  // namespace
