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

// The separator paths are built with, and every character that ends the directory part of a path
// ("C:att.bin" names att.bin on drive C).
#define LARK_PATH_DELIM '\\'
#define LARK_PATH_DELIMS "\\/:"

// The routed calls, with the signatures of the real ones. A suspension or a forced end from
// another thread takes effect at the waits and at PeekMessageA; critical sections are counted, so
// that a thread is never suspended while it holds one.
HANDLE WINAPI LarkCreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                               LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                               DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL WINAPI LarkTerminateThread(HANDLE hThread, DWORD dwExitCode);
DWORD WINAPI LarkSuspendThread(HANDLE hThread);
DWORD WINAPI LarkResumeThread(HANDLE hThread);
void WINAPI LarkSleep(DWORD dwMilliseconds);
DWORD WINAPI LarkWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI LarkWaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds);
DWORD WINAPI LarkMsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                           DWORD dwMilliseconds, DWORD dwWakeMask);
BOOL WINAPI LarkPeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                             UINT wRemoveMsg);
void WINAPI LarkEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI LarkTryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LarkLeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
// Built-in modules (LarkRegisterModuleA) answer before any DLL of the same name.
HMODULE WINAPI LarkLoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI LarkGetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI LarkFreeLibrary(HMODULE hLibModule);

// winapi/win32/ itself calls the real functions under these names.
#ifndef LARKPOST_WIN32_LAYER
#define CreateThread LarkCreateThread
#define TerminateThread LarkTerminateThread
#define SuspendThread LarkSuspendThread
#define ResumeThread LarkResumeThread
#define Sleep LarkSleep
#define WaitForSingleObject LarkWaitForSingleObject
#define WaitForMultipleObjects LarkWaitForMultipleObjects
#define MsgWaitForMultipleObjects LarkMsgWaitForMultipleObjects
#define PeekMessageA LarkPeekMessageA
#define EnterCriticalSection LarkEnterCriticalSection
#define TryEnterCriticalSection LarkTryEnterCriticalSection
#define LeaveCriticalSection LarkLeaveCriticalSection
#define LoadLibraryA LarkLoadLibraryA
#define GetProcAddress LarkGetProcAddress
#define FreeLibrary LarkFreeLibrary
#endif
