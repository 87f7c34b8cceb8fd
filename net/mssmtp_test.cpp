#include "net/mssmtp.h"

#include <gtest/gtest.h>

#include <chrono>

#include "net/agwsock.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"
#include "testing/Wine.h"

namespace {

using testing_support::FakeSmtpServer;
using testing_support::RunningUnderWine;
using Clock = std::chrono::steady_clock;

// Wine's Winsock reports a reset as an orderly close (FD_CLOSE without an error).
std::string ResetText(const std::string& step) {
  return RunningUnderWine() ? "EServerError: Connection closed by the relay " + step
                            : "ESocketError: [10054] Connection reset by peer";
}

class SmtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    message_.Sender.Address = "s@example.com";
    message_.Recipients.AddAddress("r1@example.org", "R1");
    message_.Recipients.AddAddress("r2@example.org", "R2");
    message_.Subject = "Hi";
    message_.Headers.Add("Date: Mon, 07 Dec 1998 14:05:09 GMT");
    message_.Body.Add("Hello");
    client_.Server = server_.Address();
    client_.SetTimeOut(5);
    client_.SetMailMessage(&message_);
  }
  // The failure's class name and text, or "ok".
  std::string TransmitResult() {
    try {
      client_.Transmit();
      return "ok";
    } catch (const rtl::Exception& e) {
      return std::string(e.ClassName()) + ": " + e.Message();
    }
  }
  std::string Composed() {
    rtl::TMemoryStream stream;
    message_.EncodeToStream(stream);
    return stream.Data();
  }

  testing_support::MachineRoot root_;
  FakeSmtpServer server_;
  maillib::TmsMessage message_;
  net::TmsSMTP client_;
};

TEST_F(SmtpTest, AWholeTransactionOnTheWire) {
  server_.Reply("RCPT", {"250 ok\r\n", "550 5.1.1 no such user\r\n"});
  client_.OnAddressRejected = [](const std::string&, const std::string&, bool& proceed) {
    proceed = true;
  };
  ASSERT_EQ(TransmitResult(), "ok");
  EXPECT_EQ(server_.Received(), "HELO " + client_.LocalHostName +
                                    "\r\nMAIL FROM:<s@example.com>\r\nRCPT TO:<r1@example.org>\r\n"
                                    "RCPT TO:<r2@example.org>\r\nDATA\r\n" +
                                    Composed() + "\r\n.\r\nQUIT\r\n");
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_FALSE(client_.LocalHostName.empty());
}

TEST_F(SmtpTest, GreetingAndHeloVariants) {
  server_.SetGreeting("220-first\r\n220 second\r\n");
  server_.Reply("HELO", {"501 syntax\r\n", "250 fine\r\n"});
  ASSERT_EQ(TransmitResult(), "ok");
  auto commands = server_.Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[1], "HELO");
  server_.SetGreeting("554 go away\r\n");
  EXPECT_EQ(TransmitResult(), "EServerError: 554 go away");
}

TEST_F(SmtpTest, RefusedRecipients) {
  server_.Reply("RCPT", {"550 unknown\r\n"});
  EXPECT_EQ(TransmitResult(), "EServerError: 550 unknown");  // no handler: the reply fails it
  std::vector<std::string> refused;
  client_.OnAddressRejected = [&](const std::string& address, const std::string& reply,
                                  bool& proceed) {
    refused.push_back(address + " " + reply);
    proceed = true;
  };
  server_.Reply("DATA", {"554 no valid recipients\r\n"});
  server_.Reply("RCPT", {"550 5.1.1 unknown\r\n", "553 5.1.3 bad address\r\n"});
  // With none accepted there is no data phase: the last refusal is the reason, not the relay's
  // complaint that there is no recipient.
  EXPECT_EQ(TransmitResult(), "EServerError: 553 5.1.3 bad address");
  EXPECT_EQ(refused, (std::vector<std::string>{"r1@example.org 550 5.1.1 unknown",
                                               "r2@example.org 553 5.1.3 bad address"}));
  auto commands = server_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DATA"), 0);
  EXPECT_EQ(commands.back(), "QUIT");
  server_.Reply("RCPT", {"250 ok\r\n"});
  server_.Reply("DATA", {"250 not what DATA needs\r\n"});
  EXPECT_EQ(TransmitResult(), "EServerError: 250 not what DATA needs");
}

