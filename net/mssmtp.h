// TmsSMTP: sends one composed message to one mail server with the SMTP dialogue: greeting,
// HELO, MAIL FROM, RCPT TO for every recipient, DATA, the message text, "." and QUIT. A relay
// reached over TLS (from the first byte, or after STARTTLS) gets EHLO, and AUTH when a user is
// set. Every failure is an exception whose text is the reason the mailer logs.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "maillib/Message.h"
#include "net/TlsSession.h"
#include "net/msmb.h"

namespace net {

enum class TSmtpSecurity {
  None,      // plain SMTP with HELO
  StartTls,  // EHLO, then STARTTLS, which the relay must offer
  Tls,       // TLS from the first byte
};

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
  TSmtpSecurity Security = TSmtpSecurity::None;
  // Verification and authorities of the TLS connection; its Host is the relay's host when empty.
  TTlsOptions Tls;
  // With a user, AUTH over TLS with the first mechanism the relay offers of PLAIN, LOGIN and
  // CRAM-MD5; a relay that takes none fails the attempt.
  std::string AuthUser;
  std::string Password;
  // Each line of the dialogue as it goes, and what TLS agreed on. Credentials are masked, and
  // the message text is only counted.
  enum class TTraceSide { Client, Relay, Tls };
  std::function<void(TTraceSide side, std::string_view line)> OnTrace;

  // Connects and logs in when not connected, sends the message, logs out and closes.
  void Transmit();
  void Open() override;
  void Login() override;
  void Logout() override;
  void MailTransaction();
  void SendEnvelope();
  void SendData(rtl::TStream& text);

 private:
  int Command(const std::string& line, bool secret = false);
  int Reply();
  // The hello: HELO for a plain relay; EHLO, with HELO as the fallback only when nothing the
  // relay's settings ask for needs an extension.
  void Greet(bool extensionsNeeded);
  // The relay's EHLO reply offers the extension keyword (given in upper case).
  bool Offers(std::string_view keyword) const;
  void Authenticate();
  // The host name or address TLS checks the certificate against.
  std::string TlsHost() const;
  // The reply line that failed the step (a command's verb, empty for the greeting), or what the
  // relay did instead of replying.
  std::string Reason(const std::string& step) const;
  [[noreturn]] void ServerError(const std::string& step);

  maillib::TmsMessage* mailMessage_ = nullptr;
  std::vector<std::string> extensions_;  // the EHLO reply's lines after the first
};

}  // namespace net
