// Install and Remove: the service's entry in the control manager's database and its event source.
#include "rtl/SysUtils.h"
#include "svchost/SvcObj.h"

namespace svchost {
namespace {

constexpr DWORD kImagePathLimit = 255;
// Remove's patience with a service that stays stop pending.
constexpr int kStopPendingPolls = 120;

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

void Say(const char* format, const std::string& argument) {
  WriteOutput(rtl::Format(format, argument.c_str()));
}

void Say(const char* format, const std::string& first, const std::string& second) {
  WriteOutput(rtl::Format(format, first.c_str(), second.c_str()));
}

}  // namespace

void TService::Install() {
  char path[kImagePathLimit + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  // A path cut to fit would name another program; the control manager could never start it.
  if (length == 0 || length >= kImagePathLimit) {
    if (length != 0) SetLastError(ERROR_BUFFER_OVERFLOW);
    Say("Unable to install %s - %s", DisplayName, LastErrorText());
    SetProcessExitCode(1);
    return;
  }
  std::string program(path, length);
  // Unquoted, a blank would end the program's name at the control manager.
  std::string imagePath = program.find(' ') == std::string::npos ? program : "\"" + program + "\"";
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    Say("OpenSCManager failed - %s", LastErrorText());
    SetProcessExitCode(1);
    return;
  }
  SC_HANDLE service =
      CreateServiceA(manager, ServiceName().c_str(), DisplayName.c_str(), SERVICE_ALL_ACCESS,
                     GetServiceType(), StartType, SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr,
                     nullptr, Dependencies.data(), OrNull(StartName), OrNull(Password));
  if (service != nullptr) {
    Say("%s installed.", DisplayName);
    if (StartType == SERVICE_AUTO_START) {
      if (StartServiceA(service, 0, nullptr)) {
        Say("%s started.", DisplayName);
      } else {
        Say("%s failed to start: %s", DisplayName, LastErrorText());
        SetProcessExitCode(1);
      }
    }
    CloseServiceHandle(service);
    bool registered = false;
    try {
      registered = EventLog.RegisterSource(program);
    } catch (const std::exception&) {
      registered = false;
    }
    if (!registered) WriteOutput("Warning: could not register with event logging");
  } else {
    Say("CreateService failed - %s", LastErrorText());
    SetProcessExitCode(1);
  }
  CloseServiceHandle(manager);
}

void TService::Remove() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    Say("OpenSCManager failed - %s.", LastErrorText());
    SetProcessExitCode(1);
    return;
  }
  SC_HANDLE service = OpenServiceA(manager, ServiceName().c_str(), SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    Say("OpenService failed - %s.", LastErrorText());
    SetProcessExitCode(1);
    CloseServiceHandle(manager);
    return;
  }
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    Say("Stopping %s", DisplayName);
    for (int poll = 0; poll < kStopPendingPolls && QueryServiceStatus(service, &status) &&
                       status.dwCurrentState == SERVICE_STOP_PENDING;
         ++poll) {
      WriteOutput(".");
      Sleep(500);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      Say("\r\n%s stopped.", DisplayName);
    } else {
      Say("\r\n%s failed to stop.", DisplayName);
      SetProcessExitCode(1);
    }
  }
  if (DeleteService(service)) {
    Say("%s removed.", DisplayName);
    if (!EventLog.UnregisterSource())
      WriteOutput("Warning: could not delete registry key for event logging");
  } else {
    Say("DeleteService failed - %s.", LastErrorText());
    SetProcessExitCode(1);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

}  // namespace svchost
