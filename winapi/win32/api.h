// The machine layer on Windows: the real Win32 API. Where Larkpost relies on a behaviour real Win32
// does not have (threads ended and suspended only at their wait points, built-in modules beside
// the DLLs), the calls are routed through winapi/win32/ under their Win32 names. Include
// winapi/winapi.h, never this file.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
