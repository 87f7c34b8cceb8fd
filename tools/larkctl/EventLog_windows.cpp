// The event log on Windows: the system's own Application log, where every program's entries go,
// read through the event log service as an event viewer reads it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "rtl/SysUtils.h"
#include "tools/larkctl/EventLog.h"
#include "winapi/winapi.h"

namespace larkctl {
namespace {

// How long a follower waits for the log's change notice before it looks anyway: the service
// signals at most one change in a while, and a signal nobody waits for is lost.
constexpr DWORD kRescanMs = 500;

// The records' texts are in the system's code page; JSON is UTF-8.
std::string Utf8(const std::string& text) {
  if (text.empty()) return text;
  int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring utf16(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), utf16.data(), wide);
  int narrow = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(narrow), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, out.data(), narrow, nullptr, nullptr);
  return out;
}

std::string UtcText(DWORD seconds) {
  using namespace std::chrono;
  sys_seconds time{std::chrono::seconds(seconds)};
  auto day = floor<days>(time);
  year_month_day date{day};
  hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

// A text that starts at `at` and ends at its NUL or at the end of the record, whichever is first.
std::string TextAt(const char* at, const char* end) {
  if (at >= end) return "";
  return std::string(at, strnlen(at, static_cast<size_t>(end - at)));
}

EventEntry ToEntry(const EVENTLOGRECORD& record) {
  const char* start = reinterpret_cast<const char*>(&record);
  const char* end = start + record.Length;
  EventEntry entry;
  entry.time = static_cast<long long>(record.TimeGenerated) * 1000;
  entry.source = TextAt(start + sizeof record, end);
  entry.type = record.EventType;
  entry.id = record.EventID;
  const char* text = start + record.StringOffset;
  nlohmann::json strings = nlohmann::json::array();
  for (WORD i = 0; i < record.NumStrings && text < end; ++i) {
    entry.strings.push_back(TextAt(text, end));
    strings.push_back(Utf8(entry.strings.back()));
    text += entry.strings.back().size() + 1;
  }
  entry.record = nlohmann::json{
      {"time", UtcText(record.TimeGenerated)},
      {"source", Utf8(entry.source)},
      {"type", record.EventType},
      {"id", record.EventID},
      {"category", record.EventCategory},
      {"record", record.RecordNumber},
      {"strings",
       strings}}.dump();
  return entry;
}

class WindowsEventLog : public EventLogReader {
 public:
  ~WindowsEventLog() override { Close(); }

  bool ReadNew(bool, std::string& problem,
               const std::function<void(const EventEntry&)>& entry) override {
    DWORD oldest, end;
    if (!Range(oldest, end, problem)) return false;
    // Entries overwritten since the last read, or a log cleared: from its oldest entry on.
    if (!next_ || *next_ < oldest || *next_ > end) next_ = oldest;
    while (*next_ < end) {
      DWORD got = 0;
      if (!ReadBatch(EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, *next_, got, problem)) {
        return false;
      }
      if (got == 0) break;
      bool whole = ForEachRecord(got, [&](const EVENTLOGRECORD& record) {
        entry(ToEntry(record));
        next_ = record.RecordNumber + 1;
        return true;
      });
      if (!whole) break;
    }
    if (!cleared_) return true;
    // The handle reads a log that is no longer there: the new one from its first entry.
    Close();
    return ReadNew(false, problem, entry);
  }

  bool ReadLast(bool, std::string& problem,
                const std::function<bool(const EventEntry&)>& entry) override {
    DWORD oldest, end;
    if (!Range(oldest, end, problem)) return false;
    next_ = end;
    for (;;) {
      DWORD got = 0;
      if (!ReadBatch(EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, got, problem)) {
        return false;
      }
      if (got == 0) return true;
      bool more = ForEachRecord(got, [&](const EVENTLOGRECORD& record) {
        // One added meanwhile is left to ReadNew.
        return record.RecordNumber >= end || entry(ToEntry(record));
      });
      if (!more) return true;
    }
  }

  void WaitForChange() override {
    if (changed_ == nullptr && log_ != nullptr) {
      changed_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      if (changed_ != nullptr && !NotifyChangeEventLog(log_, changed_)) {
        CloseHandle(changed_);
        changed_ = nullptr;
      }
    }
    if (changed_ != nullptr) {
      WaitForSingleObject(changed_, kRescanMs);
    } else {
      Sleep(kRescanMs);
    }
  }

 private:
  // The numbers of the oldest entry and of the one the log will add next.
  bool Range(DWORD& oldest, DWORD& end, std::string& problem) {
    if (log_ == nullptr) log_ = OpenEventLogA(nullptr, "Application");
    DWORD count = 0;
    if (log_ == nullptr || !GetOldestEventLogRecord(log_, &oldest) ||
        !GetNumberOfEventLogRecords(log_, &count)) {
      return Failed(GetLastError(), problem);
    }
    end = oldest + count;
    return true;
  }

  // Reads as many records as the buffer takes; none at the end of the log.
  bool ReadBatch(DWORD flags, DWORD from, DWORD& got, std::string& problem) {
    for (;;) {
      DWORD needed = 0;
      if (ReadEventLogA(log_, flags, from, buffer_.data(), static_cast<DWORD>(buffer_.size()), &got,
                        &needed)) {
        return true;
      }
      DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_EVENTLOG_FILE_CHANGED) {
        cleared_ = error == ERROR_EVENTLOG_FILE_CHANGED;
        got = 0;
        return true;
      }
      if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer_.size()) {
        return Failed(error, problem);
      }
      buffer_.resize(needed);
    }
  }

  // Hands the records of the last batch to `record` while it returns true; false when it stopped.
  template <class RecordHandler>
  bool ForEachRecord(DWORD got, RecordHandler record) const {
    for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= got;) {
      const auto& next = *reinterpret_cast<const EVENTLOGRECORD*>(buffer_.data() + at);
      // A record's length never reaches past what was read, unless the log is damaged.
      if (next.Length < sizeof next || next.Length > got - at || !record(next)) return false;
      at += next.Length;
    }
    return true;
  }

  void Close() {
    if (changed_ != nullptr) CloseHandle(changed_);
    if (log_ != nullptr) CloseEventLog(log_);
    changed_ = log_ = nullptr;
    next_.reset();
    cleared_ = false;
  }

  static bool Failed(DWORD error, std::string& problem) {
    problem = "Cannot read the Application event log: " + rtl::SysErrorMessage(error);
    return false;
  }

  HANDLE log_ = nullptr;
  HANDLE changed_ = nullptr;
  std::optional<DWORD> next_;  // the number of the first entry not handed over yet
  bool cleared_ = false;       // the log was cleared since the handle was opened
  std::string buffer_ = std::string(64 * 1024, '\0');
};

}  // namespace

std::unique_ptr<EventLogReader> MachineEventLog(std::ostream&) {
  return std::make_unique<WindowsEventLog>();
}

}  // namespace larkctl
