#include "maillib/Decoder.h"

#include <gtest/gtest.h>

#include "maillib/MailTexts.h"
#include "maillib/codecs.h"
#include "testing/TempDir.h"

namespace {

using maillib::TmsMessage;

std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

std::vector<std::string> BodyOf(const maillib::TmsCustomMessage& m) {
  return {m.Body.begin(), m.Body.end()};
}

class DecoderTest : public ::testing::Test {
 protected:
  TmsMessage& Parse(const std::string& text) {
    rtl::TMemoryStream stream;
    stream.WriteString(text);
    message_.DecodeFromStream(stream);
    return message_;
  }
  std::string Bytes(int index) { return message_.Attachments.Items(index).Bytes(); }
  std::string Name(int index) { return message_.Attachments.Items(index).FileName.str(); }
  void ExpectUndecodable(int textId) {
    ASSERT_GE(message_.Body.Count(), 3);
    const int n = message_.Body.Count();
    EXPECT_EQ(message_.Body[n - 3],
              "The following error has been occured while processing the message:");
    EXPECT_EQ(message_.Body[n - 2], maillib::MailText(textId));
    EXPECT_EQ(message_.Body[n - 1], "The original message will be stored as an attachment");
    auto& original = message_.Attachments.Items(message_.Attachments.Count() - 1);
    EXPECT_EQ(original.FileName.str(), "original.eml");
    EXPECT_EQ(original.ContentType.str(), "message/rfc822");
    EXPECT_EQ(original.Encoding, maillib::ae7Bit);
  }
  testing_support::MachineRoot root_;
  TmsMessage message_;
};

const std::string kMime = "MIME-Version: 1.0";

TEST_F(DecoderTest, HeaderFieldsFillTheMessage) {
  auto& m =
      Parse(Lines({"From: \"Doe, Jane\" <jane@x.test>", "To: a@x.test, \"B, b\" <b@x.test>,",
                   "\tC <c@x.test>", "Token: not@recipient.test",
                   "Cc: =?utf-8?Q?J=C3=B6rg_Z?= <j@x.test>, undisclosed-recipients:;",
                   "cc: team: d@x.test, (comment) e@x.test ;, ,", "Bcc: hidden@x.test",
                   "BCC: second@x.test", "Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?=", "X-Priority: 1",
                   "Return-Receipt-To: <jane@x.test>", "X-Extra: kept", " folded too",
                   "Mime-Version: 1.0", "Content-Type: text/plain", "", "hello"}));
  EXPECT_EQ(m.Sender.Name.str(), "Doe, Jane");
  EXPECT_EQ(m.Sender.Address.str(), "jane@x.test");
  ASSERT_EQ(m.Recipients.Count(), 3);
  EXPECT_EQ(m.Recipients.Items(1).Name.str(), "B, b");
  EXPECT_EQ(m.Recipients.Items(2).Address.str(), "c@x.test");
  ASSERT_EQ(m.CC.Count(), 3);
  EXPECT_EQ(m.CC.Items(0).Name.str(), "J\xC3\xB6rg Z");
  EXPECT_EQ(m.CC.Items(1).Address.str(), "d@x.test");
  EXPECT_EQ(m.CC.Items(2).Address.str(), "e@x.test");
  ASSERT_EQ(m.BCC.Count(), 2);
  EXPECT_EQ(m.Subject.str(),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(m.Priority, maillib::ptHigh);
  EXPECT_TRUE(m.ReturnReceipt);
  EXPECT_EQ(
      std::vector<std::string>(m.Headers.begin(), m.Headers.end()),
      (std::vector<std::string>{"Token: not@recipient.test", "X-Extra: kept", " folded too"}));
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"hello"});
}

// Only display names are decoded: an encoded word never becomes an address, and "_" is a blank
// only inside Q-encoded text.
TEST_F(DecoderTest, AddressesComeFromTheRawText) {
  auto& m = Parse(Lines({"From: =?utf-8?Q?evil=40x.test?= <real@x.test>",
                         "To: =?utf-8?Q?a=40b.test?=, first_last@x.test (Ann_Lee)", "", "x"}));
  EXPECT_EQ(m.Sender.Address.str(), "real@x.test");
  EXPECT_EQ(m.Sender.Name.str(), "evil@x.test");
  ASSERT_EQ(m.Recipients.Count(), 2);
  EXPECT_EQ(m.Recipients.Items(0).Address.str(), "=?utf-8?Q?a=40b.test?=");
  EXPECT_EQ(m.Recipients.Items(1).Address.str(), "first_last@x.test");
  EXPECT_EQ(m.Recipients.Items(1).Name.str(), "Ann_Lee");
}

