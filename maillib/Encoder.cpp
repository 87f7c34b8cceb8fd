#include "maillib/Encoder.h"

#include "maillib/Boundary.h"
#include "maillib/HeaderText.h"
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
  return !m.HasBody() && m.Attachments.Count() == 1 &&
         rtl::LowerCase(BaseName(m.Attachments.Items(0))) == name;
}

bool IsHtmlOrRtfBodyAttachment(const TmsCustomMessage& m) {
  return IsBodyAttachment(m, "_htmbody.htm") || IsBodyAttachment(m, "_rtfbody.rtf");
}

// A file name a quoted string cannot carry to every reader.
bool NeedsExtendedName(const std::string& name) {
  return HasEightBit(name) || name.find(kDQ) != std::string::npos;
}

constexpr std::string_view kSpecials = "()<>[]:;@\\,.\"";

}  // namespace

std::string DisplayName(const std::string& name) {
  return name.find_first_of(kSpecials) != std::string::npos ? QuotedString(name) : name;
}

TmsCustomEncoder::TmsCustomEncoder(TmsCustomMessage& message, rtl::TStream& stream)
    : message_(message), stream_(stream) {
  if (rtl::TStream* text = message_.BodyText()) {
    ScanBodyText(*text);
  } else {
    for (const auto& line : message_.Body) {
      longLines_ = longLines_ || line.size() > kLongLine;
      bodyEightBit_ = bodyEightBit_ || HasEightBit(line);
      bodyUtf8_ = bodyUtf8_ && IsUtf8(line);
    }
  }
  DetermineCharset();
}

// The same facts as of Body's lines, gathered a block at a time: the text may be far larger than
// memory. Its lines are apart by CR LF, which no UTF-8 sequence spans, so checking the text whole
// judges it as line by line.
void TmsCustomEncoder::ScanBodyText(rtl::TStream& text) {
  text.SetPosition(0);
  TUtf8Check utf8;
  size_t lineLength = 0;
  char block[16384];
  for (size_t got; (got = text.Read(block, sizeof block)) > 0;) {
    const std::string_view piece(block, got);
    bodyEightBit_ = bodyEightBit_ || HasEightBit(piece);
    utf8.Feed(piece);
    for (char c : piece) {
      lineLength = c == '\r' || c == '\n' ? 0 : lineLength + 1;
      longLines_ = longLines_ || lineLength > kLongLine;
    }
  }
  bodyUtf8_ = utf8.Valid();
}

// 8-bit text in a message that declares us-ascii is labelled utf-8 when all of it is UTF-8 and
// iso-8859-1 otherwise, since every byte is a character of that charset.
void TmsCustomEncoder::DetermineCharset() {
  const TmsCustomMessage& m = message_;
  declaredCharset_ = !m.CustomCharSet.empty() ? m.CustomCharSet
                     : m.CharSet == csISO8859 ? "iso-8859-1"
                                              : "us-ascii";
  bool eightBit = false;
  bool utf8 = true;
  auto check = [&](std::string_view text) {
    if (!HasEightBit(text)) return;
    eightBit = true;
    utf8 = utf8 && IsUtf8(text);
  };
  check(m.Subject.str());
  check(m.Sender.Name.str());
  for (const auto& line : m.Headers) check(line);
  if (bodyEightBit_) {
    eightBit = true;
    utf8 = utf8 && bodyUtf8_;
  }
  for (int i = 0; i < m.Attachments.Count(); ++i) check(BaseName(m.Attachments.Items(i)));
  if (const auto* mail = dynamic_cast<const TmsMessage*>(&m); mail != nullptr) {
    for (const TmsAddressList* list : {&mail->Recipients, &mail->CC}) {
      for (int i = 0; i < list->Count(); ++i) check(list->Items(i).Name.str());
    }
  }
  if (IsHtmlOrRtfBodyAttachment(m)) {
    rtl::TStream& data = m.Attachments.Items(0).Data();
    data.SetPosition(0);
    TUtf8Check content;
    char chunk[16384];
    for (size_t got; (got = data.Read(chunk, sizeof chunk)) > 0;) {
      std::string_view piece(chunk, got);
      htmlAttachmentEightBit_ = htmlAttachmentEightBit_ || HasEightBit(piece);
      content.Feed(piece);
    }
    eightBit = eightBit || htmlAttachmentEightBit_;
    utf8 = utf8 && content.Valid();
  }
  charset_ = declaredCharset_ != "us-ascii" || !eightBit ? declaredCharset_
             : utf8                                      ? "utf-8"
                                                         : "iso-8859-1";
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

void TmsCustomEncoder::WriteHeaderLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) WriteLines(FoldLongHeaderLine(line));
}

