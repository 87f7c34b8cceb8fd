#include "maillib/Encoder.h"

#include <gtest/gtest.h>

#include <regex>

#include "maillib/Boundary.h"
#include "maillib/codecs.h"
#include "rtl/Registry.h"
#include "testing/TempDir.h"

namespace {

using maillib::TmsMessage;

// The composed text, with each boundary replaced by B1, B2, ... in order of appearance.
std::string Compose(maillib::TmsCustomMessage& message) {
  rtl::TMemoryStream stream;
  message.EncodeToStream(stream);
  std::string text = stream.Data();
  std::regex boundary("boundary=\"([0-8]{8})\"");
  int n = 0;
  for (std::smatch match; std::regex_search(text, match, boundary);) {
    std::string digits = match[1];
    std::string name = "B" + std::to_string(++n);
    for (size_t at; (at = text.find(digits)) != std::string::npos;) text.replace(at, 8, name);
  }
  return text;
}

std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rtl::TRegistry reg;
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey(".zip", true));
    reg.WriteString("Content Type", "application/x-zip-compressed");
  }
  TmsMessage& Basic() {
    message_.Sender.Name = "Bob";
    message_.Sender.Address = "b1";
    message_.Recipients.AddAddress("a1", "Ann");
    message_.Subject = "Hi";
    return message_;
  }
  std::string File(const std::string& name, const std::string& bytes) {
    files_.WriteFile(name, bytes);
    return files_ / name;
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir files_;
  TmsMessage message_;
};

TEST_F(EncoderTest, ComposesTheReferenceMessageByteForByte) {
  std::string zip(100, '\0');
  for (size_t i = 0; i < zip.size(); ++i) zip[i] = static_cast<char>(i * 7);
  auto& m = Basic();
  m.Headers.Add("Date: Mon, 07 Dec 1998 14:05:09 GMT");
  m.Body.Add("Hello");
  m.Body.Add(".");
  m.Attachments.AddFile(File("x.zip", zip));
  EXPECT_EQ(Compose(m), Lines({"From:     Bob <b1>",
                               "To:       Ann <a1>",
                               "Date: Mon, 07 Dec 1998 14:05:09 GMT",
                               "Subject:  Hi",
                               "Mime-Version: 1.0",
                               "Content-Type: multipart/mixed; boundary=\"B1\"",
                               "",
                               "This is a multipart message in MIME format",
                               "",
                               "--B1",
                               "Content-Type: text/plain; charset=\"us-ascii\"",
                               "Content-Transfer-Encoding: 7bit",
                               "",
                               "Hello",
                               "..",
                               "",
                               "--B1",
                               "Content-Type: application/x-zip-compressed; name=\"x.zip\"",
                               "Content-Transfer-Encoding: Base64",
                               "Content-Disposition: attachment; filename=\"x.zip\"",
                               "",
                               maillib::Base64EncodeLine(zip.substr(0, 57)),
                               maillib::Base64EncodeLine(zip.substr(57)),
                               "",
                               "--B1--"}));
  EXPECT_EQ(m.Body[1], ".");  // composing leaves the message's own body alone
}

TEST_F(EncoderTest, AddressFieldsAndDisplayNames) {
  auto& m = message_;
  m.Sender.Name = "J. Smith";
  m.Sender.Address = "js@example.org";
  m.Recipients.AddAddress("a1", "A");
  m.Recipients.AddAddress("b1", "B. \"Bee\" Jones");
  m.Recipients.AddAddress("c1", "");
  m.CC.AddAddress("d1", "Dee");
  m.BCC.AddAddress("hidden@example.org", "Hidden");
  std::string text = Compose(m);
  EXPECT_EQ(
      text.substr(0, text.find("Mime-Version")),
      Lines({"From:     \"J. Smith\" <js@example.org>", "To:       A <a1>,",
             "          \"B. \\\"Bee\\\" Jones\" <b1>,", "           <c1>", "CC:       Dee <d1>"}));
  EXPECT_EQ(text.find("hidden"), std::string::npos);  // BCC reaches the envelope only
}

TEST_F(EncoderTest, DisplayNamesWithSpecialsAreQuotedStrings) {
  auto& m = message_;
  m.Sender.Name = "shop@example.com";
  m.Sender.Address = "shop@example.com";
  m.Recipients.AddAddress("a@x", "Last, First");
  m.Recipients.AddAddress("b@x", "Back\\slash (the <one>) [x]: y;");
  m.CC.AddAddress("c@x", "Plain Name");
  std::string text = Compose(m);
  EXPECT_EQ(
      text.substr(0, text.find("Mime-Version")),
      Lines(
          {"From:     \"shop@example.com\" <shop@example.com>", "To:       \"Last, First\" <a@x>,",
           "          \"Back\\\\slash (the <one>) [x]: y;\" <b@x>", "CC:       Plain Name <c@x>"}));
}

