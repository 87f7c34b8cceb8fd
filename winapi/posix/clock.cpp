// Local and UTC time, the time zone's bias, and the millisecond tick count.
#include <sys/time.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

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

DWORD WorkOutZone(TIME_ZONE_INFORMATION* tz, time_t t) {
  std::memset(tz, 0, sizeof *tz);
  tzset();
  struct tm local;
  localtime_r(&t, &local);
  // The bias in effect must be the offset of this moment. Zones whose daylight saving runs
  // backwards (Europe/Dublin keeps summer time as its standard time and marks winter as
  // daylight time) break any rule that takes the smaller offset of the year for standard time.
  const long now = local.tm_gmtoff / 60;
  const long january = OffsetAt(local.tm_year + 1900, 0);
  const long july = OffsetAt(local.tm_year + 1900, 6);
  const long other = january != now ? january : july;
  const bool daylight = local.tm_isdst > 0;
  const long standard = daylight ? other : now;
  tz->Bias = static_cast<LONG>(-standard);
  tz->StandardBias = 0;
  tz->DaylightBias = static_cast<LONG>(-((daylight ? now : other) - standard));
  CopyName(tz->StandardName, tzname[0]);
  CopyName(tz->DaylightName, tzname[1]);
  if (january == july && july == now) return TIME_ZONE_ID_UNKNOWN;
  return daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

// The zone as last worked out, for the second it was worked out in and the TZ it was read from:
// every message asks for it, and each working out reads /etc/localtime three times over.
struct KnownZone {
  time_t second = -1;
  std::optional<std::string> tz;
  TIME_ZONE_INFORMATION info{};
  DWORD which = TIME_ZONE_ID_INVALID;
};

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
  std::lock_guard lock(lark::TimeZoneLock());
  static auto* known = new KnownZone;  // never destroyed: a thread may ask during the exit
  const time_t t = time(nullptr);
  const char* env = std::getenv("TZ");
  std::optional<std::string> zone = env != nullptr ? std::optional<std::string>(env) : std::nullopt;
  if (known->second != t || known->tz != zone) {
    known->which = WorkOutZone(&known->info, t);
    known->second = t;
    known->tz = std::move(zone);
  }
  *tz = known->info;
  return known->which;
}

DWORD WINAPI GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(now.tv_sec * 1000ULL +
                            static_cast<unsigned long long>(now.tv_nsec) / 1000000);
}
