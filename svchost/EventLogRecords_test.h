// What the services' entries left in the machine's event log, for the tests: each entry as the
// Linux machine layer stores it (source, type, id, strings), read from that layer's file or from
// Windows' Application log.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace svchost_test {

class EventLogRecords {
 public:
  // Remembers where the log ends now: only entries added later count.
  EventLogRecords();
  // The entries of `source` added since, oldest first.
  std::vector<nlohmann::json> Added(const std::string& source) const;

 private:
  unsigned long start_ = 0;
};

}  // namespace svchost_test
