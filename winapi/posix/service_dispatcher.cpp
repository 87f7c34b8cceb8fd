// The service side of the service control manager: the dispatcher a service program runs on a
// thread of its own choosing, which starts the service's entry point, listens on the control
// socket and calls the registered handler for each control; and the status the service reports.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "winapi/posix/service_state.h"

namespace lark {
namespace {

using namespace scm;

constexpr int kRequestTimeoutMs = 5000;
constexpr DWORD kStartWaitHint = 2000;

// The one service this process runs. Process-wide and never destroyed: the service's threads
// may report until the process ends.
struct Dispatcher {
  std::mutex mutex;
  bool active = false;  // from the start of the service until the dispatcher returns
  std::string name;     // as the registry key spells it
  std::string entryName;
  LPHANDLER_FUNCTION handler = nullptr;
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  LPVOID context = nullptr;
  bool registered = false;
  SERVICE_STATUS status{};
  bool stopped = false;
  bool listening = false;  // whether the control socket is still reachable by its path
  ProcessId self;
  long runner = 0;  // the foreground runner that waits for this process, when there is one
  LPSERVICE_MAIN_FUNCTIONA main = nullptr;
  std::vector<std::string> args;
  std::vector<char*> argv;
  // Wakes the dispatcher thread: 'S' when the service stopped, 'T' for a stop signal.
  int wakeRead = -1;
  int wakeWrite = -1;
};

Dispatcher& State() {
  static auto* dispatcher = new Dispatcher;
  return *dispatcher;
}

// A service started by the manager has no terminal: an interrupt, hang-up or quit is someone
// asking it to go, as SIGTERM is, never a reason to end it without its stop.
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

std::atomic<bool> dispatcherCalled{false};
std::atomic<int> terminateFd{-1};

void OnTerminate(int) {
  int saved = errno;
  char byte = 'T';
  if (int fd = terminateFd.load(); fd >= 0) {
    [[maybe_unused]] ssize_t n = write(fd, &byte, 1);
  }
  errno = saved;
}

// What the supervisor (systemd, through the runner's NOTIFY_SOCKET) hears of a new state.
// sd_notify does nothing when there is no NOTIFY_SOCKET.
void NotifySupervisor(DWORD previous, DWORD state) {
  if (state == previous) return;
  switch (state) {
    case SERVICE_RUNNING:
      sd_notify(0, "READY=1\nSTATUS=Running");
      break;
    case SERVICE_STOP_PENDING:
      sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
      break;
    case SERVICE_STOPPED:
      // A service that stops without a pending stop, as one that fails to start does.
      if (previous != SERVICE_STOP_PENDING) sd_notify(0, "STOPPING=1\nSTATUS=Stopped");
      break;
    case SERVICE_PAUSED:
      sd_notify(0, "STATUS=Paused");
      break;
    default:
      break;
  }
}

SERVICE_STATUS_HANDLE StatusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(&State()); }

void Report(int fd, char kind, DWORD code) {
  char message[1 + sizeof code] = {kind};
  std::memcpy(message + 1, &code, sizeof code);
  send(fd, message, kind == kReadyMessage ? 1 : sizeof message, MSG_NOSIGNAL);
}

bool ParseInt(const char* text, long& value) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  auto [last, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && last == end && last != text;
}

// Takes the control socket's path away; call with the mutex held. Done before STOPPED is
// reported: once a controller has seen STOPPED it may start a new instance, whose socket has
// the same path (and, the old one being gone, possibly even the same inode).
void Unlisten(Dispatcher& d) {
  if (!d.listening) return;
  unlink(ControlSocketPath(d.name).c_str());
  d.listening = false;
}

void WakeDispatcher(Dispatcher& d, char why) {
  [[maybe_unused]] ssize_t n = write(d.wakeWrite, &why, 1);
}

DWORD WINAPI ServiceMainThread(LPVOID) {
  auto& d = State();
  d.main(static_cast<DWORD>(d.args.size()), d.argv.data());
  // An entry point that returns without ever taking the service on (a program whose table does
  // not implement the service it was started as) would leave it start pending for ever.
  std::lock_guard lock(d.mutex);
  if (!d.registered && !d.stopped) {
    d.status.dwCurrentState = SERVICE_STOPPED;
    d.status.dwWin32ExitCode = kErrorServiceNotInExe;
    Unlisten(d);
    WriteStatus(d.name, {d.status, d.self, d.runner});
    d.stopped = true;
    WakeDispatcher(d, 'S');
  }
  return 0;
}

// The handler's answer: NO_ERROR, or what a HandlerEx returned for a control it refused.
DWORD CallHandler(Dispatcher& d, DWORD control) {
  LPHANDLER_FUNCTION handler;
  LPHANDLER_FUNCTION_EX handlerEx;
  LPVOID context;
  {
    std::lock_guard lock(d.mutex);
    handler = d.handler;
    handlerEx = d.handlerEx;
    context = d.context;
  }
  if (handlerEx != nullptr) return handlerEx(control, 0, nullptr, context);
  if (handler != nullptr) handler(control);
  return NO_ERROR;
}

ControlReply Control(Dispatcher& d, DWORD control) {
  ControlReply reply{};
  {
    std::lock_guard lock(d.mutex);
    reply.result = CheckControl(control, d.status);
    reply.status = d.status;
  }
  if (reply.result != ERROR_SUCCESS) return reply;
  DWORD handled = CallHandler(d, control);
  std::lock_guard lock(d.mutex);
  reply.status = d.status;
  if (handled != NO_ERROR) reply.result = handled;
  return reply;
}

// SIGTERM is how Linux asks a service to go: a stop control when the service takes one, else a
// shutdown; a service that takes neither is ended the way a system shutdown ends it.
void Terminate(Dispatcher& d) {
  SERVICE_STATUS now;
  {
    std::lock_guard lock(d.mutex);
    now = d.status;
  }
  if (now.dwCurrentState == SERVICE_STOPPED || now.dwCurrentState == SERVICE_STOP_PENDING) return;
  if (CheckControl(SERVICE_CONTROL_STOP, now) == ERROR_SUCCESS) {
    CallHandler(d, SERVICE_CONTROL_STOP);
  } else if (now.dwCurrentState != SERVICE_START_PENDING &&
             (now.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN)) {
    CallHandler(d, SERVICE_CONTROL_SHUTDOWN);
  } else {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signo : kStopSignals) sigaction(signo, &standard, nullptr);
    kill(getpid(), SIGTERM);
  }
}

