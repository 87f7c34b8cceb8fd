#include "config/TestService.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include "config/ContrLarkq.h"
#include "testing/Eventually.h"

namespace config_testing {
namespace {

const std::string kParameters =
    std::string("SYSTEM\\CurrentControlSet\\Services\\") + config::kServiceName + "\\Parameters";
// Generous: the probe may be built with sanitizers that take a while to start.
constexpr auto kStateLimit = std::chrono::seconds(20);

}  // namespace

TestService::TestService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service =
      CreateServiceA(manager, config::kServiceName, nullptr, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     LARKPOST_STATE_PROBE, nullptr, nullptr, nullptr, nullptr, nullptr);
  DWORD error = service == nullptr ? GetLastError() : ERROR_SUCCESS;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  HKEY key = nullptr;
  if (error == ERROR_SUCCESS) {
    error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParameters.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  }
  if (error != ERROR_SUCCESS) {
    throw std::runtime_error("cannot register the test service: error " + std::to_string(error));
  }
  RegCloseKey(key);
}

TestService::~TestService() {
  if (CurrentState() == SERVICE_STOPPED) return;
  if (WriteState(SERVICE_STOPPED)) Reaches(SERVICE_STOPPED);
}

void TestService::SetState(DWORD state) const {
  if (!WriteState(state)) throw std::runtime_error("cannot set the test service's state");
}

bool TestService::WriteState(DWORD state) const {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters.c_str(), 0, KEY_SET_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  LSTATUS status = RegSetValueExA(key, "State", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&state),
                                  sizeof state);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool TestService::Reaches(DWORD state) const {
  return testing_support::Eventually([&] { return CurrentState() == state; }, kStateLimit);
}

DWORD TestService::Counter(const char* value) const {
  HKEY key = nullptr;
  DWORD data = 0;
  DWORD size = sizeof data;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters.c_str(), 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
  }
  return data;
}

// Read past ContrLarkq, so that the tests of its record see only what its own operations left.
DWORD TestService::CurrentState() const {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, config::kServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  BOOL read = service != nullptr && QueryServiceStatus(service, &status);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return read ? status.dwCurrentState : 0;
}

}  // namespace config_testing
