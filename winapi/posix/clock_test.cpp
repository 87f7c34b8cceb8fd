#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "winapi/winapi.h"

namespace {

// Runs a check with TZ set to zone, restoring the previous zone afterwards.
class ZoneTest : public ::testing::Test {
 protected:
  void Use(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  void TearDown() override {
    if (previous_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  const char* previous_ = std::getenv("TZ");
  std::string saved_ = previous_ != nullptr ? previous_ : "";
};

TEST_F(ZoneTest, BiasIsUtcMinusLocalInMinutes) {
  Use("UTC");
  TIME_ZONE_INFORMATION tz;
  EXPECT_EQ(GetTimeZoneInformation(&tz), static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN));
  EXPECT_EQ(tz.Bias, 0);

  Use("America/New_York");
  DWORD which = GetTimeZoneInformation(&tz);
  EXPECT_TRUE(which == TIME_ZONE_ID_STANDARD || which == TIME_ZONE_ID_DAYLIGHT);
  EXPECT_EQ(tz.Bias, 300);
  EXPECT_EQ(tz.StandardBias, 0);
  EXPECT_EQ(tz.DaylightBias, -60);
  EXPECT_EQ(tz.StandardName[0], u'E');

  Use("Asia/Kolkata");
  GetTimeZoneInformation(&tz);
  EXPECT_EQ(tz.Bias, -330);
}

// The bias in effect is this moment's offset in every zone, those whose daylight saving runs
// backwards (Europe/Dublin marks winter as daylight time) and southern ones included.
TEST_F(ZoneTest, TheBiasInEffectIsTheOffsetOfTheMoment) {
  for (const char* zone : {"UTC", "Europe/Dublin", "Europe/London", "America/New_York",
                           "Australia/Sydney", "Pacific/Chatham", "Asia/Kolkata"}) {
    Use(zone);
    TIME_ZONE_INFORMATION tz;
    DWORD which = GetTimeZoneInformation(&tz);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    long bias = tz.Bias + (which == TIME_ZONE_ID_DAYLIGHT   ? tz.DaylightBias
                           : which == TIME_ZONE_ID_STANDARD ? tz.StandardBias
                                                            : 0);
    EXPECT_EQ(bias, -local.tm_gmtoff / 60) << zone;
    EXPECT_EQ(which == TIME_ZONE_ID_DAYLIGHT, local.tm_isdst > 0) << zone;
  }
}

TEST_F(ZoneTest, LocalAndUtcClocksDifferByTheBias) {
  Use("Asia/Kolkata");
  SYSTEMTIME local, utc;
  GetLocalTime(&local);
  GetSystemTime(&utc);
  int localMinutes = local.wHour * 60 + local.wMinute;
  int utcMinutes = utc.wHour * 60 + utc.wMinute;
  int difference = ((localMinutes - utcMinutes) % 1440 + 1440) % 1440;
  EXPECT_TRUE(difference == 330 || difference == 331) << difference;  // a minute may turn over
  EXPECT_GE(local.wYear, 2024);
}

}  // namespace
