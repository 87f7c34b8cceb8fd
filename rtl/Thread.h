// TThread: a thread object in the runtime's manner. The thread runs Execute; Terminate sets
// Terminated for Execute to notice (a class whose thread blocks in a long wait also wakes it). A
// thread ended by force (TerminateThread on its Handle) unwinds from its next wait point: its
// destructors run, its completion handler does not. The OS thread is always made suspended;
// StartThread (or AfterConstruction) lets it run once the whole object is built, so Execute never
// meets a half-made object.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <utility>

#include "winapi/winapi.h"

namespace rtl {

class TThread {
 public:
  explicit TThread(bool createSuspended);
  // A thread object still running is asked to terminate and waited for. A derived class whose
  // Execute uses its own members calls TerminateAndWaitFor in its own destructor, since those
  // members are gone by the time this destructor runs.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the thread unless it was created suspended.
  void AfterConstruction();
  void Resume();
  void Suspend();
  virtual void Terminate() { terminated_ = true; }
  // Waits for the thread to end and returns ReturnValue.
  int WaitFor();
  // Sets Terminated, lets a suspended thread go on, and waits for the end; not on the thread
  // itself. A forced end of the calling thread waits until this wait is over (it is made from
  // destructors, which must not be left by an unwinding).
  void TerminateAndWaitFor();

  bool Terminated() const { return terminated_; }
  bool Suspended() const { return suspended_; }
  bool Finished() const { return finished_; }
  HANDLE Handle() const { return handle_; }
  DWORD ThreadID() const { return threadId_; }
  // The error that ended Execute, if one did (whatever was thrown).
  std::exception_ptr FatalException() const { return fatal_; }

  // Set before the thread runs: the object then deletes itself when Execute ends.
  bool FreeOnTerminate = false;
  // Called on the thread itself after Execute returns (not after a forced termination).
  std::function<void(TThread*)> OnTerminate;
  std::atomic<int> ReturnValue{0};

 protected:
  virtual void Execute() = 0;
  virtual void DoTerminate();

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);

  HANDLE handle_ = nullptr;
  DWORD threadId_ = 0;
  bool createSuspended_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> suspended_{true};
  std::atomic<bool> finished_{false};
  std::exception_ptr fatal_;
};

// Builds a thread object and starts it as its constructor asked.
template <class T, class... Args>
T* StartThread(Args&&... args) {
  T* thread = new T(std::forward<Args>(args)...);
  thread->AfterConstruction();
  return thread;
}

}  // namespace rtl
