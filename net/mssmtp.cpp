#include "net/mssmtp.h"

#include <algorithm>
#include <exception>

#include "maillib/ComposedText.h"
#include "maillib/MailTexts.h"
#include "maillib/codecs.h"
#include "net/SmtpAuth.h"
#include "net/SocketTexts.h"
#include "rtl/SysUtils.h"

namespace net {
namespace {

int ReplyClass(int code) { return code / 100; }

// A line that carries a credential, shown: "AUTH PLAIN" keeps its verb and mechanism; the answer
// to a prompt is all credential.
std::string Masked(const std::string& line) {
  if (!line.starts_with("AUTH ")) return "********";
  const size_t end = line.find(' ', 5);
  return end == std::string::npos ? line : line.substr(0, end) + " ********";
}

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

int TmsSMTP::Reply() {
  const int code = ReadReply();
  if (OnTrace) {
    for (const std::string& line : ReplyLines) OnTrace(TTraceSide::Relay, line);
  }
  return code;
}

int TmsSMTP::Command(const std::string& line, bool secret) {
  if (OnTrace) OnTrace(TTraceSide::Client, secret ? Masked(line) : line);
  SendLine(line);
  return Reply();
}

void TmsSMTP::Open() {
  if (Server.empty()) RaiseSocketError(kServerRequired);
  ResetState();
  TagSocket::Open();
}

std::string TmsSMTP::TlsHost() const {
  if (!Tls.Host.empty()) return Tls.Host;
  std::string host, port;
  SplitServer(Server, host, port);
  return host;
}

void TmsSMTP::Login() {
  ConnectSocket();
  TTlsOptions tls = Tls;
  tls.Host = TlsHost();
  auto startTls = [&] {
    StartTls(tls);
    if (OnTrace) {
      OnTrace(TTraceSide::Tls,
              TlsDescription() +
                  (tls.Verify ? ", certificate verified for " : ", certificate NOT verified for ") +
                  tls.Host);
    }
  };
  if (Security == TSmtpSecurity::Tls) startTls();
  if (ReplyClass(Reply()) != 2) ServerError("");
  if (Security == TSmtpSecurity::None) {
    // A password never goes out in the clear.
    if (!AuthUser.empty()) throw EServerError("AUTH is used only over TLS; set Security");
    const std::string& name = HeloName.empty() ? LocalHostName : HeloName;
    if (ReplyClass(Command("HELO " + name)) != 2 && ReplyClass(Command("HELO")) != 2) {
      ServerError("HELO");
    }
    return;
  }
  Greet(Security == TSmtpSecurity::StartTls || !AuthUser.empty());
  if (Security == TSmtpSecurity::StartTls) {
    if (!Offers("STARTTLS")) {
      throw EServerError(
          "The relay does not offer STARTTLS, which its settings require; "
          "nothing was sent in the clear");
    }
    if (ReplyClass(Command("STARTTLS")) != 2) ServerError("STARTTLS");
    startTls();
    // What the relay said before TLS may have been forged on the way: ask again.
    Greet(true);
  }
  if (!AuthUser.empty()) Authenticate();
}

void TmsSMTP::Greet(bool extensionsNeeded) {
  const std::string& name = HeloName.empty() ? LocalHostName : HeloName;
  extensions_.clear();
  if (ReplyClass(Command("EHLO " + name)) == 2) {
    for (size_t i = 1; i < ReplyLines.size(); ++i) {
      extensions_.push_back(ReplyLines[i].size() > 4 ? ReplyLines[i].substr(4) : "");
    }
    return;
  }
  if (extensionsNeeded) ServerError("EHLO");
  if (ReplyClass(Command("HELO " + name)) != 2) ServerError("HELO");
}

void TmsSMTP::Authenticate() {
  std::string offers;
  for (const std::string& line : extensions_) offers += line + "\n";
  const TAuthMechanism mechanism = ChooseAuthMechanism(OfferedAuthMechanisms(offers));
  const std::string verb = std::string("AUTH ") + AuthMechanismName(mechanism);
  constexpr int kChallenge = 334;
  int code;
  if (mechanism == amPlain) {
    code = Command(verb + " " + AuthPlainResponse(AuthUser, Password), true);
  } else if (mechanism == amLogin) {
    code = Command(verb);
    if (code == kChallenge) code = Command(AuthLoginResponse(AuthUser), true);
    if (code == kChallenge) code = Command(AuthLoginResponse(Password), true);
  } else {
    code = Command(verb);
    if (code == kChallenge) {
      const std::string challenge = LastReply.size() > 4 ? LastReply.substr(4) : "";
      code = Command(AuthCramMD5Response(AuthUser, Password, challenge), true);
    }
  }
  if (ReplyClass(code) != 2) ServerError("AUTH");
}

bool TmsSMTP::Offers(std::string_view keyword) const {
  return std::any_of(extensions_.begin(), extensions_.end(), [&](const std::string& line) {
    return rtl::UpperCase(line.substr(0, line.find_first_of(" ="))) == keyword;
  });
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
  maillib::TComposedText text;
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
  if (OnTrace)
    OnTrace(TTraceSide::Client, "(the message, " + std::to_string(text.Size()) + " bytes)");
  // A composed message ends with its own line end; nothing may be added to what its author wrote.
  SendStream(text, mailMessage_->Composed ? ".\r\n" : "\r\n.\r\n");
  if (OnTrace) OnTrace(TTraceSide::Client, ".");
  if (ReplyClass(Reply()) != 2) ServerError("DATA");
}

}  // namespace net
