// TmsSMTP: sends one composed message to one mail server with the plain SMTP dialogue: greeting,
// HELO, MAIL FROM, RCPT TO for every recipient, DATA, the message text, "." and QUIT. Every
// failure is an exception whose text is the reason the mailer logs.
#pragma once

#include <functional>
#include <string>

#include "maillib/Message.h"
#include "net/msmb.h"

namespace net {

class TmsSMTP : public TmsMailBase {
 public:
  // Asked when the server refuses a recipient: set proceed to go on without it.
  using TAddressRejectedEvent =
      std::function<void(const std::string& address, const std::string& reply, bool& proceed)>;

  TmsSMTP();
  ~TmsSMTP() override;

  // Not owned; cleared when the message is destroyed.
  maillib::TmsMessage* MailMessage() const { return mailMessage_; }
  void SetMailMessage(maillib::TmsMessage* message);
  TAddressRejectedEvent OnAddressRejected;
  // The name given in HELO; empty gives the local host name. Strict relays refuse a name that
  // is not fully qualified, which the host name need not be.
  std::string HeloName;

  // Connects and logs in when not connected, sends the message, logs out and closes.
  void Transmit();
  void Open() override;
  void Login() override;
  void Logout() override;
  void MailTransaction();
  void SendEnvelope();
  void SendData(rtl::TStream& text);

 private:
  int Command(const std::string& line);
  // The reply line that failed the step (a command's verb, empty for the greeting), or what the
  // relay did instead of replying.
  std::string Reason(const std::string& step) const;
  [[noreturn]] void ServerError(const std::string& step);

  maillib::TmsMessage* mailMessage_ = nullptr;
};

}  // namespace net
