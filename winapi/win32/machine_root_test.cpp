#include <gtest/gtest.h>
#include <process.h>

#include <cstdlib>
#include <string>

#include "testing/TempDir.h"
#include "winapi/winapi.h"

namespace {

constexpr const char* kKey = "SOFTWARE\\Larkpost\\MachineRootTest";

bool HasMarker() {
  DWORD size = 0;
  return RegGetValueA(HKEY_LOCAL_MACHINE, kKey, "Marker", RRF_RT_REG_SZ, nullptr, nullptr, &size) ==
         ERROR_SUCCESS;
}

// The exit code of the probe, a child with this process's environment: 0 when it sees the marker.
intptr_t ProbeExitCode() {
  return _spawnl(_P_WAIT, LARKPOST_MACHINE_ROOT_PROBE, "probe", kKey, "Marker", nullptr);
}

TEST(MachineRootTest, AMachineRootKeepsItsOwnRegistryForItselfAndItsChildren) {
  const std::string before = std::getenv("LARKPOST_ROOT") ? std::getenv("LARKPOST_ROOT") : "";
  testing_support::TempDir dir;
  ASSERT_TRUE(LarkSetMachineRootA(dir.Path().c_str()));
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Marker", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), 0);
  RegCloseKey(key);
  EXPECT_EQ(ProbeExitCode(), 0);
  // Classes are the machine root's SOFTWARE\Classes, as on Linux.
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ".larkpost-test", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.larkpost-test", &key), 0);
  RegCloseKey(key);

  ASSERT_TRUE(LarkSetMachineRootA(nullptr));
  EXPECT_FALSE(HasMarker());
  EXPECT_EQ(ProbeExitCode(), 2);
  ASSERT_TRUE(LarkSetMachineRootA(dir.Path().c_str()));
  EXPECT_TRUE(HasMarker());
  ASSERT_TRUE(LarkSetMachineRootA(before.empty() ? nullptr : before.c_str()));
  RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\Larkpost\\Machine roots\\" + dir.Path()).c_str());
}

}  // namespace
