#include "rtl/DateTime.h"

#include <gtest/gtest.h>

namespace {

TEST(DateTimeTest, FormatsThePatternsTheSystemPrints) {
  rtl::TDateTime when = rtl::EncodeDate(2026, 11, 3) + rtl::EncodeTime(14, 5, 9, 0);
  EXPECT_EQ(rtl::FormatDateTime("yy/mm/dd hh:mm:ss", when), "26/11/03 14:05:09");
  EXPECT_EQ(rtl::FormatDateTime("mmmm dd, yyyy hh:mm:ss", when), "November 03, 2026 14:05:09");
  EXPECT_EQ(rtl::FormatDateTime("d/m/yyyy h:nn 'at' zzz", when), "3/11/2026 14:05 at 000");
  rtl::TDateTime newYear = rtl::EncodeDate(2000, 1, 1) + rtl::EncodeTime(0, 0, 0, 0);
  EXPECT_EQ(rtl::FormatDateTime("mmmm dd, yyyy hh:mm:ss", newYear), "January 01, 2000 00:00:00");
}

TEST(DateTimeTest, EncodesAndDecodesAroundTheEpoch) {
  EXPECT_EQ(rtl::EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(rtl::EncodeDate(1900, 3, 1), 61.0);
  int y, m, d, h, n, s, ms;
  rtl::TDateTime leap = rtl::EncodeDate(2024, 2, 29) + rtl::EncodeTime(23, 59, 59, 999);
  rtl::DecodeDate(leap, y, m, d);
  rtl::DecodeTime(leap, h, n, s, ms);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240229);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 235959999);
  EXPECT_NEAR((rtl::EncodeTime(0, 0, 15, 0)) * rtl::kSecondsPerDay, 15.0, 1e-9);
}

TEST(DateTimeTest, NowIsTheLocalClock) {
  SYSTEMTIME local;
  GetLocalTime(&local);
  EXPECT_NEAR(rtl::Now(), rtl::SystemTimeToDateTime(local), 2.0 / rtl::kSecondsPerDay);
}

}  // namespace
