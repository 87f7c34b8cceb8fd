// The numbered texts of the mail classes (57100 to 57118); a number without a text reads
// "Error #" followed by the number.
#pragma once

#include <string>

namespace maillib {

inline constexpr int kSenderRequired = 57100;
inline constexpr int kRecipientRequired = 57101;
inline constexpr int kMailMessageRequired = 57102;
inline constexpr int kUnableToRetrieveHeaders = 57107;
inline constexpr int kMissingContentType = 57108;
inline constexpr int kNoClosingBoundary = 57109;
inline constexpr int kNoBoundary = 57110;
inline constexpr int kAttachmentDecodeError = 57111;
inline constexpr int kNewsgroupRequired = 57115;
inline constexpr int kSubjectRequired = 57116;

std::string MailText(int id);

}  // namespace maillib
