// The composer: turns a message component into the exact text of the SMTP data phase, an
// RFC 822 header block followed by a plain, quoted-printable, multipart MIME or uuencoded body.
// Every line ends in CR LF, and every line that begins with "." gets one more "." in front, so
// the text can go into the data phase as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "maillib/Message.h"

namespace maillib {

class TmsCustomEncoder {
 public:
  TmsCustomEncoder(TmsCustomMessage& message, rtl::TStream& stream);
  virtual ~TmsCustomEncoder() = default;

  void Encode();

 protected:
  virtual void WriteHeaders() = 0;

  void WriteLine(std::string_view line);
  void WriteLines(const std::vector<std::string>& lines);
  // Header lines, each longer than RFC 5322 allows folded or cut.
  void WriteHeaderLines(const std::vector<std::string>& lines);
  // "prefix name <address>suffix": the name quoted or encoded as it needs.
  std::vector<std::string> AddressLines(const std::string& prefix, const TmsMailAddress& address,
                                        const std::string& suffix) const;
  // exact: the bytes decode back unchanged (see TQuotedPrintable::Exact).
  void WriteQuotedPrintable(rtl::TStream& bytes, bool exact = false);
  // Removes from the message's Headers the fields the composer writes itself.
  void RemoveOwnFields();
  // The remaining extra header lines, the Subject line and the MIME version line.
  void WriteCommonHeaders();

 private:
  void DetermineCharset();
  bool BodyIsQuotedPrintable() const;
  void ScanBodyText(rtl::TStream& text);
  // The body lines as sent: quoted-printable or as they are.
  void WriteBody();
  void WriteQuotedPrintableBody();
  void WritePlainBody();
  // The Content-Type line of a named attachment and its Content-Disposition line.
  std::vector<std::string> NamedTypeLines(const std::string& type, const std::string& name) const;
  std::vector<std::string> DispositionLines(const std::string& name) const;
  void WriteTextPartHeaders(const std::string& contentType);
  void EncodeText(const std::string& contentType);
  void EncodeHtmlBody(const std::string& contentType);
  void EncodeSingleAttachment();
  void EncodeAttachmentContent(TmsAttItem& item);
  void EncodeMultipart(const std::string& contentType, bool alternative);
  void EncodeUU();

  TmsCustomMessage& message_;
  rtl::TStream& stream_;
  bool longLines_ = false;
  bool bodyEightBit_ = false;
  bool bodyUtf8_ = true;
  bool htmlAttachmentEightBit_ = false;
  // The charset the message declares (CustomCharSet, or the one CharSet names), and the one its
  // 8-bit text is labelled and encoded in: the declared one unless that is us-ascii.
  std::string declaredCharset_;
  std::string charset_;

 protected:
  TmsCustomMessage& Message() { return message_; }
};

class TmsMessageEncoder : public TmsCustomEncoder {
 public:
  TmsMessageEncoder(TmsMessage& message, rtl::TStream& stream)
      : TmsCustomEncoder(message, stream), mail_(message) {}

 protected:
  void WriteHeaders() override;

 private:
  void WriteAddressField(std::string_view name, const TmsAddressList& list);
  TmsMessage& mail_;
};

class TmsArticleEncoder : public TmsCustomEncoder {
 public:
  TmsArticleEncoder(TmsArticle& article, rtl::TStream& stream)
      : TmsCustomEncoder(article, stream), article_(article) {}

 protected:
  void WriteHeaders() override;

 private:
  TmsArticle& article_;
};

// A display name as written in From, To and CC when it is plain ASCII: a quoted string when it
// holds a special character, since readers would otherwise split or misread the address.
std::string DisplayName(const std::string& name);

}  // namespace maillib
