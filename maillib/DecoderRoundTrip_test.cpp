// Messages composed by the composer parse back to the same body, attachments and addresses.
#include <gtest/gtest.h>

#include <random>

#include "maillib/Decoder.h"
#include "maillib/Encoder.h"
#include "testing/TempDir.h"

namespace {

using maillib::TmsMessage;

// The composed text as the receiving relay stores it: the dot of data transparency removed.
std::string Received(TmsMessage& message) {
  rtl::TMemoryStream stream;
  message.EncodeToStream(stream);
  std::string text;
  for (const std::string& line : rtl::SplitLines(stream.Data())) {
    text += (line.starts_with('.') ? line.substr(1) : line) + "\r\n";
  }
  return text;
}

struct Attachment {
  std::string name;
  std::string bytes;
  bool operator==(const Attachment&) const = default;
};

std::vector<Attachment> AttachmentsOf(TmsMessage& m) {
  std::vector<Attachment> out;
  for (int i = 0; i < m.Attachments.Count(); ++i) {
    out.push_back({maillib::BaseName(m.Attachments.Items(i)), m.Attachments.Items(i).Bytes()});
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> AddressesOf(const maillib::TmsAddressList& list) {
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < list.Count(); ++i) {
    out.emplace_back(list.Items(i).Name.str(), list.Items(i).Address.str());
  }
  return out;
}

class DecoderRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sent_.Sender.Name = "Bob Q. Sender";
    sent_.Sender.Address = "bob@x.test";
    sent_.Recipients.AddAddress("ann@x.test", "Ann, the \"first\"");
    sent_.Recipients.AddAddress("j@x.test", "J\xC3\xB6rg M\xC3\xBCller");
    sent_.CC.AddAddress("cc@x.test", "");
    sent_.Subject = "Round trip";
    sent_.Headers.Add("X-Custom: kept");
  }
  // The file has a name every platform allows; the attachment's name may hold what Windows
  // forbids in one, as names from a parsed message do.
  void Attach(const std::string& name, const std::string& bytes) {
    const std::string file = "attachment" + std::to_string(sent_.Attachments.Count());
    files_.WriteFile(file, bytes);
    sent_.Attachments.AddFile(files_ / file).SetFileName(name);
  }
  // The body comes back as it was sent, followed by extraLines.
  TmsMessage& RoundTrip(std::vector<std::string> extraLines = {}) {
    rtl::TMemoryStream stream;
    stream.WriteString(Received(sent_));
    received_.DecodeFromStream(stream);
    EXPECT_EQ(received_.Sender.Name.str(), sent_.Sender.Name.str());
    EXPECT_EQ(received_.Sender.Address.str(), sent_.Sender.Address.str());
    EXPECT_EQ(AddressesOf(received_.Recipients), AddressesOf(sent_.Recipients));
    EXPECT_EQ(AddressesOf(received_.CC), AddressesOf(sent_.CC));
    EXPECT_EQ(received_.Subject.str(), sent_.Subject.str());
    std::vector<std::string> body(sent_.Body.begin(), sent_.Body.end());
    body.insert(body.end(), extraLines.begin(), extraLines.end());
    EXPECT_EQ(std::vector<std::string>(received_.Body.begin(), received_.Body.end()), body);
    EXPECT_EQ(AttachmentsOf(received_), AttachmentsOf(sent_));
    EXPECT_EQ(received_.Encoding, sent_.Encoding);
    return received_;
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir files_;
  TmsMessage sent_;
  TmsMessage received_;
};

std::string RandomBytes(size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST_F(DecoderRoundTripTest, PlainAndQuotedPrintableBodies) {
  for (const char* line : {"Hello,", "", ".", "..leading dots", "  indented", "caf\xC3\xA9"}) {
    sent_.Body.Add(line);
  }
  sent_.Body.Add(std::string(700, 'l'));
  sent_.Body.Add("last");
  sent_.Priority = maillib::ptLow;
  auto& m = RoundTrip();
  EXPECT_EQ(m.Priority, maillib::ptLow);
  EXPECT_EQ(std::vector<std::string>(m.Headers.begin(), m.Headers.end()),
            std::vector<std::string>{"X-Custom: kept"});
}

TEST_F(DecoderRoundTripTest, BodyWithAttachments) {
  sent_.Body.Add("see attached");
  Attach("data.bin", RandomBytes(5000));
  Attach("notes.txt", "first line\r\nsecond = line\r\n\r\n");
  Attach("r\xC3\xA9sum\xC3\xA9 \"2\".pdf", RandomBytes(100));
  Attach("empty.bin", "");
  RoundTrip();
}

TEST_F(DecoderRoundTripTest, AttachmentsOnly) {
  Attach("only.zip", RandomBytes(300));
  Attach("second.gif", RandomBytes(64));
  RoundTrip();
}

// Alternatives travel without their names, so they come back under the names the parser gives
// them, which the composer reads as alternatives again.
TEST_F(DecoderRoundTripTest, Alternatives) {
  sent_.Body.Add("plain text");
  Attach("_alt.0", "<p>rich</p>\r\n");
  RoundTrip();
  EXPECT_EQ(received_.ContentType(), "multipart/alternative");
  received_.Clear();
  Attach("after.bin", RandomBytes(10));
  RoundTrip();
  EXPECT_EQ(received_.ContentType(), "multipart/mixed");
}

TEST_F(DecoderRoundTripTest, HtmlBodyWithAttachments) {
  Attach("_htmbody.htm", "<html><body>x\xC3\xA9</body></html>\r\n");
  Attach("pic.png", RandomBytes(200));
  RoundTrip();
}

TEST_F(DecoderRoundTripTest, UuencodedAttachments) {
  sent_.Encoding = maillib::meUU;
  sent_.Body.Add("uu body");
  Attach("a.bin", RandomBytes(1000));
  Attach("b.txt", "text\n");
  // The empty line the composer writes before the first begin line stays in the body.
  RoundTrip({""});
}

}  // namespace
