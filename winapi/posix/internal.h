// Pieces the Linux implementation of the machine layer shares between its facilities: the handle
// table, waitable kernel objects, per-thread state (wait points, message queue) and error mapping.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "winapi/winapi.h"

struct sockaddr;
struct sockaddr_storage;

namespace lark {

using Clock = std::chrono::steady_clock;

// errno value to the Win32 error code a file operation reports.
DWORD Win32FromErrno(int err);
// Sets the thread's last error from errno and returns FALSE, for the usual failure path.
BOOL FailFromErrno();
BOOL Fail(DWORD code);
// Copies text into a caller's buffer of size bytes, cut to fit and ended by a NUL; the count
// copied, as the ...A text getters return it.
DWORD CopyText(const std::string& text, LPSTR buffer, DWORD size);
// Takes an exclusive flock on fd, waiting at most limit for another holder: ERROR_SUCCESS,
// ERROR_SHARING_VIOLATION when the lock stayed held, or the error of the attempt.
DWORD LockWithin(int fd, std::chrono::milliseconds limit);

std::string MachineRoot();
// glibc keeps the time zone (tzname, and what localtime_r reads) in process state that tzset
// rewrites; every use of it takes this lock.
std::mutex& TimeZoneLock();
// Creates a directory and its parents (mode 0755); true when it exists afterwards.
bool MakeDirectories(const std::string& path);
// Writes text to path through a temporary file with an unpredictable name in the same directory,
// renamed over the target; the target keeps its read and write bits (or gets `mode` when new).
// Anything but a regular file at path is refused with ERROR_ACCESS_DENIED, never followed. Call
// it holding the lock of the writers of path: it removes the temporary files of writers that
// died. Returns 0 or a Win32 error.
DWORD ReplaceFileContents(const std::string& path, const std::string& text, unsigned mode);
// Reads a whole file, which must be a regular file and is not reached through a link; false
// (errno set) when it cannot be read. `info`, when given, receives the file's status.
bool ReadWholeFile(const std::string& path, std::string& out, struct stat* info = nullptr);

// Any object a HANDLE may stand for.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
};

// Kernel objects are signalled or not; waits run under WaitMutex().
// A file, a directory or a lock file held open; the descriptor closes with the handle.
class DescriptorObject : public HandleObject {
 public:
  explicit DescriptorObject(int fd) : fd(fd) {}
  ~DescriptorObject() override { close(fd); }
  DescriptorObject(const DescriptorObject&) = delete;
  DescriptorObject& operator=(const DescriptorObject&) = delete;
  const int fd;
};

class KernelObject : public HandleObject {
 public:
  // Both called with WaitMutex() held.
  virtual bool IsSignaled() = 0;
  virtual void Acquire() {}
  // A file descriptor whose readiness may change IsSignaled(), or -1.
  virtual int PollFd() { return -1; }
  // Wakes every thread waiting on this object; call with WaitMutex() held.
  void WakeWaiters();

  std::vector<class ThreadContext*> waiters;
};

std::mutex& WaitMutex();

HANDLE AddHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE h);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(LookupHandle(h));
}
bool RemoveHandle(HANDLE h);

// Thrown at a wait point of a thread that TerminateThread has ended. Deliberately not a
// std::exception: only the thread's entry routine catches it.
struct ThreadTerminationUnwind {};

// A thread made by CreateThread. The flags are read at the thread's wait points; the rest is
// guarded by WaitMutex().
class ThreadObject : public KernelObject {
 public:
  bool IsSignaled() override { return finished; }

  std::atomic<int> suspendCount{0};
  std::atomic<bool> terminateRequested{false};
  DWORD terminateExitCode = 0;
  DWORD exitCode = STILL_ACTIVE;
  bool finished = false;
  DWORD id = 0;
  std::shared_ptr<class ThreadContext> context;  // while the thread runs
};

// Turns outside events into messages for one thread (a socket registered with WSAAsyncSelect).
// Polled on the owning thread when it reads its queue, and waited on by its message waits.
class MessageSource {
 public:
  virtual ~MessageSource() = default;
  // Posts whatever notification has become due, given the events poll() reported for Fd() (0
  // when it was not polled). The descriptor is read only when poll() reported it ready, so a
  // source with nothing new costs no system call; never blocks.
  virtual void Poll(short revents) = 0;
  virtual int Fd() const = 0;
  // The poll() events that would let Poll post something; 0 when nothing is awaited.
  virtual short Interest() const = 0;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  Clock::duration interval;
  Clock::time_point due;
  TIMERPROC proc;
};