TEST_F(DecoderTest, PriorityAndHeaderErrors) {
  EXPECT_EQ(Parse(Lines({"X-Priority: 1 (Highest)", "", "x"})).Priority, maillib::ptNormal);
  EXPECT_EQ(Parse(Lines({"X-Priority: 5", "", "x"})).Priority, maillib::ptLow);
  EXPECT_THROW(Parse(Lines({"From: Joe >x< ", "", "x"})), rtl::Exception);
  try {
    Parse(Lines({"Subject: a", std::string(4, '\xFF'), "More: b", "", "x"}));
    FAIL();
  } catch (const maillib::EMessageParserError& e) {
    EXPECT_EQ(e.Message(), "Unable to retrieve headers");
  }
}

TEST_F(DecoderTest, AddressListsAreAppendedTo) {
  message_.Recipients.AddAddress("first@x.test", "");
  auto& m = Parse(Lines({"To: second@x.test", "", "x"}));
  ASSERT_EQ(m.Recipients.Count(), 2);
  EXPECT_EQ(m.Recipients.Items(1).Address.str(), "second@x.test");
}

TEST_F(DecoderTest, TextWithoutAHeaderBlockIsAllBody) {
  EXPECT_EQ(BodyOf(Parse("done\n")), std::vector<std::string>{"done"});
  message_.Clear();
  auto& m = Parse("From someone@x.test Tue Dec  8 10:00:00 2026\nTo: a@x.test\n\nmbox body\n");
  EXPECT_EQ(m.Recipients.Count(), 1);
  EXPECT_TRUE(m.Headers.Count() == 0);
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"mbox body"});
}

TEST_F(DecoderTest, PlainTextWithUuencodedSections) {
  auto& m = Parse(Lines({
      "Subject: files",
      "",
      "before",
      "begin 644 one.bin",
      maillib::UUEncodeLine("abc"),
      "`",
      "end",
      "between",
      "begin 600 \"two words.txt\"",
      maillib::UUEncodeLine("xyz"),
      "end",
      "after",
      ".",
  }));
  EXPECT_EQ(m.Encoding, maillib::meUU);
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"before"});
  ASSERT_EQ(m.Attachments.Count(), 2);
  EXPECT_EQ(Name(0), "one.bin");
  EXPECT_EQ(Bytes(0), "abc");
  EXPECT_EQ(Name(1), "two words.txt");
  EXPECT_EQ(Bytes(1), "xyz");
}

TEST_F(DecoderTest, AUuencodeRestartAddsNoRecipientTwice) {
  auto& m =
      Parse(Lines({"To: a@x.test", "Cc: c@x.test", kMime, "Content-Type: text/plain", "",
                   "see the file", "begin 644 f.txt", maillib::UUEncodeLine("data"), "`", "end"}));
  EXPECT_EQ(m.Recipients.Count(), 1);
  EXPECT_EQ(m.CC.Count(), 1);
  EXPECT_EQ(m.Encoding, maillib::meUU);
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"see the file"});
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(Bytes(0), "data");
}

TEST_F(DecoderTest, IsUUBeginAndUUFileName) {
  EXPECT_TRUE(maillib::IsUUBegin("begin 644 x"));
  EXPECT_TRUE(maillib::IsUUBegin("BEGIN  600 name"));
  EXPECT_FALSE(maillib::IsUUBegin("begin 64"));
  EXPECT_FALSE(maillib::IsUUBegin("beginning of the text"));
  EXPECT_EQ(maillib::UUFileName("begin 644 plain name"), "plain name");
  EXPECT_EQ(maillib::UUFileName("begin 644 \"quoted\" rest"), "quoted");
  EXPECT_EQ(maillib::UUFileName("begin 644 \"open"), "");
  EXPECT_EQ(maillib::UUFileName("begin"), "");
}

