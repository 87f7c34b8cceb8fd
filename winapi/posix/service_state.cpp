// The runtime state of started services and the registry side of the service database. A status
// file names the process that wrote it by pid and start time, so a controller can tell a service
// that ended (even by kill -9) from a live one, and never reports RUNNING for ever.
#include "winapi/posix/service_state.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "winapi/posix/hive.h"

namespace lark::scm {
namespace {

bool OpenServiceKey(const std::string& stored, ScopedKey& key) {
  std::string path = std::string(kServicesKey) + "\\" + stored;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

bool QueryText(HKEY key, const char* name, std::string& out) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  out.assign(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out.data()), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  out.resize(size);
  while (!out.empty() && out.back() == '\0') out.pop_back();
  return true;
}

bool QueryDword(HKEY key, const char* name, DWORD& out) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value) {
    return false;
  }
  out = value;
  return true;
}

// Creates one directory of the runtime tree; it must be a real directory, not a link to one.
DWORD MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) {
    chmod(path.c_str(), 0755);  // whatever the umask, any user may read a service's status
  } else if (errno != EEXIST) {
    return Win32FromErrno(errno);
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Win32FromErrno(errno);
  return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string RunDirectory(const std::string& stored) {
  return MachineRoot() + "/run/services/" + stored;
}

std::string StatusPath(const std::string& stored) { return RunDirectory(stored) + "/status"; }

bool ParseNumber(std::string_view& text, unsigned long long& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  if (text.empty() || (text.front() != ' ' && text.front() != '\n')) return false;
  text.remove_prefix(1);
  return true;
}

// The state letter and start time (field 22) of /proc/<pid>/stat; the command name in field 2
// may hold blanks and parentheses, so fields are counted from the last ')'.
bool ReadProcessStat(long pid, char& state, unsigned long long& startTime) {
  std::string text;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", text)) return false;
  auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  std::string_view rest = std::string_view(text).substr(close + 2);
  state = rest.front();
  for (int field = 3; field < 22; ++field) {
    auto blank = rest.find(' ');
    if (blank == std::string_view::npos) return false;
    rest.remove_prefix(blank + 1);
  }
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), startTime);
  return ec == std::errc() && end != rest.data();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// False for a process that has ended (also when it waits as a zombie) or whose pid now belongs
// to another process.
bool IsAlive(const ProcessId& process) {
  if (process.pid <= 0) return false;
  char state = 0;
  unsigned long long startTime = 0;
  if (!ReadProcessStat(process.pid, state, startTime)) return false;
  return state != 'Z' && state != 'X' && startTime == process.startTime;
}

bool ReadStatus(const std::string& stored, StatusRecord& record) {
  // Only the service's own account writes its state: a status left by anyone else would let
  // them pin the service RUNNING by naming a live process. Even from the owner, accept a
  // regular file of sensible size only, and nothing in it but numbers.
  uid_t owner = ServiceOwner(stored);
  int dirFd = OpenRunDirectory(stored, owner);
  if (dirFd < 0) return false;
  int fd = openat(dirFd, "status", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  close(dirFd);
  if (fd < 0) return false;
  struct stat st;
  char buffer[256];
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner &&
      st.st_size < ssize_t(sizeof buffer)) {
    n = read(fd, buffer, sizeof buffer);
  }
  close(fd);
  if (n <= 0) return false;
  std::string_view text(buffer, static_cast<size_t>(n));
  // The runner's pid is the last field; a record written before there was one ends without it.
  unsigned long long fields[10] = {};
  for (size_t i = 0; i < std::size(fields) && (i < 9 || !text.empty()); ++i) {
    if (!ParseNumber(text, fields[i])) return false;
  }
  if (!text.empty() || fields[9] > 0x7FFFFFFFull) return false;
  for (int i = 0; i < 7; ++i) {
    if (fields[i] > 0xFFFFFFFFull) return false;
  }
  if (fields[1] < SERVICE_STOPPED || fields[1] > SERVICE_PAUSED) return false;
  if (fields[7] == 0 || fields[7] > 0x7FFFFFFFull) return false;
  SERVICE_STATUS& s = record.status;
  s.dwServiceType = static_cast<DWORD>(fields[0]);
  s.dwCurrentState = static_cast<DWORD>(fields[1]);
  s.dwControlsAccepted = static_cast<DWORD>(fields[2]);
  s.dwWin32ExitCode = static_cast<DWORD>(fields[3]);
  s.dwServiceSpecificExitCode = static_cast<DWORD>(fields[4]);
  s.dwCheckPoint = static_cast<DWORD>(fields[5]);
  s.dwWaitHint = static_cast<DWORD>(fields[6]);
  record.process = {static_cast<long>(fields[7]), fields[8]};
  record.runner = static_cast<long>(fields[9]);
  return true;
}

// The SERVICE_ACCEPT_ flag a control needs, 0 for those always delivered.
DWORD AcceptFlagFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN:
      return SERVICE_ACCEPT_SHUTDOWN;
    case 6:  // SERVICE_CONTROL_PARAMCHANGE
      return 0x08;
    case 7:  // SERVICE_CONTROL_NETBINDADD ... NETBINDDISABLE
    case 8:
    case 9:
    case 10:
      return 0x10;
    default:
      return 0;
  }
}

}  // namespace

