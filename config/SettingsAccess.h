// Why the settings cannot be saved, in the system's own words: the registry accessor's errors
// name the key but not the cause, which a user without the rights needs to read.
#pragma once

#include "winapi/winapi.h"

namespace config {

// The Win32 code that keeps the settings key from being opened for writing; ERROR_SUCCESS when
// it opens.
DWORD SettingsWriteError();

}  // namespace config
