#include "maillib/MailTexts.h"

#include <map>

namespace maillib {

std::string MailText(int id) {
  static const std::map<int, const char*> texts = {
      {kSenderRequired, "The address of sender is required"},
      {kRecipientRequired, "At least one Recipient, CC or BCC must be entered"},
      {kMailMessageRequired, "MailMessage property must be assigned"},
      {kUnableToRetrieveHeaders, "Unable to retrieve headers"},
      {kMissingContentType, "Missing required field: Content-Type"},
      {kNoClosingBoundary, "Cannot find closing boundary"},
      {kNoBoundary, "Cannot find boundary"},
      {kAttachmentDecodeError, "Error decoding the attachment"},
      {kNewsgroupRequired, "Newsgroup header is required"},
      {kSubjectRequired, "Subject header is required"},
  };
  auto it = texts.find(id);
  return it != texts.end() ? it->second : "Error #" + std::to_string(id);
}

}  // namespace maillib
