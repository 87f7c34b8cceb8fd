// Critical sections: re-entrant locks, as on Windows.
#include <mutex>

#include "winapi/winapi.h"

void WINAPI InitializeCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  lpCriticalSection->Impl = new std::recursive_mutex;
}

void WINAPI DeleteCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  delete static_cast<std::recursive_mutex*>(lpCriticalSection->Impl);
  lpCriticalSection->Impl = nullptr;
}

void WINAPI EnterCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  static_cast<std::recursive_mutex*>(lpCriticalSection->Impl)->lock();
}

BOOL WINAPI TryEnterCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  return static_cast<std::recursive_mutex*>(lpCriticalSection->Impl)->try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
  static_cast<std::recursive_mutex*>(lpCriticalSection->Impl)->unlock();
}
