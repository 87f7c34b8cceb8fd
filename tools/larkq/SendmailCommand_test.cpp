#include "tools/larkq/SendmailCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <sstream>

#include "mailer/SMTPCust.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"
#include "tools/larkq/AdminCommands.h"
#include "tools/larkq/CommandTestSupport.h"
#include "tools/larkq/ComposeCommand.h"
#include "tools/larkq/LocalNames.h"
#include "tools/larkq/SubmittedMessage.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out;
  std::string err;
};

std::string Address(const maillib::TmsAddressList& list, int index) {
  return list.Items(index).Address.str();
}

class SendmailCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings::Settings() = settings::TSettings{};
    Configure({{"RemoteHosts", "relay.test"}});
  }
  // The settings hold the queue directory and the given values, nothing else.
  void Configure(std::initializer_list<std::pair<const char*, const char*>> values) {
    auto key = larkq_test::SettingsKey();
    for (const auto& name : key->GetValueNames()) key->DeleteValue(name);
    key->WriteString("QuePath", queue_.Path());
    for (const auto& [name, value] : values) key->WriteString(name, value);
  }
  Result Sendmail(const std::vector<std::string>& args, const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out, err;
    int code = larkq::RunSendmailCommand(args, in, out, err);
    return {code, out.str(), err.str()};
  }
  std::vector<std::string> Queued() const {
    std::vector<std::string> inis;
    for (const auto& entry : fs::directory_iterator(queue_.Path())) {
      if (entry.path().extension() == ".ini") inis.push_back(entry.path().string());
    }
    return inis;
  }
  // The one queued message as the service loads it.
  mailer::TCustomMailer& Loaded() {
    auto inis = Queued();
    EXPECT_EQ(inis.size(), 1u);
    loaded_.QueueFile = inis.empty() ? "" : inis[0];
    loaded_.LoadFromQueue();
    return loaded_;
  }
  std::string Composed() {
    auto inis = Queued();
    std::ostringstream out, err;
    EXPECT_EQ(larkq::RunComposeCommand({inis.at(0)}, out, err), 0) << err.str();
    return out.str();
  }
  // Everything in the queue directory, so that a refusal is seen to leave nothing behind.
  size_t Entries() const {
    size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(queue_.Path());
         it != fs::recursive_directory_iterator(); ++it) {
      if (!it->is_directory()) ++count;
    }
    return count;
  }

  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
  mailer::TCustomMailer loaded_;
};

// The message is queued as written: only the fields it lacks are added, Bcc goes, bare names are
// qualified; the .ini carries the envelope and what the log shows.
TEST_F(SendmailCommandTest, QueuesThePhpMessageAsWrittenWithItsEnvelope) {
  Configure({{"RemoteHosts", "relay.test"}, {"DefaultDomain", "web1.test"}});
  const std::string header =
      "From: Web Shop <shop@x.test>\r\nTo: \"Ann A\" <ann@x.test>, root\r\n"
      "Cc: carl@x.test\r\nBcc: hidden@x.test,\r\n second@x.test\r\n"
      "Subject: =?UTF-8?Q?Bestellung_=C3=BC?=\r\nX-Order: 7\r\n\tcontinued\r\n";
  Result r = Sendmail({"-t", "-i", "-f", "<from@x.test>", "CARL@x.test"},
                      header + "\r\n.Thanks.\r\nlast line");
  ASSERT_EQ(r.code, 0) << r.err;
  auto& m = Loaded();
  EXPECT_TRUE(m.Composed);
  EXPECT_EQ(m.FromAddress, "from@x.test");
  EXPECT_EQ(m.FromName, "Web Shop");
  EXPECT_EQ(m.Subject, "Bestellung \xC3\xBC");
  std::vector<std::string> envelope;
  for (int i = 0; i < m.ToList.Count(); ++i) envelope.push_back(Address(m.ToList, i));
  EXPECT_EQ(envelope, (std::vector<std::string>{"ann@x.test", "root@web1.test", "carl@x.test",
                                                "hidden@x.test", "second@x.test"}));
  const std::string body = larkq_test::BodyText(m);
  const std::string kept =
      "From: Web Shop <shop@x.test>\r\nTo: \"Ann A\" <ann@x.test>, root@web1.test\r\n"
      "Cc: carl@x.test\r\nSubject: =?UTF-8?Q?Bestellung_=C3=BC?=\r\nX-Order: 7\r\n\tcontinued\r\n";
  ASSERT_TRUE(body.starts_with(kept + "Message-ID: <")) << body;
  EXPECT_NE(body.find("@web1.test>\r\nDate: "), std::string::npos) << body;
  EXPECT_TRUE(body.ends_with(" +0000\r\n\r\n.Thanks.\r\nlast line\r\n")) << body;
  EXPECT_EQ(Composed(),
            body.substr(0, body.find("\r\n.Thanks")) + "\r\n..Thanks.\r\nlast line\r\n");
  const auto shown = larkq_test::RunCommand(larkq::RunShowCommand, {Queued().at(0)});
  EXPECT_NE(shown.out.find("Composed:    11 lines, sent as written\n  From: Web Shop"),
            std::string::npos)
      << shown.out;
}