std::vector<std::string> TmsCustomEncoder::AddressLines(const std::string& prefix,
                                                        const TmsMailAddress& address,
                                                        const std::string& suffix) const {
  const std::string name = address.Name.str();
  const std::string mailbox = "<" + address.Address.str() + ">";
  if (!HasEightBit(name)) return {prefix + DisplayName(name) + " " + mailbox + suffix};
  // The whole name is one encoded text, so that its specials are encoded too.
  THeaderFolder folder(prefix, charset_);
  folder.AddEncoded(name);
  folder.AddPlain(mailbox + suffix);
  return folder.Lines();
}

void TmsCustomEncoder::WriteQuotedPrintable(rtl::TStream& bytes, bool exact) {
  TQuotedPrintable codec(&bytes, [this](std::string line) { WriteLine(line); });
  codec.Exact = exact;
  codec.Encode();
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
  // Strict relays refuse 8-bit header text: it goes out as encoded words in the message's charset.
  for (const auto& line : message_.Headers) {
    WriteHeaderLines(HasEightBit(line) ? EncodeHeaderLine(line, charset_)
                                       : std::vector<std::string>{line});
  }
  const std::string subject = message_.Subject.str();
  if (HasEightBit(subject)) {
    WriteHeaderLines(EncodeHeaderLine("Subject:  " + subject, charset_));
  } else if (!subject.empty()) {
    WriteLine(rtl::BoundedString("Subject:  " + subject));
  }
  if (message_.Encoding == meMIME) WriteLine("Mime-Version: 1.0");
}

void TmsCustomEncoder::Encode() {
  stream_.SetPosition(0);
  if (message_.Composed) {
    WritePlainBody();
    return;
  }
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
  } else if ((type == "text/html" || type == "text/rtf") && !message_.HasBody() &&
             message_.Attachments.Count() == 1 && !IsHtmlOrRtfBodyAttachment(message_)) {
    // Only the two body names make an attachment the body; any other HTML or RTF file alone is
    // sent as the named attachment it is, so its content is not lost.
    EncodeSingleAttachment();
  } else if (type == "text/html" || type == "text/rtf") {
    EncodeHtmlBody(type);
  } else if (type == "multipart/alternative") {
    EncodeMultipart(type, true);
  } else {
    EncodeSingleAttachment();
  }
}

// 8-bit text is never sent as 7bit, which strict relays refuse.
bool TmsCustomEncoder::BodyIsQuotedPrintable() const {
  return message_.CharSet == csISO8859 || longLines_ || !message_.CustomCharSet.empty() ||
         bodyEightBit_;
}

void TmsCustomEncoder::WriteBody() {
  if (BodyIsQuotedPrintable()) {
    WriteQuotedPrintableBody();
  } else {
    WritePlainBody();
  }
}

void TmsCustomEncoder::WriteQuotedPrintableBody() {
  if (rtl::TStream* text = message_.BodyText()) {
    WriteQuotedPrintable(*text);
  } else {
    WriteLines(QuotedPrintableLines(message_.Body));
  }
}

// A body text's lines already end in CR LF: it is copied a block at a time, a line however long
// never held whole, with the dot that WriteLine would add.
void TmsCustomEncoder::WritePlainBody() {
  rtl::TStream* text = message_.BodyText();
  if (text == nullptr) {
    WriteLines({message_.Body.begin(), message_.Body.end()});
    return;
  }
  text->SetPosition(0);
  bool lineStart = true;
  char block[16384];
  for (size_t got; (got = text->Read(block, sizeof block)) > 0;) {
    size_t from = 0;
    for (size_t i = 0; i < got; ++i) {
      if (lineStart && block[i] == '.') {
        stream_.Write(block + from, i - from);
        stream_.Write(".", 1);
        from = i;
      }
      lineStart = block[i] == '\n';
    }
    stream_.Write(block + from, got - from);
  }
}