// 8-bit header text goes out as encoded words in the message's charset: iso-8859-1 when the
// message says so, else utf-8 for UTF-8 text and iso-8859-1 for anything else.
TEST_F(EncoderTest, EightBitHeaderTextIsEncoded) {
  auto& m = Basic();
  m.Subject =
      "Gr\xC3\xBC\xC3\x9F"
      "e";
  m.Sender.Name = "M\xC3\xBCller, Hans";
  m.Recipients.Items(0).Name = "J\xC3\xB6rg";
  m.Headers.Add(
      "Organization: B\xC3\xA4"
      "ckerei & Co");
  std::string text = Compose(m);
  EXPECT_NE(text.find("From:     =?utf-8?Q?M=C3=BCller=2C_Hans?= <b1>\r\n"
                      "To:       =?utf-8?Q?J=C3=B6rg?= <a1>\r\n"
                      "Organization: =?utf-8?Q?B=C3=A4ckerei?= & Co\r\n"
                      "Subject:  =?utf-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit"),
            std::string::npos);  // an ASCII body keeps its label
  m.Subject = "caf\xE9";
  EXPECT_NE(Compose(m).find("Subject:  =?iso-8859-1?Q?caf=E9?=\r\n"), std::string::npos);
  m.CharSet = maillib::csISO8859;
  m.Subject = "\xC3\xA9t\xC3\xA9";
  EXPECT_NE(Compose(m).find("Subject:  =?iso-8859-1?Q?=C3=A9t=C3=A9?=\r\n"), std::string::npos);
  m.CustomCharSet = "windows-1252";
  EXPECT_NE(Compose(m).find("Subject:  =?windows-1252?Q?"), std::string::npos);
}

TEST_F(EncoderTest, AttachmentNamesReadersCannotTakeAsQuotedStrings) {
  auto& m = Basic();
  m.Body.Add("see attached");
  // Windows forbids quotes in a file name, but a message may carry any name.
  m.Attachments.AddFile(File("v2.txt", "text\r\n")).SetFileName("r\xC3\xA9sum\xC3\xA9 \"v2\".txt");
  m.Attachments.AddFile(File("hi.zip", "zip")).SetFileName("say \"hi\".zip");
  m.Attachments.AddFile(File("plain.zip", "zip"));
  std::string text = Compose(m);
  EXPECT_NE(
      text.find(Lines(
          {"Content-Type: text/plain;", " name=\"=?utf-8?Q?r=C3=A9sum=C3=A9_=22v2=22=2Etxt?=\"",
           "Content-Transfer-Encoding: Quoted-Printable", "Content-Disposition: attachment;",
           " filename*=utf-8''r%C3%A9sum%C3%A9%20%22v2%22.txt"})),
      std::string::npos)
      << text;
  EXPECT_NE(text.find(Lines({"Content-Type: application/x-zip-compressed;",
                             " name=\"say \\\"hi\\\".zip\"", "Content-Transfer-Encoding: Base64",
                             "Content-Disposition: attachment;",
                             " filename*=us-ascii''say%20%22hi%22.zip"})),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Content-Type: application/x-zip-compressed; name=\"plain.zip\"\r\n"),
            std::string::npos);
}

TEST_F(EncoderTest, AnOverlongHeaderLineIsFolded) {
  auto& m = Basic();
  std::string words = "X-Words:";
  while (words.size() < 1023) words += " abcdefghi";
  m.Headers.Add(words);
  std::string text = Compose(m);
  size_t at = text.find("X-Words:");
  std::string field = text.substr(at, text.find("\r\nSubject", at) - at);
  size_t fold = field.find("\r\n");
  EXPECT_LE(fold, 998u);
  EXPECT_EQ(field.find("\r\n", fold + 2), std::string::npos);
  EXPECT_EQ(field.erase(fold, 2), words);  // unfolding gives the line back
}

