// The Application event log: each report is one JSON line appended to
// <machine root>/eventlog/Application.jsonl, which starts anew past its maximum size, and a copy
// goes to syslog (facility mail) so that the entries also reach the journal.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "winapi/posix/hive.h"

namespace lark {
namespace {

class EventSource : public HandleObject {
 public:
  explicit EventSource(std::string name) : name(std::move(name)) {}
  const std::string name;
};

// ReportEvent's limit for one insertion string, in characters.
constexpr size_t kMaxInsertionChars = 32 * 1024;

// Length of the well-formed UTF-8 sequence at text[i], or 0 when there is none (stray
// continuation byte, overlong form, surrogate, beyond U+10FFFF, cut short).
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// Callers hand in 8-bit text: UTF-8 stays as it is, anything else is read as ISO-8859-1 (the
// system's own texts), so the record is always valid UTF-8 and the log never refuses an entry.
std::string ToUtf8(const std::string& text) {
  if (IsUtf8(text)) return text;
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string InsertionString(const char* text) {
  std::string utf8 = ToUtf8(text != nullptr ? text : "");
  size_t chars = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && ++chars > kMaxInsertionChars) {
      utf8.resize(i);
      break;
    }
  }
  return utf8;
}

std::string LocalTimeStamp() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  {
    std::lock_guard lock(TimeZoneLock());
    localtime_r(&now.tv_sec, &local);
  }
  long offset = local.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char stamp[128];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, now.tv_nsec / 1000000, sign, offset / 60, offset % 60);
  return stamp;
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_AUDIT_FAILURE:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

// One syslog line per entry: line breaks and other control characters become blanks.
void MirrorToSyslog(const std::string& source, WORD type, DWORD id,
                    const std::vector<std::string>& strings) {
  std::string text = source + "[" + std::to_string(id & 0xFFFF) + "]:";
  for (const auto& s : strings) text += " " + s;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  syslog(LOG_MAIL | SyslogPriority(type), "%s", text.c_str());
}

// How long a writer waits for another before it appends without the lock, and so without
// rotating: no thread of the service may stall on its log.
constexpr std::chrono::seconds kLockLimit{2};
// The Application log's default maximum size on Windows.
constexpr unsigned long long kDefaultMaxSize = 20ULL * 1024 * 1024;

// MaxSize (REG_DWORD, bytes) of the Application log's key; missing, of another type or 0 gives
// the default.
unsigned long long MaxLogSize() {
  unsigned long long size = kDefaultMaxSize;
  Hive::Machine().Read([&](RegKey& root) -> DWORD {
    RegKey* key = &root;
    for (auto part : {"SYSTEM", "CurrentControlSet", "Services", "EventLog", "Application"}) {
      key = key->Find(part);
      if (key == nullptr) return ERROR_SUCCESS;
    }
    auto* value = key->FindValue("MaxSize");
    DWORD bytes = 0;
    if (value != nullptr && value->type == REG_DWORD && value->data.size() == sizeof bytes) {
      std::memcpy(&bytes, value->data.data(), sizeof bytes);
      if (bytes != 0) size = bytes;
    }
    return ERROR_SUCCESS;
  });
  return size;
}

// Opens the log to append to it: a regular file only, never through a link, and a FIFO planted
// at the path cannot block the open. Returns -1 with the Win32 error in `error`.
int OpenForAppend(const std::string& path, struct stat& st, DWORD& error) {
  int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    error = Win32FromErrno(errno);
    return -1;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = ERROR_ACCESS_DENIED;
    close(fd);
    return -1;
  }
  return fd;
}

// Departure: the log never grows past its maximum size. The full file becomes
// Application.jsonl.1 (the one kept before goes) and a new file with the same owner and mode
// takes its place. Only a holder of the writers' lock rotates, so two writers never rotate at
// once; a writer that appends without the lock adds to the renamed file and loses nothing.
int Rotate(const std::string& path, int fd, struct stat& st, DWORD& error) {
  if (rename(path.c_str(), (path + ".1").c_str()) != 0) {
    syslog(LOG_MAIL | LOG_ERR, "%s: cannot start a new event log at its maximum size: %m",
           path.c_str());
    return fd;
  }
  close(fd);
  struct stat full = st;
  fd = OpenForAppend(path, st, error);
  if (fd >= 0 && st.st_size == 0) {
    if (geteuid() == 0 && fchown(fd, full.st_uid, full.st_gid) != 0) {
      syslog(LOG_MAIL | LOG_WARNING, "%s: the new event log keeps root as its owner: %m",
             path.c_str());
    }
    fchmod(fd, full.st_mode & 0666);
  }
  return fd;
}

