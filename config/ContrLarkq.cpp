#include "config/ContrLarkq.h"

#include <algorithm>
#include <exception>
#include <initializer_list>

namespace config {
namespace {

// Zero-initialised and trivially destructible: it outlives every caller, so a query that fails
// still reports the state read before it.
SERVICE_STATUS serviceStatus;
DWORD requestError = ERROR_SUCCESS;
DWORD queryError = ERROR_SUCCESS;

// The two handles of one operation, closed service first, then the manager.
class ServiceHandles {
 public:
  ServiceHandles() {
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ != nullptr) service_ = OpenServiceA(manager_, kServiceName, SERVICE_ALL_ACCESS);
    if (service_ == nullptr) openError_ = GetLastError();
  }
  ~ServiceHandles() {
    if (service_ != nullptr) CloseServiceHandle(service_);
    if (manager_ != nullptr) CloseServiceHandle(manager_);
  }
  ServiceHandles(const ServiceHandles&) = delete;
  ServiceHandles& operator=(const ServiceHandles&) = delete;

  SC_HANDLE Service() const { return service_; }
  DWORD OpenError() const { return openError_; }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  DWORD openError_ = ERROR_SUCCESS;
};

// The requests give no feedback of their own: the window learns the outcome from the states it
// polls, and why nothing could be sent from RequestError.
template <class Action>
void Request(std::initializer_list<DWORD> requiredStates, Action action) {
  requestError = ERROR_SUCCESS;
  try {
    ServiceHandles handles;
    if (handles.Service() == nullptr) {
      requestError = handles.OpenError();
      return;
    }
    QueryServiceStatus(handles.Service(), &serviceStatus);
    const DWORD current = serviceStatus.dwCurrentState;
    if (std::find(requiredStates.begin(), requiredStates.end(), current) == requiredStates.end()) {
      return;
    }
    if (!action(handles.Service())) requestError = GetLastError();
  } catch (const std::exception&) {
  }
}

bool SendStop(SC_HANDLE service) {
  return ControlService(service, SERVICE_CONTROL_STOP, &serviceStatus) != FALSE;
}

}  // namespace

void RequestStart() {
  Request({SERVICE_STOPPED},
          [](SC_HANDLE service) { return StartServiceA(service, 0, nullptr) != FALSE; });
}

void RequestStop() { Request({SERVICE_RUNNING}, SendStop); }

void RequestRestartStop() { Request({SERVICE_RUNNING, SERVICE_PAUSED}, SendStop); }

DWORD RequestError() { return requestError; }

DWORD QueryState() {
  DWORD state = SERVICE_CONTINUE_PENDING;
  queryError = ERROR_SUCCESS;
  try {
    ServiceHandles handles;
    if (handles.Service() == nullptr) {
      queryError = handles.OpenError();
      return state;
    }
    QueryServiceStatus(handles.Service(), &serviceStatus);
    state = serviceStatus.dwCurrentState;
  } catch (const std::exception&) {
  }
  return state;
}

DWORD QueryError() { return queryError; }

const SERVICE_STATUS& ServiceStatus() { return serviceStatus; }

}  // namespace config
