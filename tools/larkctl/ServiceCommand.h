// `larkctl service`: query, start, stop, pause, continue and interrogate an installed service, and
// list every installed service, in the spirit of Windows' sc.exe.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkctl {

// Exit codes: 0 done, 1 the operation failed (the Win32 text printed), 2 the arguments were wrong.
int RunServiceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
void PrintServiceUsage(std::ostream& out);

}  // namespace larkctl
