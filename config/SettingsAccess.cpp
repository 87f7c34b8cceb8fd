#include "config/SettingsAccess.h"

#include "settings/RegSet.h"

namespace config {

DWORD SettingsWriteError() {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings::kSettingsKey, 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return static_cast<DWORD>(status);
}

}  // namespace config
