// The machine layer: the subset of the Win32 API that Larkpost calls, with Win32 names, types and
// semantics, and the few project-only calls beside it (winapi/lark.h). On Linux winapi/posix/
// implements it over the machine root ($LARKPOST_ROOT); on Windows it is the real API, with
// winapi/win32/ keeping the project's behaviour where the system relies on it.
#pragma once

#ifdef _WIN32
#include "winapi/win32/api.h"
#else
#include "winapi/posix/api.h"
#endif

#include "winapi/lark.h"
