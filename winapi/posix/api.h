// The subset of the Win32 API that Larkpost calls, with Win32 names, types and semantics, as
// winapi/posix/ implements it on Linux over the machine root ($LARKPOST_ROOT). Nothing here
// includes a POSIX header. Include winapi/winapi.h, never this file.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char16_t WCHAR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef WORD ATOM;

struct HWND__;
typedef HWND__* HWND;
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct SECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WINAPI
#define CALLBACK
#define MAX_PATH 260
// The separator paths are built with, and every character that ends the directory part of a path.
#define LARK_PATH_DELIM '/'
#define LARK_PATH_DELIMS "/"

// ---- Errors -----------------------------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD dwErrCode);

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
// Copies the system's English text for dwMessageId (ending in "\r\n") and returns its length;
// 0 with ERROR_MR_MID_NOT_FOUND for a code without a text, ERROR_INSUFFICIENT_BUFFER when cut.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, void* Arguments);

// ---- Kernel objects and waits -----------------------------------------------------------------
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF
#define MAXIMUM_WAIT_OBJECTS 64
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

HANDLE WINAPI CreateEventA(SECURITY_ATTRIBUTES* lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds);
BOOL WINAPI CloseHandle(HANDLE hObject);
typedef HANDLE* LPHANDLE;
#define DUPLICATE_SAME_ACCESS 0x00000002
// The pseudo handle of the calling process; the only process DuplicateHandle knows.
HANDLE WINAPI GetCurrentProcess();
// A second handle to the same object, valid until closed, whatever happens to the first.
BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                            HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle,
                            DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);

// ---- Threads ----------------------------------------------------------------------------------
// Suspension and forced termination take effect at the target's next wait point (Sleep, any
// WaitFor..., PeekMessageA). A terminated thread unwinds from there, running destructors.
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259

HANDLE WINAPI CreateThread(SECURITY_ATTRIBUTES* lpThreadAttributes, size_t dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId);
DWORD WINAPI ResumeThread(HANDLE hThread);
DWORD WINAPI SuspendThread(HANDLE hThread);
BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetCurrentThreadId();

struct CRITICAL_SECTION {
  void* Impl;
};
void WINAPI InitializeCriticalSection(CRITICAL_SECTION* lpCriticalSection);
void WINAPI DeleteCriticalSection(CRITICAL_SECTION* lpCriticalSection);
void WINAPI EnterCriticalSection(CRITICAL_SECTION* lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(CRITICAL_SECTION* lpCriticalSection);
void WINAPI LeaveCriticalSection(CRITICAL_SECTION* lpCriticalSection);

// ---- Window messages, hidden windows, timers --------------------------------------------------
struct POINT {
  LONG x;
  LONG y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};

#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define QS_POSTMESSAGE 0x0008
#define QS_TIMER 0x0010
#define QS_ALLINPUT 0x04FF
#define GWLP_WNDPROC (-4)
#define GWLP_USERDATA (-21)
#define WS_POPUP 0x80000000L
#define HWND_MESSAGE ((HWND)(intptr_t)-3)
#define USER_TIMER_MINIMUM 0x0000000A

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass);
BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance);
HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, void* hMenu,
                            HINSTANCE hInstance, LPVOID lpParam);
BOOL WINAPI DestroyWindow(HWND hWnd);
BOOL WINAPI IsWindow(HWND hWnd);
LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int nExitCode);
BOOL WINAPI PeekMessageA(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg);
BOOL WINAPI TranslateMessage(const MSG* lpMsg);
LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
// Also returns WAIT_OBJECT_0 + nCount when a message (posted, or a due timer) is waiting.
DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                       DWORD dwMilliseconds, DWORD dwWakeMask);
UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent);

// ---- Registry ---------------------------------------------------------------------------------
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData);
LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Fails with ERROR_ACCESS_DENIED while the key has subkeys, as on Windows NT.
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                             void* lpftLastWriteTime);
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegCloseKey(HKEY hKey);

// ---- Profile files ----------------------------------------------------------------------------
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName);
UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, int nDefault,
                                  LPCSTR lpFileName);

// ---- Files and directories --------------------------------------------------------------------
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
};

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFF

