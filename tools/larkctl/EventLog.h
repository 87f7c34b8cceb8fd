// The event log as `larkctl events` reads it: the entries of the machine's Application log, from
// wherever the platform keeps them (the Linux machine layer's file, or Windows' own log), read
// forwards from where the last read stopped or backwards from the newest.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkctl {

struct EventEntry {
  long long time;  // milliseconds since the epoch
  std::string source;
  unsigned type;
  std::uint32_t id;
  std::vector<std::string> strings;
  std::string record;  // the entry as one JSON object: the stored line where the log keeps one
};

// Milliseconds since the epoch of "yyyy-mm-dd[( |T)hh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm]". A time
// without an offset is local time.
std::optional<long long> ParseTime(std::string_view text);

class EventLogReader {
 public:
  virtual ~EventLogReader() = default;

  // Hands each entry added since the last call to `entry`, oldest first; an entry still being
  // written too when `partial` is set. False with a message in `problem` when the log exists but
  // cannot be read.
  virtual bool ReadNew(bool partial, std::string& problem,
                       const std::function<void(const EventEntry&)>& entry) = 0;
  // Hands the entries to `entry` from the newest back, while it returns true. ReadNew then goes
  // on after the newest.
  virtual bool ReadLast(bool partial, std::string& problem,
                        const std::function<bool(const EventEntry&)>& entry) = 0;
  // Returns once entries may have been added, or after a short while anyway.
  virtual void WaitForChange() = 0;
};

// The machine's Application log. What the log holds that is no entry is reported on `warnings`
// and skipped.
std::unique_ptr<EventLogReader> MachineEventLog(std::ostream& warnings);

}  // namespace larkctl
