#include "maillib/Encoder.h"

#include "maillib/Boundary.h"
#include "maillib/QuotedPrintable.h"
#include "maillib/codecs.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

constexpr size_t kLongLine = 255;
constexpr size_t kBase64Chunk = 57;
constexpr size_t kUUChunk = 45;
constexpr char kDQ = '"';

std::string Quoted(const std::string& text) { return kDQ + text + kDQ; }

// "Content-Type: " and the type, bounded together, then whatever parameters follow.
std::string ContentTypeLine(const std::string& type, const std::string& parameters = "") {
  return rtl::BoundedString("Content-Type: " + type) + parameters;
}

std::vector<std::string> QuotedPrintableLines(const rtl::TStringList& text) {
  rtl::TMemoryStream stream;
  stream.WriteString(text.Text());
  rtl::TStringList lines;
  TQuotedPrintable(&stream, &lines).Encode();
  return {lines.begin(), lines.end()};
}

bool IsBodyAttachment(const TmsCustomMessage& m, const char* name) {
  return m.Body.Count() == 0 && m.Attachments.Count() == 1 &&
         rtl::LowerCase(BaseName(m.Attachments.Items(0))) == name;
}

}  // namespace

std::string DisplayName(const std::string& name) {
  bool quote = name.find('.') != std::string::npos && name.find(kDQ) == std::string::npos;
  return quote ? Quoted(name) : name;
}

TmsCustomEncoder::TmsCustomEncoder(TmsCustomMessage& message, rtl::TStream& stream)
    : message_(message), stream_(stream) {
  for (const auto& line : message_.Body) longLines_ = longLines_ || line.size() > kLongLine;
}

// Data transparency: a line that begins with "." goes out with one more "." in front, whatever
// part of the message it belongs to, so the receiver's removal of the first dot gives the line
// back and a lone "." inside an attachment cannot end the data early.
void TmsCustomEncoder::WriteLine(std::string_view line) {
  if (!line.empty() && line[0] == '.') stream_.Write(".", 1);
  stream_.Write(line.data(), line.size());
  stream_.Write("\r\n", 2);
}

void TmsCustomEncoder::WriteLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) WriteLine(line);
}

void TmsCustomEncoder::WriteQuotedPrintable(rtl::TStream& bytes) {
  TQuotedPrintable(&bytes, [this](std::string line) { WriteLine(line); }).Encode();
}

void TmsCustomEncoder::RemoveOwnFields() {
  auto& headers = message_.Headers;
  for (const char* field : {"From", "To", "CC", "BCC"}) headers.RemoveField(field);
  if (message_.RemoveRRHeader) headers.RemoveField("Return-Receipt-To");
  for (const char* field : {"X-Priority", "Subject", "Mime-Version", "Content-Type", "X-Encoding",
                            "Content-Transfer-Encoding"}) {
    headers.RemoveField(field);
  }
}

void TmsCustomEncoder::WriteCommonHeaders() {
  RemoveOwnFields();
  for (const auto& line : message_.Headers) WriteLine(line);
  if (!message_.Subject.empty()) {
    WriteLine(rtl::BoundedString("Subject:  " + message_.Subject.str()));
  }
  if (message_.Encoding == meMIME) WriteLine("Mime-Version: 1.0");
}

void TmsCustomEncoder::Encode() {
  stream_.SetPosition(0);
  WriteHeaders();
  if (message_.Encoding == meUU) {
    EncodeUU();
    return;
  }
  const std::string type = message_.ContentType();
  if (type == "multipart/mixed") {
    EncodeMultipart(type, false);
  } else if (type == "text/plain" ||
             (!message_.DetermineContentType && type != "text/html" && type != "text/rtf")) {
    if (message_.Attachments.Count() == 0) {
      EncodeText(type);
    } else {
      EncodeSingleAttachment();
    }
  } else if (type == "text/html" || type == "text/rtf") {
    EncodeHtmlBody(type);
  } else if (type == "multipart/alternative") {
    EncodeMultipart(type, true);
  } else {
    EncodeSingleAttachment();
  }
}

std::vector<std::string> TmsCustomEncoder::PrepareBody() {
  if (message_.CharSet == csISO8859 || longLines_ || !message_.CustomCharSet.empty()) {
    return QuotedPrintableLines(message_.Body);
  }
  return {message_.Body.begin(), message_.Body.end()};
}