TEST_F(SmtpTest, RepliesOfEveryShape) {
  server_.Reply("HELO", {"250 bare line feed\n"});
  server_.Reply("MAIL", {"250-first\r\n250 last\r\n"});
  server_.Reply("RCPT", {"250-first\r\n250\r\n"});  // a last line that is only the code
  server_.Reply("QUIT", {"221 " + std::string(3000, 'x') + "\r\n"});
  ASSERT_EQ(TransmitResult(), "ok");
  EXPECT_EQ(client_.LastReply.size(), 1024u);  // a long reply line keeps its first 1024 bytes
  EXPECT_EQ(server_.Messages().size(), 1u);
}

// A relay that hangs up instead of replying still gives the failure a reason.
TEST_F(SmtpTest, AServerThatClosesBeforeReplying) {
  const std::string close = FakeSmtpServer::kClose, closed = "EServerError: Connection closed ";
  const std::vector<std::vector<std::string>> cases = {
      // verb ("." the data), reply, result
      {"", close, closed + "by the relay before its greeting"},
      {"MAIL", "25" + close, closed + "by the relay after MAIL FROM"},
      {"RCPT", close, closed + "by the relay after RCPT TO"},
      {".", close, closed + "by the relay after DATA"},
      {"DATA", "354 go\r\n<pause><reset>", ResetText("after DATA")},
      {"MAIL", "\r\n", "EServerError: Empty reply from the relay to MAIL FROM"}};
  for (const auto& c : cases) {
    FakeSmtpServer server;
    client_.Server = server.Address();
    server.SetGreeting(c[0].empty() ? c[1] : "220 ready\r\n");
    server.Reply(c[0], {c[1]});
    server.ReplyAfterData(c[0] == "." ? c[1] : "250 ok\r\n");
    EXPECT_EQ(TransmitResult(), c[2]) << c[0] << " " << c[1];
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_EQ(server.Messages().size(), c[0] == "." ? 1u : 0u);  // the data taken, or none
  }
}

TEST_F(SmtpTest, AServerThatNeverAnswersTimesOut) {
  client_.SetTimeOut(1);
  server_.SetGreeting(FakeSmtpServer::kSilence);
  auto start = Clock::now();
  EXPECT_EQ(TransmitResult(), "ETimedOutError: Operation timed out");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(client_.IsConnected());
}

TEST_F(SmtpTest, AClosedPortFailsAtOnce) {
  uint16_t port;
  {
    FakeSmtpServer gone;
    port = gone.Port();
  }
  client_.Server = "127.0.0.1:" + std::to_string(port);
  auto start = Clock::now();
  EXPECT_EQ(TransmitResult(), "ESocketError: [10061] Connection refused");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(client_.IsConnected());
}

TEST_F(SmtpTest, NamesAndPorts) {
  client_.Server = "no-such-host.invalid";
  // Wine's look-up fails with 8 when the machine root's HKEY_LOCAL_MACHINE lacks the host's name.
  EXPECT_EQ(TransmitResult(),
            RunningUnderWine() ? "ESocketError: Error #8" : "ESocketError: [11001] Host not found");
  client_.Server = "";
  EXPECT_EQ(TransmitResult(), "ESocketError: Server property is required");
  client_.Server = std::string(130, 'h') + ":25";
  EXPECT_EQ(TransmitResult(), "ESocketError: Error resolving remote host");
  client_.Server = "localhost:" + std::to_string(server_.Port());
  EXPECT_EQ(TransmitResult(), "ok");
}

TEST_F(SmtpTest, AResetWhileReadingClosesTheSocket) {
  server_.Reply("MAIL", {FakeSmtpServer::kReset});
  EXPECT_EQ(TransmitResult(), ResetText("after MAIL FROM"));
  EXPECT_FALSE(client_.IsConnected());
}

TEST_F(SmtpTest, AResetAfterPartOfALineIsReportedAtOnce) {
  server_.SetGreeting("220 partial<pause><reset>");
  auto start = Clock::now();
  EXPECT_EQ(TransmitResult(), ResetText("before its greeting"));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));  // the time-out is 5 s
  EXPECT_FALSE(client_.IsConnected());
}

// A line cut in two whose second part comes with the close: the client sees the close instead
// of reading nothing for ever.
TEST_F(SmtpTest, ALineEndedByTheCloseIsNotWaitedForForEver) {
  server_.SetGreeting("220 par<pause>tial<close>");
  auto start = Clock::now();
  EXPECT_NE(TransmitResult(), "ok");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));  // the time-out is 5 s
  EXPECT_FALSE(client_.IsConnected());
}

