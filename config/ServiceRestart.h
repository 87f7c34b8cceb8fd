// The restart that follows a save: the service is stopped, awaited, started again and awaited,
// so that the new settings are in use only when the restart is reported as done.
#pragma once

#include <functional>

#include "winapi/winapi.h"

namespace config {

// How long the restart waits for the stop, and then for the start.
inline constexpr int kRestartWaitSeconds = 45;

struct TRestartResult {
  enum TOutcome {
    roUpdated,     // the service runs (or is paused) with the new settings
    roNotStopped,  // the stop did not come within the wait
    roCannotStop,  // no stop could be sent: error says why
    roNotStarted,  // the start was refused, or the service did not come up: error says why
  };
  TOutcome Outcome;
  DWORD Error = ERROR_SUCCESS;
};

// Restarts the service, calling `whileWaiting` between the polls of each wait.
TRestartResult RestartService(const std::function<void()>& whileWaiting);

}  // namespace config
