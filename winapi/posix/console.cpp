// The program's own path and console control events. Signals stand in for the console's events:
// the signal handler only writes the signal's number to a pipe, and a listening thread starts a
// thread per event to run the registered routines, which may then do anything a thread may.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

struct Console {
  std::mutex mutex;
  std::vector<PHANDLER_ROUTINE> routines;  // in the order they were added
  bool ignoreCtrlC = false;
  bool listening = false;
};

Console& State() {
  static auto* console = new Console;  // never destroyed: its thread runs until the process ends
  return *console;
}

std::atomic<int> signalPipe{-1};

void OnSignal(int signo) {
  int saved = errno;
  auto byte = static_cast<unsigned char>(signo);
  if (int fd = signalPipe.load(); fd >= 0) {
    [[maybe_unused]] ssize_t n = write(fd, &byte, 1);
  }
  errno = saved;
}

DWORD EventOf(int signo) {
  switch (signo) {
    case SIGINT:
      return CTRL_C_EVENT;
    case SIGQUIT:
      return CTRL_BREAK_EVENT;
    default:
      return CTRL_SHUTDOWN_EVENT;
  }
}

void SetAction(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

// Runs the routines for one event, last added first, until one handles it; when none does, the
// signal does what it would have done without them.
DWORD WINAPI RunRoutines(LPVOID parameter) {
  int signo = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
  std::vector<PHANDLER_ROUTINE> routines;
  {
    auto& console = State();
    std::lock_guard lock(console.mutex);
    if (signo == SIGINT && console.ignoreCtrlC) return 0;
    routines = console.routines;
  }
  DWORD event = EventOf(signo);
  for (auto it = routines.rbegin(); it != routines.rend(); ++it) {
    if ((*it)(event)) return 0;
  }
  SetAction(signo, SIG_DFL);
  kill(getpid(), signo);
  return 0;
}

void Listen(int readFd) {
  for (;;) {
    unsigned char signo;
    ssize_t n = read(readFd, &signo, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    HANDLE thread =
        CreateThread(nullptr, 0, RunRoutines,
                     reinterpret_cast<LPVOID>(static_cast<intptr_t>(signo)), 0, nullptr);
    if (thread != nullptr) {
      CloseHandle(thread);
    } else {
      RunRoutines(reinterpret_cast<LPVOID>(static_cast<intptr_t>(signo)));
    }
  }
}

// Called with the console's mutex held.
bool StartListening(Console& console) {
  if (console.listening) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // A signal handler must never block: a full pipe drops the event rather than wait.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::thread(Listen, fds[0]).detach();
  signalPipe = fds[1];
  SetAction(SIGINT, console.ignoreCtrlC ? SIG_IGN : OnSignal);
  SetAction(SIGQUIT, OnSignal);
  SetAction(SIGTERM, OnSignal);
  console.listening = true;
  return true;
}

}  // namespace
}  // namespace lark

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (lpFilename == nullptr && nSize > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path(PATH_MAX, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) {
      SetLastError(lark::Win32FromErrno(errno));
      return 0;
    }
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      break;
    }
    path.resize(path.size() * 2);
  }
  if (path.size() < nSize) {
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  // As Windows does since Vista: cut to nSize - 1 characters, still terminated.
  if (nSize > 0) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  auto& console = lark::State();
  std::lock_guard lock(console.mutex);
  if (HandlerRoutine == nullptr) {
    // Ignoring Ctrl+C is the disposition of SIGINT itself, so programs started from here inherit
    // it, as a Windows child process inherits the console's ignore flag.
    console.ignoreCtrlC = Add != FALSE;
    lark::SetAction(SIGINT, console.ignoreCtrlC ? SIG_IGN
                            : console.listening ? lark::OnSignal
                                                : SIG_DFL);
    return TRUE;
  }
  if (Add) {
    if (!lark::StartListening(console)) return lark::FailFromErrno();
    console.routines.push_back(HandlerRoutine);
    return TRUE;
  }
  auto& routines = console.routines;
  auto it = std::find(routines.rbegin(), routines.rend(), HandlerRoutine);
  if (it == routines.rend()) return lark::Fail(ERROR_INVALID_PARAMETER);
  routines.erase(std::next(it).base());
  return TRUE;
}
