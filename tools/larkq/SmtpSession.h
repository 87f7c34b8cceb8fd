// `sendmail -bs`: an SMTP server dialogue on standard input and output, the way programs such as
// Symfony Mailer and Drupal hand their mail to a local sendmail over a pipe. Each accepted
// message goes to a callback that queues it.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// What queues one accepted message: the envelope sender (empty for the null sender "<>"),
// the envelope recipients as given, and the message text as received with the dots of the
// data phase undone and line ends CR LF. Returns the whole reply line to send
// (e.g. "250 2.0.0 Ok: queued as msg02C6", "554 5.6.0 the message holds a NUL byte").
using TQueueMessage =
    std::function<std::string(const std::string& sender, const std::vector<std::string>& recipients,
                              const std::string& text)>;

// The exit code of a session whose replies cannot be written (sysexits' EX_IOERR).
inline constexpr int kSessionOutputFailed = 74;

// A command line longer than this, its line end not counted, is refused.
inline constexpr size_t kMaxSmtpCommandLine = 1000;

// Runs one session: a 220 greeting naming hostName, then commands until QUIT or the end of the
// input, each reply flushed at once. Returns 0, or kSessionOutputFailed when a reply cannot be
// written. A message whose data the input ends in the middle of is not queued.
int RunSmtpSession(std::istream& in, std::ostream& out, const std::string& hostName,
                   const TQueueMessage& queue);

}  // namespace larkq
