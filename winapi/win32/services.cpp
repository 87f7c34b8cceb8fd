// Running a service to its end from a console, and the Linux-only problem texts, which Windows
// has no need of: its registry and its control manager report through their codes alone.
#include <atomic>

#include "winapi/win32/internal.h"

namespace lark {
namespace {

std::atomic<HANDLE> stopRequested{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  if (HANDLE event = stopRequested.load(); event != nullptr) SetEvent(event);
  return TRUE;
}

}  // namespace
}  // namespace lark

BOOL WINAPI LarkRunServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors,
                            LPSERVICE_STATUS lpServiceStatus) {
  if (lpServiceStatus == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  HANDLE stop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (stop == nullptr) return FALSE;
  lark::stopRequested = stop;
  SetConsoleCtrlHandler(&lark::OnConsoleControl, TRUE);
  BOOL ok = StartServiceA(hService, dwNumServiceArgs, lpServiceArgVectors);
  bool stopWanted = false;
  bool stopSent = false;
  // The control manager tells of a stop only through the status; a look four times a second
  // costs nothing beside a service's run.
  while (ok && (ok = QueryServiceStatus(hService, lpServiceStatus)) &&
         lpServiceStatus->dwCurrentState != SERVICE_STOPPED) {
    stopWanted = WaitForSingleObject(stop, 250) == WAIT_OBJECT_0 || stopWanted;
    if (stopWanted && !stopSent) {
      // A service still starting cannot take the stop yet: it is sent again at the next look.
      SERVICE_STATUS ignored;
      stopSent = ControlService(hService, SERVICE_CONTROL_STOP, &ignored) ||
                 GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
  }
  const DWORD error = GetLastError();
  SetConsoleCtrlHandler(&lark::OnConsoleControl, FALSE);
  lark::stopRequested = nullptr;
  CloseHandle(stop);
  SetLastError(error);
  return ok;
}

DWORD WINAPI LarkGetServiceProblemA(LPSTR lpBuffer, DWORD nSize) {
  if (lpBuffer != nullptr && nSize > 0) *lpBuffer = '\0';
  return 0;
}

DWORD WINAPI LarkRegGetProblemA(LPSTR lpBuffer, DWORD nSize) {
  if (lpBuffer != nullptr && nSize > 0) *lpBuffer = '\0';
  return 0;
}
