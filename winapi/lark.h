// Project-only calls of the machine layer, beside the Win32 API: what Larkpost needs that Win32
// does not have, or has with a behaviour the system cannot rely on. Both machine layers implement
// every one; a call marked "Linux only" fails on Windows with ERROR_NOT_SUPPORTED, and the caller
// says what that means there. Include winapi/winapi.h, never this file.
#pragma once

// ---- Machine root -----------------------------------------------------------------------------
// The directory that holds all machine state: $LARKPOST_ROOT, else /var/lib/larkpost for root,
// else ${XDG_STATE_HOME:-$HOME/.local/state}/larkpost (on Windows: %ProgramData%\Larkpost).
// Returns the length, or the size needed.
DWORD WINAPI LarkGetMachineRootA(DWORD nBufferLength, LPSTR lpBuffer);
// Makes lpPath the machine root of this process and of the programs it starts ($LARKPOST_ROOT;
// null: back to the default). On Windows a machine root set so also holds the process's own
// HKEY_LOCAL_MACHINE (HKCU\Software\Larkpost\Machine roots\<path>), so that tests never touch the
// machine's settings.
BOOL WINAPI LarkSetMachineRootA(LPCSTR lpPath);

// ---- Registry ---------------------------------------------------------------------------------
// Linux only: the text of the last hive problem this thread met (a hive that cannot be parsed
// gives ERROR_BADDB; this tells its path and line). Returns the length copied (0 on Windows).
DWORD WINAPI LarkRegGetProblemA(LPSTR lpBuffer, DWORD nSize);

// ---- Files and directories --------------------------------------------------------------------
// Directories opened once and then worked in by name, so that a link put in place of a directory
// afterwards is never followed. Close the handle with CloseHandle; FlushFileBuffers on it makes
// the names in it, new, removed or moved, survive a crash of the machine.
// lpName is a path when hParent is null, else a name inside hParent. With
// FILE_FLAG_OPEN_REPARSE_POINT a link at lpName is refused rather than followed; a link or anything
// but a directory fails with ERROR_DIRECTORY.
HANDLE WINAPI LarkOpenDirectoryA(HANDLE hParent, LPCSTR lpName, DWORD dwFlags);
// The attributes of a name in the opened directory, as a listing gives them (a link not followed);
// INVALID_FILE_ATTRIBUTES with ERROR_FILE_NOT_FOUND when there is no such name.
DWORD WINAPI LarkGetFileAttributesAtA(HANDLE hDirectory, LPCSTR lpName);
// Linux only: the user who owns the opened directory.
BOOL WINAPI LarkGetDirectoryOwner(HANDLE hDirectory, LPDWORD lpOwner);
// Moves a file or a directory from one opened directory to another (or the same one), never
// replacing an existing target (ERROR_ALREADY_EXISTS). Unlike MoveFileA any name the file system
// takes is allowed, "*" and "?" too.
BOOL WINAPI LarkMoveFileAtA(HANDLE hFromDirectory, LPCSTR lpExistingName, HANDLE hToDirectory,
                            LPCSTR lpNewName);
// Removes a name in the opened directory: a directory with everything in it, anything else by
// itself. A link is removed, never followed, at every depth.
BOOL WINAPI LarkRemoveTreeAtA(HANDLE hDirectory, LPCSTR lpName);
// Sets the permission bits of an open file (an octal mode such as 0640), whatever the creating
// process's umask made them. On Windows it does nothing and succeeds: files take their access
// from the directory's ACL.
BOOL WINAPI LarkSetFileMode(HANDLE hFile, DWORD dwMode);
// Linux only: who may use an open file that holds a secret: *lpOwner the user id that owns it,
// *lpMode its permission bits (such as 0600), *lpProcessUser the user id this process runs as.
BOOL WINAPI LarkGetFileOwnerAndMode(HANDLE hFile, LPDWORD lpOwner, LPDWORD lpMode,
                                    LPDWORD lpProcessUser);
// An exclusive lock on <machine root>/run/locks/<lpName>.lock, held until the handle is closed
// (also when the process dies). Another holder in any process: ERROR_LOCK_VIOLATION.
HANDLE WINAPI LarkLockFileA(LPCSTR lpName);

// ---- Modules ----------------------------------------------------------------------------------
// Built-in modules stand in for DLLs: LoadLibraryA finds a registered name before any file, and
// GetProcAddress answers for it from the table. Tests register variants of the Winsock modules.
struct LarkModuleExport {
  const char* name;
  FARPROC proc;
};
// Registers (or replaces) a built-in module under name, exporting the given entries.
void WINAPI LarkRegisterModuleA(LPCSTR name, const LarkModuleExport* exports, DWORD count);
// The exports of a module, for building a variant of it ("wsock32.dll" and "ws2_32.dll": the
// functions the system calls); 0 when unknown.
DWORD WINAPI LarkGetModuleExportsA(LPCSTR name, const LarkModuleExport** exports);

// ---- Threads ----------------------------------------------------------------------------------
// TerminateThread and SuspendThread are cooperative on both platforms: they take effect at the
// thread's next wait point (Sleep, a WaitFor..., PeekMessageA), where a suspended thread blocks
// until resumed and an ended one unwinds, so its locks are released and its files removed.
// A thread that must finish a wait before it may be ended by force (a destructor waiting for
// another thread) brackets it with these. A forced end that arrives meanwhile takes effect at the
// thread's first wait point after the outermost LarkEndNoTermination.
void WINAPI LarkBeginNoTermination();
void WINAPI LarkEndNoTermination();
// Whether TerminateThread has been called on the calling thread.
BOOL WINAPI LarkThreadTerminating();

// ---- Service control manager ------------------------------------------------------------------
// Linux only: what made this thread's last StartServiceA fail, when a code alone does not tell
// (the path that another user could change). Returns the length copied (0 on Windows).
DWORD WINAPI LarkGetServiceProblemA(LPSTR lpBuffer, DWORD nSize);
// Starts the service as StartServiceA does, but as a child of the caller, which a supervisor such
// as systemd watches; SIGTERM and SIGINT to the caller stop the service. Returns once its process
// has ended, with the status it ended in (a service that ended without reporting STOPPED reads as
// STOPPED with ERROR_PROCESS_ABORTED). Passes NOTIFY_SOCKET on to the service. The stop signals
// are taken by the calling thread alone: call it from a program's only thread. On Windows the
// service control manager starts the service, and this returns once it has stopped.
BOOL WINAPI LarkRunServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors,
                            LPSERVICE_STATUS lpServiceStatus);

// A procedure GetProcAddress found, as the function type it has. The cast goes through
// void(*)(), which the compiler takes as deliberate for any function type.
template <class F>
F* LarkProcAs(FARPROC proc) {
  return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(proc));
}
// A function as a procedure for a module's table (LarkRegisterModuleA).
template <class F>
FARPROC LarkAsProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}
