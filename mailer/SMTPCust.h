// TCustomMailer: one queued message turned into a composed mail message and handed to the SMTP
// client, with a one-line Summary and the text of the last failure in LastResp. Its properties
// are exactly what a queued message's .ini stores (QueueFile.cpp reads and writes them).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "maillib/MailAddress.h"
#include "maillib/Message.h"
#include "net/mssmtp.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"

namespace mailer {

RTL_EXCEPTION_CLASS(EFileError, rtl::Exception);
RTL_EXCEPTION_CLASS(EEmptyFromAddress, rtl::Exception);
RTL_EXCEPTION_CLASS(ERelaySettingsError, rtl::Exception);

// A recipient the relay refused, with the relay's reply line.
struct TRefusedRecipient {
  std::string Address;
  std::string Reply;
  bool operator==(const TRefusedRecipient&) const = default;
};

class TQueuedBody;

// The FromAddress of a composed message whose envelope has the null sender (MAIL FROM:<>).
inline constexpr const char* kNullSender = "<>";

class TCustomMailer {
 public:
  std::string RemoteHost;
  int32_t TimeOut = 45;
  std::string FromName;
  std::string FromAddress;
  std::string ReplyTo;
  std::string Subject;
  std::string LastResp;
  std::string Organization;
  std::string DateTime;
  std::string PGPPath;
  std::string PGPParams;
  int32_t PGPTimeOut = 45;
  std::string ContentType;
  std::string CustomCharSet;
  int16_t Encoding = 2;
  int16_t CharSet = 1;
  uint8_t Priority = 3;
  uint16_t WordWrapLength = 70;
  maillib::TmsAddressList ToList;
  maillib::TmsAddressList CcList;
  maillib::TmsAddressList BccList;
  rtl::TStringList ExtraHdrs;
  rtl::TStringList Attachments;
  bool Urgent = false;
  bool ConfirmRead = false;
  bool ReturnReceipt = false;
  bool WordWrap = false;
  bool UseMSMailHeaders = true;
  bool SuppressMsgBody = true;
  bool IgnoreRecipientErrors = true;
  // The body holds the whole message, header block and all, as its author wrote it: it is sent
  // as it is to the recipient lists, from FromAddress (kNullSender for a notification), and no
  // other property changes a byte of it. Subject and the lists still name it in the log.
  bool Composed = false;
  rtl::TStringList BodyLines;
  // The body file LoadFromQueue opened, in place of BodyLines: read only while the message is
  // composed or shown, never held whole.
  std::shared_ptr<const TQueuedBody> QueuedBody;

  std::string QueueFile;  // the .ini of the message to load
  std::string Summary;    // built by BuildMessage
  // The name the client gives in HELO; empty gives the local host name. A relay's own HeloName
  // setting comes first, unless HeloNameFixed (a name given for this one delivery).
  std::string HeloName;
  bool HeloNameFixed = false;
  // The last attempt went over TLS without checking the relay's certificate, which every line
  // about that delivery must say.
  bool CertificateUnchecked = false;
  // Each line of every attempt's dialogue, as the SMTP client reports it (for a verbose send).
  std::function<void(const std::string& relay, net::TmsSMTP::TTraceSide side,
                     std::string_view line)>
      OnTrace;
  // After Send returned true, the relay host that accepted the message (a second relay leaves
  // the first one's failure in LastResp).
  std::string AcceptedBy;
  // The recipients refused in the last attempt of Send, in the order they were refused.
  std::vector<TRefusedRecipient> RefusedRecipients;

  // Loads the queued message (when QueueFile is set), builds it and delivers it to the first
  // relay host of RemoteHost, then, after a failure, to the second. True when a relay accepted
  // it; never raises: a failure leaves its text in LastResp.
  bool Send();

  // Opens the body file (QueuedBody) and then reads the .ini named by QueueFile. Raises EFileError
  // when the body cannot be opened; a key that cannot be read gives its type's read default.
  void LoadFromQueue();
  // Writes the message as a new pair in queueDir; on success QueueFile names the new .ini, on
  // failure LastResp holds the reason and the result is false.
  bool SaveToQueue(const std::string& queueDir);

  // Fills message from the properties; EEmptyFromAddress without a sender address, the file-open
  // error for an attachment that cannot be read.
  void BuildMessage(maillib::TmsMessage& message);
  // The message's body from QueuedBody or else BodyLines, word-wrapped when WordWrap is on (never
  // a composed message's).
  void BuildBody(maillib::TmsCustomMessage& message) const;
  // Relay host number index (from 0) of RemoteHost, whose words are separated by runs of "," and
  // ";"; blanks belong to the word. Empty when there are fewer.
  std::string HostAt(int index) const;
  // Sets the client up for relay number index of RemoteHost as the relay's settings say; raises
  // ERelaySettingsError, or the password file's error, when they cannot be used.
  void PrepareRelay(net::TmsSMTP& client, int index);
  // The answer to a recipient the server refused: go on when IgnoreRecipientErrors is set. The
  // refusal is kept in RefusedRecipients.
  void RejectedRecipientHandler(const std::string& address, const std::string& reply,
                                bool& proceed);
};

// (line, rest): the text cut at a blank at or before margin, a longer word cut at the margin.
std::pair<std::string, std::string> WrapLine(std::string_view text, int margin);
// The current time as a Date header value in GMT, e.g. "Mon, 07 Dec 1998 14:05:09 GMT"; zone
// names GMT as it is written ("+0000" is the form RFC 5322 asks new messages to use).
std::string FormatMailDate(const char* zone = "GMT");

}  // namespace mailer
