#include "tools/larkq/ComposeCommand.h"

#include <ostream>

#include "mailer/SMTPCust.h"
#include "maillib/Boundary.h"
#include "maillib/TempFileStream.h"
#include "rtl/SysUtils.h"
#include "tools/larkq/QueueLookup.h"

namespace larkq {

void PrintComposeUsage(std::ostream& out) {
  out << "Usage: larkq compose FILE.ini|NAME [--seed N]\n"
         "  prints the exact text the data phase would carry for a queued message. NAME is a\n"
         "  message in the QuePath directory (msg02C6.ini or msg02C6); --seed N fixes the MIME\n"
         "  boundaries, so the same message composes to the same text.\n";
}

int RunComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      PrintComposeUsage(out);
      return 0;
    }
    if (args[i] == "--seed" && i + 1 < args.size()) {
      int seed = rtl::StrToIntDef(args[++i], -1);
      if (seed < 0) {
        err << "larkq compose: --seed takes a whole number\n";
        return 2;
      }
      maillib::SetBoundarySeed(static_cast<unsigned>(seed));
    } else if (file.empty() && !args[i].empty() && args[i][0] != '-') {
      file = args[i];
    } else {
      PrintComposeUsage(err);
      return 2;
    }
  }
  if (file.empty()) {
    PrintComposeUsage(err);
    return 2;
  }
  try {
    mailer::TCustomMailer mailer;
    mailer.QueueFile = FindQueuedMessage(file);
    mailer.LoadFromQueue();
    maillib::TmsMessage message;
    mailer.BuildMessage(message);
    // Composed into a file as the delivery does, so that a large body never sits in memory and a
    // message that fails to compose prints nothing.
    maillib::TTempFileStream text;
    message.EncodeToStream(text);
    text.SetPosition(0);
    char block[65536];
    for (size_t got; (got = text.Read(block, sizeof block)) > 0;) out.write(block, got);
    return 0;
  } catch (const std::exception& e) {
    err << "larkq compose: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace larkq
