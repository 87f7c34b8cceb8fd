#include "config/ServiceDisplay.h"

#include "config/ContrLarkq.h"

namespace config {

void TServiceDisplay::Refresh() {
  const DWORD state = QueryState();
  const bool installed = QueryError() != ERROR_SERVICE_DOES_NOT_EXIST;
  if (state == lastState_ && installed == installed_) return;
  Show(state, installed);
  lastState_ = state;
  installed_ = installed;
}

// The pending states of pausing and continuing, and a service that cannot be reached, keep the
// text: there is no sentence for them, only the dim yellow light. A service that is not
// installed says so beside the same light: a removed service would still read as stopped.
void TServiceDisplay::Show(DWORD state, bool installed) {
  if (!installed) {
    led_.SetLedOnColor(lcYellow);
    led_.SetLedStatus(lsOff);
    text_.setText("The Service is not Installed.");
    return;
  }
  switch (state) {
    case SERVICE_STOPPED:
      led_.SetLedOnColor(lcRed);
      led_.SetLedStatus(lsOn);
      text_.setText("The Service is Stopped.");
      break;
    case SERVICE_START_PENDING:
      led_.SetLedOnColor(lcLime);
      led_.SetLedStatus(lsOff);
      text_.setText("The Service is Starting.");
      break;
    case SERVICE_STOP_PENDING:
      led_.SetLedOnColor(lcRed);
      led_.SetLedStatus(lsOff);
      text_.setText("The Service is Stopping.");
      break;
    case SERVICE_RUNNING:
      led_.SetLedOnColor(lcLime);
      led_.SetLedStatus(lsOn);
      text_.setText("The Service is Running.");
      break;
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSE_PENDING:
      led_.SetLedOnColor(lcYellow);
      led_.SetLedStatus(lsOff);
      break;
    case SERVICE_PAUSED:
      led_.SetLedOnColor(lcYellow);
      led_.SetLedStatus(lsOn);
      text_.setText("The Service is Paused.");
      break;
    default:
      break;
  }
}

}  // namespace config
