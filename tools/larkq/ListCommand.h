// `larkq list`: what is queued (or failed), oldest first, with each message's failure count,
// sender, first recipient and subject: the administrator's mailq.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Exit codes: 0 listed, 1 the directory cannot be read, 2 wrong arguments.
int RunListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
void PrintListUsage(std::ostream& out);

}  // namespace larkq
