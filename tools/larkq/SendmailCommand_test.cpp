#include "tools/larkq/SendmailCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "mailer/QueueSpool.h"
#include "mailer/SMTPCust.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"
#include "tools/larkq/CommandTestSupport.h"
#include "tools/larkq/ComposeCommand.h"
#include "tools/larkq/SpoolFolder.h"

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

// A multipart message with one text body and one part for each (name, bytes).
std::string Multipart(const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string text =
      "From: shop@x.test\nTo: ann@x.test\nSubject: files\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"BND\"\n\n--BND\n"
      "Content-Type: text/plain\n\nsee attached\n";
  for (const auto& [name, bytes] : parts) {
    text += "--BND\nContent-Type: application/octet-stream; name=\"" + name +
            "\"\nContent-Disposition: attachment; filename=\"" + name + "\"\n\n" + bytes + "\n";
  }
  return text + "--BND--\n";
}

class SendmailCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings::Settings() = settings::TSettings{};
    Hive("\"RemoteHosts\"=\"relay.test\"\n");
  }
  void Hive(const std::string& values) {
    root_.WriteHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n\"QuePath\"=\"" +
                    queue_.Path() + "\"\n" + values);
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

TEST_F(SendmailCommandTest, QueuesWhatTheHeadersName) {
  Result r = Sendmail({"-t", "-i"}, "Subject: x\nTo: a@b.test\n\nhi\n");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  auto& m = Loaded();
  EXPECT_EQ(m.RemoteHost, "relay.test");
  ASSERT_EQ(m.ToList.Count(), 1);
  EXPECT_EQ(Address(m.ToList, 0), "a@b.test");
  EXPECT_EQ(m.Subject, "x");
  EXPECT_EQ(larkq_test::BodyText(m), "hi\r\n");
  const std::string text = Composed();
  EXPECT_NE(text.find("\r\nTo:       \"a@b.test\" <a@b.test>\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nSubject:  x\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n\r\nhi\r\n"), std::string::npos) << text;
}

TEST_F(SendmailCommandTest, TakesAPhpStyleCallWithHiddenRecipientsAndKeptFields) {
  Result r = Sendmail({"-t", "-i", "-f", "from@x.test"},
                      "From: Web Shop <shop@x.test>\r\nTo: \"Ann A\" <ann@x.test>\r\n"
                      "Cc: carl@x.test\r\nBcc: hidden@x.test\r\nBCC: second@x.test\r\n"
                      "Subject: Your order\r\nDate: Tue, 01 Dec 1998 10:00:00 -0500\r\n"
                      "X-Order: 7\r\n\tcontinued\r\nX-Mailer: PHP/8\r\n\r\nThanks.\r\n");
  ASSERT_EQ(r.code, 0) << r.err;
  auto& m = Loaded();
  EXPECT_EQ(m.FromAddress, "from@x.test");
  EXPECT_EQ(m.FromName, "Web Shop");
  ASSERT_EQ(m.ToList.Count(), 1);
  EXPECT_EQ(m.ToList.Items(0).Name.str(), "Ann A");
  ASSERT_EQ(m.CcList.Count(), 1);
  ASSERT_EQ(m.BccList.Count(), 2);
  EXPECT_EQ(Address(m.BccList, 1), "second@x.test");
  EXPECT_EQ(m.DateTime, "Tue, 01 Dec 1998 10:00:00 -0500");
  const std::string text = Composed();
  EXPECT_EQ(text.find("hidden@x.test"), std::string::npos) << text;
  EXPECT_EQ(text.find("second@x.test"), std::string::npos) << text;
  EXPECT_EQ(text.find("PHP/8"), std::string::npos) << text;
  EXPECT_NE(text.find("X-Order: 7 continued\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Date: Tue, 01 Dec 1998 10:00:00 -0500\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Date:", text.find("Date:") + 1), std::string::npos) << text;
}

