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
      started_(started),
      stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

TFileChangeNotification::~TFileChangeNotification() {
  Disarm();
  if (stop_ != nullptr) CloseHandle(stop_);
}

void TFileChangeNotification::Terminate() {
  rtl::TThread::Terminate();
  if (stop_ != nullptr) SetEvent(stop_);
}

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
      if (stop_ == nullptr || WaitForSingleObject(stop_, kWaitMs) == WAIT_FAILED) Sleep(kWaitMs);
    } else if (stop_ == nullptr) {
      result = WaitForSingleObject(notification_, kWaitMs);
    } else {
      const HANDLE waits[] = {notification_, stop_};
      result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    if (result == WAIT_FAILED) {
      Disarm();
      Sleep(kPauseMs);
    }
    if (result != WAIT_OBJECT_0 || Terminated()) continue;
    Sleep(kPauseMs);
    if (Terminated()) continue;
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
