#include "tools/larkq/AddCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "mailer/SMTPCust.h"
#include "testing/TempDir.h"
#include "tools/larkq/ComposeCommand.h"

namespace {

struct Result {
  int code;
  std::string out;
  std::string err;
};

Result Add(std::vector<std::string> args, const std::string& body = "") {
  std::istringstream in(body);
  std::ostringstream out, err;
  int code = larkq::RunAddCommand(args, in, out, err);
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
  EXPECT_TRUE(ini.starts_with(queue_.Path() + "/msg") && ini.ends_with(".ini")) << ini;

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
  EXPECT_EQ(loaded.BodyLines.Count(), 3);

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
  EXPECT_EQ(Add({"--help"}).code, 0);
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
}

}  // namespace
