#include "rtl/Thread.h"

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace rtl {

TThread::TThread(bool createSuspended) : createSuspended_(createSuspended) {
  handle_ = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &threadId_);
  if (handle_ == nullptr) {
    throw EThread(Format("Thread creation error: error %u", static_cast<unsigned>(GetLastError())));
  }
}

TThread::~TThread() {
  TerminateAndWaitFor();
  CloseHandle(handle_);
}

void TThread::TerminateAndWaitFor() {
  // A self-freeing thread deletes itself on its own thread; any other owner waits for the end,
  // since the thread still touches the object after Finished is set.
  if (GetCurrentThreadId() == threadId_) return;
  if (!finished_) {
    Terminate();
    if (suspended_) {
      DWORD previous;
      do {
        previous = ResumeThread(handle_);
      } while (previous > 1 && previous != static_cast<DWORD>(-1));
      suspended_ = false;
    }
  }
  // Called from destructors: a forced end of the waiting thread must not unwind out of one.
  LarkBeginNoTermination();
  WaitForSingleObject(handle_, INFINITE);
  LarkEndNoTermination();
}

void TThread::AfterConstruction() {
  if (!createSuspended_) Resume();
}

void TThread::Resume() {
  // Cleared before the thread can run: a self-freeing thread may be gone once it is resumed.
  suspended_ = false;
  DWORD previous = ResumeThread(handle_);
  if (previous > 1 && previous != static_cast<DWORD>(-1)) suspended_ = true;
}

void TThread::Suspend() {
  suspended_ = true;
  SuspendThread(handle_);
}

int TThread::WaitFor() {
  WaitForSingleObject(handle_, INFINITE);
  return ReturnValue;
}

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(this);
}

DWORD WINAPI TThread::ThreadProc(LPVOID self) {
  auto* thread = static_cast<TThread*>(self);
  // Runs when Execute ends, also while a forced termination unwinds the thread.
  struct Completion {
    TThread* thread;
    ~Completion() {
      bool forced = std::uncaught_exceptions() > 0;
      bool freeThread = thread->FreeOnTerminate;
      thread->finished_ = true;
      if (!forced) thread->DoTerminate();
      if (freeThread) delete thread;
    }
  };
  int result;
  {
    Completion completion{thread};
    if (!thread->terminated_) {
      try {
        thread->Execute();
      } catch (...) {
        // The unwinding of a forced end belongs to the machine layer; anything else is kept.
        if (LarkThreadTerminating()) throw;
        thread->fatal_ = std::current_exception();
      }
    }
    result = thread->ReturnValue;
  }
  return static_cast<DWORD>(result);
}

}  // namespace rtl
