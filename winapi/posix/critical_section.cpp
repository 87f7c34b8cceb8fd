// Critical sections: re-entrant locks, as on Windows. Each entry is counted for the thread, so
// that a suspension never takes effect while the thread holds one.
#include <mutex>

#include "winapi/posix/internal.h"

void WINAPI InitializeCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  lpCriticalSection->Impl = new std::recursive_mutex;
}

void WINAPI DeleteCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  delete static_cast<std::recursive_mutex*>(lpCriticalSection->Impl);
  lpCriticalSection->Impl = nullptr;
}

void WINAPI EnterCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  static_cast<std::recursive_mutex*>(lpCriticalSection->Impl)->lock();
  ++lark::CurrentContext().heldLocks;
}

BOOL WINAPI TryEnterCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  if (!static_cast<std::recursive_mutex*>(lpCriticalSection->Impl)->try_lock()) return FALSE;
  ++lark::CurrentContext().heldLocks;
  return TRUE;
}

void WINAPI LeaveCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  --lark::CurrentContext().heldLocks;
  static_cast<std::recursive_mutex*>(lpCriticalSection->Impl)->unlock();
}