TEST_F(SendmailCommandTest, EnvelopeSendersAndLocalNames) {
  Configure({{"RemoteHosts", "relay.test"},
             {"DefaultDomain", "web1.test"},
             {"AdminAddress", "admin@x.test"}});
  struct Case {
    std::vector<std::string> args;
    std::string input, sender, recipient, from;
  } cases[] = {
      {{"-f", "<>", "a@x.test"}, "To: a@x.test\n\nx\n", "<>", "a@x.test", ""},
      {{"-froot", "-F", "Night\nBcc: evil@x.test", "root"},
       "x\n",
       "root@web1.test",
       "admin@x.test",
       "From: \"Night Bcc: evil@x.test\" <root@web1.test>\r\n"},
      {{"-F", "Jörg", "a@web1.test"}, "x\n", "", "a@web1.test", "=?utf-8?"},
      {{"-t"},
       "From: mdadm monitoring <root>\nTo: root@localhost\n\nx\n",
       "root@web1.test",
       "admin@x.test",
       ""},
      {{"-F", "Unused", "x@elsewhere.test"},
       "From: Logwatch\n\nx\n",
       "Logwatch@web1.test",
       "x@elsewhere.test",
       "From: Logwatch@web1.test\r\n"},
  };
  for (const auto& c : cases) {
    for (const auto& ini : Queued()) {
      fs::remove(ini);
      fs::remove(fs::path(ini).replace_extension(".tmp"));
    }
    Result r = Sendmail(c.args, c.input);
    ASSERT_EQ(r.code, 0) << c.args[0] << ": " << r.err;
    auto& m = Loaded();
    if (!c.sender.empty()) {
      EXPECT_EQ(m.FromAddress, c.sender) << c.args[0];
    }
    EXPECT_EQ(Address(m.ToList, m.ToList.Count() - 1), c.recipient) << c.args[0];
    if (!c.from.empty()) {
      EXPECT_NE(larkq_test::BodyText(m).find(c.from), std::string::npos) << c.args[0];
    }
    m.ToList.Clear();
  }
}

TEST_F(SendmailCommandTest, TheHeaderBlockEndsAtTheFirstLineThatIsNoField) {
  const std::string references =
      "References: " + std::string(600, 'r') + " " + std::string(600, 's');
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"Subject: s\nbody starts\n", {"Subject: s", "", "body starts"}},
      {"From someone Tue Dec  8 10:00:00 2026\nSubject: s\n\nx", {"Subject: s", "", "x"}},
      {" From: folded\nSubject: s\n\nx\n", {" From: folded", "Subject: s", "", "x"}},
      {"  indented\nbody\n", {"", "  indented", "body"}},
      {"Subject: s\r\rx\r\n", {"Subject: s", "", "x"}},
      {references + "\n\n", {references.substr(0, 612), references.substr(612), ""}},
      {"", {""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(larkq::TSubmittedMessage::Split(c.text).Lines(), c.lines) << c.text;
  }
}

