// Windows' Application log, read forwards by record number.
#include "svchost/EventLogRecords_test.h"
#include "winapi/winapi.h"

namespace svchost_test {
namespace {

// The number of the record the log will add next.
DWORD End(HANDLE log) {
  DWORD oldest = 0, count = 0;
  GetOldestEventLogRecord(log, &oldest);
  GetNumberOfEventLogRecords(log, &count);
  return oldest + count;
}

}  // namespace

EventLogRecords::EventLogRecords() {
  HANDLE log = OpenEventLogA(nullptr, "Application");
  start_ = End(log);
  CloseEventLog(log);
}

std::vector<nlohmann::json> EventLogRecords::Added(const std::string& source) const {
  std::vector<nlohmann::json> added;
  HANDLE log = OpenEventLogA(nullptr, "Application");
  std::vector<DWORD> buffer(16 * 1024);
  for (DWORD next = static_cast<DWORD>(start_), end = End(log); next < end;) {
    DWORD got = 0, needed = 0;
    if (!ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, next, buffer.data(),
                       static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &got, &needed) ||
        got == 0) {
      break;
    }
    for (DWORD at = 0; at < got;) {
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(
          reinterpret_cast<const char*>(buffer.data()) + at);
      const char* text = reinterpret_cast<const char*>(record);
      if (text + sizeof *record == source) {
        nlohmann::json strings = nlohmann::json::array();
        const char* s = text + record->StringOffset;
        for (WORD i = 0; i < record->NumStrings; ++i, s += strlen(s) + 1) strings.push_back(s);
        added.push_back({{"source", source},
                         {"type", record->EventType},
                         {"id", record->EventID},
                         {"strings", strings}});
      }
      next = record->RecordNumber + 1;
      at += record->Length;
    }
  }
  CloseEventLog(log);
  return added;
}

}  // namespace svchost_test
