// Pieces the Windows machine layer shares between its facilities. Every file of winapi/win32/
// includes this first: it calls the real Win32 functions, not the routed ones.
#pragma once

#define LARKPOST_WIN32_LAYER
#include <string>

#include "winapi/winapi.h"

namespace lark {

// The machine root as LarkGetMachineRootA gives it.
std::string MachineRoot();
// Creates a directory and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& path);
BOOL Fail(DWORD code);

}  // namespace lark