TEST_F(SendmailCommandTest, BareNamesInAddressFieldsAreQualified) {
  const larkq::TLocalNames names("d.test", "", {});
  for (auto [given, qualified] : std::initializer_list<std::pair<const char*, const char*>>{
           {" root", " root@d.test"},
           {" root (Cron Daemon)", " root@d.test (Cron Daemon)"},
           {" mdadm monitoring <root>", " mdadm monitoring <root@d.test>"},
           {" \"a, b\" <x>, y@e.test,\n\tz", " \"a, b\" <x@d.test>, y@e.test,\n\tz@d.test"},
           {" team: ann, bob@e.test;", " team: ann@d.test, bob@e.test;"},
           {" undisclosed-recipients:;", " undisclosed-recipients:;"},
           {" <>, (only a comment)", " <>, (only a comment)"}}) {
    EXPECT_EQ(names.QualifiedField(given), qualified);
  }
}

TEST_F(SendmailCommandTest, RelayFromTheSettingElseTheOption) {
  Configure({});
  ASSERT_EQ(Sendmail({"--relay", "relay.option:2525", "a@x.test"}, "hi\n").code, 0);
  EXPECT_EQ(Loaded().RemoteHost, "relay.option:2525");
  Result none = Sendmail({"a@x.test"}, "hi\n");
  EXPECT_EQ(none.code, larkq::EX_CONFIG);
  EXPECT_NE(none.err.find("RemoteHosts"), std::string::npos) << none.err;
}

TEST_F(SendmailCommandTest, RefusesAndQueuesNothing) {
  std::vector<std::string> manyArgs;
  for (int i = 0; i <= larkq::kMaxSendmailRecipients; ++i) {
    manyArgs.push_back("r" + std::to_string(i) + "@x.test");
  }
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    int code;
    const char* says;
  } cases[] = {
      {"NUL",
       {"a@x.test"},
       std::string("To: a@x.test\n\nnul\0here\n", 24),
       larkq::EX_DATAERR,
       "NUL"},
      {"no recipient with -t", {"-t"}, "Subject: s\n\nbody\n", larkq::EX_USAGE, "no recipient"},
      {"no recipient at all", {}, "To: a@x.test\n\nbody\n", larkq::EX_USAGE, "no recipient"},
      {"bad recipient", {"not an address"}, "body\n", larkq::EX_NOUSER, "not an address"},
      {"bad sender", {"-f", "me@", "a@x.test"}, "body\n", larkq::EX_NOUSER, "sender"},
      {"too many recipients", manyArgs, "body\n", larkq::EX_DATAERR, "recipients"},
      {"too large",
       {"a@x.test"},
       std::string(larkq::kMaxSendmailInput + 1, 'x'),
       larkq::EX_DATAERR,
       "50 MB"},
      {"unknown option", {"-Z", "a@x.test"}, "body\n", larkq::EX_USAGE, "-Z"},
      {"value missing", {"a@x.test", "-f"}, "body\n", larkq::EX_USAGE, "-f"},
      {"address test mode", {"-bv", "a@x.test"}, "", larkq::EX_UNAVAILABLE, "-bv"},
  };
  for (const auto& c : cases) {
    Result r = Sendmail(c.args, c.input);
    EXPECT_EQ(r.code, c.code) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("nothing was queued"), std::string::npos) << c.what;
    EXPECT_EQ(Entries(), 0u) << c.what;
  }
  larkq_test::SettingsKey()->DeleteValue("QuePath");
  Result noQueue = Sendmail({"a@x.test"}, "body\n");
  EXPECT_EQ(noQueue.code, larkq::EX_CONFIG) << noQueue.err;
  larkq_test::SettingsKey()->WriteString("QuePath", "/nonexistent/queue");
  Result missing = Sendmail({"a@x.test"}, "body\n");
  EXPECT_EQ(missing.code, larkq::EX_CONFIG) << missing.err;
  EXPECT_NE(missing.err.find("/nonexistent/queue"), std::string::npos) << missing.err;
  // A queue run or an alias rebuild is the service's business: nothing to do, and no error.
  for (const char* mode : {"-q", "-q1h", "-bi"}) EXPECT_EQ(Sendmail({mode}, "").code, 0) << mode;
}

TEST_F(SendmailCommandTest, ListsTheQueue) {
  ASSERT_EQ(Sendmail({"-t"}, "To: listed@x.test\nSubject: s\n\nhi\n").code, 0);
  Result r = Sendmail({"-bp"}, "");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("listed@x.test"), std::string::npos) << r.out;
}

}  // namespace
