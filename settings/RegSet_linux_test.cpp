// The Linux machine layer keeps the registry in a hive file, which a test can make unreadable.
#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

namespace {

TEST(SettingsHiveTest, ASaveThatCannotWriteRaisesARegistryError) {
  testing_support::MachineRoot root;
  settings::Settings() = settings::TSettings{};
  root.WriteHive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n");  // unreadable, never replaced
  settings::Settings().QuePath = "/q";
  EXPECT_THROW(settings::SaveSettings(), rtl::ERegistryException);
  EXPECT_EQ(settings::Settings().FailedPath, "");
  settings::LoadSettings();  // a load never fails
  EXPECT_EQ(settings::Settings().Threads, 10);
}

}  // namespace
