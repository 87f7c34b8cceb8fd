// `larkq sendmail` (also run as `sendmail`): reads a message from standard input as programs that
// send mail through sendmail write it (PHP's mail(), cron, scripts), parses it and queues it as a
// pair the service delivers, with its attachments in a spool folder beside the pair.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Exit codes as sysexits.h numbers them.
inline constexpr int EX_OK = 0;
inline constexpr int EX_USAGE = 64;
inline constexpr int EX_DATAERR = 65;
inline constexpr int EX_NOINPUT = 66;
inline constexpr int EX_NOUSER = 67;
inline constexpr int EX_UNAVAILABLE = 69;
inline constexpr int EX_SOFTWARE = 70;
inline constexpr int EX_CANTCREAT = 73;
inline constexpr int EX_TEMPFAIL = 75;
inline constexpr int EX_CONFIG = 78;

// A message beyond one of these limits is refused whole.
inline constexpr size_t kMaxSendmailInput = 50 * 1024 * 1024;
inline constexpr int kMaxSendmailRecipients = 1000;
inline constexpr int kMaxSendmailParts = 100;

// 0 only once the pair is complete on disk; otherwise one of the codes above with the reason on
// err, and nothing queued. -bp lists the queue on out instead.
int RunSendmailCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                       std::ostream& err);
void PrintSendmailUsage(std::ostream& out);

}  // namespace larkq