bool ReadRequest(int fd, DWORD& control) {
  size_t have = 0;
  auto* bytes = reinterpret_cast<char*>(&control);
  auto deadline = Clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  while (have < sizeof control) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) return false;
    ssize_t n = recv(fd, bytes + have, sizeof control - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}

void Serve(Dispatcher& d, int listenFd) {
  int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  ControlReply reply{};
  // The socket's mode already keeps other users out; the peer's credentials are checked as well,
  // so a socket whose mode was changed still obeys only its owner (and root).
  ucred peer{};
  socklen_t length = sizeof peer;
  DWORD control = 0;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      (peer.uid != 0 && peer.uid != geteuid())) {
    reply.result = ERROR_ACCESS_DENIED;
  } else if (ReadRequest(client, control)) {
    reply = Control(d, control);
  } else {
    close(client);
    return;
  }
  send(client, &reply, sizeof reply, MSG_NOSIGNAL);
  close(client);
}

DWORD Listen(const std::string& stored, int& fd) {
  int dirFd = OpenRunDirectory(stored, geteuid());
  if (dirFd < 0) return Win32FromErrno(errno);
  std::string path = SocketPathIn(dirFd, "control");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int saved = errno;
  if (fd >= 0) {
    unlinkat(dirFd, "control", 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        fchmodat(dirFd, "control", 0600, 0) == 0 && listen(fd, 16) == 0) {
      close(dirFd);
      return ERROR_SUCCESS;
    }
    saved = errno;
    close(fd);
    fd = -1;
  }
  close(dirFd);
  return Win32FromErrno(saved);
}

