// `larkq send FILE.ini`: delivers one queued message now and prints the outcome; the files stay
// where they are (deleting or moving them is the service's work).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Exit codes: 0 delivered (the summary printed), 1 not delivered (the reason printed), 2 usage.
int RunSendCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace larkq
