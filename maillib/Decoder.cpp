#include "maillib/Decoder.h"

#include <algorithm>

#include "maillib/HeaderFields.h"
#include "maillib/MailTexts.h"
#include "maillib/PartNames.h"
#include "maillib/QuotedPrintable.h"
#include "maillib/codecs.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

[[noreturn]] void Fail(int textId) { throw EMessageParserError(MailText(textId)); }

std::string TrimBlanksRight(std::string_view line) {
  size_t end = line.find_last_not_of(" \t");
  return std::string(line.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

// Trailing blanks after a delimiter are transport padding (RFC 2046 5.1.1).
bool IsDelimiter(std::string_view line, std::string_view delimiter) {
  return TrimBlanksRight(line) == delimiter;
}

bool IsCloseDelimiter(std::string_view line, std::string_view delimiter) {
  const std::string text = TrimBlanksRight(line);
  return text.size() == delimiter.size() + 2 && text.starts_with(delimiter) && text.ends_with("--");
}

std::string BareType(const std::string& contentType) {
  return rtl::LowerCase(FirstToken(contentType));
}

std::string TransferEncoding(const TmsHeaders& headers) {
  return rtl::LowerCase(rtl::Trim(headers.GetFieldValue("Content-Transfer-Encoding")));
}

// The bytes of quoted-printable lines.
std::string QuotedPrintableBytes(const rtl::TStringList& lines) {
  rtl::TMemoryStream stream;
  TQuotedPrintable(&stream, const_cast<rtl::TStringList*>(&lines)).Decode();
  return stream.Data();
}

// The line break before a delimiter belongs to the delimiter (RFC 2046 5.1.1), so a part's
// content does not gain the empty line the writer puts before it.
void DropDelimiterBreak(std::string& content) {
  if (content.ends_with("\r\n")) content.resize(content.size() - 2);
}

std::string Joined(const rtl::TStringList& lines) {
  std::string text;
  for (int i = 0; i < lines.Count(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  return text;
}

}  // namespace

bool IsMimeVersion10(std::string_view value) {
  std::string bare;
  int comment = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (comment > 0 && c == '\\') {
      ++i;
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment > 0) {
      --comment;
    } else if (comment == 0 && c != ' ' && c != '\t') {
      bare += c;
    }
  }
  return bare == "1.0";
}

bool IsUUBegin(std::string_view line) {
  if (line.size() <= 8 || rtl::UpperCase(line.substr(0, 5)) != "BEGIN") return false;
  try {
    rtl::StrToInt(rtl::Trim(line.substr(5)).substr(0, 3));
    return true;
  } catch (const rtl::EConvertError&) {
    return false;
  }
}

std::string UUFileName(std::string_view line) {
  std::string_view name = line.size() > 10 ? line.substr(10) : std::string_view();
  if (!name.starts_with('"')) return std::string(name);
  size_t close = name.find('"', 1);
  return close == std::string_view::npos ? "" : std::string(name.substr(1, close - 1));
}

void TmsCustomDecoder::LoadFromStream(rtl::TStream& stream) {
  if (stream.Size() > kMaxMessageSize) throw EMessageParserError(kMessageTooLarge);
  stream.SetPosition(0);
  reader_.CopyFrom(stream, 0);
  reader_.Reset();
  pending_.reset();
}

std::string TmsCustomDecoder::ReadLine() {
  if (pending_) {
    std::string line = std::move(*pending_);
    pending_.reset();
    return line;
  }
  return reader_.ReadLine();
}

int TmsCustomDecoder::LevelEndedBy(std::string_view line) const {
  if (!line.starts_with("--")) return -1;
  for (size_t level = levels_.size(); level-- > 0;) {
    const std::string& delimiter = levels_[level].delimiter;
    if (IsDelimiter(line, delimiter) || IsCloseDelimiter(line, delimiter)) {
      return static_cast<int>(level);
    }
  }
  return -1;
}

bool TmsCustomDecoder::EndsPart(std::string_view line) const {
  return Exhausted() || LevelEndedBy(line) >= 0;
}

// A text whose first line is neither a header field nor a continuation has no header block: it
// is all body, as "echo done | sendmail admin" sends it. A leading mbox "From " line is no field.
void TmsCustomDecoder::ReadHeaders(TmsHeaders& list) {
  list.Clear();
  std::string line = ReadLine();
  if (&list == &MessageHeaders && line.starts_with("From ")) line = ReadLine();
  if (!Exhausted() && !line.empty() && line != kEndOfData && !IsHeaderFieldLine(line) &&
      !IsContinuationLine(line)) {
    pending_ = std::move(line);
    return;
  }
  while (!line.empty() && line != kEndOfData) {
    list.Add(std::move(line));
    line = ReadLine();
  }
  if (line == kEndOfData && !Exhausted()) Fail(kUnableToRetrieveHeaders);
}

void TmsCustomDecoder::Decode() {
  ReadHeaders(MessageHeaders);
  ParseHeaders(MessageHeaders);
  try {
    // A version with a comment is still 1.0, and a Content-Type without any MIME-Version is MIME
    // all the same, as every reader takes it: otherwise the reader sees the raw MIME source.
    const std::string version = MessageHeaders.GetFieldValue("MIME-VERSION");
    if (version.empty() ? MessageHeaders.GetFieldValue("Content-Type").empty()
                        : !IsMimeVersion10(version)) {
      DecodePlain();
    } else {
      DecodeMime();
    }
  } catch (const EMessageParserError& error) {
    StoreUndecodable(error.Message());
  }
  rtl::TStringList& body = target_.Body;
  if (body.Count() > 0 && body[body.Count() - 1] == ".") body.Delete(body.Count() - 1);
}

void TmsCustomDecoder::StoreUndecodable(const std::string& errorText) {
  target_.Body.Add("The following error has been occured while processing the message:");
  target_.Body.Add(errorText);
  target_.Body.Add("The original message will be stored as an attachment");
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName("original.eml");
  item->Encoding = ae7Bit;
  item->ContentType = "message/rfc822";
  item->SetBytes(reader_.Data());
  target_.Attachments.Add(std::move(item));
}

void TmsCustomDecoder::DecodeMime() {
  if (MessageHeaders.GetFieldValue("X-Mailer") == "V Mailsystem R #0001") {
    MessageHeaders.RemoveField("Content-Type");  // that gateway writes a wrong one
  }
  const std::string contentType = MessageHeaders.GetFieldValue("Content-type");
  // The kind is read from the bare type only, never from a parameter that happens to hold it.
  const std::string type = BareType(contentType);
  const std::string name = ParameterValue(contentType, "name");
  if (type.starts_with("multipart/")) {
    DecodeMultipart(contentType);
  } else if (!type.empty() && !type.starts_with("text/")) {
    DecodeSinglePart();
  } else if (!name.empty() && name != "cc:Mail") {
    DecodeSinglePart();
  } else {
    DecodeText();
  }
}

std::string TmsCustomDecoder::DecodeMultipart(const std::string& contentType) {
  const std::string boundary = ParameterValue(contentType, "boundary");
  if (boundary.empty()) Fail(kNoBoundary);
  const std::string type = BareType(contentType);
  const std::string delimiter = "--" + boundary;
  levels_.push_back({delimiter, type == "multipart/alternative"});
  const int own = static_cast<int>(levels_.size()) - 1;
  auto endsEnclosing = [this, own](std::string_view line) {
    const int level = LevelEndedBy(line);
    return level >= 0 && level < own;
  };
  std::string line = ReadLine();
  for (; !IsDelimiter(line, delimiter); line = ReadLine()) {
    if (Exhausted() || endsEnclosing(line)) Fail(kNoBoundary);
  }
  for (;;) {
    PumpMessages();
    ReadHeaders(PartHeaders);
    line = DecodePart(type);
    const int level = LevelEndedBy(line);
    if (level == own && IsDelimiter(line, delimiter)) continue;
    if (level == own) {
      // What follows the closing delimiter is no part, up to a delimiter of an enclosing one.
      do {
        line = ReadLine();
      } while (!Exhausted() && !endsEnclosing(line));
    }
    break;
  }
  levels_.pop_back();
  if (Exhausted() && !levels_.empty()) Fail(kNoClosingBoundary);
  return line;
}

std::string TmsCustomDecoder::DecodePart(const std::string& parentType) {
  const std::string contentType = PartHeaders.GetFieldValue("Content-Type");
  // The parts of a digest are messages unless they say otherwise (RFC 2046 5.1.5).
  const std::string defaultType =
      parentType == "multipart/digest" ? "message/rfc822" : "text/plain";
  const std::string type = contentType.empty() ? defaultType : BareType(contentType);
  if (type.starts_with("multipart/") && levels_.size() < kMaxMultipartDepth &&
      !ParameterValue(contentType, "boundary").empty()) {
    return DecodeMultipart(contentType);
  }
  const std::string disposition = PartHeaders.GetFieldValue("Content-Disposition");
  const bool shown = PartFileName(contentType, disposition).empty() &&
                     rtl::LowerCase(FirstToken(disposition)) != "attachment";
  const bool firstLeaf = !leafSeen_;
  leafSeen_ = true;
  // Only the first plain text shown inline is the body, at whatever depth: the one an
  // alternative or a signature wraps, never a footer or a quoted text after it. In Base64 it is
  // no body the composer can carry line for line, and stays an attachment.
  if (type == "text/plain" && shown && !bodySeen_) {
    bodySeen_ = true;
    if (TransferEncoding(PartHeaders) != "base64") return DecodeBodyPart(contentType);
  }
  // An HTML text that opens the message outside any alternative is its HTML body, which the
  // composer carries as the attachment "_htmbody.htm".
  const bool htmlBody =
      firstLeaf && type == "text/html" && shown &&
      std::none_of(levels_.begin(), levels_.end(), [](const TLevel& l) { return l.alternative; });
  return DecodeAttachment(PartHeaders, false, defaultType, htmlBody);
}

std::string TmsCustomDecoder::DecodeBodyPart(const std::string& contentType) {
  const std::string encoding = TransferEncoding(PartHeaders);
  rtl::TStringList lines;
  std::string line;
  for (line = ReadLine(); !EndsPart(line); line = ReadLine()) lines.Add(line);
  std::string content =
      encoding == "quoted-printable" ? QuotedPrintableBytes(lines) : Joined(lines);
  if (encoding == "quoted-printable" && !Exhausted()) DropDelimiterBreak(content);
  target_.Body.SetText(content);
  if (target_.Body.Count() == 0) target_.Body.Add("");
  TakeCharset(contentType);
  target_.SetContentType("text/plain");
  if (Exhausted()) Fail(kNoBoundary);
  return line;
}

// The part's charset becomes the message's: iso-8859-1 as CharSet, any other as CustomCharSet.
void TmsCustomDecoder::TakeCharset(const std::string& contentType) {
  const std::string charset = rtl::LowerCase(ParameterValue(contentType, "charset"));
  if (charset == "iso-8859-1") {
    target_.CharSet = csISO8859;
  } else if (!charset.empty() && charset != "us-ascii") {
    target_.CustomCharSet = charset;
  }
}

std::string TmsCustomDecoder::DecodeAttachment(const TmsHeaders& headers, bool singlePart,
                                               const std::string& defaultType, bool htmlBody) {
  auto item = std::make_unique<TmsAttItem>();
  const std::string declared = headers.GetFieldValue("Content-type");
  const std::string contentType = declared.empty() ? defaultType : declared;
  const std::string disposition = headers.GetFieldValue("Content-Disposition");
  const std::string name = htmlBody ? "_htmbody.htm" : PartFileName(contentType, disposition);
  item->SetFileName(name);
  // The type the part declares is its type, whatever its name would suggest.
  if (!declared.empty() || name.empty()) item->ContentType = FirstToken(contentType);
  const std::string encodingName = TransferEncoding(headers);
  const bool uu = encodingName.starts_with("x-uue");
  const TAttEncoding encoding = encodingName == "base64" || uu       ? aeBase64
                                : encodingName == "quoted-printable" ? aeQuotedPrintable
                                                                     : ae7Bit;
  item->Encoding = encoding;
  if (name.empty()) {
    const std::string type = item->ContentType.str();
    const bool alternative = !singlePart && !levels_.empty() && levels_.back().alternative;
    item->SetFileName((alternative ? "_alt." : "att.") +
                      std::to_string(target_.Attachments.Count()));
    item->Encoding = encoding;
    item->ContentType = type;
  }
  std::string line;
  try {
    std::string bytes;
    rtl::TStringList lines;
    TBase64Decoder base64;
    if (encoding == aeBase64 && !uu) base64.Reserve(Unread());
    for (line = ReadLine(); !(singlePart ? Exhausted() : EndsPart(line)); line = ReadLine()) {
      if (encoding != aeBase64) {
        lines.Add(line);
        continue;
      }
      const std::string text = TrimBlanksRight(line);
      if (singlePart && text == ".") break;
      if (!uu) {
        base64.Feed(text);
      } else if (!text.empty() && !IsUUBegin(text) && text != "`" && text != "end") {
        bytes += UUDecodeLine(text);
      }
    }
    if (encoding == aeBase64 && !uu) {
      bytes = base64.TakeBytes();
    } else if (encoding == aeQuotedPrintable) {
      bytes = QuotedPrintableBytes(lines);
      if (!singlePart && !Exhausted()) DropDelimiterBreak(bytes);
    } else if (encoding == ae7Bit) {
      bytes = Joined(lines);
      if (singlePart || Exhausted()) bytes += lines.Count() > 0 ? "\r\n" : "";
    }
    item->SetBytes(bytes);
  } catch (const std::exception&) {
    Fail(kAttachmentDecodeError);
  }
  target_.Attachments.Add(std::move(item));
  return line;
}

void TmsCustomDecoder::DecodeSinglePart() {
  if (MessageHeaders.GetFieldValue("Content-type").empty()) Fail(kMissingContentType);
  DecodeAttachment(MessageHeaders, true, "", false);
}

void TmsCustomDecoder::DecodeText() {
  const std::string contentType = MessageHeaders.GetFieldValue("Content-Type");
  const std::string type = BareType(contentType);
  if (type == "text/html" || type == "text/rtf") target_.SetContentType(type);
  target_.Body.Clear();
  TakeCharset(contentType);
  const std::string encoding = TransferEncoding(MessageHeaders);
  if (encoding == "base64") {
    TBase64Decoder base64;
    base64.Reserve(Unread());
    for (std::string line = ReadLine(); !Exhausted(); line = ReadLine()) base64.Feed(line);
    if (const std::string bytes = base64.TakeBytes(); !bytes.empty()) target_.Body.SetText(bytes);
    return;
  }
  rtl::TStringList lines;
  // Quoted-printable lines are not the text yet: a soft line break can put "begin 644" at the
  // start of one, and that is no uuencoded file.
  const bool plain = encoding != "quoted-printable";
  for (std::string line = ReadLine(); !Exhausted(); line = ReadLine()) {
    if (plain && IsUUBegin(line)) {
      // A uuencoded file in a text message: read again from the start as plain text. The
      // header fields were taken already, so no recipient is added a second time.
      reader_.Reset();
      pending_.reset();
      ReadHeaders(MessageHeaders);
      for (const char* field : {"MIME-VERSION", "CONTENT-TYPE", "CONTENT-TRANSFER-ENCODING"}) {
        MessageHeaders.RemoveField(field);
      }
      DecodePlain();
      return;
    }
    lines.Add(line);
  }
  if (encoding == "quoted-printable") {
    target_.Body.SetText(QuotedPrintableBytes(lines));
  } else {
    for (const std::string& line : lines) target_.Body.Add(line);
  }
}

void TmsCustomDecoder::DecodePlain() {
  for (std::string line = ReadLine(); !Exhausted(); line = ReadLine()) {
    if (IsUUBegin(line)) {
      target_.Encoding = meUU;
      DecodeUUSections(std::move(line));
      return;
    }
    target_.Body.Add(std::move(line));
  }
}

void TmsCustomDecoder::DecodeUUSections(std::string beginLine) {
  while (!Exhausted()) {
    auto item = std::make_unique<TmsAttItem>();
    std::string name = IncomingName(UUFileName(beginLine));
    item->SetFileName(name.empty() ? "att." + std::to_string(target_.Attachments.Count()) : name);
    try {
      std::string bytes;
      for (std::string line = TrimBlanksRight(ReadLine());
           !Exhausted() && line != "`" && rtl::UpperCase(line) != "END";
           line = TrimBlanksRight(ReadLine())) {
        if (!line.empty()) bytes += UUDecodeLine(line);
      }
      item->SetBytes(bytes);
    } catch (const std::exception&) {
      Fail(kAttachmentDecodeError);
    }
    target_.Attachments.Add(std::move(item));
    do {
      beginLine = ReadLine();
    } while (!Exhausted() && !IsUUBegin(beginLine));
  }
}

}  // namespace maillib
