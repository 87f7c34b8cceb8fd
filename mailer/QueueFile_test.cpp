#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "mailer/QueuedBody.h"
#include "mailer/SMTPCust.h"
#include "rtl/Paths.h"
#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;
using mailer::TCustomMailer;

std::vector<std::string> Lines(const rtl::TStringList& list) { return {list.begin(), list.end()}; }

std::vector<std::string> BodyOf(const TCustomMailer& mailer) {
  auto text = mailer.QueuedBody->Text(0);
  std::vector<std::string> lines;
  rtl::ForEachLine(*text, [&](const std::string& line) { lines.push_back(line); });
  return lines;
}

TCustomMailer Loaded(const std::string& ini) {
  TCustomMailer mailer;
  mailer.QueueFile = ini;
  mailer.LoadFromQueue();
  return mailer;
}

TEST(QueueFileTest, SaveThenLoadGivesBackEveryProperty) {
  testing_support::TempDir queue;
  TCustomMailer out;
  out.RemoteHost = "relay1;relay2";
  out.TimeOut = 30;
  out.FromName = "Web Shop";
  out.FromAddress = "shop@example.com";
  out.ReplyTo = "help@example.com";
  out.Subject = "Your order";
  out.LastResp = "earlier failure";
  out.Organization = "Shop Ltd";
  out.DateTime = "Tue, 01 Dec 1998 10:00:00 -0500";
  out.PGPPath = "/pgp";
  out.PGPParams = "-x";
  out.PGPTimeOut = 9;
  out.ContentType = "text/html";
  out.CustomCharSet = "utf-8";
  out.Encoding = 1;
  out.CharSet = 2;
  out.Priority = 0;
  out.WordWrapLength = 60;
  out.ToList.AddAddress("ann@example.org", "Ann");
  out.ToList.AddAddress("bob@example.org", "Bob");
  out.CcList.AddAddress("carl@example.org", "Carl");
  out.BccList.AddAddress("bea@example.org", "Bea");
  out.ExtraHdrs.Add("X-Order: 1");
  out.Attachments.Add("/files/a.pdf");
  out.Urgent = out.ConfirmRead = out.ReturnReceipt = true;
  out.UseMSMailHeaders = out.SuppressMsgBody = out.IgnoreRecipientErrors = false;
  out.BodyLines.Add("Dear Ann,");
  out.BodyLines.Add("");
  out.BodyLines.Add("thank you.");
  ASSERT_TRUE(out.SaveToQueue(queue.Path())) << out.LastResp;

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(queue.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(names[0].starts_with("msg") && names[0].ends_with(".ini")) << names[0];
  EXPECT_EQ(names[1], names[0].substr(0, names[0].size() - 4) + ".tmp");
  EXPECT_EQ(queue.ReadFile(names[1]), "Dear Ann,\r\n\r\nthank you.\r\n");

  TCustomMailer in = Loaded(queue / names[0]);
  EXPECT_EQ(in.RemoteHost, out.RemoteHost);
  EXPECT_EQ(in.TimeOut, 30);
  EXPECT_EQ(in.FromName, out.FromName);
  EXPECT_EQ(in.FromAddress, out.FromAddress);
  EXPECT_EQ(in.ReplyTo, out.ReplyTo);
  EXPECT_EQ(in.Subject, out.Subject);
  EXPECT_EQ(in.LastResp, out.LastResp);
  EXPECT_EQ(in.Organization, out.Organization);
  EXPECT_EQ(in.DateTime, out.DateTime);
  EXPECT_EQ(in.PGPPath, out.PGPPath);
  EXPECT_EQ(in.PGPParams, out.PGPParams);
  EXPECT_EQ(in.PGPTimeOut, 9);
  EXPECT_EQ(in.ContentType, out.ContentType);
  EXPECT_EQ(in.CustomCharSet, out.CustomCharSet);
  EXPECT_EQ(in.Encoding, 1);
  EXPECT_EQ(in.CharSet, 2);
  EXPECT_EQ(in.Priority, 0);
  EXPECT_EQ(in.WordWrapLength, 60);
  EXPECT_EQ(in.ToList.Count(), 2);
  EXPECT_EQ(in.ToList.Items(1).Address.str(), "bob@example.org");
  EXPECT_EQ(in.CcList.Items(0).Name.str(), "Carl");
  EXPECT_EQ(in.BccList.Items(0).Address.str(), "bea@example.org");
  EXPECT_EQ(Lines(in.ExtraHdrs), Lines(out.ExtraHdrs));
  EXPECT_EQ(Lines(in.Attachments), Lines(out.Attachments));
  EXPECT_TRUE(in.Urgent && in.ConfirmRead && in.ReturnReceipt);
  EXPECT_FALSE(in.UseMSMailHeaders || in.SuppressMsgBody || in.IgnoreRecipientErrors);
  EXPECT_EQ(BodyOf(in), Lines(out.BodyLines));
}

TEST(QueueFileTest, EmptyStringsAreNotWrittenButNumbersAndFlagsAlways) {
  testing_support::TempDir queue;
  TCustomMailer out;
  out.FromAddress = "a@b";
  ASSERT_TRUE(out.SaveToQueue(queue.Path()));
  std::string ini;
  for (const auto& entry : fs::directory_iterator(queue.Path())) {
    if (entry.path().extension() == ".ini") ini = entry.path().filename().string();
  }
  std::string text = queue.ReadFile(ini);
  EXPECT_EQ(text.find("ReplyTo"), std::string::npos);
  EXPECT_NE(text.find("\r\nUrgent=0\r\n"), std::string::npos);
  EXPECT_NE(text.find("[Connection]\r\nTimeOut=45\r\n[Message]\r\nFromAddr=a@b\r\n"),
            std::string::npos);

  TCustomMailer failing;
  EXPECT_FALSE(failing.SaveToQueue(queue / "missing"));
  EXPECT_EQ(failing.LastResp,
            "Unable to save message body" + (queue / "missing") + LARK_PATH_DELIM + "msg*.tmp");
}

// A stale .ini under a name must not become a new message's description: with every sixteenth
// name taken by an .ini, each new pair still gets a name of its own, and nothing else is left
// behind. (Of 96 pairs, some meet a taken name all but certainly.) The names are the system's
// own, whose digits differ by platform; Wine looks up every new name through the whole directory,
// so a quarter of all names there would take minutes to make.
TEST(QueueFileTest, ANewPairTakesANameFreeAsBothIniAndTmp) {
  testing_support::TempDir queue;
  char name[MAX_PATH];
  for (unsigned n = 16; n <= 0xFFFF; n += 16) {
    ASSERT_NE(GetTempFileNameA(queue.Path().c_str(), "msg", n, name), 0u);
    std::ofstream(rtl::ChangeFileExt(name, ".ini")) << "stale";
  }
  constexpr int kPairs = 96;
  for (int i = 0; i < kPairs; ++i) {
    TCustomMailer out;
    out.FromAddress = "a@b";
    ASSERT_TRUE(out.SaveToQueue(queue.Path())) << out.LastResp;
    const std::string ini = rtl::ExtractFileName(out.QueueFile);
    unsigned number = std::stoul(ini.substr(3, ini.size() - 7), nullptr, 16);
    EXPECT_NE(number % 16, 0u) << out.QueueFile;
  }
  int bodies = 0;
  for (const auto& entry : fs::directory_iterator(queue.Path())) {
    bodies += entry.path().extension() == ".tmp";
  }
  EXPECT_EQ(bodies, kPairs);
}

TEST(QueueFileTest, HandWrittenFilesLoadAsTheirReadersExpect) {
  testing_support::TempDir queue;
  queue.WriteFile(
      "m.ini",
      "[connection]\r\nremotehost = relay.example  \r\nTIMEOUT=0x3C\r\n"
      "[MESSAGE]\r\nFromAddr=\"  shop@example.com  \"\r\nNTO1=Ann\r\nATO1=a@x\r\n"
      "NTO2=\r\nATO2=never@x\r\nNTO3=Carl\r\nATO3=c@x\r\nNCC1=Carl\r\nACC1=c@x\r\n"
      "NCC3=Dee\r\nACC3=d@x\r\nExtraHdrs1=X-A: 1\r\nExtraHdrs2=\r\nExtraHdrs3=X-C: 3\r\n"
      "Urgent=true\r\nConfirmRead=5\r\nPriority=258\r\nSubject=" +
          std::string(2000, 's') + "\r\n");
  const char body[] = "line one\nline two\rline three\r\n\0after nul";
  queue.WriteFile("m.tmp", std::string(body, sizeof body - 1));
  TCustomMailer in = Loaded(queue / "m.ini");
  EXPECT_EQ(in.RemoteHost, "relay.example");
  EXPECT_EQ(in.TimeOut, 60);
  EXPECT_EQ(in.FromAddress, "  shop@example.com  ");
  EXPECT_EQ(in.ToList.Count(), 1);
  EXPECT_EQ(in.CcList.Count(), 1);
  EXPECT_EQ(Lines(in.ExtraHdrs), std::vector<std::string>{"X-A: 1"});
  EXPECT_FALSE(in.Urgent);
  EXPECT_TRUE(in.ConfirmRead);
  EXPECT_EQ(in.Priority, 2);  // the byte keeps the low bits of 258
  EXPECT_EQ(in.Subject.size(), 1023u);
  EXPECT_EQ(BodyOf(in), (std::vector<std::string>{"line one", "line two", "line three"}));
  // Keys that are absent read as empty, 0 or false, not as the constructor's defaults.
  EXPECT_EQ(in.Encoding, 0);
  EXPECT_EQ(in.CharSet, 0);
  EXPECT_EQ(in.WordWrapLength, 0);
  EXPECT_EQ(in.PGPTimeOut, 0);
  EXPECT_FALSE(in.UseMSMailHeaders || in.IgnoreRecipientErrors || in.SuppressMsgBody);
}

TEST(QueueFileTest, ALineBreakInAValueNeverStartsAnotherKey) {
  testing_support::TempDir queue;
  TCustomMailer out;
  out.FromAddress = "a@b";
  out.FromName = "Ann\nAttachments1=/etc/shadow";
  out.Subject = "Hi\r\nABCC1=x@evil";
  out.ToList.AddAddress("joe@example.org", "Joe");
  ASSERT_TRUE(out.SaveToQueue(queue.Path())) << out.LastResp;
  TCustomMailer in = Loaded(out.QueueFile);
  EXPECT_EQ(in.Subject, "Hi  ABCC1=x@evil");
  EXPECT_EQ(in.FromName, "Ann Attachments1=/etc/shadow");
  EXPECT_EQ(in.BccList.Count(), 0);
  EXPECT_EQ(in.Attachments.Count(), 0);
}

// A queued body is read from its file as the message is composed; the text must be what the same
// lines held in memory compose to, across block boundaries, lone CRs, NULs, long lines and wraps.
TEST(QueueFileTest, AStreamedBodyComposesAsItsLinesInMemory) {
  testing_support::TempDir queue;
  queue.WriteFile("m.ini", "[Message]\r\nFromAddr=a@b\r\nNTO1=A\r\nATO1=a@c\r\nDateTime=x\r\n");
  const std::string edge(65535, 'e');
  struct Case {
    std::string body;
    int16_t encoding;
    uint16_t wrap;
  } cases[] = {
      {"Hello\n.\n..x\n" + std::string(300, '\n') + "end", 2, 0},
      {"a\r\nb\rc\n\r\n\r\rd\r", 1, 0},
      {std::string("one\r\ntwo\0three\n", 15), 2, 0},
      {edge + "\r\n.after\r\n" + std::string(300, 'w'), 2, 0},
      {edge + "\r\n" + std::string(70000, 'u') + "\n", 1, 0},
      {edge, 2, 0},
      {edge + "\n", 2, 0},
      {"caf\xc3\xa9\n\xe9t\xe9\n", 2, 0},
      {"aaa bbb ccc ddd\n\nabcdefghijklmno\nabc   def\n   x  \n", 2, 10},
      {std::string(40000, 'y') + "  " + std::string(30000, 'z') + " \n" + edge + "   \n" + "    ",
       1, 1000},
      {"a b c d e f\n", 2, 1},
  };
  for (const auto& c : cases) {
    queue.WriteFile("m.tmp", c.body);
    auto composed = [&](bool streamed) {
      TCustomMailer mailer = Loaded(queue / "m.ini");
      if (!streamed) {
        mailer.QueuedBody.reset();
        mailer.BodyLines.SetText(std::string_view(c.body).substr(0, c.body.find('\0')));
      }
      mailer.Encoding = c.encoding;
      mailer.WordWrap = c.wrap > 0;
      mailer.WordWrapLength = c.wrap;
      maillib::TmsMessage message;
      mailer.BuildMessage(message);
      rtl::TMemoryStream text;
      message.EncodeToStream(text);
      return text.Data();
    };
    EXPECT_EQ(composed(true), composed(false)) << c.body.substr(0, 40);
  }
}

TEST(QueueFileTest, AMissingBodyFailsBeforeAnyKeyIsRead) {
  testing_support::TempDir queue;
  queue.WriteFile("nobody.ini", "[Message]\r\nFromAddr=a@b\r\n");
  TCustomMailer in;
  in.QueueFile = queue / "nobody.ini";
  try {
    in.LoadFromQueue();
    FAIL();
  } catch (const mailer::EFileError& e) {
    EXPECT_EQ(e.Message(), "Unable to read message body" + (queue / "nobody.tmp"));
  }
  EXPECT_EQ(in.FromAddress, "");
  EXPECT_EQ(in.TimeOut, 45);
  fs::create_directory(queue / "mail.q");
  queue.WriteFile("mail.q/msg1", "[Message]\r\nFromAddr=a@b\r\n");
  queue.WriteFile("mail.q/msg1.tmp", "body");
  EXPECT_EQ(BodyOf(Loaded(queue / "mail.q/msg1"))[0], "body");
}

}  // namespace

