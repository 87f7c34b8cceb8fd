// The zone comes from TZ on Linux; Windows takes it from its own settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "mailer/SMTPCust.h"

namespace {

TEST(FormatMailDateTest, TheSameMomentInEveryZone) {
  setenv("TZ", "UTC", 1);
  std::string utc = mailer::FormatMailDate();
  // The same moment in every zone, to the hour; Europe/Dublin keeps summer time as its standard
  // time, Sydney's summer is in December.
  for (const char* zone : {"America/New_York", "Europe/Dublin", "Australia/Sydney"}) {
    setenv("TZ", zone, 1);
    std::string there = mailer::FormatMailDate();
    EXPECT_EQ(utc.substr(0, 20), there.substr(0, 20)) << zone;
  }
  unsetenv("TZ");
}

}  // namespace
