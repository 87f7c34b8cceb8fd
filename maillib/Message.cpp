#include "maillib/Message.h"

#include "maillib/Encoder.h"
#include "maillib/MailTexts.h"
#include "rtl/Paths.h"

namespace maillib {
namespace {

bool OnlyAttachmentNamed(const TmsCustomMessage& m, const char* name) {
  return m.Attachments.Count() == 1 && rtl::LowerCase(BaseName(m.Attachments.Items(0))) == name;
}

}  // namespace

std::string BaseName(const TmsAttItem& item) { return rtl::ExtractFileName(item.FileName.str()); }

TmsCustomMessage::~TmsCustomMessage() {
  auto notifications = std::move(freeNotifications_);
  for (auto& [who, onFree] : notifications) onFree();
}

void TmsCustomMessage::AddFreeNotification(const void* who, std::function<void()> onFree) {
  RemoveFreeNotification(who);
  freeNotifications_.emplace_back(who, std::move(onFree));
}

void TmsCustomMessage::RemoveFreeNotification(const void* who) {
  std::erase_if(freeNotifications_, [who](const auto& entry) { return entry.first == who; });
}

bool TmsCustomMessage::HasBody() const {
  if (!bodyText_) return Body.Count() > 0;
  bodyText_->SetPosition(0);
  char first;
  return bodyText_->Read(&first, 1) > 0;
}

std::string TmsCustomMessage::ContentType() const {
  if (!DetermineContentType) return contentType_;
  std::string type;
  const int count = Attachments.Count();
  bool allAlternatives = count > 0;
  for (int i = 0; i < count; ++i) {
    allAlternatives =
        allAlternatives && rtl::LowerCase(BaseName(Attachments.Items(i))).starts_with("_alt.");
  }
  if (Encoding == meUU) {
    type = "";
  } else if (allAlternatives) {
    type = "multipart/alternative";
  } else if (!HasBody() && OnlyAttachmentNamed(*this, "_rtfbody.rtf")) {
    type = "text/rtf";
  } else if (!HasBody() && OnlyAttachmentNamed(*this, "_htmbody.htm")) {
    type = "text/html";
  } else if (!HasBody()) {
    type = count == 1   ? Attachments.Items(0).ContentType.str()
           : count == 0 ? "text/plain"
                        : "multipart/mixed";
  } else if (count > 0) {
    type = "multipart/mixed";
  } else {
    type = contentType_.empty() ? "text/plain" : contentType_.str();
  }
  contentType_ = type;
  return contentType_;
}

void TmsCustomMessage::SetContentType(std::string_view contentType) {
  contentType_ = rtl::LowerCase(contentType);
}

void TmsCustomMessage::SetAttachments(const TmsAttList& attachments) {
  Attachments.Assign(attachments);
  contentType_ = Attachments.Count() > 0 ? "multipart/mixed" : "text/plain";
}

void TmsCustomMessage::Clear() {
  Body.Clear();
  bodyText_.reset();
  Attachments.Clear();
  Sender.Clear();
  Headers.Clear();
  Subject = "";
  Encoding = meMIME;
  CharSet = csUSASCII;
  Composed = false;
  contentType_ = "";
}

void TmsCustomMessage::Assign(const TmsCustomMessage& other) {
  if (&other == this) return;
  Sender.Assign(other.Sender);
  Subject = other.Subject;
  Encoding = other.Encoding;
  CharSet = other.CharSet;
  Composed = other.Composed;
  Headers = other.Headers;
  Body = other.Body;
  bodyText_.reset();
  if (other.bodyText_) {
    Body.Clear();
    rtl::ForEachLine(*other.bodyText_, [this](const std::string& line) { Body.Add(line); });
  }
  Attachments.Assign(other.Attachments);
  contentType_ = other.ContentType();
}

void TmsMessage::Validate() {
  // A message composed elsewhere may have the null sender, as notifications of delivery have.
  if (Sender.Address.empty() && !Composed) throw EMessageError(MailText(kSenderRequired));
  for (const TmsAddressList* list : {&Recipients, &CC, &BCC}) {
    for (int i = 0; i < list->Count(); ++i) {
      if (!list->Items(i).Address.empty()) return;
    }
  }
  throw EMessageError(MailText(kRecipientRequired));
}

void TmsMessage::EncodeToStream(rtl::TStream& stream) { TmsMessageEncoder(*this, stream).Encode(); }

void TmsMessage::Clear() {
  TmsCustomMessage::Clear();
  Recipients.Clear();
  CC.Clear();
  BCC.Clear();
}

void TmsMessage::Assign(const TmsCustomMessage& other) {
  TmsCustomMessage::Assign(other);
  if (const auto* mail = dynamic_cast<const TmsMessage*>(&other); mail != nullptr && mail != this) {
    Recipients.Assign(mail->Recipients);
    CC.Assign(mail->CC);
    BCC.Assign(mail->BCC);
    Priority = mail->Priority;
    ReturnReceipt = mail->ReturnReceipt;
  }
}

void TmsArticle::Validate() {
  if (NewsGroups.empty()) throw EMessageError(MailText(kNewsgroupRequired));
  if (Subject.empty()) throw EMessageError(MailText(kSubjectRequired));
}

void TmsArticle::EncodeToStream(rtl::TStream& stream) { TmsArticleEncoder(*this, stream).Encode(); }

void TmsArticle::Clear() {
  TmsCustomMessage::Clear();
  NewsGroups.clear();
  Path.clear();
  MessageId.clear();
}

void TmsArticle::Assign(const TmsCustomMessage& other) {
  TmsCustomMessage::Assign(other);
  if (const auto* article = dynamic_cast<const TmsArticle*>(&other); article != nullptr) {
    NewsGroups = article->NewsGroups;
    Path = article->Path;
    MessageId = article->MessageId;
  }
}

}  // namespace maillib
