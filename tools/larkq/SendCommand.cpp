#include "tools/larkq/SendCommand.h"

#include <ostream>

#include "mailer/SMTPCust.h"
#include "tools/larkq/QueueLookup.h"

namespace larkq {

int RunSendCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    err << "Usage: larkq send FILE.ini\n";
    return 2;
  }
  mailer::TCustomMailer mailer;
  try {
    mailer.QueueFile = FindQueuedMessage(args[0]);
  } catch (const std::exception& e) {
    err << "larkq send: " << e.what() << "\n";
    return 1;
  }
  if (mailer.Send()) {
    out << "Sent: " << mailer.Summary << "\n";
    return 0;
  }
  err << "Not sent: " << mailer.LastResp << "\n";
  return 1;
}

}  // namespace larkq
