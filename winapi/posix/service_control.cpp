// The controller side of the service control manager. There is no manager process: the registry
// is the service database, StartServiceA launches the service program itself, and controls go
// straight to the socket the program's dispatcher listens on.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "winapi/posix/service_state.h"

namespace lark {
namespace {

using namespace scm;

constexpr DWORD kCreateServiceAccess = 0x0002;  // SC_MANAGER_CREATE_SERVICE
constexpr DWORD kUserControlAccess = 0x0100;    // SERVICE_USER_DEFINED_CONTROL
constexpr int kStartTimeoutMs = 30000;
// A test option: a shorter wait for a program to reach its dispatcher, never a longer one.
constexpr char kStartTimeoutVariable[] = "LARKPOST_SERVICE_START_TIMEOUT";
// Everything a service process finds in its environment besides the manager's own variables.
constexpr const char* kServiceEnvironment[] = {
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C"};

// A sanitizer build of a service reports where its starter asked for reports, never to the void.
constexpr const char* kSanitizerVariables[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS",
                                               "LSAN_OPTIONS"};
// Where a supervisor that runs the service in the foreground listens for its readiness.
constexpr char kNotifyVariable[] = "NOTIFY_SOCKET";

thread_local std::string serviceProblem;
constexpr int kControlTimeoutMs = 30000;

struct ScObject {
  bool manager = false;
  DWORD access = 0;
  std::string name;  // as the registry key spells it
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
};

struct ScTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, ScObject> objects;
  uintptr_t next = 0x5C00;
};

ScTable& Table() {
  static auto* table = new ScTable;
  return *table;
}

SC_HANDLE AddObject(ScObject object) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  table.next += 4;
  table.objects.emplace(table.next, std::move(object));
  return reinterpret_cast<SC_HANDLE>(table.next);
}

bool Lookup(SC_HANDLE handle, bool manager, ScObject& out) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.objects.end() || it->second.manager != manager) return false;
  out = it->second;
  return true;
}

SC_HANDLE FailHandle(DWORD code) {
  SetLastError(code);
  return nullptr;
}

// Windows removes a service marked for deletion once it has stopped; here the first controller
// call that finds it so does it (normally its dispatcher already did).
void FinishDeletion(const std::string& stored, const ServiceConfig& config, bool running) {
  if (config.exists && config.markedForDelete && !running) RemoveService(stored);
}

DWORD RegistryType(const ScObject& service) {
  ServiceConfig config = ReadConfig(service.name);
  return config.exists ? config.type : service.type;
}

// ---- The service database ----

bool DisplayNameTaken(const std::string& displayName) {
  ScopedKey services;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, services.Out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  char name[512];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    LSTATUS status =
        RegEnumKeyExA(services.Get(), i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return false;
    ServiceConfig other = ReadConfig(name);
    if (other.imagePath.empty()) continue;
    if (SameName(name, displayName) || SameName(other.displayName, displayName)) return true;
  }
}

LSTATUS SetText(HKEY key, const char* name, DWORD type, const std::string& text) {
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

LSTATUS SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

// A double-NUL-terminated list, as lpDependencies is.
std::string MultiString(LPCSTR list) {
  std::string out;
  if (list == nullptr) return out;
  for (const char* p = list; *p != '\0'; p += std::strlen(p) + 1) {
    out += p;
    out += '\0';
  }
  if (!out.empty()) out += '\0';
  return out;
}

DWORD WriteServiceKey(const std::string& name, const std::string& displayName, DWORD type,
                      DWORD start, DWORD errorControl, const std::string& imagePath, LPCSTR group,
                      LPCSTR dependencies, LPCSTR account) {
  std::string path = std::string(kServicesKey) + "\\" + name;
  ScopedKey key;
  DWORD disposition = 0;
  LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, key.Out(), &disposition);
  if (status != ERROR_SUCCESS) return status;
  if (disposition != REG_CREATED_NEW_KEY) return ERROR_SERVICE_EXISTS;
  std::string multi = MultiString(dependencies);
  if (status == ERROR_SUCCESS) status = SetText(key.Get(), "ImagePath", REG_EXPAND_SZ, imagePath);
  if (status == ERROR_SUCCESS) status = SetText(key.Get(), "DisplayName", REG_SZ, displayName);
  if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "Type", type);
  if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "Start", start);
  if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "ErrorControl", errorControl);
  if (status == ERROR_SUCCESS) {
    std::string object = account != nullptr && *account != '\0' ? account : "LocalSystem";
    status = SetText(key.Get(), "ObjectName", REG_SZ, object);
  }
  if (status == ERROR_SUCCESS && group != nullptr && *group != '\0') {
    status = SetText(key.Get(), "Group", REG_SZ, group);
  }
  if (status == ERROR_SUCCESS && !multi.empty()) {
    status = RegSetValueExA(key.Get(), "DependOnService", 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(multi.data()),
                            static_cast<DWORD>(multi.size()));
  }
  if (status != ERROR_SUCCESS) RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  return status;
}

