// `larkq compose FILE.ini`: the exact text the data phase would carry for a queued message.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Exit codes: 0 composed (the text printed), 1 it cannot be composed (the reason printed), 2 usage.
int RunComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
void PrintComposeUsage(std::ostream& out);

}  // namespace larkq
