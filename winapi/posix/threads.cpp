// Threads with Win32 semantics. Suspension and termination are requests that the target honours
// at its next wait point (ThreadContext::CheckPoint), since POSIX cannot stop a thread safely.
#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

void ThreadMain(std::shared_ptr<ThreadObject> thread, std::shared_ptr<ThreadContext> ctx,
                LPTHREAD_START_ROUTINE start, LPVOID parameter) {
  AdoptContext(ctx);
  DWORD code;
  try {
    ctx->CheckPoint();  // a thread created suspended waits here for ResumeThread
    code = start(parameter);
  } catch (const ThreadTerminationUnwind&) {
    std::lock_guard lock(WaitMutex());
    code = thread->terminateExitCode;
  } catch (...) {
    // An error nothing caught ends only its own thread, never the whole process.
    code = static_cast<DWORD>(-1);
  }
  std::lock_guard lock(WaitMutex());
  thread->exitCode = code;
  thread->finished = true;
  thread->context.reset();
  thread->WakeWaiters();
}

}  // namespace
}  // namespace lark

HANDLE WINAPI CreateThread(SECURITY_ATTRIBUTES*, size_t, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<lark::ThreadObject>();
  auto ctx = lark::NewContext();
  ctx->thread = thread;
  thread->context = ctx;
  thread->id = ctx->id;
  if (dwCreationFlags & CREATE_SUSPENDED) thread->suspendCount = 1;
  HANDLE handle = lark::AddHandle(thread);
  try {
    std::thread(lark::ThreadMain, thread, ctx, lpStartAddress, lpParameter).detach();
  } catch (const std::system_error&) {
    lark::RemoveHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = thread->id;
  return handle;
}

DWORD WINAPI SuspendThread(HANDLE hThread) {
  auto thread = lark::LookupHandleAs<lark::ThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  DWORD previous = static_cast<DWORD>(thread->suspendCount.fetch_add(1));
  if (thread->id == GetCurrentThreadId()) {
    lark::CurrentContext().CheckPoint();
  } else {
    // A thread blocked in a wait is suspended at once, not when the wait ends.
    std::lock_guard lock(lark::WaitMutex());
    if (thread->context) thread->context->Wake();
  }
  return previous;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  auto thread = lark::LookupHandleAs<lark::ThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  int previous = thread->suspendCount.load();
  while (previous > 0 && !thread->suspendCount.compare_exchange_weak(previous, previous - 1)) {
  }
  if (previous == 1) {
    std::lock_guard lock(lark::WaitMutex());
    if (thread->context) thread->context->Wake();
  }
  return static_cast<DWORD>(std::max(previous, 0));
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  auto thread = lark::LookupHandleAs<lark::ThreadObject>(hThread);
  if (!thread) return lark::Fail(ERROR_INVALID_HANDLE);
  {
    std::lock_guard lock(lark::WaitMutex());
    if (thread->finished || thread->terminateRequested) return TRUE;
    thread->terminateExitCode = dwExitCode;
    thread->terminateRequested = true;
    if (thread->context) thread->context->Wake();
  }
  if (thread->id == GetCurrentThreadId() && std::uncaught_exceptions() == 0 &&
      lark::CurrentContext().noTermination == 0) {
    throw lark::ThreadTerminationUnwind{};
  }
  return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = lark::LookupHandleAs<lark::ThreadObject>(hThread);
  if (!thread || lpExitCode == nullptr) return lark::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard lock(lark::WaitMutex());
  *lpExitCode = thread->exitCode;
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId() { return lark::CurrentContext().id; }

void WINAPI LarkBeginNoTermination() { ++lark::CurrentContext().noTermination; }

void WINAPI LarkEndNoTermination() { --lark::CurrentContext().noTermination; }

BOOL WINAPI LarkThreadTerminating() {
  auto& ctx = lark::CurrentContext();
  return ctx.thread && ctx.thread->terminateRequested.load() ? TRUE : FALSE;
}