TEST_F(SendmailCommandTest, ArgumentsAreTheRecipients) {
  // The header shows those the message names; the others receive it unnamed.
  ASSERT_EQ(Sendmail({"-oi", "ann@x.test, bob@x.test", "-odb", "carl@x.test"},
                     "To: ann@x.test\nCc: carl@x.test, dora@x.test\n\nhello\n")
                .code,
            0);
  auto& m = Loaded();
  ASSERT_EQ(m.ToList.Count(), 1);
  EXPECT_EQ(Address(m.ToList, 0), "ann@x.test");
  ASSERT_EQ(m.CcList.Count(), 1);
  EXPECT_EQ(Address(m.CcList, 0), "carl@x.test");
  ASSERT_EQ(m.BccList.Count(), 1);
  EXPECT_EQ(Address(m.BccList, 0), "bob@x.test");
}

TEST_F(SendmailCommandTest, CronIdiomWithoutAHeaderBlock) {
  ASSERT_EQ(Sendmail({"admin@x.test"}, "done\n").code, 0);
  auto& m = Loaded();
  ASSERT_EQ(m.ToList.Count(), 1);
  EXPECT_EQ(Address(m.ToList, 0), "admin@x.test");
  EXPECT_EQ(larkq_test::BodyText(m), "done\r\n");
  EXPECT_TRUE(m.FromAddress.ends_with("@localhost")) << m.FromAddress;
  EXPECT_NE(Composed().find("\r\nTo:       \"admin@x.test\" <admin@x.test>\r\n"),
            std::string::npos);
}

TEST_F(SendmailCommandTest, SenderOptionsAndDotLine) {
  // Without -i a line of a single dot ends the message.
  ASSERT_EQ(Sendmail({"-fbounce@x.test", "-F", "Night Job", "-v", "-N", "never", "-B8BITMIME",
                      "-oem", "-bm", "a@x.test"},
                     "Subject: s\n\nfirst\n.\nnot sent\n")
                .code,
            0);
  auto& m = Loaded();
  EXPECT_EQ(m.FromAddress, "bounce@x.test");
  EXPECT_EQ(m.FromName, "Night Job");
  EXPECT_EQ(larkq_test::BodyText(m), "first\r\n");
}

TEST_F(SendmailCommandTest, RelayFromTheSettingElseTheOption) {
  Hive("");
  ASSERT_EQ(Sendmail({"--relay", "relay.option:2525", "a@x.test"}, "hi\n").code, 0);
  EXPECT_EQ(Loaded().RemoteHost, "relay.option:2525");
  Result none = Sendmail({"a@x.test"}, "hi\n");
  EXPECT_EQ(none.code, larkq::EX_CONFIG);
  EXPECT_NE(none.err.find("RemoteHosts"), std::string::npos) << none.err;
}

TEST_F(SendmailCommandTest, AttachmentsAreSpooledUnderSafeNames) {
  const std::vector<std::pair<std::string, std::string>> parts = {
      {"../../etc/passwd", "p1"}, {"a/b", "p2"},        {".hidden", "p3"},
      {"report.pdf", "p4"},       {"report.pdf", "p5"}, {"..", "p6"}};
  Result r = Sendmail({"-t", "-i"}, Multipart(parts));
  ASSERT_EQ(r.code, 0) << r.err;
  auto& m = Loaded();
  ASSERT_EQ(m.Attachments.Count(), 6);
  EXPECT_EQ(larkq_test::BodyText(m), "see attached\r\n");
  const fs::path spool = fs::path(queue_.Path()) / mailer::kSpoolDirName;
  fs::path folder;
  std::set<std::string> names;
  for (int i = 0; i < m.Attachments.Count(); ++i) {
    const fs::path file = m.Attachments[i];
    if (i == 0) folder = file.parent_path();
    EXPECT_EQ(file.parent_path(), folder);
    EXPECT_EQ(folder.parent_path(), spool);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file;
    EXPECT_NE(file.filename().string()[0], '.') << file;
    names.insert(file.filename().string());
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, parts[i].second) << file;
  }
  EXPECT_EQ(names.size(), 6u);
  EXPECT_TRUE(names.contains("report.pdf"));
  EXPECT_TRUE(names.contains("report-2.pdf"));
  EXPECT_FALSE(fs::exists(fs::path(queue_.Path()) / "etc"));
  EXPECT_NE(Composed().find("filename=\"report-2.pdf\""), std::string::npos);
}