// Entries are described as they are, a link never followed: a symbolic link carries
// FILE_ATTRIBUTE_REPARSE_POINT, and anything but a file, a directory or a link (a FIFO, a socket, a
// device) FILE_ATTRIBUTE_DEVICE.
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, WIN32_FIND_DATAA* lpFindFileData);
BOOL WINAPI FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
// Never replaces an existing target (ERROR_ALREADY_EXISTS).
BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, SECURITY_ATTRIBUTES* lpSecurityAttributes);
// A new directory with the template directory's attributes: here its mode and, where the caller
// may give it, its owner and group.
BOOL WINAPI CreateDirectoryExA(LPCSTR lpTemplateDirectory, LPCSTR lpNewDirectory,
                               SECURITY_ATTRIBUTES* lpSecurityAttributes);
BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName);
DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                             LPSTR lpTempFileName);

#define ERROR_LOCK_VIOLATION 33L

#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002
#define FILE_NOTIFY_CHANGE_SIZE 0x00000008
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x00000010
HANDLE WINAPI FindFirstChangeNotificationA(LPCSTR lpPathName, BOOL bWatchSubtree,
                                           DWORD dwNotifyFilter);
BOOL WINAPI FindNextChangeNotification(HANDLE hChangeHandle);
BOOL WINAPI FindCloseChangeNotification(HANDLE hChangeHandle);

// ---- Clock ------------------------------------------------------------------------------------
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
struct TIME_ZONE_INFORMATION {
  LONG Bias;
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};
#define TIME_ZONE_ID_UNKNOWN 0
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2
#define TIME_ZONE_ID_INVALID 0xFFFFFFFF

void WINAPI GetLocalTime(SYSTEMTIME* lpSystemTime);
void WINAPI GetSystemTime(SYSTEMTIME* lpSystemTime);
DWORD WINAPI GetTimeZoneInformation(TIME_ZONE_INFORMATION* lpTimeZoneInformation);
DWORD WINAPI GetTickCount();

// ---- Modules ----------------------------------------------------------------------------------
// LoadLibraryA knows built-in modules first: "wsock32.dll" and "ws2_32.dll" are the Winsock modules
// below; tests may register others. Any other name is loaded as a shared library (OpenSSL's, when
// a relay first needs TLS), and one that is not there fails as a missing DLL does.
typedef void(WINAPI* FARPROC)();
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define SEM_NOOPENFILEERRORBOX 0x8000

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
UINT WINAPI SetErrorMode(UINT uMode);

// ---- Winsock types (the functions are reached through GetProcAddress) -------------------------
// "wsock32.dll" has the Winsock 1.1 functions; "ws2_32.dll" has them too, and the address
// look-up and IPv6 pieces below.
typedef uintptr_t SOCKET;
#define INVALID_SOCKET (SOCKET)(~0)
#define SOCKET_ERROR (-1)
// Guarded: the Linux implementation sees the same values from the system's own headers.
#ifndef AF_UNSPEC
#define AF_UNSPEC 0
#endif
#ifndef AF_INET
#define AF_INET 2
#endif
// Linux's own headers, which only the machine layer sees, give AF_INET6 10: the machine layer
// translates between the two under this name.
#define WS_AF_INET6 23
#ifndef AF_INET6
#define AF_INET6 WS_AF_INET6
#endif
#ifndef SOCK_STREAM
#define SOCK_STREAM 1
#endif
#ifndef INADDR_NONE
#define INADDR_NONE 0xFFFFFFFF
#endif
#ifndef MSG_PEEK
#define MSG_PEEK 0x2
#endif
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#define MAXGETHOSTSTRUCT 1024
#define SD_BOTH 2

#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAENOPROTOOPT 10042
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSATYPE_NOT_FOUND 10109
#define WSA_E_CANCELLED 10111
#define WSA_INVALID_HANDLE ERROR_INVALID_HANDLE
#define WSA_NOT_ENOUGH_MEMORY ERROR_NOT_ENOUGH_MEMORY
#define WSA_IO_PENDING 997L
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

#define WSAMAKESELECTREPLY(event, error) \
  ((LPARAM)(((DWORD)(WORD)(event)) | (((DWORD)(WORD)(error)) << 16)))
