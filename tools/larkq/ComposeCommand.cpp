#include "tools/larkq/ComposeCommand.h"

#include <ostream>

#include "mailer/SMTPCust.h"
#include "maillib/Boundary.h"
#include "rtl/SysUtils.h"

namespace larkq {

int RunComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
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
      err << "Usage: larkq compose FILE.ini [--seed N]\n";
      return 2;
    }
  }
  if (file.empty()) {
    err << "Usage: larkq compose FILE.ini [--seed N]\n";
    return 2;
  }
  try {
    mailer::TCustomMailer mailer;
    mailer.QueueFile = file;
    mailer.LoadFromQueue();
    maillib::TmsMessage message;
    mailer.BuildMessage(message);
    rtl::TMemoryStream text;
    message.EncodeToStream(text);
    out << text.Data();
    return 0;
  } catch (const std::exception& e) {
    err << "larkq compose: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace larkq