void TmsCustomEncoder::WriteTextPartHeaders(const std::string& contentType) {
  std::string charset = !message_.CustomCharSet.empty() ? message_.CustomCharSet
                        : message_.CharSet == csISO8859 ? "iso-8859-1"
                                                        : "us-ascii";
  WriteLine(ContentTypeLine(contentType, "; charset=" + Quoted(charset)));
  bool quotedPrintable =
      !message_.CustomCharSet.empty() || message_.CharSet == csISO8859 || longLines_;
  WriteLine(quotedPrintable ? "Content-Transfer-Encoding: quoted-printable"
                            : "Content-Transfer-Encoding: 7bit");
}

void TmsCustomEncoder::EncodeText(const std::string& contentType) {
  WriteTextPartHeaders(contentType);
  WriteLine("");
  WriteLines(PrepareBody());
}

void TmsCustomEncoder::EncodeHtmlBody(const std::string& contentType) {
  std::string line =
      contentType == "text/html" ? "Content-Type: text/html" : "Content-Type: text/rtf";
  if (message_.CharSet == csISO8859) line += "; charset=" + Quoted("iso-8859-1");
  WriteLine(line);
  WriteLine("Content-Transfer-Encoding: quoted-printable");
  WriteLine("");
  // A message whose only content is a "_htmbody.htm" or "_rtfbody.rtf" attachment carries that
  // attachment's content as its body.
  if (IsBodyAttachment(message_, "_htmbody.htm") || IsBodyAttachment(message_, "_rtfbody.rtf")) {
    WriteQuotedPrintable(message_.Attachments.Items(0).Data());
  } else {
    WriteLines(QuotedPrintableLines(message_.Body));
  }
}

void TmsCustomEncoder::EncodeSingleAttachment() {
  TmsAttItem& first = message_.Attachments.Items(0);
  const std::string base = BaseName(first);
  const std::string lower = rtl::LowerCase(base);
  const bool only = message_.Attachments.Count() == 1;
  const bool special = only && (lower == "_htmbody.htm" || lower == "_rtfbody.rtf");
  if (only && lower == "_htmbody.htm") {
    WriteLine("Content-Type: text/html");
  } else if (only && lower == "_rtfbody.rtf") {
    WriteLine("Content-Type: text/rtf");
  } else {
    WriteLine(ContentTypeLine(first.ContentType.str(), "; name=" + Quoted(base)));
  }
  WriteLine(std::string("Content-Transfer-Encoding: ") + EncodingToken(first.Encoding));
  if (!special) WriteLine("Content-Disposition: attachment; filename=" + Quoted(base));
  WriteLine("");
  EncodeAttachmentContent(first);
}

void TmsCustomEncoder::EncodeAttachmentContent(TmsAttItem& item) {
  rtl::TStream& data = item.Data();
  data.SetPosition(0);
  if (item.Encoding == aeBase64) {
    char chunk[kBase64Chunk];
    size_t got;
    do {
      got = data.Read(chunk, kBase64Chunk);
      WriteLine(Base64EncodeLine(std::string_view(chunk, got)));
    } while (got == kBase64Chunk);
  } else if (item.Encoding == aeQuotedPrintable) {
    WriteQuotedPrintable(data);
  } else {
    rtl::ForEachLine(data, [this](const std::string& line) { WriteLine(line); });
  }
}