// Per-thread state: the wake-up descriptor every wait of this thread polls, the message queue
// with its timers, and the thread object when the thread was made by CreateThread.
class ThreadContext {
 public:
  ThreadContext();
  ~ThreadContext();
  ThreadContext(const ThreadContext&) = delete;
  ThreadContext& operator=(const ThreadContext&) = delete;

  void Wake();
  void DrainWake();
  int WakeFd() const { return wakeFd_; }

  // A wait point: blocks while the thread is suspended, throws ThreadTerminationUnwind when it
  // was terminated. Neither happens while the thread holds a critical section (a suspended
  // thread would keep the lock from everyone; suspension waits for the next wait point without
  // one), and termination not while it unwinds or is inside LarkBeginNoTermination.
  void CheckPoint();

  // Critical sections the thread holds (each recursive entry counts) and the depth of
  // LarkBeginNoTermination brackets; only the thread itself touches them.
  int heldLocks = 0;
  int noTermination = 0;

  DWORD id;
  std::shared_ptr<ThreadObject> thread;

  std::mutex queueMutex;
  std::deque<MSG> posted;
  std::vector<Timer> timers;
  bool quitPosted = false;
  int quitCode = 0;
  // Number of posted messages, readable without the lock so an empty pump costs no lock.
  std::atomic<size_t> postedCount{0};

  // Whether a posted message, WM_QUIT or a due timer waits; call on the owning thread.
  // Sources are polled at most about once a millisecond by PeekMessageA, so that an empty pump
  // usually costs no system call, and at every round of a message wait.
  void AddSource(std::shared_ptr<MessageSource> source);
  void RemoveSource(const MessageSource* source);
  void PollSources();
  bool SourcePollDue();
  std::vector<std::shared_ptr<MessageSource>> Sources();
  // Lets every source post what it holds already, then appends to fds the descriptor of each
  // source that awaits an event; returns those sources, in the order of their entries.
  std::vector<std::shared_ptr<MessageSource>> PrepareSources(std::vector<pollfd>& fds);
  // Hands each of those sources what poll() reported in its entry, from first on.
  static void DeliverSources(const std::vector<std::shared_ptr<MessageSource>>& polled,
                             const pollfd* first);

  bool HasMessage();
  // Time until the next timer is due (zero when one is due; Clock::duration::max() for none).
  Clock::duration UntilNextTimer();

 private:
  int wakeFd_;
  std::atomic<size_t> sourceCount_{0};
  Clock::time_point lastSourcePoll_{};
  std::vector<std::shared_ptr<MessageSource>> sources_;  // guarded by queueMutex
};

ThreadContext& CurrentContext();
// Makes ctx the calling thread's context; used by a thread made with CreateThread as it starts.
void AdoptContext(std::shared_ptr<ThreadContext> ctx);
std::shared_ptr<ThreadContext> NewContext();
std::shared_ptr<ThreadContext> FindContext(DWORD threadId);

// The common wait: objects (wait-any or wait-all), optionally also the thread's message queue.
DWORD WaitEngine(DWORD count, const HANDLE* handles, bool waitAll, DWORD ms, bool forMessages);

// The thread that owns a window, or null.
std::shared_ptr<ThreadContext> WindowOwner(HWND hwnd);

// Called by the window facility when a thread ends, to destroy the windows it owned.
void DestroyWindowsOfThread(DWORD threadId);

// The functions of the built-in Winsock 1.1 module ("wsock32.dll"), by name, and of "ws2_32.dll":
// the same and the Winsock 2 pieces, among them the address look-up functions.
DWORD WinsockExports(const LarkModuleExport** exports);
// A module's function as its export table holds it.
template <class F>
FARPROC ExportOf(F* function) {
  return reinterpret_cast<FARPROC>(function);
}
DWORD Winsock2Exports(const LarkModuleExport** exports);
DWORD AddrInfoExports(const LarkModuleExport** exports);
// Winsock's address family as Linux's, -1 for one the module does not know.
int FamilyToPosix(int family);
// Between Winsock's socket addresses and Linux's; each returns 0 or the Winsock error
// (WSAEFAULT for a buffer too small, WSAEAFNOSUPPORT for another family).
int AddressFromWinsock(const SOCKADDR* name, int length, sockaddr_storage* out, unsigned int* size);
int AddressToWinsock(const sockaddr* address, SOCKADDR* name, int* length);
// A getaddrinfo failure as the Winsock error of a look-up.
int WsaFromGaiError(int status);

}  // namespace lark