// ---- Starting ----

// %NAME% is replaced from the environment, as REG_EXPAND_SZ asks; an unknown name stays as it is.
std::string ExpandVariables(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find('%', i);
    size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) break;
    out.append(text, i, open - i);
    std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out += value;
      i = close + 1;
    } else {
      out += '%';
      i = open + 1;
    }
  }
  out.append(text, i, std::string::npos);
  return out;
}

// A program and its arguments: the first word, or the quoted part when the path holds blanks.
// No shell is involved; double quotes group words, nothing else is special.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, inWord = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

// The errors Windows gives for a service program that cannot be run.
DWORD CheckProgram(const std::string& program) {
  if (program.empty() || program.front() != '/') return ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (stat(program.c_str(), &st) != 0) {
    if (errno != ENOENT) return Win32FromErrno(errno);
    auto parent = std::filesystem::path(program).parent_path();
    std::error_code ignored;
    return std::filesystem::is_directory(parent, ignored) ? ERROR_FILE_NOT_FOUND
                                                          : ERROR_PATH_NOT_FOUND;
  }
  if (!S_ISREG(st.st_mode) || access(program.c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

bool UntrustedEntry(const struct stat& st) {
  if (st.st_uid != 0) return true;
  if (S_ISLNK(st.st_mode)) return false;  // a link's own mode means nothing
  bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
  // In a sticky directory such as /tmp, nobody may replace what root owns.
  return othersWrite && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX));
}

// The first place on the way to `path`, as written and as resolved, that a user other than root
// owns or may write; empty when there is none.
std::string ChangeableByOthers(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path written = std::filesystem::absolute(path, ignored);
  for (const auto& whole : {written, std::filesystem::canonical(written, ignored)}) {
    std::filesystem::path prefix;
    for (const auto& part : whole) {
      prefix /= part;
      struct stat st;
      if (lstat(prefix.c_str(), &st) != 0) break;
      if (UntrustedEntry(st)) return prefix.string();
    }
  }
  return "";
}

// Gives a descriptor a number of at least `lowest`, so the child's renumbering cannot clobber it.
int AtLeast(int fd, int lowest) {
  if (fd < 0 || fd >= lowest) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, lowest);
  close(fd);
  return moved;
}

void WriteDecimal(char* end, long value) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
}

// Everything the service process needs, prepared before fork: between fork and exec only
// async-signal-safe calls are allowed.
struct Launch {
  std::vector<std::string> argvText, envText;
  std::vector<char*> argv, envp;
  size_t pidEntry = 0;  // index in envText of "LARKPOST_SCM_PID=" followed by blanks
  int nullFd = -1;
  int readyFd = -1;
  bool switchUser = false;
  Account account;
};

[[noreturn]] void ReportAndExit(char kind, int32_t code) {
  char message[1 + sizeof code] = {kind};
  std::memcpy(message + 1, &code, sizeof code);
  send(kReadyFd, message, sizeof message, MSG_NOSIGNAL);
  _exit(127);
}

[[noreturn]] void RunService(Launch& launch) {
  char* pidText = launch.envp[launch.pidEntry];
  size_t prefix = std::strlen(kPidVariable) + 1;
  std::memset(pidText + prefix, 0, 24);
  char digits[24] = {};
  WriteDecimal(digits + 23, static_cast<long>(getpid()));
  size_t first = 0;
  while (digits[first] == '\0') ++first;
  std::memcpy(pidText + prefix, digits + first, 24 - first);

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signo = 1; signo < NSIG; ++signo) sigaction(signo, &standard, nullptr);

  dup2(launch.nullFd, STDIN_FILENO);
  dup2(launch.nullFd, STDOUT_FILENO);
  dup2(launch.nullFd, STDERR_FILENO);
  dup2(launch.readyFd, kReadyFd);
  if (close_range(kReadyFd + 1, ~0U, 0) != 0) {
    for (int fd = kReadyFd + 1; fd < 65536; ++fd) close(fd);
  }
  // Nothing of the starter's place carries over: not its directory, nor its umask, nor its user.
  if (chdir("/") != 0) ReportAndExit(kExecFailedMessage, errno);
  umask(022);
  const Account& account = launch.account;
  if (launch.switchUser && (setgroups(account.groups.size(), account.groups.data()) != 0 ||
                            setgid(account.gid) != 0 || setuid(account.uid) != 0)) {
    ReportAndExit(kFailedMessage, ERROR_SERVICE_LOGON_FAILED);
  }
  execve(launch.argv[0], launch.argv.data(), launch.envp.data());
  ReportAndExit(kExecFailedMessage, errno);
}

