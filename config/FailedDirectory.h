// The directory a queue directory's failed messages are moved to, made when the settings are
// saved so that the service finds it in place.
#pragma once

#include <string>

namespace config {

// Creates the Failed directory of `quePath` when it is missing, with the queue directory's owner
// and mode, so that whoever may write the queue may also move messages into it. Raises
// rtl::Exception with the system's text when it cannot be made.
void CreateFailedDirectory(const std::string& quePath);

}  // namespace config
