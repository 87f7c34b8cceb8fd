// Event objects, manual and auto reset.
#include "winapi/posix/internal.h"

namespace lark {
namespace {

class EventObject : public KernelObject {
 public:
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  bool IsSignaled() override { return signaled_; }
  void Acquire() override {
    if (!manualReset_) signaled_ = false;
  }
  void Set(bool signaled) {
    signaled_ = signaled;
    if (signaled) WakeWaiters();
  }

 private:
  bool manualReset_;
  bool signaled_;
};

BOOL SetState(HANDLE hEvent, bool signaled) {
  auto event = LookupHandleAs<EventObject>(hEvent);
  if (!event) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard lock(WaitMutex());
  event->Set(signaled);
  return TRUE;
}

}  // namespace
}  // namespace lark

HANDLE WINAPI CreateEventA(SECURITY_ATTRIBUTES*, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  return lark::AddHandle(std::make_shared<lark::EventObject>(bManualReset, bInitialState));
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return lark::SetState(hEvent, true); }
BOOL WINAPI ResetEvent(HANDLE hEvent) { return lark::SetState(hEvent, false); }
