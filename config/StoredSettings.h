// The settings as the registry holds them, written and read past the settings store, so that
// the window's tests see exactly what a save left behind.
#pragma once

#include <optional>
#include <string>

namespace config_testing {

void StoreString(const char* name, const std::string& value);
void StoreInteger(const char* name, int value);
// Nothing when the value (or the key) is missing.
std::optional<std::string> StoredString(const char* name);
std::optional<int> StoredInteger(const char* name);

}  // namespace config_testing
