// `larkq add`: writes a queued message pair, as a web application would, from the command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Exit codes: 0 written (the .ini path printed), 1 the pair could not be written, 2 bad input.
// The body is read from in unless --body-file names it; inIsTerminal announces that wait on err.
int RunAddCommand(const std::vector<std::string>& args, std::istream& in, bool inIsTerminal,
                  std::ostream& out, std::ostream& err);

}  // namespace larkq
