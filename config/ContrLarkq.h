// Start, stop and state of the delivery service, for the settings window: every request goes to
// the service "Larkpost" through the service control manager, and every failure is absorbed, so
// the window's only feedback is the state it polls.
#pragma once

#include "winapi/winapi.h"

namespace config {

inline constexpr const char* kServiceName = "Larkpost";

// Starts the service when it is stopped; any other state is left alone.
void RequestStart();
// Sends the stop control when the service is running; any other state is left alone.
void RequestStop();
// Sends the stop control when the service is running or paused, as a restart needs: a paused
// service keeps its old settings until it is stopped.
void RequestRestartStop();
// Why the last start or stop request could not be carried out: the Win32 code of the call that
// failed, or ERROR_SUCCESS when the request was sent or the state asked for none.
DWORD RequestError();
// The service's current state (SERVICE_STOPPED to SERVICE_PAUSED), or SERVICE_CONTINUE_PENDING
// when the control manager or the service cannot be opened.
DWORD QueryState();
// Why the last QueryState could not read the state: the Win32 code of the call that failed,
// ERROR_SERVICE_DOES_NOT_EXIST for a service that is not installed; ERROR_SUCCESS when it read it.
DWORD QueryError();

// The status last read by any of the three operations; all zero before the first read.
const SERVICE_STATUS& ServiceStatus();

}  // namespace config