TEST_F(DecoderTest, SinglePartTexts) {
  auto& m =
      Parse(Lines({kMime, "Content-Type: text/plain; charset=\"iso-8859-1\"",
                   "Content-Transfer-Encoding: quoted-printable", "", "caf=E9 =", "au lait", "."}));
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"caf\xE9 au lait"});
  EXPECT_EQ(m.CharSet, maillib::csISO8859);
  message_.Clear();
  Parse(Lines({kMime, "Content-Type: text/html; charset=utf-8", "Content-Transfer-Encoding: base64",
               "", maillib::Base64EncodeLine("<p>\xC3\xA9</p>\r\n<p>2</p>")}));
  EXPECT_EQ(BodyOf(message_), (std::vector<std::string>{"<p>\xC3\xA9</p>", "<p>2</p>"}));
  EXPECT_EQ(message_.ContentType(), "text/html");
  EXPECT_EQ(message_.CustomCharSet, "utf-8");
  message_.Clear();
  // "multipart" in a parameter does not make a multipart message.
  Parse(Lines({kMime, "Content-Type: text/plain; format=\"multipart/mixed\"", "", "just text"}));
  EXPECT_EQ(BodyOf(message_), std::vector<std::string>{"just text"});
  EXPECT_EQ(message_.Attachments.Count(), 0);
}

TEST_F(DecoderTest, SinglePartAttachments) {
  auto& m = Parse(Lines({kMime, "Content-Type: application/pdf; name=\"r.pdf\"",
                         "Content-Transfer-Encoding: base64", "", "",
                         maillib::Base64EncodeLine("%PDF"), ".", "ignored"}));
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(Name(0), "r.pdf");
  EXPECT_EQ(Bytes(0), "%PDF");
  EXPECT_EQ(m.Body.Count(), 0);
  message_.Clear();
  Parse(Lines({kMime, "Content-Type: application/octet-stream",
               "Content-Disposition: attachment; filename=data.bin", "", "raw", "lines"}));
  ASSERT_EQ(message_.Attachments.Count(), 1);
  EXPECT_EQ(Name(0), "data.bin");
  EXPECT_EQ(message_.Attachments.Items(0).Encoding, maillib::ae7Bit);
  EXPECT_EQ(Bytes(0), "raw\r\nlines\r\n");
  message_.Clear();
  // The gateway's wrong Content-Type is dropped: its text stays the body.
  Parse(Lines(
      {kMime, "X-Mailer: V Mailsystem R #0001", "Content-Type: application/x-bad", "", "text"}));
  EXPECT_EQ(BodyOf(message_), std::vector<std::string>{"text"});
  EXPECT_EQ(message_.Attachments.Count(), 0);
}

TEST_F(DecoderTest, MultipartMixed) {
  auto& m = Parse(Lines({kMime,
                         "Content-Type: multipart/mixed; boundary=\"b1\"",
                         "",
                         "preamble",
                         "--b1",
                         "Content-Type: text/plain; charset=us-ascii",
                         "",
                         "line 1",
                         "line 2",
                         "",
                         "--b1  ",
                         "Content-Type: application/zip; name=\"a.zip\"",
                         "Content-Transfer-Encoding: base64",
                         "",
                         maillib::Base64EncodeLine("PK\x03\x04"),
                         "",
                         "--b1",
                         "Content-Type: text/plain",
                         "Content-Disposition: attachment; filename=\"n.txt\"",
                         "Content-Transfer-Encoding: quoted-printable",
                         "",
                         "one=",
                         "two",
                         "",
                         "--b1",
                         "Content-Type: message/rfc822",
                         "",
                         "Subject: inner",
                         "",
                         "",
                         "--b1--\t",
                         "epilogue",
                         "--b1",
                         "",
                         "not a part"}));
  EXPECT_EQ(BodyOf(m), (std::vector<std::string>{"line 1", "line 2"}));
  ASSERT_EQ(m.Attachments.Count(), 3);
  EXPECT_EQ(Name(0), "a.zip");
  EXPECT_EQ(Bytes(0), "PK\x03\x04");
  EXPECT_EQ(Name(1), "n.txt");
  EXPECT_EQ(Bytes(1), "onetwo\r\n");
  EXPECT_EQ(m.Attachments.Items(1).Encoding, maillib::aeQuotedPrintable);
  EXPECT_EQ(Name(2), "att.2");
  EXPECT_EQ(m.Attachments.Items(2).ContentType.str(), "message/rfc822");
  EXPECT_EQ(Bytes(2), "Subject: inner\r\n\r\n");
}

