// TTimer: calls OnTimer every Interval milliseconds while Enabled, as WM_TIMER messages of the
// thread that made it, so it ticks only while that thread pumps its message queue.
#pragma once

#include <functional>

#include "winapi/winapi.h"

namespace rtl {

class TTimer {
 public:
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  UINT Interval() const { return interval_; }
  void SetInterval(UINT interval);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  void SetOnTimer(std::function<void()> onTimer);

 private:
  void UpdateTimer();

  HWND window_;
  UINT interval_ = 1000;
  bool enabled_ = true;
  std::function<void()> onTimer_;
};

}  // namespace rtl
