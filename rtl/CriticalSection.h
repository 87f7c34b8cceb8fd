// A re-entrant lock over the machine layer's critical section; usable with std::lock_guard.
#pragma once

#include "winapi/winapi.h"

namespace rtl {

class TCriticalSection {
 public:
  TCriticalSection() { InitializeCriticalSection(&section_); }
  ~TCriticalSection() { DeleteCriticalSection(&section_); }
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Acquire() { EnterCriticalSection(&section_); }
  void Release() { LeaveCriticalSection(&section_); }
  void Enter() { Acquire(); }
  void Leave() { Release(); }
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  CRITICAL_SECTION section_;
};

}  // namespace rtl
