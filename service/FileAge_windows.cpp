// The C runtime under Windows sets no time on a directory: the file system is asked directly.
#include <stdexcept>

#include "service/QueueTestSupport.h"

namespace service_test {

void MakeOlder(const std::string& path, int seconds) {
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
  ticks.QuadPart -= static_cast<ULONGLONG>(seconds) * 10000000ULL;
  const FILETIME then{ticks.LowPart, ticks.HighPart};
  const bool set = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, nullptr, &then);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!set) throw std::runtime_error("cannot set the write time of " + path);
}

}  // namespace service_test
