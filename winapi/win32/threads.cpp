// Threads ended and suspended cooperatively, over real Win32 threads. The real TerminateThread
// would leave locks held and the heap in any state, and the real SuspendThread may stop a thread
// inside the allocator; so both are requests that a thread made here honours at its next wait
// point. Each such wait also waits on the thread's wake event (a wait-all wait, which would then
// need the event signalled too, is an alertable wait that a no-op APC interrupts instead), so a
// request takes effect at once. Threads made elsewhere wait exactly as real Win32 does.
#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "winapi/win32/internal.h"

namespace lark {
namespace {

// Thrown at a wait point of a thread that TerminateThread has ended. Deliberately not a
// std::exception: only the thread's entry routine catches it.
struct ThreadTerminationUnwind {};

struct ThreadState {
  ~ThreadState() {
    CloseHandle(wake);
    CloseHandle(thread);
  }
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = nullptr;  // our own handle, which keeps the thread id from being reused
  std::atomic<int> suspendCount{0};
  std::atomic<bool> terminateRequested{false};
  std::atomic<DWORD> terminateExitCode{0};
  std::atomic<bool> finished{false};
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
};

struct ThreadTable {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadState>> byId;
};

ThreadTable& Threads() {
  static auto* table = new ThreadTable;
  return *table;
}

// Only the thread itself touches these.
thread_local ThreadState* current = nullptr;
thread_local int heldLocks = 0;
thread_local int noTermination = 0;

std::shared_ptr<ThreadState> Find(HANDLE thread) {
  DWORD id = GetThreadId(thread);
  if (id == 0) return nullptr;
  auto& table = Threads();
  std::lock_guard lock(table.mutex);
  auto it = table.byId.find(id);
  return it == table.byId.end() ? nullptr : it->second;
}

void CALLBACK NoOp(ULONG_PTR) {}

void Wake(ThreadState& state) {
  SetEvent(state.wake);
  QueueUserAPC(&NoOp, state.thread, 0);
}

// A wait point: blocks while the thread is suspended, throws when it was terminated. A suspended
// thread would keep a critical section it holds from everyone, so suspension waits for a wait
// point without one; termination waits while the thread unwinds already (a destructor reaching a
// wait) or is inside LarkBeginNoTermination, since throwing there would leave a noexcept function.
void CheckPoint() {
  ThreadState* self = current;
  if (self == nullptr) return;
  for (;;) {
    if (self->terminateRequested.load()) {
      if (std::uncaught_exceptions() > 0 || noTermination > 0) return;
      throw ThreadTerminationUnwind{};
    }
    if (self->suspendCount.load() <= 0 || heldLocks > 0) return;
    WaitForSingleObject(self->wake, INFINITE);
  }
}

DWORD WINAPI Trampoline(LPVOID p) {
  std::shared_ptr<ThreadState> state(*static_cast<std::shared_ptr<ThreadState>*>(p));
  delete static_cast<std::shared_ptr<ThreadState>*>(p);
  current = state.get();
  DWORD code;
  try {
    CheckPoint();  // a thread created suspended waits here for ResumeThread
    code = state->start(state->parameter);
  } catch (const ThreadTerminationUnwind&) {
    code = state->terminateExitCode.load();
  } catch (...) {
    // An error nothing caught ends only its own thread, never the whole process.
    code = static_cast<DWORD>(-1);
  }
  state->finished = true;
  current = nullptr;
  return code;
}

class Deadline {
 public:
  explicit Deadline(DWORD ms) : infinite_(ms == INFINITE), end_(GetTickCount64() + ms) {}
  DWORD Left() const {
    if (infinite_) return INFINITE;
    ULONGLONG now = GetTickCount64();
    return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
  }

