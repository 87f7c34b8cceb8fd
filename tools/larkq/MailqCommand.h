// `mailq` (also `sendmail -bp`): the queue of the QuePath setting printed in the layout that
// scripts written for other sendmail programs parse, one entry per message with its queue name,
// size, arrival time, envelope sender, last failure and recipients.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Takes -v (and ignores it). Exit 0 with the queue on out; 64 for other arguments; 78 when the
// queue directory is not set or does not exist; 74 when it cannot be read.
int RunMailqCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace larkq