#define WSAGETSELECTEVENT(lParam) ((WORD)((DWORD)(lParam)&0xFFFF))
#define WSAGETSELECTERROR(lParam) ((WORD)(((DWORD)(lParam) >> 16) & 0xFFFF))
#define WSAGETASYNCBUFLEN(lParam) WSAGETSELECTEVENT(lParam)
#define WSAGETASYNCERROR(lParam) WSAGETSELECTERROR(lParam)

struct IN_ADDR {
  uint32_t s_addr;  // network order
};
struct SOCKADDR {
  uint16_t sa_family;
  char sa_data[14];
};
struct SOCKADDR_IN {
  int16_t sin_family;
  uint16_t sin_port;  // network order
  IN_ADDR sin_addr;
  char sin_zero[8];
};
struct HOSTENT {
  char* h_name;
  char** h_aliases;
  int16_t h_addrtype;
  int16_t h_length;
  char** h_addr_list;
};
struct SERVENT {
  char* s_name;
  char** s_aliases;
  int16_t s_port;  // network order
  char* s_proto;
};
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};

struct IN6_ADDR {
  union {
    uint8_t Byte[16];
    uint16_t Word[8];
  } u;
};
struct SOCKADDR_IN6 {
  uint16_t sin6_family;
  uint16_t sin6_port;  // network order
  uint32_t sin6_flowinfo;
  IN6_ADDR sin6_addr;
  uint32_t sin6_scope_id;
};
struct SOCKADDR_STORAGE {
  uint16_t ss_family;
  char __ss_pad1[6];
  int64_t __ss_align;
  char __ss_pad2[112];
};
struct TIMEVAL {
  LONG tv_sec;
  LONG tv_usec;
};
struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
typedef GUID* LPGUID;
struct OVERLAPPED {
  uintptr_t Internal;  // the status of the operation while it runs and when it ends
  uintptr_t InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;
typedef void(CALLBACK* LPLOOKUPSERVICE_COMPLETION_ROUTINE)(DWORD dwError, DWORD dwBytes,
                                                           LPOVERLAPPED lpOverlapped);
struct ADDRINFOEXW {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  size_t ai_addrlen;
  WCHAR* ai_canonname;
  SOCKADDR* ai_addr;
  void* ai_blob;
  size_t ai_bloblen;
  LPGUID ai_provider;
  ADDRINFOEXW* ai_next;
};
typedef ADDRINFOEXW* PADDRINFOEXW;
#define NS_ALL 0
#define NS_DNS 12
// GetAddrInfoExW with an OVERLAPPED returns WSA_IO_PENDING at once; when the look-up ends, the
// answers are in *ppResult, GetAddrInfoExOverlappedResult gives its status and hEvent is set.
// After GetAddrInfoExCancel returns, nothing more is written to the caller's memory: the status
// reads WSA_E_CANCELLED and hEvent is set. Completion routines are not supported.

// ---- System and user names ----------------------------------------------------------------------
typedef enum _COMPUTER_NAME_FORMAT {
  ComputerNameNetBIOS = 0,
  ComputerNameDnsHostname = 1,
  ComputerNameDnsDomain = 2,
  ComputerNameDnsFullyQualified = 3
} COMPUTER_NAME_FORMAT;
// The host's name in the asked form; the fully qualified name is the one the resolver gives the
// host name (the host name itself when it has none). *nSize is the buffer's size in, the length
// out; ERROR_MORE_DATA with the size needed when it does not fit.
BOOL WINAPI GetComputerNameExA(COMPUTER_NAME_FORMAT NameType, LPSTR lpBuffer, LPDWORD nSize);
// The name of the user the process runs as. *pcbBuffer is the buffer's size in, the length with
// the ending NUL out; ERROR_INSUFFICIENT_BUFFER when it does not fit.
BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);

// ---- Processes, command line, console -----------------------------------------------------------
// Sets (lpValue null: removes) a variable of the process's environment, which the programs it
// starts inherit.
BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
// The full path of the running program (hModule must be null); 0 on failure. Cut to nSize - 1
// characters with ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_SHUTDOWN_EVENT 6
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD dwCtrlType);
// SIGINT arrives as CTRL_C_EVENT, SIGQUIT as CTRL_BREAK_EVENT and SIGTERM as CTRL_SHUTDOWN_EVENT,
// each on a thread of its own; handlers run last-added first until one returns TRUE. When none
// does, the signal's default action ends the process.
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);

