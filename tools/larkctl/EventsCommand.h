// `larkctl events`: the event log as an event viewer shows it (time, type, source, event id,
// text), optionally filtered, as JSON, or followed as entries arrive.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkctl {

// Exit codes: 0 done, 1 the log could not be read, 2 the arguments were wrong.
int RunEventsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
void PrintEventsUsage(std::ostream& out);

}  // namespace larkctl