TEST_F(SmtpTest, TemporaryRefusalsAreRefusals) {
  server_.Reply("RCPT", {"250 ok\r\n", "451 4.2.0 greylisted\r\n"});
  std::vector<std::string> refused;
  client_.OnAddressRejected = [&](const std::string& address, const std::string& reply,
                                  bool& proceed) {
    refused.push_back(address + " " + reply);
    proceed = true;
  };
  EXPECT_EQ(TransmitResult(), "ok");
  EXPECT_EQ(refused, std::vector<std::string>{"r2@example.org 451 4.2.0 greylisted"});
  server_.Reply("RCPT", {"250 ok\r\n"});
  server_.ReplyAfterData("452 4.3.1 out of space\r\n");
  EXPECT_EQ(TransmitResult(), "EServerError: 452 4.3.1 out of space");
}

// A relay that keeps a reply going cannot hold the client: one reply lasts at most four times
// the time-out and at most 1000 lines, and then the connection is dropped without a goodbye.
TEST_F(SmtpTest, AReplyHasAtMostAThousandLines) {
  // Enough for 1000 lines read a byte at a time under Wine, whose every receive is slow.
  client_.SetTimeOut(20);
  std::string lines;
  for (int i = 1; i < 1000; ++i) lines += "250-line\r\n";
  server_.Reply("HELO", {lines + "250 last\r\n"});
  EXPECT_EQ(TransmitResult(), "ok");
  server_.Reply("HELO", {lines + "250-one too many\r\n250 last\r\n"});
  auto start = Clock::now();
  EXPECT_EQ(TransmitResult(), "ETimedOutError: Operation timed out");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_EQ(server_.Commands().back(), "HELO " + client_.LocalHostName);
}

TEST_F(SmtpTest, AReplyThatNeverEndsTimesOut) {
  client_.SetTimeOut(1);
  server_.Reply("MAIL", {"250-still going\r\n<drip>"});
  auto start = Clock::now();
  EXPECT_EQ(TransmitResult(), "ETimedOutError: Operation timed out");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));  // four times the time-out, and some
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_EQ(server_.Commands().back(), "MAIL FROM:<s@example.com>");
}

TEST_F(SmtpTest, AFailedGoodbyeAfterAnAcceptedMessageIsNoFailure) {
  server_.Reply("QUIT", {"500 what\r\n"});
  EXPECT_EQ(TransmitResult(), "ok");
  EXPECT_FALSE(client_.IsConnected());
  // A goodbye that fails after another failure does not hide it.
  server_.Reply("DATA", {"451 try later\r\n"});
  EXPECT_EQ(TransmitResult(), "EServerError: 451 try later");
}

// Before TLS nothing but the hello, STARTTLS and the goodbye goes out, whatever the relay says.
TEST_F(SmtpTest, ARelayThatMustGiveTlsAndDoesNot) {
  client_.HeloName = "client.example";
  const std::string ehlo = "EHLO client.example\r\n";
  const std::vector<std::vector<std::string>> cases = {
      // EHLO reply, STARTTLS reply, result, what the relay received
      {"250-relay\r\n250 8BITMIME\r\n", "",
       "EServerError: The relay does not offer STARTTLS, which its settings require; nothing was "
       "sent in the clear",
       ehlo + "QUIT\r\n"},
      {"500 5.5.1 what\r\n", "", "EServerError: 500 5.5.1 what", ehlo + "QUIT\r\n"},
      {"250-relay\r\n250-starttls\r\n250 SIZE\r\n", "454 4.7.0 TLS not available\r\n",
       "EServerError: 454 4.7.0 TLS not available", ehlo + "STARTTLS\r\nQUIT\r\n"},
  };
  client_.Security = net::TSmtpSecurity::StartTls;
  for (const auto& c : cases) {
    FakeSmtpServer server;
    client_.Server = server.Address();
    server.Reply("EHLO", {c[0]});
    server.Reply("STARTTLS", {c[1]});
    EXPECT_EQ(TransmitResult(), c[2]) << c[0];
    EXPECT_EQ(server.Received(), c[3]) << c[0];
  }
  // A password is never sent without TLS.
  client_.Server = server_.Address();
  client_.Security = net::TSmtpSecurity::None;
  client_.AuthUser = "shop";
  client_.Password = "secret";
  EXPECT_EQ(TransmitResult(), "EServerError: AUTH is used only over TLS; set Security");
  EXPECT_EQ(server_.Received(), "QUIT\r\n");
}

TEST_F(SmtpTest, MessageProblems) {
  client_.SetMailMessage(nullptr);
  EXPECT_EQ(TransmitResult(), "ESocketError: MailMessage property must be assigned");
  {
    maillib::TmsMessage temporary;
    client_.SetMailMessage(&temporary);
  }
  EXPECT_EQ(client_.MailMessage(), nullptr);  // told when the message went
  message_.Sender.Address = "";
  client_.SetMailMessage(&message_);
  EXPECT_EQ(TransmitResult(), "EMessageError: The address of sender is required");
}

}  // namespace
