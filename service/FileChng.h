// TFileChangeNotification: a thread that watches one directory and calls a handler after each
// change of the kinds asked for. The service watches its queue directory with it, so that newly
// queued messages reach the queue table without a periodic rescan.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "rtl/Thread.h"
#include "winapi/winapi.h"

namespace service {

class TFileChangeNotification : public rtl::TThread {
 public:
  using TChangeHandler = std::function<void(const std::string& path)>;
  using TErrorHandler = std::function<void(const std::exception&)>;

  // Arms the watch on the calling thread, so that a change made as soon as this returns is
  // seen, then lets the thread run and returns once it runs. A watch that cannot be set up yet is
  // tried again at each pass of the thread, and calls onChange once when it succeeds. The object
  // frees itself when the thread ends: after Terminate (noticed at once) or a forced end. An error
  // in onChange goes to onError and the watching goes on.
  static TFileChangeNotification* Create(const std::string& path, TChangeHandler onChange,
                                         DWORD notifyFilter, TErrorHandler onError = nullptr);
  ~TFileChangeNotification() override;
  void Terminate() override;

  const std::string Path;
  const TChangeHandler OnChange;
  const DWORD NotifyFilter;

  // How often a directory that cannot be watched is tried again.
  static constexpr DWORD kWaitMs = 1000;
  // The pause after a change, so that a burst of changes is handled by one call.
  static constexpr DWORD kPauseMs = 50;

 protected:
  void Execute() override;

 private:
  TFileChangeNotification(const std::string& path, TChangeHandler onChange, DWORD notifyFilter,
                          TErrorHandler onError, HANDLE started);
  void Arm();
  void Disarm();
  void Notify();

  const TErrorHandler onError_;
  const HANDLE started_;
  // Set by Terminate: an idle watcher waits for a change or for this, with no time-out to wake it.
  const HANDLE stop_;
  HANDLE notification_ = INVALID_HANDLE_VALUE;
};

}  // namespace service
