// The message components: TmsMessage (mail) and TmsArticle (news) hold one outgoing message as
// properties; EncodeToStream composes it as RFC 822 / MIME text (see Encoder.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "maillib/Attachments.h"
#include "maillib/Headers.h"
#include "maillib/MailAddress.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"

namespace maillib {

RTL_EXCEPTION_CLASS(EMessageError, rtl::Exception);

enum TMsgEncoding : uint8_t { meMIME = 0, meUU = 1 };
enum TCharSet : uint8_t { csUSASCII = 0, csISO8859 = 1 };
// Stored as a byte: values other than these pass through and write no X-Priority line.
enum TPriority : uint8_t { ptLow = 0, ptNormal = 1, ptHigh = 2 };

class TmsCustomMessage {
 public:
  TmsCustomMessage() = default;
  TmsCustomMessage(const TmsCustomMessage&) = delete;
  TmsCustomMessage& operator=(const TmsCustomMessage&) = delete;
  // Tells every component that refers to the message that it is gone.
  virtual ~TmsCustomMessage();

  // A component that refers to the message asks to be told when it is destroyed.
  void AddFreeNotification(const void* who, std::function<void()> onFree);
  void RemoveFreeNotification(const void* who);

  TmsMailAddress Sender;
  rtl::ShortString Subject;
  TMsgEncoding Encoding = meMIME;
  TCharSet CharSet = csUSASCII;
  TmsHeaders Headers;
  rtl::TStringList Body;
  TmsAttList Attachments;
  std::string CustomCharSet;
  bool DetermineContentType = true;
  bool RemoveRRHeader = true;
  // The body is the whole message, its header block included, as its author wrote it: it goes
  // out as it is, with only the data phase's dots added, and nothing is composed around it.
  bool Composed = false;

  // A body read from a stream each time the message is composed, in place of Body when set: its
  // text, every line followed by CR LF. A queued body of any size then costs only a buffer.
  void SetBodyText(std::unique_ptr<rtl::TStream> text) { bodyText_ = std::move(text); }
  rtl::TStream* BodyText() const { return bodyText_.get(); }
  // Whether the body has a line at all.
  bool HasBody() const;

  // The top-level content type: derived from the body and the attachments (and stored) while
  // DetermineContentType is on, else the stored value.
  std::string ContentType() const;
  void SetContentType(std::string_view contentType);  // stored lower-cased
  // Copies of the given items; the stored type becomes multipart/mixed or text/plain.
  void SetAttachments(const TmsAttList& attachments);

  virtual void Validate() = 0;
  virtual void EncodeToStream(rtl::TStream& stream) = 0;
  // Fills the message from a received message text (see Decoder.h). The message is not cleared
  // first: address lists are appended to.
  virtual void DecodeFromStream(rtl::TStream& stream) = 0;
  // Takes the fields of a received header block.
  virtual void ParseHeaders(const TmsHeaders& headers) = 0;
  virtual void Clear();
  virtual void Assign(const TmsCustomMessage& other);

 private:
  mutable rtl::ShortString contentType_ = "text/plain";
  std::unique_ptr<rtl::TStream> bodyText_;
  std::vector<std::pair<const void*, std::function<void()>>> freeNotifications_;
};

class TmsMessage : public TmsCustomMessage {
 public:
  TmsAddressList Recipients;
  TmsAddressList CC;
  TmsAddressList BCC;
  bool ReturnReceipt = false;
  TPriority Priority = ptNormal;

  // EMessageError when there is no sender address or no recipient address at all.
  void Validate() override;
  void EncodeToStream(rtl::TStream& stream) override;
  void DecodeFromStream(rtl::TStream& stream) override;
  void ParseHeaders(const TmsHeaders& headers) override;
  void Clear() override;
  void Assign(const TmsCustomMessage& other) override;
};

class TmsArticle : public TmsCustomMessage {
 public:
  std::string NewsGroups;
  // Filled only from a received article.
  std::string Path;
  std::string MessageId;

  void Validate() override;
  void EncodeToStream(rtl::TStream& stream) override;
  void DecodeFromStream(rtl::TStream& stream) override;
  void ParseHeaders(const TmsHeaders& headers) override;
  void Clear() override;
  void Assign(const TmsCustomMessage& other) override;
};

// The file name an attachment is written under: its path's last component.
std::string BaseName(const TmsAttItem& item);

}  // namespace maillib
