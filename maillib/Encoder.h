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
  void WriteQuotedPrintable(rtl::TStream& bytes);
  // Removes from the message's Headers the fields the composer writes itself.
  void RemoveOwnFields();
  // The remaining extra header lines, the Subject line and the MIME version line.
  void WriteCommonHeaders();

 private:
  std::vector<std::string> PrepareBody();
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

// The display name as written in From, To and CC: quoted when it holds a "." and no quote.
std::string DisplayName(const std::string& name);

}  // namespace maillib
