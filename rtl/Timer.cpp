#include "rtl/Timer.h"

#include "rtl/Exception.h"
#include "rtl/HiddenWindow.h"

namespace rtl {

TTimer::TTimer() {
  window_ = AllocateHWnd([this](TMessage& message) {
    if (message.Msg == WM_TIMER && onTimer_) onTimer_();
  });
}

TTimer::~TTimer() {
  KillTimer(window_, 1);
  DeallocateHWnd(window_);
}

void TTimer::SetInterval(UINT interval) {
  interval_ = interval;
  UpdateTimer();
}

void TTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::SetOnTimer(std::function<void()> onTimer) {
  onTimer_ = std::move(onTimer);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  KillTimer(window_, 1);
  if (interval_ != 0 && enabled_ && onTimer_ && SetTimer(window_, 1, interval_, nullptr) == 0) {
    throw EOutOfResources(SNoTimers);
  }
}

}  // namespace rtl