void TmsCustomEncoder::EncodeMultipart(const std::string& contentType, bool alternative) {
  auto& attachments = message_.Attachments;
  TmsAttItem& first = attachments.Items(0);  // a multipart type without attachments fails here
  auto startsAlt = [](const TmsAttItem& item) {
    return rtl::LowerCase(BaseName(item)).starts_with("_alt.");
  };
  const std::string firstName = rtl::LowerCase(BaseName(first));
  bool htm = message_.Body.Count() == 0 && firstName == "_htmbody.htm";
  bool rtf = message_.Body.Count() == 0 && firstName == "_rtfbody.rtf";
  bool alt = startsAlt(first);

  std::string boundary = NewBoundary();
  std::string outer;
  WriteLine(ContentTypeLine(contentType, "; boundary=" + Quoted(boundary)));
  WriteLine("");
  WriteLine("This is a multipart message in MIME format");
  WriteLine("");
  WriteLine("--" + boundary);
  bool nested = alt && !alternative;
  if (nested) {
    outer = boundary;
    boundary = NewBoundary();
    WriteLine("Content-Type:  multipart/alternative; boundary=" + Quoted(boundary));
    WriteLine("Content-Transfer-Encoding: 7bit");
    WriteLine("");
    WriteLine("--" + boundary);
  }
  if (message_.Body.Count() > 0) {
    WriteTextPartHeaders("text/plain");
    WriteLine("");
    WriteLines(PrepareBody());
    WriteLine("");
    WriteLine("--" + boundary);
  }
  for (int i = 0; i < attachments.Count(); ++i) {
    TmsAttItem& item = attachments.Items(i);
    if (i > 0) {
      // The empty line after the previous part's content already carries the delimiter's line
      // break; a second one would become part of that content and change a text attachment.
      WriteLine("--" + boundary);
      htm = rtf = false;
    }
    const bool named = !(alternative || alt || htm || rtf);
    const std::string base = BaseName(item);
    WriteLine(ContentTypeLine(item.ContentType.str(), named ? "; name=" + Quoted(base) : ""));
    WriteLine(std::string("Content-Transfer-Encoding: ") + EncodingToken(item.Encoding));
    if (named) WriteLine("Content-Disposition: attachment; filename=" + Quoted(base));
    WriteLine("");
    EncodeAttachmentContent(item);
    WriteLine("");
    if (i == attachments.Count() - 1) {
      WriteLine("--" + boundary + "--");
      // Alternatives nested in a mixed message that end the message close the mixed part too.
      if (nested && alt) WriteLine("--" + outer + "--");
    } else if (alt && !startsAlt(attachments.Items(i + 1))) {
      alt = false;
      WriteLine("--" + boundary + "--");
      boundary = outer;
    }
  }
}

void TmsCustomEncoder::EncodeUU() {
  WriteLine("");
  WriteLines({message_.Body.begin(), message_.Body.end()});
  for (int i = 0; i < message_.Attachments.Count(); ++i) {
    TmsAttItem& item = message_.Attachments.Items(i);
    WriteLine("");
    WriteLine("begin 600 " + BaseName(item));
    item.Data().SetPosition(0);
    char chunk[kUUChunk];
    size_t got;
    do {
      got = item.Data().Read(chunk, kUUChunk);
      WriteLine(UUEncodeLine(std::string_view(chunk, got)));
    } while (got == kUUChunk);
    WriteLine("`");
    WriteLine("end");
  }
}

void TmsMessageEncoder::WriteAddressField(std::string_view name, const TmsAddressList& list) {
  if (list.Count() == 0) return;
  std::string label(name);
  if (label.back() != ':') label += ':';
  label.resize(std::max<size_t>(label.size(), 10), ' ');
  for (int i = 0; i < list.Count(); ++i) {
    const TmsMailAddress& address = list.Items(i);
    std::string entry = DisplayName(address.Name.str()) + " <" + address.Address.str() + ">";
    if (i + 1 < list.Count()) entry += ",";
    if (i == 0) {
      WriteLine(rtl::BoundedString(label + entry));
    } else {
      WriteLine(std::string(10, ' ') + entry);
    }
  }
}

void TmsMessageEncoder::WriteHeaders() {
  const std::string address = mail_.Sender.Address.str();
  WriteLine("From:     " + DisplayName(mail_.Sender.Name.str()) + " <" + address + ">");
  WriteAddressField("To", mail_.Recipients);
  WriteAddressField("CC", mail_.CC);
  if (mail_.ReturnReceipt) WriteLine(rtl::BoundedString("Return-Receipt-To: <" + address + ">"));
  if (mail_.Priority == ptLow) WriteLine("X-Priority: 5");
  if (mail_.Priority == ptHigh) WriteLine("X-Priority: 1");
  WriteCommonHeaders();
}

void TmsArticleEncoder::WriteHeaders() {
  WriteLine("From:     " + article_.Sender.Name.str() + " <" + article_.Sender.Address.str() + ">");
  WriteLine("Newsgroups: " + article_.NewsGroups);
  WriteCommonHeaders();
}

}  // namespace maillib