TEST_F(EncoderTest, PriorityAndReceiptLines) {
  auto& m = Basic();
  EXPECT_EQ(Compose(m).find("X-Priority"), std::string::npos);
  m.Priority = maillib::ptHigh;
  EXPECT_NE(Compose(m).find("\r\nX-Priority: 1\r\n"), std::string::npos);
  m.Priority = maillib::ptLow;
  m.ReturnReceipt = true;
  std::string text = Compose(m);
  EXPECT_NE(text.find("\r\nReturn-Receipt-To: <b1>\r\nX-Priority: 5\r\n"), std::string::npos);
  m.Priority = static_cast<maillib::TPriority>(3);
  EXPECT_EQ(Compose(m).find("X-Priority"), std::string::npos);
}

TEST_F(EncoderTest, TheComposerReplacesItsOwnFieldsInTheExtraHeaders) {
  auto& m = Basic();
  m.Headers.Add("Subject: old");
  m.Headers.Add("X-Custom: kept");
  m.Headers.Add("Subject: second survives");
  m.Headers.Add("Content-Type: text/html");
  m.Headers.Add("Return-Receipt-To: <someone>");
  m.RemoveRRHeader = false;
  std::string text = Compose(m);
  EXPECT_EQ(text.find("Subject: old"), std::string::npos);
  EXPECT_NE(text.find("X-Custom: kept\r\nSubject: second survives\r\n"), std::string::npos);
  EXPECT_NE(text.find("Return-Receipt-To: <someone>"), std::string::npos);
  EXPECT_EQ(text.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(text.find("Subject:  Hi\r\n"), std::string::npos);
}

TEST_F(EncoderTest, TextBodiesAndTheirTransferEncodings) {
  auto& m = Basic();
  m.Body.Add(std::string(256, 'x'));
  std::string text = Compose(m);
  EXPECT_NE(text.find("Content-Type: text/plain; charset=\"us-ascii\"\r\n"
                      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(text.find(std::string(65, 'x') + "=\r\n"), std::string::npos);

  m.Body.Clear();
  m.Body.Add("caf\xE9");
  m.CharSet = maillib::csISO8859;
  EXPECT_NE(Compose(m).find("charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: "
                            "quoted-printable\r\n\r\ncaf=E9\r\n"),
            std::string::npos);
  m.CustomCharSet = "windows-1252";
  EXPECT_NE(Compose(m).find("charset=\"windows-1252\""), std::string::npos);
}

TEST_F(EncoderTest, EightBitBodiesAreQuotedPrintableWithACharset) {
  auto& m = Basic();
  m.Body.Add(
      "Gr\xC3\xBC\xC3\x9F"
      "e");
  EXPECT_NE(Compose(m).find("Content-Type: text/plain; charset=\"utf-8\"\r\n"
                            "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                            "Gr=C3=BC=C3=9Fe\r\n"),
            std::string::npos);
  m.Body.Add("caf\xE9");  // no longer UTF-8 as a whole
  EXPECT_NE(Compose(m).find("charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: "
                            "quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe\r\ncaf=E9\r\n"),
            std::string::npos);
  m.Attachments.AddFile(File("x.zip", "zip"));
  EXPECT_NE(Compose(m).find("--B1\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                            "Content-Transfer-Encoding: quoted-printable\r\n"),
            std::string::npos);

  TmsMessage html;
  html.Sender.Address = "b1";
  html.Recipients.AddAddress("a1", "");
  html.Body.Add("<p>\xC3\xA9t\xC3\xA9</p>");
  html.DetermineContentType = false;
  html.SetContentType("text/html");
  EXPECT_NE(Compose(html).find("Content-Type: text/html; charset=\"utf-8\"\r\n"
                               "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                               "<p>=C3=A9t=C3=A9</p>\r\n"),
            std::string::npos);
  html.Body.Clear();
  html.DetermineContentType = true;
  html.Attachments.AddFile(File("_htmbody.htm", "<p>\xE9t\xE9</p>\r\n"));
  EXPECT_TRUE(Compose(html).ends_with(
      Lines({"Content-Type: text/html; charset=\"iso-8859-1\"",
             "Content-Transfer-Encoding: quoted-printable", "", "<p>=E9t=E9</p>"})));
}

TEST_F(EncoderTest, UuencodedMessagesHaveNoMimeLines) {
  auto& m = Basic();
  m.Encoding = maillib::meUU;
  m.Body.Add("See attached.");
  m.Attachments.AddFile(File("data.bin", std::string(90, 'u')));
  std::string text = Compose(m);
  EXPECT_EQ(text.find("Mime-Version"), std::string::npos);
  EXPECT_EQ(text.find("Content-Type"), std::string::npos);
  std::string full = maillib::UUEncodeLine(std::string(45, 'u'));
  EXPECT_NE(text.find(Lines({"Subject:  Hi", "", "See attached.", "", "begin 600 data.bin", full,
                             full, "`", "`", "end"})),
            std::string::npos);
}

TEST_F(EncoderTest, ABodilessMessageWithOneAttachmentIsThatAttachment) {
  auto& m = Basic();
  m.Attachments.AddFile(File("notes.txt", "line one\r\nline two\r\n"));
  EXPECT_EQ(m.ContentType(), "text/plain");
  std::string text = Compose(m);
  EXPECT_NE(text.find(Lines({"Mime-Version: 1.0", "Content-Type: text/plain; name=\"notes.txt\"",
                             "Content-Transfer-Encoding: Quoted-Printable",
                             "Content-Disposition: attachment; filename=\"notes.txt\"", "",
                             "line one", "line two"})),
            std::string::npos);
}

TEST_F(EncoderTest, AlternativesAreUnnamedParts) {
  auto& m = Basic();
  m.Body.Add("plain");
  m.Attachments.AddFile(File("_alt.txt", "text\r\n"));
  m.Attachments.AddFile(File("_alt.htm", "<p>html</p>\r\n"));
  EXPECT_EQ(m.ContentType(), "multipart/alternative");
  std::string text = Compose(m);
  EXPECT_NE(text.find("Content-Type: multipart/alternative; boundary=\"B1\""), std::string::npos);
  EXPECT_EQ(text.find("name="), std::string::npos);
  EXPECT_EQ(text.find("Content-Disposition"), std::string::npos);
  // One empty line between a part's content and the next delimiter, so that a text part's
  // content is not lengthened by a line.
  EXPECT_NE(text.find(Lines({"text", "", "--B1", "Content-Type: text/html",
                             "Content-Transfer-Encoding: Quoted-Printable", "", "<p>html</p>", "",
                             "--B1--"})),
            std::string::npos);
}

TEST_F(EncoderTest, AlternativesNestInAMixedMessage) {
  auto& m = Basic();
  m.Body.Add("plain");
  m.Attachments.AddFile(File("_alt.htm", "<p>html</p>\r\n"));
  m.Attachments.AddFile(File("report.pdf", "%PDF"));
  std::string text = Compose(m);
  EXPECT_NE(text.find(Lines({"Content-Type: multipart/mixed; boundary=\"B1\"", "",
                             "This is a multipart message in MIME format", "", "--B1",
                             "Content-Type:  multipart/alternative; boundary=\"B2\"",
                             "Content-Transfer-Encoding: 7bit", "", "--B2"})),
            std::string::npos);
  EXPECT_NE(text.find(Lines({"<p>html</p>", "", "--B2--", "--B1",
                             "Content-Type: application/pdf; name=\"report.pdf\""})),
            std::string::npos);
  EXPECT_TRUE(text.ends_with(Lines({"JVBERg==", "", "--B1--"})));
}

TEST_F(EncoderTest, AllAlternativesInAFixedMixedTypeCloseBothParts) {
  auto& m = Basic();
  m.Body.Add("plain");
  m.Attachments.AddFile(File("_alt.htm", "<p>html</p>\r\n"));
  m.DetermineContentType = false;
  m.SetContentType("multipart/mixed");
  EXPECT_TRUE(Compose(m).ends_with(Lines({"<p>html</p>", "", "--B2--", "--B1--"})));
}

TEST_F(EncoderTest, Base64LinesOfAnAttachment) {
  auto& m = Basic();
  m.Attachments.AddFile(File("a.bin", std::string(57, 'z')));
  std::string text = Compose(m);
  EXPECT_TRUE(text.ends_with(Lines({"", maillib::Base64EncodeLine(std::string(57, 'z')), ""})));
  EXPECT_EQ(maillib::Base64EncodeLine(std::string(57, 'z')).size(), 76u);
}

TEST_F(EncoderTest, AFixedContentTypeWithParametersIsWrittenAsText) {
  auto& m = Basic();
  m.Body.Add("<p>x</p>");
  m.DetermineContentType = false;
  m.SetContentType("Text/HTML; charset=utf-8");
  EXPECT_NE(Compose(m).find("Content-Type: text/html; charset=utf-8; charset=\"us-ascii\"\r\n"
                            "Content-Transfer-Encoding: 7bit\r\n"),
            std::string::npos);
  m.SetContentType("text/html");
  EXPECT_NE(Compose(m).find("Content-Type: text/html\r\nContent-Transfer-Encoding: "
                            "quoted-printable\r\n\r\n<p>x</p>\r\n"),
            std::string::npos);
}

TEST_F(EncoderTest, AnHtmlBodyAttachmentAloneIsSentAsTheBody) {
  auto& m = Basic();
  m.Attachments.AddFile(File("_htmbody.htm", "<p>the body</p>\r\n"));
  EXPECT_EQ(m.ContentType(), "text/html");
  EXPECT_TRUE(Compose(m).ends_with(
      Lines({"Content-Type: text/html", "Content-Transfer-Encoding: quoted-printable", "",
             "<p>the body</p>"})));
}

TEST_F(EncoderTest, AnyOtherHtmlOrRtfFileAloneIsANamedAttachment) {
  rtl::TRegistry reg;
  reg.SetRootKey(HKEY_CLASSES_ROOT);
  ASSERT_TRUE(reg.OpenKey(".rtf", true));
  reg.WriteString("Content Type", "text/rtf");
  for (std::string name : {"page.htm", "letter.rtf"}) {
    TmsMessage m;
    m.Sender.Address = "b1";
    m.Recipients.AddAddress("a1", "");
    m.Attachments.AddFile(File(name, "<p>the file</p>\r\n"));
    const std::string type = m.ContentType();
    EXPECT_TRUE(type == "text/html" || type == "text/rtf") << type;
    EXPECT_TRUE(Compose(m).ends_with(Lines(
        {"Content-Type: " + type + "; name=\"" + name + "\"",
         "Content-Transfer-Encoding: Quoted-Printable",
         "Content-Disposition: attachment; filename=\"" + name + "\"", "", "<p>the file</p>"})))
        << name;
  }
}

TEST_F(EncoderTest, EveryLineThatBeginsWithADotGetsAnother) {
  auto& m = Basic();
  m.Body.Add(".");
  m.Body.Add(".hidden");
  m.Body.Add("x.");
  m.Attachments.AddFile(File("dots.eml", ".\r\n..two\r\nplain\r\n"));
  m.Attachments.Items(0).Encoding = maillib::ae7Bit;
  m.Attachments.AddFile(File("dots.txt", ".\r\n"));
  std::string text = Compose(m);
  EXPECT_NE(text.find(Lines({"..", "..hidden", "x."})), std::string::npos);
  EXPECT_NE(text.find(Lines({"..", "...two", "plain"})), std::string::npos);
  EXPECT_EQ(text.find("\r\n.\r\n"), std::string::npos);
  EXPECT_EQ(Compose(m), text);  // composing again gives the same text
  EXPECT_EQ(m.Body[0], ".");

  TmsMessage uu;
  uu.Sender.Address = "b1";
  uu.Recipients.AddAddress("a1", "");
  uu.Encoding = maillib::meUU;
  uu.Body.Add(".start");
  EXPECT_NE(Compose(uu).find("\r\n..start\r\n"), std::string::npos);
}

TEST_F(EncoderTest, EveryLineEndsInCrLf) {
  auto& m = Basic();
  m.Body.Add("one");
  m.Attachments.AddFile(File("x.zip", std::string(200, 'q')));
  std::string text = Compose(m);
  ASSERT_TRUE(text.ends_with("\r\n"));
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_EQ(text[i - 1], '\r') << i;
    }
    if (text[i] == '\r') {
      ASSERT_EQ(text[i + 1], '\n') << i;
    }
  }
}

TEST_F(EncoderTest, ValidateNeedsASenderAndOneRecipientAddress) {
  TmsMessage m;
  EXPECT_THROW(m.Validate(), maillib::EMessageError);
  m.Sender.Address = "b1";
  m.Recipients.AddAddress("", "No Address");
  try {
    m.Validate();
    FAIL();
  } catch (const maillib::EMessageError& e) {
    EXPECT_EQ(e.Message(), "At least one Recipient, CC or BCC must be entered");
    EXPECT_STREQ(e.ClassName(), "EMessageError");
  }
  m.CC.AddAddress("c1", "");
  EXPECT_NO_THROW(m.Validate());
  maillib::TmsArticle article;
  article.NewsGroups = "comp.mail";
  EXPECT_THROW(article.Validate(), maillib::EMessageError);
}

TEST_F(EncoderTest, AFixedSeedGivesTheSameBoundaries) {
  maillib::SetBoundarySeed(7);
  std::string first = maillib::NewBoundary();
  maillib::SetBoundarySeed(7);
  EXPECT_EQ(maillib::NewBoundary(), first);
  EXPECT_EQ(first.size(), 8u);
  EXPECT_EQ(first.find('9'), std::string::npos);
}

}  // namespace
