#include "service/FileChng.h"

#include "service/ThreadHandle.h"

namespace service {

TFileChangeNotification* TFileChangeNotification::Create(const std::string& path,
                                                         TChangeHandler onChange,
                                                         DWORD notifyFilter,
                                                         TErrorHandler onError) {
  TStartedSignal started;
  auto* watcher = new TFileChangeNotification(path, std::move(onChange), notifyFilter,
                                              std::move(onError), started.Handle());
  watcher->Arm();
  watcher->FreeOnTerminate = true;
  watcher->Resume();
  started.Wait();
  return watcher;
}

TFileChangeNotification::TFileChangeNotification(const std::string& path, TChangeHandler onChange,
                                                 DWORD notifyFilter, TErrorHandler onError,
                                                 HANDLE started)
    : rtl::TThread(true),
      Path(path),
      OnChange(std::move(onChange)),
      NotifyFilter(notifyFilter),
      onError_(std::move(onError)),
      started_(started) {}

TFileChangeNotification::~TFileChangeNotification() { Disarm(); }

void TFileChangeNotification::Arm() {
  notification_ = FindFirstChangeNotificationA(Path.c_str(), FALSE, NotifyFilter);
}

void TFileChangeNotification::Disarm() {
  if (notification_ != INVALID_HANDLE_VALUE) FindCloseChangeNotification(notification_);
  notification_ = INVALID_HANDLE_VALUE;
}

void TFileChangeNotification::Execute() {
  SetEvent(started_);
  while (!Terminated()) {
    // A directory that cannot be watched yet (not made, not reachable) is tried again at each
    // pass, so that the watching starts once it can. What changed before is then unknown: it
    // counts as a change.
    if (notification_ == INVALID_HANDLE_VALUE) {
      Arm();
      if (notification_ != INVALID_HANDLE_VALUE && OnChange) Notify();
    }
    DWORD result = WAIT_TIMEOUT;
    if (notification_ == INVALID_HANDLE_VALUE) {
      Sleep(kWaitMs);
    } else {
      result = WaitForSingleObject(notification_, kWaitMs);
    }
    Sleep(kPauseMs);
    if (result == WAIT_FAILED) Disarm();
    if (result != WAIT_OBJECT_0 || Terminated()) continue;
    if (!FindNextChangeNotification(notification_)) Disarm();
    if (OnChange) Notify();
  }
}

void TFileChangeNotification::Notify() {
  // The thread ends only when it is told to: the owner may still reach the object until then.
  // A scan that failed once must not end the watching; the next change scans again.
  try {
    OnChange(Path);
  } catch (const std::exception& e) {
    try {
      if (onError_) onError_(e);
    } catch (const std::exception&) {
      // The report itself failed; the watching goes on all the same.
    }
  }
}

}  // namespace service
