// The spool folder of a queued message: `larkq sendmail` keeps the attachments of a message it
// queues in a folder of <queue>/spool/ (the queue scans look only at the queue directory
// itself). Whoever removes the message or moves it between the queue and Failed takes that
// folder along, so that no attachment outlives its message.
#pragma once

#include <string>

namespace mailer {

inline constexpr const char* kSpoolDirName = "spool";

// The name of the message's spool folder: the folder its attachments name when that folder lies
// directly in <quePath>/spool; empty when the message has none. The .ini keeps naming the folder
// in the queue after the message has moved into Failed.
std::string SpoolNameOf(const std::string& iniPath, const std::string& quePath);
// The same, given the message's first attachment as its .ini names it (empty for none).
std::string SpoolNameOfAttachment(const std::string& first, const std::string& quePath);
// Removes <queueDir>/spool/<name> and the files in it. A link planted in its place is removed,
// never followed. True when nothing of it is left.
bool RemoveSpoolFolder(const std::string& queueDir, const std::string& name);
// Moves <fromDir>/spool/<name> to <toDir>/spool/<name>, making <toDir>/spool when missing and
// never replacing a folder there. True when moved; false with the reason in GetLastError.
bool MoveSpoolFolder(const std::string& fromDir, const std::string& toDir, const std::string& name);

}  // namespace mailer
