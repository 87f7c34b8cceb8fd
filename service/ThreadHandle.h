// For the service's self-freeing threads: a second handle to a thread, which stays valid after
// the thread object has freed itself, so the owner can end the thread or wait for its end
// without ever touching a freed object; and the signal that the thread has begun to run.
#pragma once

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "rtl/Thread.h"
#include "winapi/winapi.h"

namespace service {

inline HANDLE DuplicateThreadHandle(HANDLE thread) {
  HANDLE kept = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &kept, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    throw rtl::EThread(
        rtl::Format("Thread handle error: error %u", static_cast<unsigned>(GetLastError())));
  }
  return kept;
}

inline HANDLE KeepThreadHandle(const rtl::TThread& thread) {
  return DuplicateThreadHandle(thread.Handle());
}

// Set by a self-freeing thread as its Execute begins; the owner waits for it after letting the
// thread run. A thread ended by force before it ever ran would never free itself; once it runs,
// a forced end unwinds it and it does.
class TStartedSignal {
 public:
  TStartedSignal() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (event_ == nullptr) {
      throw rtl::EThread(rtl::Format("Thread start signal error: error %u",
                                     static_cast<unsigned>(GetLastError())));
    }
  }
  ~TStartedSignal() { CloseHandle(event_); }
  TStartedSignal(const TStartedSignal&) = delete;
  TStartedSignal& operator=(const TStartedSignal&) = delete;

  HANDLE Handle() const { return event_; }
  void Wait() const { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace service
