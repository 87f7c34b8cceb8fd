// `larkq compose FILE.ini`: the exact text the data phase would carry for a queued message.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

int RunComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace larkq
