// Reads the queued messages of one directory for display.
#pragma once

#include <chrono>
#include <cstdint>
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
  std::string sender;                   // the envelope sender's bare address; empty for "<>"
  std::vector<std::string> recipients;  // every address of the To, Cc and Bcc lists
  std::string lastResp;                 // why the last attempt failed, when it is known
  std::uintmax_t bytes = 0;             // the .ini and the body together
  std::chrono::system_clock::time_point modified;  // of the .ini
  bool bodyMissing = false;
  bool unreadable = false;
};

// The messages of dir, oldest first; error is set when the directory cannot be listed. Only
// regular files count, never a link, and they are read without following one.
std::vector<QueuedMessage> ListQueue(const std::string& dir, std::error_code& error);

}  // namespace larkq
