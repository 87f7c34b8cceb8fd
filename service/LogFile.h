// The message log: one line per delivery outcome, appended to larkq.log in the queue directory
// or written to the event log, as the EventLogging setting chooses. Lines are stamped with the
// local time, "yy/mm/dd hh:mm:ss" and two blanks.
#pragma once

#include <functional>
#include <string>

#include "rtl/CriticalSection.h"
#include "svchost/NTObj.h"
#include "winapi/winapi.h"

namespace service {

inline constexpr const char* kLogFileName = "larkq.log";

// Held for each open-append-close of larkq.log and each event log entry of the message log.
rtl::TCriticalSection& LogLock();

// Where the message log's event log entries go: the service object's LogMessage. Set by the
// program before any worker runs; unset, such entries are dropped.
using TEventSink = std::function<void(svchost::EventKind, const std::string&)>;
void SetEventSink(TEventSink sink);

// Also hands every stamped line to echo (the foreground run prints them); unset, nothing.
void SetLogEcho(std::function<void(const std::string&)> echo);

// Writes one line; an error opening or writing larkq.log raises EInOutError. CR, LF and NUL in
// the text become blanks, so a reply or a file name cannot forge a line.
void WriteLog(const std::string& text, svchost::EventKind kind);
// The event log entry for a line larkq.log did not take: the failure and the line. A failure
// like the one reported last is not reported again until a line has been written, so a full
// disk gives one entry rather than one per message and poll.
void ReportUnwritten(const std::string& text, const std::string& failure);
// An entry of the given kind in the event log, under LogLock, whatever EventLogging says.
void LogEvent(svchost::EventKind kind, const std::string& text);

}  // namespace service
