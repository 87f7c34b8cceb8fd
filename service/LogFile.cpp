#include "service/LogFile.h"

#include <algorithm>
#include <mutex>

#include "rtl/DateTime.h"
#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"

namespace service {
namespace {

TEventSink& Sink() {
  static auto* sink = new TEventSink;
  return *sink;
}

std::function<void(const std::string&)>& Echo() {
  static auto* echo = new std::function<void(const std::string&)>;
  return *echo;
}

std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
  return text;
}

// Closes the log file however the write ends.
struct FileGuard {
  HANDLE handle;
  ~FileGuard() { CloseHandle(handle); }
};

void AppendToFile(const std::string& line) {
  const std::string path = settings::Settings().QuePath + rtl::PathDelim + kLogFileName;
  // The queue directory is open to the web applications that fill it: a link planted under
  // the log's name is refused, never followed, and so is anything but a regular file.
  HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw rtl::EInOutError("Cannot open " + path + ": " + rtl::SysErrorMessage(GetLastError()));
  }
  FileGuard guard{file};
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  DWORD written = 0;
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
    throw rtl::EInOutError("Cannot write to " + path + ": " + rtl::SysErrorMessage(GetLastError()));
  }
  if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    const DWORD error = GetLastError();
    // Part of a line on a full disk would stay torn and the next line would be glued to it: the
    // file is cut back to the end of its last whole line.
    if (written > 0) {
      LARGE_INTEGER end;
      end.QuadPart = static_cast<LONGLONG>((static_cast<unsigned long long>(high) << 32) | low);
      if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    }
    throw rtl::EInOutError("Cannot write to " + path + ": " + rtl::SysErrorMessage(error));
  }
}

// The failure last reported by ReportUnwritten; empty once a line has been written again.
std::string& ReportedFailure() {
  static auto* reported = new std::string;
  return *reported;
}

}  // namespace

rtl::TCriticalSection& LogLock() {
  static auto* lock = new rtl::TCriticalSection;
  return *lock;
}

void SetEventSink(TEventSink sink) { Sink() = std::move(sink); }

void SetLogEcho(std::function<void(const std::string&)> echo) { Echo() = std::move(echo); }

void LogEvent(svchost::EventKind kind, const std::string& text) {
  std::lock_guard lock(LogLock());
  if (Sink()) Sink()(kind, text);
}

void WriteLog(const std::string& text, svchost::EventKind kind) {
  const std::string line = OneLine(text);
  const settings::TLogTarget target = settings::Settings().LogTarget;
  // "Both" keeps every line in the file and puts the failures in the event log as well.
  if (target != settings::ltMessageLog && kind == svchost::ekError) LogEvent(kind, line);
  std::lock_guard lock(LogLock());
  const std::string stamped = rtl::FormatDateTime("yy/mm/dd hh:mm:ss", rtl::Now()) + "  " + line;
  if (Echo()) Echo()(stamped);
  if (target == settings::ltMessageLog || target == settings::ltBoth) {
    AppendToFile(stamped + "\r\n");
    ReportedFailure().clear();
  }
}

void ReportUnwritten(const std::string& text, const std::string& failure) {
  std::lock_guard lock(LogLock());
  if (ReportedFailure() == failure) return;
  ReportedFailure() = failure;
  if (Sink()) {
    Sink()(svchost::ekError,
           "Unable to write to the message log: " + failure + " Not logged: " + OneLine(text));
  }
}

}  // namespace service
