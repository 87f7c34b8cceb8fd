// The settings window's display of the service state: its light and its status text follow the
// state the control manager reports, and are touched only when that state changes.
#pragma once

#include <QLabel>

#include "config/LedAuto.h"
#include "winapi/winapi.h"

namespace config {

class TServiceDisplay {
 public:
  TServiceDisplay(TLedAuto& led, QLabel& text) : led_(led), text_(text) {}

  // Queries the service and shows its state if it differs from the last one shown.
  void Refresh();
  // The last state shown; 0 before the first.
  DWORD LastState() const { return lastState_; }

 private:
  void Show(DWORD state, bool installed);

  TLedAuto& led_;
  QLabel& text_;
  DWORD lastState_ = 0;
  bool installed_ = true;
};

}  // namespace config