TEST_F(DecoderTest, AFirstPartInBase64IsAnAttachment) {
  auto& m = Parse(Lines({kMime, "Content-Type: multipart/mixed; boundary=b", "", "--b",
                         "Content-Type: text/plain", "Content-Transfer-Encoding: base64", "",
                         maillib::Base64EncodeLine("hi"), "--b--"}));
  EXPECT_EQ(m.Body.Count(), 0);
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(Bytes(0), "hi");
  EXPECT_EQ(Name(0), "att.0");
}

// An HTML first part is the HTML body; a named one or an attachment is no body at all.
TEST_F(DecoderTest, FirstPartsThatAreNoPlainBody) {
  auto& m = Parse(Lines({kMime, "Content-Type: multipart/mixed; boundary=b", "", "--b",
                         "Content-Type: text/html; charset=utf-8", "", "<p>x</p>", "--b",
                         "Content-Type: text/plain; name=notes.txt", "", "n", "--b--"}));
  EXPECT_EQ(m.Body.Count(), 0);
  ASSERT_EQ(m.Attachments.Count(), 2);
  EXPECT_EQ(Name(0), "_htmbody.htm");
  EXPECT_EQ(Bytes(0), "<p>x</p>");
  EXPECT_EQ(Name(1), "notes.txt");
  message_.Clear();
  Parse(Lines({kMime, "Content-Type: multipart/mixed; boundary=b", "", "--b",
               "Content-Type: text/plain", "Content-Disposition: attachment", "", "a", "--b",
               "Content-Type: image/png; name=p.png", "", "b", "--b--"}));
  EXPECT_EQ(message_.Body.Count(), 0);
  ASSERT_EQ(message_.Attachments.Count(), 2);
  EXPECT_EQ(Name(0), "att.0");
  EXPECT_EQ(Bytes(0), "a");
}

TEST_F(DecoderTest, AClosedFirstPartStoresItsBareTypeAndCharset) {
  auto& m = Parse(Lines({kMime, "Content-Type: multipart/mixed; boundary=b", "", "--b",
                         "Content-Type: text/plain; charset=\"koi8-r\"",
                         "Content-Transfer-Encoding: quoted-printable", "", "=C1=C2", "", "--b--",
                         "--b", "Content-Type: text/plain", "", "epilogue"}));
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"\xC1\xC2"});
  EXPECT_EQ(m.CustomCharSet, "koi8-r");
  EXPECT_EQ(m.ContentType(), "text/plain");
  EXPECT_EQ(m.Attachments.Count(), 0);
}

TEST_F(DecoderTest, MultipartAlternative) {
  auto& m =
      Parse(Lines({kMime, "Content-Type: multipart/alternative; boundary=\"a\"", "", "--a",
                   "Content-Type: text/plain", "", "plain", "--a", "Content-Type: text/enriched",
                   "Content-Transfer-Encoding: 7bit", "", "<bold>rich</bold>", "--a--"}));
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"plain"});
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(Name(0), "_alt.0");
  EXPECT_EQ(m.Attachments.Items(0).Encoding, maillib::ae7Bit);
  EXPECT_EQ(m.Attachments.Items(0).ContentType.str(), "text/enriched");
  EXPECT_EQ(m.ContentType(), "multipart/alternative");
}

