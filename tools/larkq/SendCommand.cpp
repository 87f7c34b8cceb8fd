#include "tools/larkq/SendCommand.h"

#include <ostream>

#include "mailer/SMTPCust.h"
#include "settings/RegSet.h"
#include "tools/larkq/QueueLookup.h"

namespace larkq {

namespace {

constexpr const char* kUsage =
    "Usage: larkq send [-v] [--helo NAME] FILE.ini|NAME\n"
    "  delivers one queued message now, to its first relay and on failure its second, and\n"
    "  prints the summary or the reason it failed, and each recipient the relay refused; its\n"
    "  files stay where they are. NAME is a message in the QuePath directory (msg02C6.ini or\n"
    "  msg02C6).\n"
    "  --helo NAME  the name to give in HELO (default: the relay's own HeloName setting, else\n"
    "               the HeloName setting, else the host name); strict relays want a fully\n"
    "               qualified one\n"
    "  -v           prints the dialogue with each relay (credentials masked) on standard error\n";

}  // namespace

int RunSendCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string message;
  std::string helo;
  bool heloGiven = false;
  bool verbose = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      out << kUsage;
      return 0;
    }
    if (args[i] == "-v" || args[i] == "--verbose") {
      verbose = true;
      continue;
    }
    if (args[i] == "--helo" && i + 1 < args.size()) {
      helo = args[++i];
      heloGiven = true;
      if (!settings::IsHeloName(helo)) {
        err << "larkq send: --helo '" << helo
            << "' is not a host name a relay would take (a domain such as mail.example.org, or "
               "an address literal such as [192.0.2.7])\n";
        return 2;
      }
    } else if (message.empty() && !args[i].empty() && args[i][0] != '-') {
      message = args[i];
    } else {
      err << kUsage;
      return 2;
    }
  }
  if (message.empty()) {
    err << kUsage;
    return 2;
  }
  mailer::TCustomMailer mailer;
  try {
    mailer.QueueFile = FindQueuedMessage(message);
  } catch (const std::exception& e) {
    err << "larkq send: " << e.what() << "\n";
    return 1;
  }
  // The relays' own settings are needed whatever --helo says.
  settings::LoadSettings();
  mailer.HeloName = heloGiven ? helo : settings::Settings().HeloName;
  mailer.HeloNameFixed = heloGiven;
  if (verbose) {
    mailer.OnTrace = [&err](const std::string& relay, net::TmsSMTP::TTraceSide side,
                            std::string_view line) {
      using Side = net::TmsSMTP::TTraceSide;
      err << relay
          << (side == Side::Relay    ? " <- "
              : side == Side::Client ? " -> "
                                     : " :: ")
          << line << "\n";
    };
  }
  bool sent = mailer.Send();
  const char* unchecked = mailer.CertificateUnchecked ? " (TLS certificate not verified)" : "";
  if (sent) out << "Sent: " << mailer.Summary << unchecked << "\n";
  for (const auto& refused : mailer.RefusedRecipients) {
    err << "Recipient refused: " << refused.Address << " Reason: " << refused.Reply << "\n";
  }
  if (sent) return 0;
  err << "Not sent: " << mailer.LastResp << unchecked << "\n";
  return 1;
}

}  // namespace larkq