void Dispatch(Dispatcher& d, int listenFd) {
  for (;;) {
    {
      std::lock_guard lock(d.mutex);
      if (d.stopped) return;
    }
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {d.wakeRead, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    bool terminate = false;
    char wake[64];
    for (ssize_t n; (n = read(d.wakeRead, wake, sizeof wake)) > 0;) {
      terminate = terminate || std::memchr(wake, 'T', static_cast<size_t>(n)) != nullptr;
    }
    if (terminate) Terminate(d);
    if (fds[0].revents & POLLIN) Serve(d, listenFd);
  }
}

// The STOPPED record stays, exit codes and all, until the next start: controllers read it once
// the process is gone.
void CleanUp(Dispatcher& d, int listenFd) {
  close(listenFd);
  {
    std::lock_guard lock(d.mutex);
    d.active = false;
    Unlisten(d);
  }
  if (ReadConfig(d.name).markedForDelete) RemoveService(d.name);
}

// Ending the process is not left to the program: a service thread that never ends (a busy loop,
// a blocked call) would keep it alive beside a new instance, so once the dispatcher has returned
// and the last wait hint has passed, the process ends itself, as a Windows service process ends
// when its main returns.
void EndProcessSoon(Dispatcher& d) {
  DWORD exitCode, grace;
  {
    std::lock_guard lock(d.mutex);
    exitCode = d.status.dwWin32ExitCode;
    grace = std::max(d.status.dwWaitHint, kStartWaitHint);
  }
  std::thread([exitCode, grace] {
    std::this_thread::sleep_for(std::chrono::milliseconds(grace));
    _exit(static_cast<int>(exitCode & 0xFF));
  }).detach();
}

}  // namespace
}  // namespace lark

