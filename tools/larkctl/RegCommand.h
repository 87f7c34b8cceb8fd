// `larkctl reg`: query, add, delete, export and import registry keys and values from the command
// line, in the spirit of Windows' reg.exe.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkctl {

// Exit codes: 0 done, 1 the operation failed, 2 the arguments were wrong (usage printed).
int RunRegCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err);
void PrintRegUsage(std::ostream& out);

}  // namespace larkctl
