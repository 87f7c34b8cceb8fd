// Reads the queued messages of one directory for display.
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace larkq {

struct QueuedMessage {
  std::string name;  // the .ini name
  std::string path;
  long long ageSeconds = 0;
  std::string failures;  // the stored text; "0" when absent
  std::string from;
  std::string to;  // the first recipient
  std::string subject;
  bool bodyMissing = false;
  bool unreadable = false;
};

// The messages of dir, oldest first; error is set when the directory cannot be listed.
std::vector<QueuedMessage> ListQueue(const std::string& dir, std::error_code& error);

}  // namespace larkq