using namespace lark::scm;

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
  const char* service = std::getenv(kServiceVariable);
  long pid = 0, ready = -1;
  if (service == nullptr || !ValidServiceName(service) ||
      !lark::ParseInt(std::getenv(kPidVariable), pid) || pid != getpid()) {
    return lark::Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  if (lark::dispatcherCalled.exchange(true)) return lark::Fail(ERROR_SERVICE_ALREADY_RUNNING);
  struct stat readySt;
  if (!lark::ParseInt(std::getenv(kReadyVariable), ready) || ready < 0 || ready > 65535 ||
      fstat(static_cast<int>(ready), &readySt) != 0 || !S_ISSOCK(readySt.st_mode)) {
    return lark::Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  int readyFd = static_cast<int>(ready);
  fcntl(readyFd, F_SETFD, FD_CLOEXEC);  // the service's own children must not hold it open
  auto fail = [readyFd](DWORD code) {
    lark::Report(readyFd, kFailedMessage, code);
    close(readyFd);
    return lark::Fail(code);
  };

  size_t count = 0;
  const SERVICE_TABLE_ENTRYA* entry = nullptr;
  for (auto* e = lpServiceStartTable; e != nullptr && e->lpServiceName != nullptr; ++e, ++count) {
    if (e->lpServiceProc == nullptr) return fail(kErrorInvalidData);
    if (entry == nullptr && SameName(e->lpServiceName, service)) entry = e;
  }
  if (count == 0) return fail(kErrorInvalidData);
  if (entry == nullptr && count == 1) entry = lpServiceStartTable;
  if (entry == nullptr) return fail(kErrorServiceNotInExe);

  auto& d = lark::State();
  const char* encoded = std::getenv(kArgsVariable);
  std::vector<std::string> args;
  if (!DecodeArguments(encoded != nullptr ? encoded : "", args) || args.empty()) {
    args.assign(1, service);
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(lark::Win32FromErrno(errno));
  ServiceConfig config = ReadConfig(service);
  {
    std::lock_guard lock(d.mutex);
    d.name = service;
    d.entryName = entry->lpServiceName;
    d.main = entry->lpServiceProc;
    d.args = std::move(args);
    for (auto& arg : d.args) d.argv.push_back(arg.data());
    d.argv.push_back(nullptr);
    d.wakeRead = wake[0];
    d.wakeWrite = wake[1];
    d.self = SelfProcess();
    if (!lark::ParseInt(std::getenv(kRunnerVariable), d.runner) || d.runner < 0) d.runner = 0;
  }
  if (DWORD error = MakeRunDirectory(d.name); error != ERROR_SUCCESS) return fail(error);
  int listenFd = -1;
  if (DWORD error = lark::Listen(d.name, listenFd); error != ERROR_SUCCESS) {
    return fail(error);
  }
  {
    // Reported before the entry point runs, so that a starter sees at least START_PENDING; a
    // service that cannot record its state (a full or read-only disk) does not start at all.
    std::unique_lock lock(d.mutex);
    d.listening = true;
    d.status = {config.exists ? config.type : SERVICE_WIN32_OWN_PROCESS,
                SERVICE_START_PENDING,
                0,
                NO_ERROR,
                0,
                0,
                lark::kStartWaitHint};
    if (DWORD error = WriteStatus(d.name, {d.status, d.self, d.runner}); error != ERROR_SUCCESS) {
      lark::Unlisten(d);
      lock.unlock();
      close(listenFd);
      return fail(error);
    }
    d.active = true;
  }
  struct sigaction previous[std::size(lark::kStopSignals)];
  struct sigaction onTerminate {};
  onTerminate.sa_handler = lark::OnTerminate;
  onTerminate.sa_flags = SA_RESTART;
  lark::terminateFd = d.wakeWrite;
  for (size_t i = 0; i < std::size(lark::kStopSignals); ++i) {
    sigaction(lark::kStopSignals[i], &onTerminate, &previous[i]);
  }
  auto restoreSignals = [&previous] {
    for (size_t i = 0; i < std::size(lark::kStopSignals); ++i) {
      sigaction(lark::kStopSignals[i], &previous[i], nullptr);
    }
  };

  // The starter hears of the thread before the entry point runs, so that a service that ends
  // at once still counts as started, as on Windows; what became of it is then its status.
  HANDLE thread =
      CreateThread(nullptr, 0, lark::ServiceMainThread, nullptr, CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) {
    DWORD error = GetLastError();
    restoreSignals();
    lark::CleanUp(d, listenFd);
    return fail(error);
  }
  lark::Report(readyFd, kReadyMessage, 0);
  close(readyFd);
  ResumeThread(thread);
  CloseHandle(thread);

  lark::Dispatch(d, listenFd);
  restoreSignals();
  lark::terminateFd = -1;
  lark::CleanUp(d, listenFd);
  lark::EndProcessSoon(d);
  return TRUE;
}

namespace lark {
namespace {

SERVICE_STATUS_HANDLE RegisterHandler(LPCSTR name, LPHANDLER_FUNCTION handler,
                                      LPHANDLER_FUNCTION_EX handlerEx, LPVOID context) {
  auto& d = State();
  std::lock_guard lock(d.mutex);
  if (!d.active || name == nullptr ||
      (!scm::SameName(name, d.name) && !scm::SameName(name, d.entryName))) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (handler == nullptr && handlerEx == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  d.handler = handler;
  d.handlerEx = handlerEx;
  d.context = context;
  d.registered = true;
  return StatusHandle();
}

}  // namespace
}  // namespace lark

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
  return lark::RegisterHandler(lpServiceName, nullptr, lpHandlerProc, lpContext);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc) {
  return lark::RegisterHandler(lpServiceName, lpHandlerProc, nullptr, nullptr);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
  auto& d = lark::State();
  std::lock_guard lock(d.mutex);
  if (hServiceStatus != lark::StatusHandle() || !d.registered) {
    return lark::Fail(ERROR_INVALID_HANDLE);
  }
  if (lpServiceStatus == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
    return lark::Fail(kErrorInvalidData);
  }
  // STOPPED is final: the process may be ended any time after it, and a later report must not
  // bring the service back to life in the eyes of its controllers.
  if (d.stopped) return lark::Fail(ERROR_SERVICE_NOT_ACTIVE);
  DWORD previous = d.status.dwCurrentState;
  d.status = *lpServiceStatus;
  if (d.status.dwCurrentState == SERVICE_STOPPED) lark::Unlisten(d);
  DWORD error = WriteStatus(d.name, {d.status, d.self, d.runner});
  // The supervisor hears of a state only once a controller can read it.
  lark::NotifySupervisor(previous, d.status.dwCurrentState);
  if (d.status.dwCurrentState == SERVICE_STOPPED) {
    d.stopped = true;
    lark::WakeDispatcher(d, 'S');
  }
  return error == ERROR_SUCCESS ? TRUE : lark::Fail(error);
}
