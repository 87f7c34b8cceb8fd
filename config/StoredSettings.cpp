#include "config/StoredSettings.h"

#include <stdexcept>

#include "rtl/Registry.h"
#include "settings/RegSet.h"

namespace config_testing {
namespace {

template <class Use>
auto WithKey(REGSAM access, bool create, Use use) {
  rtl::TRegistry reg(access);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  bool open = reg.OpenKey(settings::kSettingsKey, create);
  return use(reg, open);
}

}  // namespace

void StoreString(const char* name, const std::string& value) {
  WithKey(KEY_ALL_ACCESS, true, [&](rtl::TRegistry& reg, bool open) {
    if (!open) throw std::runtime_error("cannot create the settings key");
    reg.WriteString(name, value);
  });
}

void StoreInteger(const char* name, int value) {
  WithKey(KEY_ALL_ACCESS, true, [&](rtl::TRegistry& reg, bool open) {
    if (!open) throw std::runtime_error("cannot create the settings key");
    reg.WriteInteger(name, value);
  });
}

std::optional<std::string> StoredString(const char* name) {
  return WithKey(KEY_READ, false, [&](rtl::TRegistry& reg, bool open) {
    return open && reg.ValueExists(name) ? std::optional(reg.ReadString(name)) : std::nullopt;
  });
}

std::optional<int> StoredInteger(const char* name) {
  return WithKey(KEY_READ, false, [&](rtl::TRegistry& reg, bool open) {
    return open && reg.ValueExists(name) ? std::optional(reg.ReadInteger(name)) : std::nullopt;
  });
}

}  // namespace config_testing
