// Queue administration: `larkq show`, `larkq delete` and `larkq retry`. Each takes queued
// messages by path or by bare name (looked for in the QuePath directory, then in its Failed
// directory) and refuses anything that is not a queued message: an .ini that is a regular file,
// not reached through a link, with a body that is one too when it is there.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace larkq {

// Prints the message as the mailer reads it: relays, sender, recipients, subject, attachments
// with their sizes, failed attempts and the head of the body. Exit 0, 1 (not a queued message),
// 2 (usage).
int RunShowCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Removes each message, its .ini first, so the service never takes up a body without one.
// Delete and retry take only a pair directly in the queue directory or its Failed directory
// whose .ini holds a [Message] section; anything else is "not a queued message".
// Exit 0 when every one was removed, else 1 (each failure named); 2 usage.
int RunDeleteCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Sets each message's failed attempts back to 0; one in the Failed directory goes back into the
// queue, body first, never in place of a message of the same name. Exit as for delete.
int RunRetryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace larkq
