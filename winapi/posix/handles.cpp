// The process's handle table: HANDLE values stand for shared objects, so a handle closed by one
// thread never pulls an object from under another thread that is waiting on it.
#include <unordered_map>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  static auto* table = new HandleTable;  // never destroyed: threads may outlive static teardown
  return *table;
}

}  // namespace

std::mutex& WaitMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

void KernelObject::WakeWaiters() {
  for (ThreadContext* waiter : waiters) waiter->Wake();
}

HANDLE AddHandle(std::shared_ptr<HandleObject> object) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  table.next += 4;
  table.objects.emplace(table.next, std::move(object));
  return reinterpret_cast<HANDLE>(table.next);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE h) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(h));
  return it == table.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE h) {
  std::shared_ptr<HandleObject> object;
  auto& table = Table();
  {
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == table.objects.end()) return false;
    object = std::move(it->second);
    table.objects.erase(it);
  }
  return true;  // the object is released outside the table lock
}

}  // namespace lark

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (!lark::RemoveHandle(hObject)) return lark::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                            HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle, DWORD, BOOL,
                            DWORD) {
  if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() ||
      lpTargetHandle == nullptr)
    return lark::Fail(ERROR_INVALID_PARAMETER);
  auto object = lark::LookupHandle(hSourceHandle);
  if (!object) return lark::Fail(ERROR_INVALID_HANDLE);
  *lpTargetHandle = lark::AddHandle(std::move(object));
  return TRUE;
}