namespace {

// A reader that lists the queue while pairs are being written never meets an .ini without its
// last key: the .ini appears whole.
TEST(QueueFileTest, AnIniAppearsOnlyWhenItIsComplete) {
  testing_support::TempDir queue;
  std::atomic<bool> writing{true};
  std::atomic<int> seen{0}, incomplete{0};
  std::thread reader([&] {
    while (writing) {
      for (const auto& entry : fs::directory_iterator(queue.Path())) {
        if (entry.path().extension() != ".ini") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.empty()) continue;  // removed between listing and reading
        ++seen;
        if (text.find("IgnoreRecipientErrors=") == std::string::npos) ++incomplete;
      }
    }
  });
  for (int i = 0; i < 150; ++i) {
    TCustomMailer out;
    out.FromAddress = "a@b";
    out.ToList.AddAddress("c@d", "C");
    ASSERT_TRUE(out.SaveToQueue(queue.Path())) << out.LastResp;
  }
  writing = false;
  reader.join();
  EXPECT_GT(seen, 0);
  EXPECT_EQ(incomplete, 0);
}

TEST(QueueFileTest, ASettingsFileAboveOneMegabyteFailsItsAttempt) {
  testing_support::TempDir queue;
  queue.WriteFile("big.ini", "[Message]\r\nSubject=" + std::string(1 << 20, 's') + "\r\n");
  queue.WriteFile("big.tmp", "body");
  TCustomMailer in;
  in.QueueFile = queue / "big.ini";
  EXPECT_FALSE(in.Send());
  EXPECT_EQ(in.LastResp, queue / "big.ini" + " is larger than the limit of 1048576 bytes");
}

}  // namespace
