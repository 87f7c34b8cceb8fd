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