TEST_F(DecoderTest, NestedAlternatives) {
  const std::string head = Lines({kMime, "Content-Type: multipart/mixed; boundary=out", "", "--out",
                                  "Content-Type: multipart/alternative; boundary=in", "", "--in",
                                  "Content-Type: text/plain", "", "plain"});
  const std::string tail = Lines({"--out", "Content-Type: application/pdf; name=a.pdf",
                                  "Content-Transfer-Encoding: base64", "",
                                  maillib::Base64EncodeLine("pdf"), "--out--", "", "epilogue"});
  auto& m =
      Parse(head + Lines({"--in", "Content-Type: text/html", "", "<b>h</b>", "--in--", ""}) + tail);
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{"plain"});
  ASSERT_EQ(m.Attachments.Count(), 2);
  EXPECT_EQ(Name(0), "_alt.0");
  EXPECT_EQ(Bytes(0), "<b>h</b>");
  EXPECT_EQ(Name(1), "a.pdf");
  EXPECT_EQ(Bytes(1), "pdf");
  // The outer closing delimiter ends the parts: the epilogue makes no attachment.
  message_.Clear();
  Parse(head + Lines({"--in", "Content-Type: text/html", "", "<b>h</b>", "--in--", "--out--",
                      "epilogue", "--out", "", "more epilogue"}));
  ASSERT_EQ(message_.Attachments.Count(), 1);
  EXPECT_EQ(Name(0), "_alt.0");
  // An alternative of one part does not swallow the parts after it.
  message_.Clear();
  Parse(head + Lines({"--in--"}) + tail);
  EXPECT_EQ(BodyOf(message_), std::vector<std::string>{"plain"});
  ASSERT_EQ(message_.Attachments.Count(), 1);
  EXPECT_EQ(Name(0), "a.pdf");
}

TEST_F(DecoderTest, UndecodableMessagesAreKeptWhole) {
  const std::string noBoundary =
      Lines({kMime, "Content-Type: multipart/mixed; boundary=zz", "", "--other", "text"});
  auto& m = Parse(noBoundary);
  ExpectUndecodable(maillib::kNoBoundary);
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(Bytes(0), noBoundary);
  message_.Clear();
  Parse(Lines({kMime, "Content-Type: multipart/mixed; boundary=out", "", "--out",
               "Content-Type: multipart/alternative; boundary=in", "", "--in", "", "plain", "--in",
               "", "second", "--in--", "no outer end"}));
  ExpectUndecodable(maillib::kNoClosingBoundary);
  message_.Clear();
  Parse(Lines({kMime, "Content-Type: multipart/mixed; boundary=b", "", "--b", "", "body", "--b",
               "Content-Type: image/gif; name=x.gif", "Content-Transfer-Encoding: x-uuencode", "",
               "#86)~", "--b--"}));
  ExpectUndecodable(maillib::kAttachmentDecodeError);
  EXPECT_EQ(message_.Body[0], "body");
  EXPECT_EQ(message_.Attachments.Count(), 1);
}

// A multipart of the given parts (each its header lines, an empty line and its content).
std::string Multipart(const std::string& type, const std::string& boundary,
                      std::initializer_list<std::string> parts) {
  std::string text = "Content-Type: multipart/" + type + "; boundary=\"" + boundary + "\"\r\n\r\n";
  for (const auto& part : parts) text += "--" + boundary + "\r\n" + part + "\r\n";
  return text + "--" + boundary + "--\r\n";
}

TEST_F(DecoderTest, NestedMultipartsAreWalked) {
  const std::string plain = "Content-Type: text/plain\r\n\r\nplain";
  const std::string html = "Content-Type: text/html; charset=utf-8\r\n\r\n<p>h</p>";
  const std::string png =
      "Content-Type: image/png; name=\"l.png\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nUE5H";
  const std::string inner =
      "Content-Type: message/rfc822\r\n\r\nSubject: s\r\n" + Multipart("mixed", "in", {"\r\nx"});
  struct Case {
    std::string text;
    std::vector<std::string> attachments;  // name, type and bytes of each
  };
  const Case cases[] = {
      {Multipart("related", "r", {Multipart("alternative", "a", {plain, html}), png}),
       {"_alt.0 text/html <p>h</p>", "l.png image/png PNG"}},
      {Multipart("mixed", "m",
                 {Multipart("alternative", "a", {plain, Multipart("related", "r", {html, png})}),
                  "Content-Type: application/pdf\r\nContent-Disposition: attachment; "
                  "filename=d.pdf\r\n\r\n%PDF"}),
       {"att.0 text/html <p>h</p>", "l.png image/png PNG", "d.pdf application/pdf %PDF"}},
      {Multipart("signed", "s",
                 {Multipart("mixed", "m", {plain, png}),
                  "Content-Type: application/pgp-signature; name=s.asc\r\n\r\nSIG"}),
       {"l.png image/png PNG", "s.asc application/pgp-signature SIG"}},
      {Multipart("report", "p",
                 {plain, "Content-Type: message/delivery-status\r\n\r\nStatus: 5.0.0", inner}),
       {"att.0 message/delivery-status Status: 5.0.0",
        "att.1 message/rfc822 " + inner.substr(inner.find("\r\n\r\n") + 4)}},
      {Multipart("mixed", "m", {Multipart("mixed", "n", {plain, png}), html}),
       {"l.png image/png PNG", "att.1 text/html <p>h</p>"}},
  };
  for (const Case& c : cases) {
    message_.Clear();
    auto& m = Parse(kMime + "\r\n" + c.text);
    EXPECT_EQ(BodyOf(m), std::vector<std::string>{"plain"}) << c.text;
    std::vector<std::string> attachments;
    for (int i = 0; i < m.Attachments.Count(); ++i) {
      const auto& item = m.Attachments.Items(i);
      attachments.push_back(item.FileName.str() + " " + item.ContentType.str() + " " + Bytes(i));
    }
    EXPECT_EQ(attachments, c.attachments) << c.text;
  }
}