TEST_F(SendmailCommandTest, SafeSpoolNames) {
  EXPECT_EQ(larkq::SafeSpoolName("../../etc/passwd"), "____etc_passwd");
  EXPECT_EQ(larkq::SafeSpoolName("a\\b"), "a_b");
  EXPECT_EQ(larkq::SafeSpoolName("..."), "_.");
  EXPECT_EQ(larkq::SafeSpoolName(". .profile"), "profile");
  EXPECT_EQ(larkq::SafeSpoolName("x\ny\x7f"), "x_y_");
  EXPECT_EQ(larkq::SafeSpoolName(""), "attachment");
  EXPECT_EQ(larkq::SafeSpoolName(".."), "_");
  const std::string longName = larkq::SafeSpoolName(std::string(300, 'n') + ".pdf");
  EXPECT_EQ(longName.size(), larkq::kMaxSpoolNameLength);
  EXPECT_TRUE(longName.ends_with("n.pdf"));
}

TEST_F(SendmailCommandTest, RefusesAndQueuesNothing) {
  std::vector<std::string> manyArgs;
  for (int i = 0; i <= larkq::kMaxSendmailRecipients; ++i) {
    manyArgs.push_back("r" + std::to_string(i) + "@x.test");
  }
  const std::vector<std::pair<std::string, std::string>> manyParts(larkq::kMaxSendmailParts + 1,
                                                                   {"f.bin", "x"});
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    int code;
    const char* says;
  } cases[] = {
      {"undecodable",
       {"-t"},
       "To: a@x.test\nMIME-Version: 1.0\nContent-Type: multipart/mixed\n\nbody\n",
       larkq::EX_DATAERR,
       "cannot be parsed"},
      {"NUL",
       {"a@x.test"},
       std::string("To: a@x.test\n\nnul\0here\n", 24),
       larkq::EX_DATAERR,
       "NUL"},
      {"no recipient with -t", {"-t"}, "Subject: s\n\nbody\n", larkq::EX_USAGE, "no recipient"},
      {"no recipient at all", {}, "To: a@x.test\n\nbody\n", larkq::EX_USAGE, "no recipient"},
      {"bad recipient", {"not an address"}, "body\n", larkq::EX_NOUSER, "not an address"},
      {"bad sender", {"-f", "me", "a@x.test"}, "body\n", larkq::EX_NOUSER, "sender"},
      {"too many recipients", manyArgs, "body\n", larkq::EX_DATAERR, "recipients"},
      {"too many parts", {"-t"}, Multipart(manyParts), larkq::EX_DATAERR, "parts"},
      {"too large",
       {"a@x.test"},
       std::string(larkq::kMaxSendmailInput + 1, 'x'),
       larkq::EX_DATAERR,
       "50 MB"},
      {"unknown option", {"-Z", "a@x.test"}, "body\n", larkq::EX_USAGE, "-Z"},
      {"value missing", {"a@x.test", "-f"}, "body\n", larkq::EX_USAGE, "-f"},
      {"SMTP mode", {"-bs"}, "", larkq::EX_UNAVAILABLE, "-bs"},
      {"queue run", {"-q"}, "", larkq::EX_UNAVAILABLE, "-q"},
  };
  for (const auto& c : cases) {
    Result r = Sendmail(c.args, c.input);
    EXPECT_EQ(r.code, c.code) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("nothing was queued"), std::string::npos) << c.what;
    EXPECT_EQ(Entries(), 0u) << c.what;
  }
  root_.WriteHive("REGEDIT4\n");
  Result noQueue = Sendmail({"a@x.test"}, "body\n");
  EXPECT_EQ(noQueue.code, larkq::EX_CONFIG) << noQueue.err;
}

TEST_F(SendmailCommandTest, ASpoolPlantedAsALinkIsRefused) {
  testing_support::TempDir elsewhere;
  fs::create_directory_symlink(elsewhere.Path(), fs::path(queue_.Path()) / "spool");
  Result r = Sendmail({"-t"}, Multipart({{"a.txt", "x"}}));
  EXPECT_EQ(r.code, larkq::EX_CANTCREAT) << r.err;
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}

TEST_F(SendmailCommandTest, ListsTheQueue) {
  ASSERT_EQ(Sendmail({"-t"}, "To: a@x.test\nSubject: listed\n\nhi\n").code, 0);
  Result r = Sendmail({"-bp"}, "");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("listed"), std::string::npos) << r.out;
}

}  // namespace
