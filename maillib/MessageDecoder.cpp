#include "maillib/MessageDecoder.h"

#include "maillib/AddressFields.h"
#include "maillib/HeaderFields.h"
#include "maillib/HeaderText.h"

namespace maillib {
namespace {

// Kept header lines lose every field the composer writes itself and every Bcc field, all of
// their occurrences: a second Bcc line must never reach the recipients when the message is sent
// on.
TmsHeaders KeptHeaders(const TmsHeaders& headers) {
  return WithoutFields(headers, {"From", "To", "CC", "BCC", "Return-Receipt-To", "X-Priority",
                                 "Subject", "Mime-Version", "Content-Type", "X-Encoding",
                                 "Content-Transfer-Encoding", "Content-Disposition", "Newsgroups"});
}

// Encoded words are read as RFC 2047 has them (either case of the encoding letter, the blank
// before a plain word kept), so a subject from any writer reads as it was written; a long one is
// cut before a character, never inside it.
void TakeSubject(const TmsHeaders& headers, rtl::ShortString& subject) {
  std::vector<std::string> values = RawFieldValues(headers, "Subject");
  if (values.empty() || values.front().empty()) return;
  subject = std::string(Utf8Prefix(DecodePhrase(values.front()), rtl::kShortStringLength));
}

void TakeSender(const TmsHeaders& headers, TmsMailAddress& sender) {
  std::vector<std::string> from = RawFieldValues(headers, "From");
  if (from.empty()) return;
  std::vector<std::string> items = SplitAddressList(from.front());
  if (!items.empty()) ParseRawAddress(items.front(), sender);
}

}  // namespace

void TmsMessage::DecodeFromStream(rtl::TStream& stream) {
  TmsMessageDecoder decoder(*this);
  decoder.LoadFromStream(stream);
  decoder.Decode();
}

void TmsMessage::ParseHeaders(const TmsHeaders& headers) {
  TakeSender(headers, Sender);
  AddFieldAddresses(headers, "To", Recipients);
  AddFieldAddresses(headers, "CC", CC);
  AddFieldAddresses(headers, "BCC", BCC);
  TakeSubject(headers, Subject);
  const std::string priority = headers.GetFieldValue("X-Priority");
  Priority = priority == "1" ? ptHigh : priority == "5" ? ptLow : ptNormal;
  ReturnReceipt = !headers.GetFieldValue("Return-receipt-to").empty();
  Headers = KeptHeaders(headers);
}

void TmsArticle::DecodeFromStream(rtl::TStream& stream) {
  TmsArticleDecoder decoder(*this);
  decoder.LoadFromStream(stream);
  decoder.Decode();
}

void TmsArticle::ParseHeaders(const TmsHeaders& headers) {
  TakeSender(headers, Sender);
  Path = headers.GetFieldValue("PATH");
  NewsGroups = headers.GetFieldValue("NEWSGROUPS");
  MessageId = headers.GetFieldValue("MESSAGE-ID");
  TakeSubject(headers, Subject);
  Headers = KeptHeaders(headers);
}

}  // namespace maillib