TEST_F(DecoderTest, DeepNestingIsKeptAsOneAttachment) {
  std::string text = "Content-Type: text/plain\r\n\r\ndeep";
  for (int depth = 0; depth < 40; ++depth) text = Multipart("mixed", std::to_string(depth), {text});
  auto& m = Parse(kMime + "\r\n" + text);
  EXPECT_EQ(m.Body.Count(), 0);
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(m.Attachments.Items(0).ContentType.str(), "multipart/mixed");
  EXPECT_NE(Bytes(0).find("deep"), std::string::npos);
}

TEST_F(DecoderTest, Base64IsOneStreamWhateverItsWrap) {
  std::string bytes;
  for (int i = 0; i < 2048; ++i) bytes += static_cast<char>(i * 7 % 256);
  std::string encoded;
  for (size_t i = 0; i < bytes.size(); i += 57) {
    encoded += maillib::Base64EncodeLine(std::string_view(bytes).substr(i, 57));
  }
  for (size_t wrap : {57, 60, 70, 75, 76}) {
    for (const char* end : {"\r\n", "\n"}) {
      std::string text = std::string("MIME-Version: 1.0") + end +
                         "Content-Type: application/octet-stream" + end +
                         "Content-Transfer-Encoding: base64" + end + end;
      for (size_t i = 0; i < encoded.size(); i += wrap) text += encoded.substr(i, wrap) + end;
      message_.Clear();
      EXPECT_EQ(Parse(text).Attachments.Items(0).Bytes(), bytes) << wrap;
    }
  }
  maillib::TBase64Decoder joined;
  for (const char* piece : {"YQ=", "=YW", "I=Y", "*W\tJj", "ZA", "="}) joined.Feed(piece);
  EXPECT_EQ(joined.TakeBytes(), "aababcd");
}

TEST_F(DecoderTest, MimeVersionForms) {
  const std::string rest = Lines({"Content-Type: multipart/mixed; boundary=b", "", "--b", "",
                                  "text", "--b", "Content-Type: image/gif", "", "G", "--b--"});
  for (const std::string version : {"MIME-Version: 1.0 (Apple Message framework v1085)\r\n",
                                    "Mime-Version:\t1.0\r\n (produced\r\n  by (x) \\) y)\r\n",
                                    "MIME-Version: 1.(z)0\r\n", ""}) {
    message_.Clear();
    auto& m = Parse(version + rest);
    EXPECT_EQ(BodyOf(m), std::vector<std::string>{"text"}) << version;
    EXPECT_EQ(m.Attachments.Count(), 1) << version;
  }
  message_.Clear();
  auto& other = Parse("MIME-Version: 1.0.1\r\n" + rest);
  EXPECT_EQ(other.Body[0], "--b");
  EXPECT_EQ(other.Attachments.Count(), 0);
}

