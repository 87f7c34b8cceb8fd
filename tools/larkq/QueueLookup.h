// Where the queue is and which queued message a command names: the QuePath setting as the
// service reads it, with the reason when it cannot be had, and a message named by its path or by
// its bare name in the queue directory.
#pragma once

#include <string>

namespace larkq {

// The QuePath setting. Raises rtl::Exception with what to do when it cannot be had: unset or
// empty, not a text value, or a registry that cannot be read (a damaged hive with its path and
// line, as larkctl reports it).
std::string ReadQuePath();

// The absolute path of the .ini a command was given: PATH as it stands (".ini" may be left out),
// or else a bare name such as msg02C6.ini or msg02C6 in the QuePath directory. Raises
// rtl::Exception "no such queued message: ..." when there is none, before any body is read.
// With lookInFailed, a bare name not in the queue directory is looked for in its Failed
// directory too.
std::string FindQueuedMessage(const std::string& given, bool lookInFailed = false);

// The .ini of a message the service would take up, for commands that change or remove it: a
// regular file, not a link, directly in the QuePath directory or its Failed directory, holding a
// [Message] section. Returns its path with the directory resolved; raises rtl::Exception "not a
// queued message: PATH" for anything else (a php.ini elsewhere, a file in a subdirectory).
std::string CheckQueuedMessage(const std::string& ini);

}  // namespace larkq
