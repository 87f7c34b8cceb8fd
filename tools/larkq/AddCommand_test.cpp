#include "tools/larkq/AddCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "mailer/SMTPCust.h"
#include "testing/TempDir.h"
#include "tools/larkq/CommandTestSupport.h"
#include "tools/larkq/ComposeCommand.h"

namespace {

struct Result {
  int code;
  std::string out;
  std::string err;
};

Result Add(std::vector<std::string> args, const std::string& body = "", bool terminal = false) {
  std::istringstream in(body);
  std::ostringstream out, err;
  int code = larkq::RunAddCommand(args, in, terminal, out, err);
  return {code, out.str(), err.str()};
}

Result Compose(std::vector<std::string> args) {
  std::ostringstream out, err;
  int code = larkq::RunComposeCommand(args, out, err);
  return {code, out.str(), err.str()};
}

class LarkqAddTest : public ::testing::Test {
 protected:
  std::vector<std::string> Minimal() {
    return {"--from",  "shop@example.com", "--to",       "Ann <ann@example.org>",
            "--relay", "relay1",           queue_.Path()};
  }
  testing_support::TempDir queue_;
};

TEST_F(LarkqAddTest, WritesAPairThatLoadsBack) {
  queue_.WriteFile("report.pdf", "%PDF-1.4");
  const std::string pdf = queue_ / "report.pdf";
  auto args = Minimal();
  for (std::string extra : {"--cc",       "carl@example.org",
                            "--bcc",      "Bea <bea@example.org>",
                            "--subject",  "Order",
                            "--attach",   pdf.c_str(),
                            "--header",   "X-Order: 7",
                            "--priority", "high",
                            "--urgent",   "--iso-8859-1",
                            "--wrap",     "40",
                            "--timeout",  "30",
                            "--date",     "Tue, 01 Dec 1998 10:00:00 -0500",
                            "--relay",    "relay1;relay2"}) {
    args.push_back(extra);
  }
  Result result = Add(args, "Dear Ann,\n\nthank you.\n");
  ASSERT_EQ(result.code, 0) << result.err;
  std::string ini = result.out.substr(0, result.out.size() - 1);
  EXPECT_TRUE(ini.starts_with(queue_ / "msg") && ini.ends_with(".ini")) << ini;

  mailer::TCustomMailer loaded;
  loaded.QueueFile = ini;
  loaded.LoadFromQueue();
  EXPECT_EQ(loaded.RemoteHost, "relay1;relay2");
  EXPECT_EQ(loaded.ToList.Items(0).Name.str(), "Ann");
  // A bare address is its own display name, or the list would end at it when read back.
  EXPECT_EQ(loaded.CcList.Items(0).Name.str(), "carl@example.org");
  EXPECT_EQ(loaded.BccList.Items(0).Address.str(), "bea@example.org");
  EXPECT_EQ(loaded.Priority, 2);
  EXPECT_TRUE(loaded.Urgent && loaded.WordWrap);
  EXPECT_EQ(loaded.WordWrapLength, 40);
  EXPECT_EQ(loaded.CharSet, 2);
  EXPECT_EQ(loaded.TimeOut, 30);
  EXPECT_EQ(loaded.Attachments[0], queue_ / "report.pdf");
  EXPECT_EQ(rtl::SplitLines(larkq_test::BodyText(loaded)).size(), 3u);

  Result first = Compose({ini, "--seed", "5"});
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(Compose({ini, "--seed", "5"}).out, first.out);  // reproducible with a seed
  EXPECT_NE(first.out.find("\r\nX-Priority: 1\r\n"), std::string::npos);
  EXPECT_NE(first.out.find("\r\nDate: Tue, 01 Dec 1998 10:00:00 -0500\r\n"), std::string::npos);
  EXPECT_NE(first.out.find("name=\"report.pdf\""), std::string::npos);
}

TEST_F(LarkqAddTest, BadInputIsRefusedAndWritesNothing) {
  auto without = [&](const std::string& option) {
    auto args = Minimal();
    auto it = std::find(args.begin(), args.end(), option);
    args.erase(it, it + 2);
    return args;
  };
  auto with = [&](std::initializer_list<std::string> extra) {
    auto args = Minimal();
    args.insert(args.end(), extra);
    return args;
  };
  for (const auto& args :
       {without("--to"), without("--from"), without("--relay"),
        with({"--body-file", queue_ / "missing.txt"}), with({"--attach", queue_ / "none.pdf"}),
        with({"--priority", "urgent"}), with({"--wrap", "0"}), with({"--to", "Joe <broken"}),
        with({"--to", "no-at-sign"}), with({"--header", "no colon"}), with({"--bogus"}),
        with({"--subject", "Hi\r\nABCC1=x@evil"}),
        with({"--from-name", "Ann\nAttachments1=/etc"})}) {
    Result result = Add(args);
    EXPECT_EQ(result.code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(result.err.find("Usage:"), std::string::npos);
  }
  EXPECT_TRUE(std::filesystem::is_empty(queue_.Path()));
  Result help = Add({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.find("Usage: larkq add"), 0u);
  EXPECT_EQ(help.err, "");
}

TEST_F(LarkqAddTest, FromTakesANameAndAnAddress) {
  auto args = Minimal();
  args[1] = "Web Shop <shop@example.com>";
  Result result = Add(args);
  ASSERT_EQ(result.code, 0) << result.err;
  mailer::TCustomMailer loaded;
  loaded.QueueFile = result.out.substr(0, result.out.size() - 1);
  loaded.LoadFromQueue();
  EXPECT_EQ(loaded.FromAddress, "shop@example.com");
  EXPECT_EQ(loaded.FromName, "Web Shop");

  args.insert(args.end(), {"--from-name", "Orders"});
  result = Add(args);
  ASSERT_EQ(result.code, 0) << result.err;
  loaded.QueueFile = result.out.substr(0, result.out.size() - 1);
  loaded.LoadFromQueue();
  EXPECT_EQ(loaded.FromAddress, "shop@example.com");
  EXPECT_EQ(loaded.FromName, "Orders");  // the explicit name wins
}

TEST_F(LarkqAddTest, AddressesAndRelaysThatCannotBeDeliveredToAreRefused) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--to", "x@"}, "--to 'x@': not a mail address of the form local@domain"},
      {{"--cc", "@y"}, "--cc '@y': not a mail address of the form local@domain"},
      {{"--bcc", "Ann <ann@>"}, "not a mail address of the form local@domain"},
      {{"--to", "a b@example.org"}, "not a mail address of the form local@domain"},
      {{"--to", "a@example.org, b@example.org"}, "one address per option; give --to once for each"},
      {{"--to", "a@example.org b@example.org"}, "one address per option"},
      {{"--cc", "Ann <a@example.org>, Bob <b@example.org>"}, "one address per option"},
      {{"--from", "x@"}, "--from 'x@': not a mail address of the form local@domain"},
      {{"--from", "a@example.org, b@example.org"},
       "--from 'a@example.org, b@example.org': one "
       "address per option\n"},
      {{"--from", "Shop <shop@example.com"}, "Unable to parse email address"},
      {{"--reply-to", "@example.com"}, "--reply-to '@example.com': not a mail address"},
      {{"--relay", "relay1:0"}, "the port of relay1:0 must be a number from 1 to 65535"},
      {{"--relay", "relay1:65536"}, "the port of relay1:65536 must be a number from 1 to 65535"},
      {{"--relay", "relay1:smtp"}, "the port of relay1:smtp must be a number from 1 to 65535"},
      {{"--relay", "relay1;relay2:"}, "the port of relay2: must be"},
      {{"--relay", "relay1:99999999999"}, "must be a number from 1 to 65535"},
      {{"--relay", ":25"}, "':25' names no host"},
      {{"--relay", ",;"}, "--relay ',;' names no host"},
  };
  for (const auto& [extra, message] : cases) {
    auto args = Minimal();
    args.insert(args.end() - 1, extra.begin(), extra.end());
    Result result = Add(args);
    EXPECT_EQ(result.code, 2) << ::testing::PrintToString(extra);
    EXPECT_EQ(result.err.rfind("larkq add: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(queue_.Path()));

  for (const std::string relays : {"relay1:1", "relay1:65535;relay2", "relay1, relay2:2525"}) {
    auto args = Minimal();
    args.insert(args.end() - 1, {"--relay", relays, "--reply-to", "Help <help@example.com>"});
    Result result = Add(args);
    EXPECT_EQ(result.code, 0) << relays << ": " << result.err;
  }
}

TEST_F(LarkqAddTest, SaysWhenItWaitsForTheBodyOnATerminal) {
  const std::string notice = "larkq add: reading the message body from standard input";
  Result typed = Add(Minimal(), "Hello\n", true);
  ASSERT_EQ(typed.code, 0) << typed.err;
  EXPECT_EQ(typed.err.rfind(notice, 0), 0u) << typed.err;
  EXPECT_EQ(typed.out.find(notice), std::string::npos);

  EXPECT_EQ(Add(Minimal(), "Hello\n", false).err, "");  // a pipe or a file needs no notice
  testing_support::TempDir elsewhere;
  elsewhere.WriteFile("body.txt", "Hello\n");
  auto fromFile = Minimal();
  fromFile.insert(fromFile.end() - 1, {"--body-file", elsewhere / "body.txt"});
  EXPECT_EQ(Add(fromFile, "", true).err, "");
}

TEST_F(LarkqAddTest, ComposeReportsWhatCannotBeComposed) {
  queue_.WriteFile("lonely.ini", "[Message]\r\nFromAddr=a@b\r\n");
  Result result = Compose({queue_ / "lonely.ini"});
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err,
            "larkq compose: Unable to read message body" + (queue_ / "lonely.tmp") + "\n");
  queue_.WriteFile("nosender.ini", "[Message]\r\nNTO1=x\r\nATO1=x@y\r\n");
  queue_.WriteFile("nosender.tmp", "");
  EXPECT_EQ(Compose({queue_ / "nosender.ini"}).err,
            "larkq compose: FromAddress Property cannot be blank.\n");
  EXPECT_EQ(Compose({}).code, 2);
  Result help = Compose({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.find("Usage: larkq compose"), 0u);
  EXPECT_EQ(help.err, "");
}

}  // namespace