// Appends one line as a whole or not at all. One O_APPEND write of a whole line keeps lines
// whole among writers in several processes; the writers' lock is needed only to rotate, and to
// undo a write cut short (disk full) so that no torn line stays behind.
DWORD AppendLine(const std::string& directory, const std::string& line) {
  std::string path = directory + "/Application.jsonl";
  WriterLock writers;
  DWORD locked = writers.Acquire(directory + "/Application.writers.lock", kLockLimit);
  if (locked != ERROR_SUCCESS) {
    syslog(LOG_MAIL | LOG_WARNING, "%s: written without the writers' lock (error %u)", path.c_str(),
           static_cast<unsigned>(locked));
  }
  struct stat st;
  DWORD result = ERROR_SUCCESS;
  int fd = OpenForAppend(path, st, result);
  if (fd >= 0 && locked == ERROR_SUCCESS && st.st_size > 0 &&
      static_cast<unsigned long long>(st.st_size) + line.size() > MaxLogSize()) {
    fd = Rotate(path, fd, st, result);
  }
  if (fd < 0) return result;
  size_t written = 0;
  while (written < line.size()) {
    ssize_t n = write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result = Win32FromErrno(n < 0 ? errno : ENOSPC);
      if (written > 0 && (locked != ERROR_SUCCESS || ftruncate(fd, st.st_size) != 0)) {
        syslog(LOG_MAIL | LOG_ERR, "%s: a partly written event log entry stays at the end",
               path.c_str());
      }
      break;
    }
    written += static_cast<size_t>(n);
  }
  close(fd);
  return result;
}

}  // namespace
}  // namespace lark

HANDLE WINAPI RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
  if (lpUNCServerName != nullptr && *lpUNCServerName != '\0') {
    lark::Fail(ERROR_NOT_SUPPORTED);  // there are no remote machines to log to
    return nullptr;
  }
  if (lpSourceName == nullptr || *lpSourceName == '\0') {
    lark::Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return lark::AddHandle(std::make_shared<lark::EventSource>(lpSourceName));
}

// The raw data and the user's SID are not kept: nothing the system reports carries them, and
// the viewer shows neither.
BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, void*,
                         WORD wNumStrings, DWORD, LPCSTR* lpStrings, LPVOID) {
  auto source = lark::LookupHandleAs<lark::EventSource>(hEventLog);
  if (!source) return lark::Fail(ERROR_INVALID_HANDLE);
  if (wNumStrings > 0 && lpStrings == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::string> strings;
  for (WORD i = 0; i < wNumStrings; ++i) strings.push_back(lark::InsertionString(lpStrings[i]));
  std::string sourceName = lark::ToUtf8(source->name);

  nlohmann::json record = {
      {"time", lark::LocalTimeStamp()},
      {"source", sourceName},
      {"type", wType},
      {"id", dwEventID},
      {"category", wCategory},
      {"strings", strings},
      {"pid", getpid()},
  };
  // The journal gets the entry even when the file cannot be written, so that an error event
  // is not lost along with a broken log directory.
  lark::MirrorToSyslog(sourceName, wType, dwEventID, strings);

  std::string directory = lark::MachineRoot() + "/eventlog";
  errno = 0;
  if (!lark::MakeDirectories(directory)) {
    return lark::Fail(errno != 0 ? lark::Win32FromErrno(errno) : ERROR_PATH_NOT_FOUND);
  }
  DWORD result = lark::AppendLine(directory, record.dump() + "\n");
  if (result != ERROR_SUCCESS) return lark::Fail(result);
  return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  if (!lark::LookupHandleAs<lark::EventSource>(hEventLog)) {
    return lark::Fail(ERROR_INVALID_HANDLE);
  }
  lark::RemoveHandle(hEventLog);
  return TRUE;
}
