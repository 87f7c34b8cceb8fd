// Local and UTC time, the time zone's bias, and the millisecond tick count.
#include <sys/time.h>
#include <time.h>

#include <cstring>

#include "winapi/posix/internal.h"

namespace {

void Fill(SYSTEMTIME* out, const struct tm& tm, long nanoseconds) {
  out->wYear = static_cast<WORD>(tm.tm_year + 1900);
  out->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  out->wDay = static_cast<WORD>(tm.tm_mday);
  out->wHour = static_cast<WORD>(tm.tm_hour);
  out->wMinute = static_cast<WORD>(tm.tm_min);
  out->wSecond = static_cast<WORD>(tm.tm_sec);
  out->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

void CopyName(WCHAR* out, const char* name) {
  size_t i = 0;
  for (; name != nullptr && name[i] != '\0' && i < 31; ++i) out[i] = static_cast<WCHAR>(name[i]);
  out[i] = 0;
}

// Minutes east of UTC in effect at the given moment of this year.
long OffsetAt(int year, int month) {
  struct tm probe {};
  probe.tm_year = year - 1900;
  probe.tm_mon = month;
  probe.tm_mday = 15;
  probe.tm_hour = 12;
  probe.tm_isdst = -1;
  time_t t = mktime(&probe);
  struct tm local;
  localtime_r(&t, &local);
  return local.tm_gmtoff / 60;
}

}  // namespace

namespace lark {

std::mutex& TimeZoneLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

}  // namespace lark

void WINAPI GetLocalTime(SYSTEMTIME* lpSystemTime) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm;
  {
    std::lock_guard lock(lark::TimeZoneLock());
    localtime_r(&now.tv_sec, &tm);
  }
  Fill(lpSystemTime, tm, now.tv_nsec);
}

void WINAPI GetSystemTime(SYSTEMTIME* lpSystemTime) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm;
  gmtime_r(&now.tv_sec, &tm);
  Fill(lpSystemTime, tm, now.tv_nsec);
}

DWORD WINAPI GetTimeZoneInformation(TIME_ZONE_INFORMATION* tz) {
  std::memset(tz, 0, sizeof *tz);
  std::lock_guard lock(lark::TimeZoneLock());
  tzset();
  time_t t = time(nullptr);
  struct tm local;
  localtime_r(&t, &local);
  long january = OffsetAt(local.tm_year + 1900, 0);
  long july = OffsetAt(local.tm_year + 1900, 6);
  long standard = std::min(january, july);
  // Bias is UTC minus local time, in minutes; the daylight bias is added during summer time.
  tz->Bias = static_cast<LONG>(-standard);
  tz->StandardBias = 0;
  tz->DaylightBias = static_cast<LONG>(-(std::max(january, july) - standard));
  CopyName(tz->StandardName, tzname[0]);
  CopyName(tz->DaylightName, tzname[1]);
  if (january == july) return TIME_ZONE_ID_UNKNOWN;
  return local.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

DWORD WINAPI GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(now.tv_sec * 1000ULL +
                            static_cast<unsigned long long>(now.tv_nsec) / 1000000);
}