bool ValidServiceName(std::string_view name) {
  if (name.empty() || name.size() > 256 || name == "." || name == "..") return false;
  return name.find_first_of("/\\") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

bool SameName(std::string_view a, std::string_view b) { return UpperCase(a) == UpperCase(b); }

DWORD FindService(std::string_view name, std::string& stored) {
  ScopedKey services;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, services.Out());
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (status != ERROR_SUCCESS) return status;
  char buffer[512];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof buffer;
    status = RegEnumKeyExA(services.Get(), i, buffer, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (status != ERROR_SUCCESS) return status;
    if (!SameName(buffer, name)) continue;
    ScopedKey key;
    std::string image;
    if (!OpenServiceKey(buffer, key) || !QueryText(key.Get(), "ImagePath", image)) {
      return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    stored = buffer;
    return ERROR_SUCCESS;
  }
}

bool FindRunningService(std::string_view name, std::string& stored) {
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::directory_iterator(MachineRoot() + "/run/services", ignored)) {
    std::string found = entry.path().filename().string();
    if (SameName(found, name) && Observe(found, SERVICE_WIN32_OWN_PROCESS).running) {
      stored = found;
      return true;
    }
  }
  return false;
}

ServiceConfig ReadConfig(const std::string& stored) {
  ServiceConfig config;
  ScopedKey key;
  std::string path = std::string(kServicesKey) + "\\" + stored;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Out());
  if (status != ERROR_SUCCESS) {
    if (status != ERROR_FILE_NOT_FOUND) config.error = status;
    return config;
  }
  config.exists = true;
  QueryText(key.Get(), "ImagePath", config.imagePath);
  QueryText(key.Get(), "DisplayName", config.displayName);
  QueryDword(key.Get(), "Type", config.type);
  QueryDword(key.Get(), "Start", config.start);
  DWORD flag = 0;
  config.markedForDelete = QueryDword(key.Get(), "DeleteFlag", flag) && flag != 0;
  QueryText(key.Get(), "ObjectName", config.account);
  return config;
}

bool ResolveAccount(const std::string& objectName, Account& account) {
  std::string name = objectName.rfind(".\\", 0) == 0 ? objectName.substr(2) : objectName;
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (name.empty() || SameName(name, "LocalSystem")) {
    struct stat st;
    account.uid = stat(MachineRoot().c_str(), &st) == 0 ? st.st_uid : geteuid();
    if (getpwuid_r(account.uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
      account.gid = getegid();
      account.groups.assign(1, account.gid);
      return true;
    }
  } else if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
             found == nullptr) {
    return false;
  }
  account.uid = found->pw_uid;
  account.gid = found->pw_gid;
  int count = 64;
  account.groups.resize(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count) < 0) {
    account.groups.resize(static_cast<size_t>(count));
    getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count);
  }
  account.groups.resize(static_cast<size_t>(std::max(count, 0)));
  return true;
}

uid_t ServiceOwner(const std::string& stored) {
  Account account;
  return ResolveAccount(ReadConfig(stored).account, account) ? account.uid : static_cast<uid_t>(-1);
}

DWORD RemoveService(const std::string& stored) {
  std::string path = std::string(kServicesKey) + "\\" + stored;
  LSTATUS status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
  if (Exists(RunDirectory(stored))) {
    RunLock lock;
    if (lock.Acquire(stored) == ERROR_SUCCESS) {
      RemoveStaleState(stored);
      lock.RemoveDirectoryIfEmpty();
    }
  }
  return ERROR_SUCCESS;
}

ProcessId SelfProcess() {
  ProcessId self{static_cast<long>(getpid()), 0};
  char state = 0;
  ReadProcessStat(self.pid, state, self.startTime);
  return self;
}