// No line is lost or cut, and every codec takes received lines of any length.
TEST_F(DecoderTest, LongLinesComeWhole) {
  const std::string longText(40000, 't');
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += static_cast<char>(i % 251);
  std::string base64;
  for (size_t i = 0; i < bytes.size(); i += 57) {
    base64 += maillib::Base64EncodeLine(std::string_view(bytes).substr(i, 57));
  }
  auto& m = Parse(Lines({kMime,
                         "Content-Type: multipart/mixed; boundary=b",
                         "",
                         "--b",
                         "Content-Type: text/plain",
                         "",
                         longText,
                         "--b",
                         "Content-Type: application/octet-stream; name=x.bin",
                         "Content-Transfer-Encoding: base64",
                         "",
                         base64,
                         "--b",
                         "Content-Type: text/plain; name=q.txt",
                         "Content-Transfer-Encoding: quoted-printable",
                         "",
                         longText + "=",
                         longText,
                         "--b",
                         "Content-Type: text/plain; name=s.txt",
                         "Content-Transfer-Encoding: 7bit",
                         "",
                         longText,
                         "--b--"}));
  EXPECT_EQ(BodyOf(m), std::vector<std::string>{longText});
  ASSERT_EQ(m.Attachments.Count(), 3);
  EXPECT_EQ(Bytes(0), bytes);
  EXPECT_EQ(Bytes(1), longText + longText);
  EXPECT_EQ(Bytes(2), longText);
}

TEST_F(DecoderTest, OversizedInputIsRefused) {
  rtl::TMemoryStream stream;
  stream.WriteString(std::string(maillib::kMaxMessageSize + 1, 'x'));
  EXPECT_THROW(message_.DecodeFromStream(stream), maillib::EMessageParserError);
  EXPECT_EQ(message_.Body.Count(), 0);
}

// Encoded and RFC 2231 names are decoded; names the composer reads specially are renamed.
TEST_F(DecoderTest, FileNamesAreDecodedAndKeptOrdinary) {
  auto& m =
      Parse(Lines({kMime,
                   "Content-Type: multipart/mixed; boundary=b",
                   "",
                   "--b",
                   "",
                   "body",
                   "--b",
                   "Content-Type: application/octet-stream",
                   "Content-Disposition: attachment;",
                   " filename*=utf-8''r%C3%A9sum%C3%A9.pdf",
                   "",
                   "x",
                   "--b",
                   "Content-Type: application/octet-stream; name=\"=?utf-8?B?w7xiZXIuYmlu?=\"",
                   "",
                   "y",
                   "--b",
                   "Content-Type: text/html; name=\"_htmbody.htm\"",
                   "",
                   "z",
                   "--b",
                   "Content-Type: text/plain; name=\"_alt.1\"",
                   "",
                   "w",
                   "--b--"}));
  ASSERT_EQ(m.Attachments.Count(), 4);
  EXPECT_EQ(Name(0), "r\xC3\xA9sum\xC3\xA9.pdf");
  EXPECT_EQ(Name(1),
            "\xC3\xBC"
            "ber.bin");
  EXPECT_EQ(Name(2), "htmbody.htm");
  EXPECT_EQ(Name(3), "alt.1");
}

TEST_F(DecoderTest, ALastLineOfOnlyAPeriodIsDropped) {
  EXPECT_EQ(BodyOf(Parse(Lines({"Subject: s", "", "text", ".", "."}))),
            (std::vector<std::string>{"text", "."}));
}

TEST_F(DecoderTest, ArticlesTakeTheirNewsFields) {
  maillib::TmsArticle article;
  rtl::TMemoryStream stream;
  stream.WriteString(
      Lines({"From: Ann <ann@x.test>", "Path: news!x", "Newsgroups: a.b,c.d",
             "Message-ID: <1@x.test>", "Subject: post", "Organization: kept", "", "article"}));
  article.DecodeFromStream(stream);
  EXPECT_EQ(article.Sender.Address.str(), "ann@x.test");
  EXPECT_EQ(article.Path, "news!x");
  EXPECT_EQ(article.NewsGroups, "a.b,c.d");
  EXPECT_EQ(article.MessageId, "<1@x.test>");
  EXPECT_EQ(article.Subject.str(), "post");
  EXPECT_EQ(
      std::vector<std::string>(article.Headers.begin(), article.Headers.end()),
      (std::vector<std::string>{"Path: news!x", "Message-ID: <1@x.test>", "Organization: kept"}));
  EXPECT_EQ(std::vector<std::string>(article.Body.begin(), article.Body.end()),
            std::vector<std::string>{"article"});
}

}  // namespace