int StartTimeoutMs() {
  const char* text = std::getenv(kStartTimeoutVariable);
  int ms = 0;
  if (text == nullptr) return kStartTimeoutMs;
  auto [end, ec] = std::from_chars(text, text + std::strlen(text), ms);
  return ec == std::errc() && *end == '\0' && ms > 0 ? std::min(ms, kStartTimeoutMs)
                                                     : kStartTimeoutMs;
}

// Waits for the service process's first word on the ready channel.
DWORD AwaitReady(int fd) {
  char message[8];
  size_t have = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(StartTimeoutMs());
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return Win32FromErrno(errno);
    if (ready <= 0) continue;
    ssize_t n = recv(fd, message + have, sizeof message - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;  // ended without reaching the dispatcher
    have += static_cast<size_t>(n);
    if (message[0] == kReadyMessage) return ERROR_SUCCESS;
    if (have < 5) continue;
    int32_t code;
    std::memcpy(&code, message + 1, sizeof code);
    if (message[0] == kExecFailedMessage) return Win32FromErrno(code);
    if (message[0] == kFailedMessage && code != 0) return static_cast<DWORD>(code);
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
}

// The runner waits for its child itself. The child's group of its own keeps a terminal's
// interrupt away from it: the runner alone turns that into a stop.
DWORD SpawnChild(Launch& launch, int ours, pid_t& child) {
  child = fork();
  if (child == 0) {
    setpgid(0, 0);
    RunService(launch);
  }
  int saved = errno;
  close(launch.readyFd);
  close(launch.nullFd);
  if (child < 0) {
    close(ours);
    return Win32FromErrno(saved);
  }
  setpgid(child, child);
  DWORD result = AwaitReady(ours);
  close(ours);
  if (result != ERROR_SUCCESS) {
    kill(-child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  return result;
}

// Starts the service process: detached, or with `foreground` set as a child of the caller in a
// process group of its own, whose pid `child` receives.
DWORD Spawn(const std::string& stored, const std::vector<std::string>& command,
            const std::vector<std::string>& startArgs, const Account& account, bool foreground,
            pid_t& child) {
  Launch launch;
  launch.argvText = command;
  launch.account = account;
  launch.switchUser = account.uid != geteuid();
  launch.envText.assign(std::begin(kServiceEnvironment), std::end(kServiceEnvironment));
  for (const char* name : kSanitizerVariables) {
    if (const char* value = std::getenv(name))
      launch.envText.push_back(name + ("=" + std::string(value)));
  }
  std::error_code ignored;
  std::string root = std::filesystem::absolute(MachineRoot(), ignored).string();
  launch.envText.push_back("LARKPOST_ROOT=" + root);
  launch.envText.push_back(std::string(kServiceVariable) + "=" + stored);
  launch.envText.push_back(std::string(kReadyVariable) + "=" + std::to_string(kReadyFd));
  launch.envText.push_back(std::string(kArgsVariable) + "=" + EncodeArguments(startArgs));
  if (foreground) {
    launch.envText.push_back(std::string(kRunnerVariable) + "=" + std::to_string(getpid()));
    if (const char* socket = std::getenv(kNotifyVariable))
      launch.envText.push_back(kNotifyVariable + ("=" + std::string(socket)));
  }
  launch.pidEntry = launch.envText.size();
  launch.envText.push_back(std::string(kPidVariable) + "=" + std::string(24, ' '));
  for (auto& text : launch.argvText) launch.argv.push_back(text.data());
  launch.argv.push_back(nullptr);
  for (auto& text : launch.envText) launch.envp.push_back(text.data());
  launch.envp.push_back(nullptr);

  int channel[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0)
    return Win32FromErrno(errno);
  int ours = channel[0];
  launch.readyFd = AtLeast(channel[1], kReadyFd + 1);
  launch.nullFd = AtLeast(open("/dev/null", O_RDWR | O_CLOEXEC), kReadyFd + 1);
  auto closeAll = [&] {
    close(ours);
    if (launch.readyFd >= 0) close(launch.readyFd);
    if (launch.nullFd >= 0) close(launch.nullFd);
  };
  if (launch.readyFd < 0 || launch.nullFd < 0) {
    int saved = errno;
    closeAll();
    return Win32FromErrno(saved);
  }
  if (foreground) return SpawnChild(launch, ours, child);
  // Two forks: the service's parent is init, not the starter, so the starter is left no zombie
  // to reap; and not being a session leader, the service can never gain a controlling terminal.
  pid_t middle = fork();
  if (middle < 0) {
    int saved = errno;
    closeAll();
    return Win32FromErrno(saved);
  }
  if (middle == 0) {
    setsid();
    pid_t service = fork();
    if (service == 0) RunService(launch);
    _exit(service < 0 ? 1 : 0);
  }
  close(launch.readyFd);
  close(launch.nullFd);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  DWORD result =
      WIFEXITED(status) && WEXITSTATUS(status) == 0 ? AwaitReady(ours) : ERROR_NOT_ENOUGH_MEMORY;
  close(ours);
  // The program's session is its process group: a start that failed ends all of it, so a program
  // that never reached its dispatcher leaves neither itself nor its children behind.
  if (result != ERROR_SUCCESS) kill(-middle, SIGKILL);
  return result;
}

// ---- Controls ----

DWORD ControlAccess(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return control >= 128 ? kUserControlAccess : SERVICE_PAUSE_CONTINUE;
  }
}

bool ReadFully(int fd, void* data, size_t size, Clock::time_point deadline) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      errno = n == 0 ? EPIPE : errno;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Sends one control to the dispatcher; `reply` holds its answer when the result is 0.
// Only a socket the service's own account made is the service: a link or another user's socket
// planted in its place is never reached.
DWORD SendControl(const std::string& stored, DWORD control, ControlReply& reply) {
  uid_t owner = ServiceOwner(stored);
  int dirFd = OpenRunDirectory(stored, owner);
  if (dirFd < 0) return errno == ENOENT ? ERROR_SERVICE_NOT_ACTIVE : ERROR_ACCESS_DENIED;
  struct stat st;
  if (fstatat(dirFd, "control", &st, AT_SYMLINK_NOFOLLOW) != 0) {
    int saved = errno;
    close(dirFd);
    return saved == ENOENT ? ERROR_SERVICE_NOT_ACTIVE : Win32FromErrno(saved);
  }
  if (!S_ISSOCK(st.st_mode) || st.st_uid != owner) {
    close(dirFd);
    return ERROR_ACCESS_DENIED;
  }
  std::string path = SocketPathIn(dirFd, "control");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int saved = errno;
    close(dirFd);
    return Win32FromErrno(saved);
  }
  DWORD result = ERROR_SUCCESS;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    result =
        errno == ENOENT || errno == ECONNREFUSED ? ERROR_SERVICE_NOT_ACTIVE : Win32FromErrno(errno);
  } else if (send(fd, &control, sizeof control, MSG_NOSIGNAL) != sizeof control) {
    result = ERROR_SERVICE_NOT_ACTIVE;
  } else if (!ReadFully(fd, &reply, sizeof reply,
                        Clock::now() + std::chrono::milliseconds(kControlTimeoutMs))) {
    result = errno == ETIMEDOUT ? ERROR_SERVICE_REQUEST_TIMEOUT : ERROR_SERVICE_NOT_ACTIVE;
  }
  close(fd);
  close(dirFd);
  return result;
}

}  // namespace
}  // namespace lark