DWORD MakeRunDirectory(const std::string& stored) {
  std::string root = MachineRoot();
  if (!MakeDirectories(root)) return Win32FromErrno(errno);
  for (const std::string& path :
       {root + "/run", root + "/run/services", root + "/run/services/" + stored}) {
    if (DWORD error = MakeDirectory(path); error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

namespace {

// A full disk has no room for a new file, but a status of fixed length can always be written
// over the one that lies there, in one write that a reader sees whole.
DWORD OverwriteStatus(const std::string& stored, const char* text, int length) {
  int fd = open(StatusPath(stored).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ERROR_DISK_FULL;
  struct stat st;
  bool written = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                 st.st_size == length && pwrite(fd, text, static_cast<size_t>(length), 0) == length;
  close(fd);
  return written ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

}  // namespace

DWORD WriteStatus(const std::string& stored, const StatusRecord& record) {
  const SERVICE_STATUS& s = record.status;
  char text[176];
  int length = std::snprintf(
      text, sizeof text, "%010u %010u %010u %010u %010u %010u %010u %010ld %020llu %010ld\n",
      s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
      s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint, record.process.pid,
      record.process.startTime, record.runner);
  std::string temp = RunDirectory(stored) + "/.status.XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Win32FromErrno(errno);
  bool written = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<size_t>(length)) == length;
  int saved = errno;
  if (close(fd) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (written && rename(temp.c_str(), StatusPath(stored).c_str()) == 0) return ERROR_SUCCESS;
  if (written) saved = errno;
  unlink(temp.c_str());
  DWORD error = Win32FromErrno(saved);
  return error == ERROR_DISK_FULL ? OverwriteStatus(stored, text, length) : error;
}

Observed Observe(const std::string& stored, DWORD type) {
  Observed observed;
  observed.status.dwServiceType = type;
  observed.status.dwCurrentState = SERVICE_STOPPED;
  StatusRecord record;
  if (!ReadStatus(stored, record)) return observed;
  if (IsAlive(record.process)) {
    observed.status = record.status;
    observed.running = true;
    observed.runner = record.runner;
    // Reported, but the process (and maybe a service thread that never ended) lives on: it is
    // still going, and no second instance may start beside it.
    if (record.status.dwCurrentState == SERVICE_STOPPED) {
      observed.status.dwCurrentState = SERVICE_STOP_PENDING;
      observed.status.dwControlsAccepted = 0;
    }
  } else if (record.status.dwCurrentState == SERVICE_STOPPED) {
    observed.status = record.status;
  } else {
    observed.status.dwServiceType = record.status.dwServiceType;
    observed.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  }
  return observed;
}

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

DWORD RunLock::Acquire(const std::string& stored) {
  // The last user of the directory removes the lock file with it; a lock taken on a file that was
  // unlinked meanwhile guards nothing, so take it again on the file now at that path.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (DWORD error = MakeRunDirectory(stored); error != ERROR_SUCCESS) return error;
    std::string dir = RunDirectory(stored);
    std::string path = dir + "/lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      return Win32FromErrno(errno);
    }
    struct stat held, current;
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      close(fd);
      return ERROR_ACCESS_DENIED;
    }
    // Whoever can open the file can hold its lock; a starter waits a few seconds, not for ever.
    if (LockWithin(fd, std::chrono::seconds(5)) != ERROR_SUCCESS) {
      close(fd);
      return ERROR_SHARING_VIOLATION;
    }
    if (stat(path.c_str(), &current) == 0 && current.st_dev == held.st_dev &&
        current.st_ino == held.st_ino) {
      fd_ = fd;
      dir_ = dir;
      return ERROR_SUCCESS;
    }
    close(fd);
  }
  return ERROR_SHARING_VIOLATION;
}

void RunLock::RemoveDirectoryIfEmpty() {
  if (fd_ < 0 || Exists(dir_ + "/status") || Exists(dir_ + "/control")) return;
  unlink((dir_ + "/lock").c_str());
  rmdir(dir_.c_str());
}

DWORD GiveRunDirectory(const std::string& stored, const Account& account) {
  int fd = open(RunDirectory(stored).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Win32FromErrno(errno);
  DWORD result = fchown(fd, account.uid, account.gid) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
  close(fd);
  return result;
}

void RemoveStaleState(const std::string& stored) {
  unlink(StatusPath(stored).c_str());
  unlink(ControlSocketPath(stored).c_str());
}

std::string ControlSocketPath(const std::string& stored) {
  return RunDirectory(stored) + "/control";
}

int OpenRunDirectory(const std::string& stored, uid_t owner) {
  int fd = open(RunDirectory(stored).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != owner) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

std::string SocketPathIn(int dirFd, const char* name) {
  return "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
}

std::string EncodeArguments(const std::vector<std::string>& args) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const auto& arg : args) {
    for (unsigned char c : arg) {
      text += kDigits[c >> 4];
      text += kDigits[c & 15];
    }
    text += ';';
  }
  return text;
}

bool DecodeArguments(std::string_view text, std::vector<std::string>& args) {
  args.clear();
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ';') {
      args.push_back(std::move(current));
      current.clear();
      continue;
    }
    if (i + 1 >= text.size()) return false;
    int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    current += static_cast<char>(high * 16 + low);
    ++i;
  }
  return current.empty();
}

bool DefinedControl(DWORD control) {
  return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE) ||
         (control >= 6 && control <= 10) || (control >= 128 && control <= 255);
}

DWORD CheckControl(DWORD control, const SERVICE_STATUS& status) {
  if (!DefinedControl(control)) return ERROR_INVALID_PARAMETER;
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      return ERROR_SERVICE_NOT_ACTIVE;
    case SERVICE_STOP_PENDING:
      return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    case SERVICE_START_PENDING:
      if (control != SERVICE_CONTROL_STOP) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      break;
    default:
      break;
  }
  DWORD needed = AcceptFlagFor(control);
  if (needed != 0 && (status.dwControlsAccepted & needed) == 0) {
    return ERROR_INVALID_SERVICE_CONTROL;
  }
  return ERROR_SUCCESS;
}

bool FillsStatus(DWORD result) {
  return result == ERROR_SUCCESS || result == ERROR_INVALID_SERVICE_CONTROL ||
         result == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || result == ERROR_SERVICE_NOT_ACTIVE;
}

}  // namespace lark::scm
