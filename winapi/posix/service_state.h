// What the controller side (service_control.cpp) and the service side (service_dispatcher.cpp)
// of the service control manager share: the service database in the registry, the runtime
// state under <machine root>/run/services/<Name>/, and the wire format of control requests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "winapi/posix/internal.h"

namespace lark::scm {

inline constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";

// Win32 codes that winapi.h does not name.
inline constexpr DWORD kErrorInvalidData = 13;
inline constexpr DWORD kErrorDatabaseDoesNotExist = 1065;
inline constexpr DWORD kErrorDuplicateServiceName = 1078;
inline constexpr DWORD kErrorServiceNotInExe = 1083;

// What StartServiceA hands to the service process. The pid guards against a program that merely
// inherited the variables from a service (a child it runs), which must not take itself for one.
inline constexpr char kServiceVariable[] = "LARKPOST_SCM_SERVICE";
inline constexpr char kPidVariable[] = "LARKPOST_SCM_PID";
inline constexpr char kReadyVariable[] = "LARKPOST_SCM_READY";
inline constexpr char kArgsVariable[] = "LARKPOST_SCM_ARGS";
// Set only for a service run in the foreground: the pid of the process that waits for it.
inline constexpr char kRunnerVariable[] = "LARKPOST_SCM_RUNNER";
// The descriptor the ready channel has in the service process.
inline constexpr int kReadyFd = 3;

// Messages on the ready channel, from the service process to its starter: the entry point runs;
// the dispatcher failed (a DWORD code follows); exec failed (an errno follows).
inline constexpr char kReadyMessage = 'R';
inline constexpr char kFailedMessage = 'F';
inline constexpr char kExecFailedMessage = 'X';

// At most 256 characters, neither '/' nor '\'; "." and ".." would name other directories.
bool ValidServiceName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);

// ---- The service database ----
class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  PHKEY Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Finds an installed service (a key under Services with an ImagePath) by name, ignoring case;
// `stored` receives the name as the key spells it. 0, ERROR_SERVICE_DOES_NOT_EXIST, or the error
// of a registry that cannot be read.
DWORD FindService(std::string_view name, std::string& stored);
// Finds a service whose process runs by its run directory, for when the registry cannot be read.
bool FindRunningService(std::string_view name, std::string& stored);

struct ServiceConfig {
  bool exists = false;
  std::string imagePath;
  std::string displayName;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start = SERVICE_DEMAND_START;
  bool markedForDelete = false;
  std::string account;          // ObjectName
  DWORD error = ERROR_SUCCESS;  // why the key could not be read, when it exists but cannot be
};
ServiceConfig ReadConfig(const std::string& stored);
// Removes the service's key and whatever runtime state a dead process left.
DWORD RemoveService(const std::string& stored);

// ---- Accounts ----
struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};
// The local user a service runs as. ObjectName "LocalSystem" (or none) is the owner of the
// machine: of the machine root, so root for the system's own. Any other value names a local user,
// as ".\name" or "name". False when there is no such user.
bool ResolveAccount(const std::string& objectName, Account& account);
// The user whose files a service's runtime state must be; -1 when its account is unknown.
uid_t ServiceOwner(const std::string& stored);

// ---- Processes ----
struct ProcessId {
  long pid = 0;
  unsigned long long startTime = 0;  // from /proc/<pid>/stat, so a reused pid is told apart
};
ProcessId SelfProcess();

// ---- Runtime state ----
// Creates run/services/<Name> (mode 0755 so any user may query), refusing a symbolic link.
DWORD MakeRunDirectory(const std::string& stored);

struct StatusRecord {
  SERVICE_STATUS status{};
  ProcessId process;
  long runner = 0;  // the foreground runner that waits for the process, 0 when it was started
};
// Replaces the status file atomically (mode 0644).
DWORD WriteStatus(const std::string& stored, const StatusRecord& record);

struct Observed {
  SERVICE_STATUS status{};
  bool running = false;  // a live process whose service has not reported STOPPED
  long runner = 0;       // of a running service: the foreground runner waiting for it, or 0
};
// The status as a controller reports it: a missing status file or a dead process reads as
// STOPPED, with ERROR_PROCESS_ABORTED when the process ended without reporting STOPPED; a
// process that reported STOPPED but still lives reads as STOP_PENDING.
Observed Observe(const std::string& stored, DWORD type);

// The flock on run/services/<Name>/lock that serialises starters and removers. Released on
// destruction.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  DWORD Acquire(const std::string& stored);
  // Removes the lock file and the directory when nothing else is left in it.
  void RemoveDirectoryIfEmpty();

 private:
  int fd_ = -1;
  std::string dir_;
};

// Hands the run directory to the account the service runs as, which writes its state there.
DWORD GiveRunDirectory(const std::string& stored, const Account& account);

// Removes the status file and the control socket that a process no longer alive left behind;
// call holding the RunLock.
void RemoveStaleState(const std::string& stored);

std::string ControlSocketPath(const std::string& stored);
// The run directory, opened without following a link, and only when `owner` owns it; -1 with
// errno set otherwise.
int OpenRunDirectory(const std::string& stored, uid_t owner);
// The name under which a socket in the directory `dirFd` is bound or reached: a path through the
// descriptor, short enough for sun_path however deep the machine root lies.
std::string SocketPathIn(int dirFd, const char* name);

// ---- Start arguments: hex, each argument closed by ';' ----
std::string EncodeArguments(const std::vector<std::string>& args);
bool DecodeArguments(std::string_view text, std::vector<std::string>& args);

// ---- Control requests: a DWORD code; the reply is a DWORD result and, when the result is one
// that fills the caller's SERVICE_STATUS, the status. ----
struct ControlReply {
  DWORD result;
  SERVICE_STATUS status;
};
bool DefinedControl(DWORD control);
// Whether a control may go to a service in this status: 0, or the error ControlService reports.
DWORD CheckControl(DWORD control, const SERVICE_STATUS& status);
bool FillsStatus(DWORD result);

}  // namespace lark::scm