using namespace lark::scm;

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
  if (lpMachineName != nullptr && *lpMachineName != '\0') {
    return lark::FailHandle(ERROR_NOT_SUPPORTED);  // no remote machines
  }
  if (lpDatabaseName != nullptr && !SameName(lpDatabaseName, "ServicesActive")) {
    return lark::FailHandle(kErrorDatabaseDoesNotExist);
  }
  return lark::AddObject({true, dwDesiredAccess, "", 0});
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR) {
  lark::ScObject manager;
  if (!lark::Lookup(hSCManager, true, manager)) return lark::FailHandle(ERROR_INVALID_HANDLE);
  if (!(manager.access & lark::kCreateServiceAccess)) {
    return lark::FailHandle(ERROR_ACCESS_DENIED);
  }
  if (lpServiceName == nullptr || !ValidServiceName(lpServiceName)) {
    return lark::FailHandle(ERROR_INVALID_NAME);
  }
  DWORD baseType = dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  if ((baseType != SERVICE_WIN32_OWN_PROCESS && baseType != SERVICE_WIN32_SHARE_PROCESS) ||
      dwStartType > SERVICE_DISABLED || dwErrorControl > 3 || lpBinaryPathName == nullptr ||
      *lpBinaryPathName == '\0') {
    return lark::FailHandle(ERROR_INVALID_PARAMETER);
  }
  std::string name = lpServiceName;
  std::string existing;
  if (DWORD error = FindService(name, existing); error != ERROR_SERVICE_DOES_NOT_EXIST) {
    if (error != ERROR_SUCCESS) return lark::FailHandle(error);
    ServiceConfig config = ReadConfig(existing);
    if (!config.markedForDelete) return lark::FailHandle(ERROR_SERVICE_EXISTS);
    if (Observe(existing, config.type).running) {
      return lark::FailHandle(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    if (DWORD error = RemoveService(existing); error != ERROR_SUCCESS) {
      return lark::FailHandle(error);
    }
  }
  std::string displayName =
      lpDisplayName != nullptr && *lpDisplayName != '\0' ? lpDisplayName : name;
  if (lark::DisplayNameTaken(displayName) || lark::DisplayNameTaken(name)) {
    return lark::FailHandle(kErrorDuplicateServiceName);
  }
  // A program path given unquoted yet holding blanks would read as a program and arguments;
  // when the whole text names a file, it is stored quoted so it always reads back as one path.
  std::string imagePath = lpBinaryPathName;
  std::error_code ignored;
  if (imagePath.front() != '"' && imagePath.find(' ') != std::string::npos &&
      std::filesystem::is_regular_file(imagePath, ignored)) {
    imagePath = "\"" + imagePath + "\"";
  }
  if (DWORD error =
          lark::WriteServiceKey(name, displayName, dwServiceType, dwStartType, dwErrorControl,
                                imagePath, lpLoadOrderGroup, lpDependencies, lpServiceStartName);
      error != ERROR_SUCCESS) {
    return lark::FailHandle(error);
  }
  return lark::AddObject({false, dwDesiredAccess, name, dwServiceType});
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  lark::ScObject manager;
  if (!lark::Lookup(hSCManager, true, manager)) return lark::FailHandle(ERROR_INVALID_HANDLE);
  if (lpServiceName == nullptr || !ValidServiceName(lpServiceName)) {
    return lark::FailHandle(ERROR_INVALID_NAME);
  }
  std::string stored;
  if (DWORD error = FindService(lpServiceName, stored); error != ERROR_SUCCESS) {
    // A damaged database must not cut a running service off from its controllers.
    if (error == ERROR_SERVICE_DOES_NOT_EXIST || !FindRunningService(lpServiceName, stored)) {
      return lark::FailHandle(error);
    }
  }
  ServiceConfig config = ReadConfig(stored);
  if (config.markedForDelete && !Observe(stored, config.type).running) {
    RemoveService(stored);
    return lark::FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  }
  return lark::AddObject({false, dwDesiredAccess, stored, config.type});
}

namespace lark {
namespace {

// What StartServiceA and LarkRunServiceA share: everything up to and including starting the
// service's process. `service` receives the service the handle names.
BOOL StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors,
                  bool foreground, ScObject& service, pid_t& child) {
  lark::serviceProblem.clear();
  if (!lark::Lookup(hService, false, service)) return lark::Fail(ERROR_INVALID_HANDLE);
  if (!(service.access & SERVICE_START)) return lark::Fail(ERROR_ACCESS_DENIED);
  if (dwNumServiceArgs > 0 && lpServiceArgVectors == nullptr) {
    return lark::Fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::string> args{service.name};
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    if (lpServiceArgVectors[i] == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
    args.emplace_back(lpServiceArgVectors[i]);
  }
  ServiceConfig config = ReadConfig(service.name);
  // A key gone while the handle is open was deleted through another handle.
  if (!config.exists) {
    return lark::Fail(config.error != ERROR_SUCCESS ? config.error
                                                    : ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (config.markedForDelete) {
    lark::FinishDeletion(service.name, config, Observe(service.name, config.type).running);
    return lark::Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (config.start == SERVICE_DISABLED) return lark::Fail(ERROR_SERVICE_DISABLED);

  Account account;
  if (!ResolveAccount(config.account, account)) {
    lark::serviceProblem = "There is no local user " + config.account + ".";
    return lark::Fail(ERROR_SERVICE_LOGON_FAILED);
  }
  if (account.uid != geteuid() && geteuid() != 0) {
    lark::serviceProblem = "Only root may start a service as another user.";
    return lark::Fail(ERROR_SERVICE_LOGON_FAILED);
  }

  RunLock lock;
  if (DWORD error = lock.Acquire(service.name); error != ERROR_SUCCESS) return lark::Fail(error);
  if (Observed observed = Observe(service.name, config.type); observed.running) {
    if (observed.runner != 0) {
      lark::serviceProblem = service.name + " is run by systemd (larkctl service run, pid " +
                             std::to_string(observed.runner) + "); use systemctl.";
    }
    return lark::Fail(ERROR_SERVICE_ALREADY_RUNNING);
  }
  auto fail = [&lock](DWORD error) {
    lock.RemoveDirectoryIfEmpty();
    return lark::Fail(error);
  };
  std::vector<std::string> command =
      lark::SplitCommandLine(lark::ExpandVariables(config.imagePath));
  if (DWORD error = lark::CheckProgram(command.empty() ? "" : command[0]); error != ERROR_SUCCESS) {
    return fail(error);
  }
  if (geteuid() == 0) {
    // Root runs nothing another user could have put in its way: not the program, nor the
    // database that names it and its account, nor the machine root that holds both.
    std::string hive = lark::MachineRoot() + "/registry/HKEY_LOCAL_MACHINE.reg";
    for (const std::string& path : {command[0], hive}) {
      if (std::string weak = lark::ChangeableByOthers(path); !weak.empty()) {
        lark::serviceProblem = weak + " can be changed by a user other than root.";
        return fail(ERROR_SERVICE_DISABLED);
      }
    }
    if (DWORD error = GiveRunDirectory(service.name, account); error != ERROR_SUCCESS) {
      return fail(error);
    }
  }
  RemoveStaleState(service.name);
  if (DWORD error = lark::Spawn(service.name, command, args, account, foreground, child);
      error != ERROR_SUCCESS) {
    return fail(error);
  }
  return TRUE;
}

// The signals that ask a runner to stop its service, blocked while it runs so that none is lost
// between the start and the wait; the service process unblocks them for itself.
class RunnerSignals {
 public:
  RunnerSignals() {
    sigemptyset(&set_);
    for (int signo : {SIGTERM, SIGINT, SIGCHLD}) sigaddset(&set_, signo);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    // An ignored SIGCHLD is never raised: the runner would not hear its child end.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &standard, &previousChild_);
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC);
  }
  ~RunnerSignals() {
    if (fd_ >= 0) close(fd_);
    sigaction(SIGCHLD, &previousChild_, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  RunnerSignals(const RunnerSignals&) = delete;
  RunnerSignals& operator=(const RunnerSignals&) = delete;
  int Fd() const { return fd_; }

 private:
  sigset_t set_, previous_;
  struct sigaction previousChild_ {};
  int fd_ = -1;
};

// Until the child ends: a stop signal to the runner goes on to the service as SIGTERM, which its
// dispatcher turns into a stop control (or a shutdown, for a service that takes no stop).
DWORD AwaitChild(const RunnerSignals& signals, pid_t child) {
  for (;;) {
    int status = 0;
    pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child || (ended < 0 && errno != EINTR)) return ERROR_SUCCESS;
    signalfd_siginfo info;
    ssize_t n = read(signals.Fd(), &info, sizeof info);
    if (n < 0 && errno != EINTR) return Win32FromErrno(errno);
    if (n == sizeof info && info.ssi_signo != SIGCHLD) kill(child, SIGTERM);
  }
}

}  // namespace
}  // namespace lark

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  lark::ScObject service;
  pid_t child = 0;
  return lark::StartService(hService, dwNumServiceArgs, lpServiceArgVectors, false, service, child);
}

BOOL WINAPI LarkRunServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors,
                            LPSERVICE_STATUS lpServiceStatus) {
  if (lpServiceStatus == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  lark::RunnerSignals signals;
  if (signals.Fd() < 0) return lark::Fail(lark::Win32FromErrno(errno));
  lark::ScObject service;
  pid_t child = 0;
  if (!lark::StartService(hService, dwNumServiceArgs, lpServiceArgVectors, true, service, child)) {
    return FALSE;
  }
  if (DWORD error = lark::AwaitChild(signals, child); error != ERROR_SUCCESS) {
    kill(child, SIGTERM);
    return lark::Fail(error);
  }
  ServiceConfig config = ReadConfig(service.name);
  Observed observed = Observe(service.name, lark::RegistryType(service));
  lark::FinishDeletion(service.name, config, observed.running);
  *lpServiceStatus = observed.status;
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  lark::ScObject service;
  if (!lark::Lookup(hService, false, service)) return lark::Fail(ERROR_INVALID_HANDLE);
  if (!DefinedControl(dwControl) || lpServiceStatus == nullptr) {
    return lark::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!(service.access & lark::ControlAccess(dwControl))) return lark::Fail(ERROR_ACCESS_DENIED);
  ServiceConfig config = ReadConfig(service.name);
  Observed observed = Observe(service.name, config.exists ? config.type : service.type);
  if (!observed.running) {
    lark::FinishDeletion(service.name, config, false);
    *lpServiceStatus = observed.status;
    return lark::Fail(ERROR_SERVICE_NOT_ACTIVE);
  }
  ControlReply reply{};
  DWORD result = lark::SendControl(service.name, dwControl, reply);
  if (result == ERROR_SUCCESS) {
    result = reply.result;
    if (FillsStatus(result)) *lpServiceStatus = reply.status;
    // A service that answers STOPPED is stopped only once its process has ended.
    if (FillsStatus(result) && reply.status.dwCurrentState == SERVICE_STOPPED &&
        Observe(service.name, lark::RegistryType(service)).running) {
      lpServiceStatus->dwCurrentState = SERVICE_STOP_PENDING;
      lpServiceStatus->dwControlsAccepted = 0;
    }
  } else if (result == ERROR_SERVICE_NOT_ACTIVE) {
    // The dispatcher closes its socket as the service reports STOPPED.
    Observed now = Observe(service.name, lark::RegistryType(service));
    if (now.running) result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    *lpServiceStatus = now.status;
  }
  return result == ERROR_SUCCESS ? TRUE : lark::Fail(result);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  lark::ScObject service;
  if (!lark::Lookup(hService, false, service)) return lark::Fail(ERROR_INVALID_HANDLE);
  if (!(service.access & SERVICE_QUERY_STATUS)) return lark::Fail(ERROR_ACCESS_DENIED);
  if (lpServiceStatus == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  ServiceConfig config = ReadConfig(service.name);
  Observed observed = Observe(service.name, config.exists ? config.type : service.type);
  lark::FinishDeletion(service.name, config, observed.running);
  *lpServiceStatus = observed.status;
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  lark::ScObject service;
  if (!lark::Lookup(hService, false, service)) return lark::Fail(ERROR_INVALID_HANDLE);
  if (!(service.access & DELETE)) return lark::Fail(ERROR_ACCESS_DENIED);
  ServiceConfig config = ReadConfig(service.name);
  if (!config.exists || config.markedForDelete) {
    return lark::Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (!Observe(service.name, config.type).running) {
    DWORD error = RemoveService(service.name);
    return error == ERROR_SUCCESS ? TRUE : lark::Fail(error);
  }
  ScopedKey key;
  std::string path = std::string(kServicesKey) + "\\" + service.name;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.Out());
  if (status == ERROR_SUCCESS) status = lark::SetDword(key.Get(), "DeleteFlag", 1);
  if (status != ERROR_SUCCESS) return lark::Fail(status);
  // The dispatcher removes the key when the service stops; one that stopped while the flag was
  // being set may have looked before it was there.
  if (!Observe(service.name, config.type).running) RemoveService(service.name);
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  auto& table = lark::Table();
  std::lock_guard lock(table.mutex);
  if (table.objects.erase(reinterpret_cast<uintptr_t>(hSCObject)) == 0) {
    return lark::Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

DWORD WINAPI LarkGetServiceProblemA(LPSTR lpBuffer, DWORD nSize) {
  return lark::CopyText(lark::serviceProblem, lpBuffer, nSize);
}