 private:
  bool infinite_;
  ULONGLONG end_;
};

// The common wait of a thread made here; wakeMask null for a wait without messages.
DWORD LayerWait(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms, const DWORD* wakeMask) {
  ThreadState* self = current;
  if (count > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  const DWORD room = wakeMask != nullptr ? MAXIMUM_WAIT_OBJECTS - 1 : MAXIMUM_WAIT_OBJECTS;
  const bool withEvent = !waitAll && count < room;
  HANDLE all[MAXIMUM_WAIT_OBJECTS];
  std::copy(handles, handles + count, all);
  if (withEvent) all[count] = self->wake;
  const DWORD n = withEvent ? count + 1 : count;
  const DWORD flags = (waitAll ? MWMO_WAITALL : 0) | (withEvent ? 0 : MWMO_ALERTABLE);
  Deadline deadline(ms);
  for (;;) {
    CheckPoint();
    DWORD result = wakeMask != nullptr
                       ? MsgWaitForMultipleObjectsEx(n, all, deadline.Left(), *wakeMask, flags)
                       : WaitForMultipleObjectsEx(n, all, waitAll, deadline.Left(), !withEvent);
    if (result == WAIT_IO_COMPLETION || (withEvent && result == WAIT_OBJECT_0 + count)) continue;
    // The message slot comes after the wake event; the caller counts only its own handles.
    if (withEvent && result == WAIT_OBJECT_0 + n) return WAIT_OBJECT_0 + count;
    return result;
  }
}

}  // namespace
}  // namespace lark

HANDLE WINAPI LarkCreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                               LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                               DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<lark::ThreadState>();
  state->start = lpStartAddress;
  state->parameter = lpParameter;
  if (dwCreationFlags & CREATE_SUSPENDED) state->suspendCount = 1;
  auto* carried = new std::shared_ptr<lark::ThreadState>(state);
  // Really suspended only until the thread is in the table, so that it is found by its id.
  DWORD id = 0;
  HANDLE handle =
      CreateThread(lpThreadAttributes, dwStackSize, &lark::Trampoline, carried,
                   (dwCreationFlags & ~DWORD{CREATE_SUSPENDED}) | CREATE_SUSPENDED, &id);
  if (handle == nullptr) {
    delete carried;
    return nullptr;
  }
  if (state->wake == nullptr || !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(),
                                                 &state->thread, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    DWORD error = GetLastError();
    TerminateThread(handle, 0);  // it never ran: nothing of it can be left half done
    CloseHandle(handle);
    delete carried;
    SetLastError(error);
    return nullptr;
  }
  {
    auto& table = lark::Threads();
    std::lock_guard lock(table.mutex);
    // A thread that has ended is forgotten once its object is signalled; its handle answers then.
    std::erase_if(table.byId, [](const auto& entry) {
      return entry.second->finished.load() &&
             WaitForSingleObject(entry.second->thread, 0) == WAIT_OBJECT_0;
    });
    table.byId[id] = state;
  }
  ResumeThread(handle);
  if (lpThreadId != nullptr) *lpThreadId = id;
  return handle;
}

DWORD WINAPI LarkSuspendThread(HANDLE hThread) {
  auto state = lark::Find(hThread);
  if (!state) return SuspendThread(hThread);
  DWORD previous = static_cast<DWORD>(state->suspendCount.fetch_add(1));
  if (state.get() == lark::current) lark::CheckPoint();
  return previous;
}

DWORD WINAPI LarkResumeThread(HANDLE hThread) {
  auto state = lark::Find(hThread);
  if (!state) return ResumeThread(hThread);
  int previous = state->suspendCount.load();
  while (previous > 0 && !state->suspendCount.compare_exchange_weak(previous, previous - 1)) {
  }
  if (previous == 1) lark::Wake(*state);
  return static_cast<DWORD>(std::max(previous, 0));
}

BOOL WINAPI LarkTerminateThread(HANDLE hThread, DWORD dwExitCode) {
  auto state = lark::Find(hThread);
  if (!state) {
    // A thread this layer made that has ended, or one it did not make: those are never ended by
    // force, which would leave whatever they hold in any state.
    if (WaitForSingleObject(hThread, 0) == WAIT_OBJECT_0) return TRUE;
    return lark::Fail(GetThreadId(hThread) == 0 ? ERROR_INVALID_HANDLE : ERROR_NOT_SUPPORTED);
  }
  if (state->finished.load() || state->terminateRequested.load()) return TRUE;
  state->terminateExitCode = dwExitCode;
  state->terminateRequested = true;
  lark::Wake(*state);
  if (state.get() == lark::current && std::uncaught_exceptions() == 0 && lark::noTermination == 0) {
    throw lark::ThreadTerminationUnwind{};
  }
  return TRUE;
}

void WINAPI LarkSleep(DWORD dwMilliseconds) {
  if (lark::current == nullptr) {
    Sleep(dwMilliseconds);
    return;
  }
  lark::LayerWait(0, nullptr, FALSE, dwMilliseconds, nullptr);
}

DWORD WINAPI LarkWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (lark::current == nullptr) return WaitForSingleObject(hHandle, dwMilliseconds);
  return lark::LayerWait(1, &hHandle, FALSE, dwMilliseconds, nullptr);
}

DWORD WINAPI LarkWaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds) {
  if (lark::current == nullptr) {
    return WaitForMultipleObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
  }
  return lark::LayerWait(nCount, lpHandles, bWaitAll, dwMilliseconds, nullptr);
}

DWORD WINAPI LarkMsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                           DWORD dwMilliseconds, DWORD dwWakeMask) {
  if (lark::current == nullptr) {
    return MsgWaitForMultipleObjects(nCount, pHandles, fWaitAll, dwMilliseconds, dwWakeMask);
  }
  return lark::LayerWait(nCount, pHandles, fWaitAll, dwMilliseconds, &dwWakeMask);
}

BOOL WINAPI LarkPeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                             UINT wRemoveMsg) {
  lark::CheckPoint();
  return PeekMessageA(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
}

void WINAPI LarkEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  EnterCriticalSection(lpCriticalSection);
  ++lark::heldLocks;
}

BOOL WINAPI LarkTryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!TryEnterCriticalSection(lpCriticalSection)) return FALSE;
  ++lark::heldLocks;
  return TRUE;
}

void WINAPI LarkLeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  --lark::heldLocks;
  LeaveCriticalSection(lpCriticalSection);
}

void WINAPI LarkBeginNoTermination() { ++lark::noTermination; }

void WINAPI LarkEndNoTermination() { --lark::noTermination; }

BOOL WINAPI LarkThreadTerminating() {
  return lark::current != nullptr && lark::current->terminateRequested.load() ? TRUE : FALSE;
}
