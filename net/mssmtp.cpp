#include "net/mssmtp.h"

#include <exception>

#include "maillib/MailTexts.h"
#include "maillib/TempFileStream.h"
#include "maillib/codecs.h"
#include "net/SocketTexts.h"
#include "rtl/SysUtils.h"

namespace net {
namespace {

int ReplyClass(int code) { return code / 100; }

}  // namespace

TmsSMTP::TmsSMTP() {
  ServiceName = "smtp";
  DefaultPort = 25;
}

TmsSMTP::~TmsSMTP() { SetMailMessage(nullptr); }

void TmsSMTP::SetMailMessage(maillib::TmsMessage* message) {
  if (mailMessage_ != nullptr) mailMessage_->RemoveFreeNotification(this);
  mailMessage_ = message;
  if (mailMessage_ != nullptr) {
    mailMessage_->AddFreeNotification(this, [this] { mailMessage_ = nullptr; });
  }
}

std::string TmsSMTP::Reason(const std::string& step) const {
  if (!LastReply.empty()) return LastReply;
  // A relay that hangs up gives no reply line, and the log must still say what went wrong.
  if (PeerClosed()) {
    return step.empty() ? "Connection closed by the relay before its greeting"
                        : "Connection closed by the relay after " + step;
  }
  return step.empty() ? "Empty greeting from the relay" : "Empty reply from the relay to " + step;
}

void TmsSMTP::ServerError(const std::string& step) { throw EServerError(Reason(step)); }

int TmsSMTP::Command(const std::string& line) {
  SendLine(line);
  return ReadReply();
}

void TmsSMTP::Open() {
  if (Server.empty()) RaiseSocketError(kServerRequired);
  ResetState();
  TagSocket::Open();
}

void TmsSMTP::Login() {
  ConnectSocket();
  if (ReplyClass(ReadReply()) != 2) ServerError("");
  const std::string& name = HeloName.empty() ? LocalHostName : HeloName;
  if (ReplyClass(Command("HELO " + name)) != 2 && ReplyClass(Command("HELO")) != 2) {
    ServerError("HELO");
  }
}

void TmsSMTP::Logout() {
  maillib::PumpMessages();
  if (ReplyClass(Command("QUIT")) != 2) ServerError("QUIT");
}

void TmsSMTP::Transmit() {
  std::exception_ptr failure;
  bool accepted = false;
  try {
    if (!IsConnected()) {
      Open();
      Login();
    }
    MailTransaction();
    accepted = true;
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  if (IsConnected()) {
    try {
      Logout();
    } catch (const std::exception&) {
      // Once the server has accepted the message, a failing goodbye does not undo the delivery,
      // and it never hides the failure that came before it.
      if (!accepted && !failure) failure = std::current_exception();
    }
    Close();
  }
  if (failure) std::rethrow_exception(failure);
}

void TmsSMTP::MailTransaction() {
  if (mailMessage_ == nullptr) RaiseSocketError(maillib::kMailMessageRequired);
  mailMessage_->Validate();
  maillib::TTempFileStream text;
  mailMessage_->EncodeToStream(text);
  SendEnvelope();
  SendData(text);
}

void TmsSMTP::SendEnvelope() {
  // An empty sender is the null sender "<>" of a notification.
  const std::string sender = mailMessage_->Sender.Address.str();
  if (ReplyClass(Command(rtl::BoundedString("MAIL FROM:<" + sender + ">"))) != 2) {
    ServerError("MAIL FROM");
  }
  int accepted = 0;
  std::string lastRefusal;
  for (const maillib::TmsAddressList* list :
       {&mailMessage_->Recipients, &mailMessage_->CC, &mailMessage_->BCC}) {
    for (int i = 0; i < list->Count(); ++i) {
      const std::string address = list->Items(i).Address.str();
      if (ReplyClass(Command(rtl::BoundedString("RCPT TO:<" + address + ">"))) == 2) {
        ++accepted;
        continue;
      }
      // A relay that hung up refused nobody: nothing more can be sent on this connection.
      if (PeerClosed()) ServerError("RCPT TO");
      bool proceed = false;
      if (OnAddressRejected) OnAddressRejected(address, Reason("RCPT TO"), proceed);
      if (!proceed) ServerError("RCPT TO");
      lastRefusal = Reason("RCPT TO");
    }
  }
  // With every recipient refused, the data could only draw the relay's complaint that there is
  // none, which would hide why they were refused.
  if (accepted == 0) throw EServerError(lastRefusal);
  if (ReplyClass(Command("DATA")) != 3) ServerError("DATA");
}

void TmsSMTP::SendData(rtl::TStream& text) {
  SendStream(text);
  // A composed message ends with its own line end; nothing may be added to what its author wrote.
  if (!mailMessage_->Composed) SendLine("");
  if (ReplyClass(Command(".")) != 2) ServerError("DATA");
}

}  // namespace net