std::vector<std::string> TmsCustomEncoder::NamedTypeLines(const std::string& type,
                                                          const std::string& name) const {
  if (!NeedsExtendedName(name)) return {ContentTypeLine(type, "; name=" + QuotedString(name))};
  std::vector<std::string> lines{ContentTypeLine(type, ";")};
  if (!HasEightBit(name)) {
    lines.push_back(" name=" + QuotedString(name));
    return lines;
  }
  // Encoded words in a quoted string are no standard, but older readers know no other form.
  THeaderFolder folder(" name=\"", charset_);
  folder.AddEncoded(name);
  folder.Append("\"");
  lines.insert(lines.end(), folder.Lines().begin(), folder.Lines().end());
  return lines;
}

std::vector<std::string> TmsCustomEncoder::DispositionLines(const std::string& name) const {
  if (!NeedsExtendedName(name)) {
    return {"Content-Disposition: attachment; filename=" + QuotedString(name)};
  }
  return {"Content-Disposition: attachment;",
          " filename*=" + ExtendedParameterValue(name, HasEightBit(name) ? charset_ : "us-ascii")};
}

void TmsCustomEncoder::WriteTextPartHeaders(const std::string& contentType) {
  const std::string& charset = bodyEightBit_ ? charset_ : declaredCharset_;
  WriteLine(ContentTypeLine(contentType, "; charset=" + Quoted(charset)));
  WriteLine(BodyIsQuotedPrintable() ? "Content-Transfer-Encoding: quoted-printable"
                                    : "Content-Transfer-Encoding: 7bit");
}

void TmsCustomEncoder::EncodeText(const std::string& contentType) {
  WriteTextPartHeaders(contentType);
  WriteLine("");
  WriteBody();
}

void TmsCustomEncoder::EncodeHtmlBody(const std::string& contentType) {
  std::string line =
      contentType == "text/html" ? "Content-Type: text/html" : "Content-Type: text/rtf";
  const bool eightBit =
      IsHtmlOrRtfBodyAttachment(message_) ? htmlAttachmentEightBit_ : bodyEightBit_;
  if (eightBit) {
    line += "; charset=" + Quoted(charset_);
  } else if (message_.CharSet == csISO8859) {
    line += "; charset=" + Quoted("iso-8859-1");
  }
  WriteLine(line);
  WriteLine("Content-Transfer-Encoding: quoted-printable");
  WriteLine("");
  // A message whose only content is a "_htmbody.htm" or "_rtfbody.rtf" attachment carries that
  // attachment's content as its body.
  if (IsHtmlOrRtfBodyAttachment(message_)) {
    WriteQuotedPrintable(message_.Attachments.Items(0).Data());
  } else {
    WriteQuotedPrintableBody();
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
    WriteHeaderLines(NamedTypeLines(first.ContentType.str(), base));
  }
  WriteLine(std::string("Content-Transfer-Encoding: ") + EncodingToken(first.Encoding));
  if (!special) WriteHeaderLines(DispositionLines(base));
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
    // A saved attachment must equal its file: no line break added at its end or changed within.
    WriteQuotedPrintable(data, true);
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
  const bool hasBody = message_.HasBody();
  bool htm = !hasBody && firstName == "_htmbody.htm";
  bool rtf = !hasBody && firstName == "_rtfbody.rtf";
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
  if (hasBody) {
    WriteTextPartHeaders("text/plain");
    WriteLine("");
    WriteBody();
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
    if (named) {
      WriteHeaderLines(NamedTypeLines(item.ContentType.str(), base));
    } else {
      WriteLine(ContentTypeLine(item.ContentType.str()));
    }
    WriteLine(std::string("Content-Transfer-Encoding: ") + EncodingToken(item.Encoding));
    if (named) WriteHeaderLines(DispositionLines(base));
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
  WritePlainBody();
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
    const std::string name = address.Name.str();
    const std::string suffix = i + 1 < list.Count() ? "," : "";
    const std::string prefix = i == 0 ? label : std::string(10, ' ');
    if (i == 0 && DisplayName(name) == name && !HasEightBit(name)) {
      WriteLine(rtl::BoundedString(label + name + " <" + address.Address.str() + ">" + suffix));
    } else {
      WriteHeaderLines(AddressLines(prefix, address, suffix));
    }
  }
}

void TmsMessageEncoder::WriteHeaders() {
  const std::string address = mail_.Sender.Address.str();
  WriteHeaderLines(AddressLines("From:     ", mail_.Sender, ""));
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