// ---- Service control manager ------------------------------------------------------------------
// The service database is HKLM\SYSTEM\CurrentControlSet\Services\<Name>. A started service's
// runtime state is <machine root>/run/services/<Name>/: "status" (written by SetServiceStatus)
// and "control" (a socket only its owner may connect to).
struct SC_HANDLE__;
typedef SC_HANDLE__* SC_HANDLE;
struct SERVICE_STATUS_HANDLE__;
typedef SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SC_MANAGER_CONNECT 0x0001
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define DELETE 0x00010000

#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_INTERACTIVE_PROCESS 0x00000100

#define SERVICE_AUTO_START 0x00000002
#define SERVICE_DEMAND_START 0x00000003
#define SERVICE_DISABLED 0x00000004
#define SERVICE_ERROR_NORMAL 0x00000001

#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_PAUSED 0x00000007

#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004

#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005

#define ERROR_DEPENDENT_SERVICES_RUNNING 1051L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_SPECIFIC_ERROR 1066L
#define ERROR_PROCESS_ABORTED 1067L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_SERVICE_LOGON_FAILED 1069L

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD dwNumServicesArgs, LPSTR* lpServiceArgVectors);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD dwControl);
typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                             LPVOID lpContext);
struct SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR lpPassword);
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
// Starts the program of ImagePath as a detached process and returns once its dispatcher has
// started the service's entry point (ERROR_SERVICE_REQUEST_TIMEOUT after 30 s).
BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors);
BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
// A service whose process no longer lives is reported SERVICE_STOPPED.
BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
BOOL WINAPI DeleteService(SC_HANDLE hService);
BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);
// Inside the service program. Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in a program
// that StartServiceA did not start; otherwise returns once every service of the table stopped.
BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus);

// ---- Event log --------------------------------------------------------------------------------
// Entries are appended to <machine root>/eventlog/Application.jsonl, one JSON object a line
// ("time", "source", "type", "id", "category", "strings", "pid"), and mirrored to syslog
// (facility mail).
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

HANDLE WINAPI RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                         void* lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings,
                         LPVOID lpRawData);
BOOL WINAPI DeregisterEventSource(HANDLE hEventLog);

// ---- Files opened by handle: appending (the message log), reading (a queued body) -------------
// Only what the system needs: FILE_APPEND_DATA with OPEN_ALWAYS, GENERIC_READ with
// OPEN_EXISTING, GENERIC_WRITE with CREATE_NEW (never through a link; ERROR_FILE_EXISTS when the
// name is taken), or a directory with FILE_FLAG_BACKUP_SEMANTICS and OPEN_EXISTING, whose handle
// serves FlushFileBuffers (anything else fails with ERROR_INVALID_PARAMETER). With
// FILE_FLAG_OPEN_REPARSE_POINT a symbolic link at the path is refused rather than followed;
// anything but a regular file is refused (ERROR_ACCESS_DENIED), and a FIFO never blocks the open.
// Appending to a file that existed leaves ERROR_ALREADY_EXISTS as the last error.
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define CREATE_NEW 1
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define OPEN_EXISTING 3
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define OPEN_ALWAYS 4
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define ERROR_DISK_FULL 112L
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          SECURITY_ATTRIBUTES* lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Writes every byte or fails (ERROR_DISK_FULL when the disk is full).
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, void* lpOverlapped);
// Puts what was written to the file, or the entries of the directory, on the disk.
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
// Reads up to nNumberOfBytesToRead; *lpNumberOfBytesRead is 0 at the end of the file.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, void* lpOverlapped);
#define INVALID_FILE_SIZE 0xFFFFFFFFu
// The low 32 bits of the size of an open file; the high ones in *lpFileSizeHigh when given.
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
typedef int64_t LONGLONG;
union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define ERROR_NEGATIVE_SEEK 131L
// Moves the position of the next ReadFile, or of an appending handle before SetEndOfFile cuts the
// file there; before the start fails with ERROR_NEGATIVE_SEEK.
BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;
// Cuts the file at the position of its handle.
BOOL WINAPI SetEndOfFile(HANDLE hFile);
// The volume serial number and file index together identify the file an open handle reads,
// whatever name it has now: a file renamed away and replaced at its path is told apart.
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
