#include "tools/larkctl/ServiceCommand.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

#include "rtl/SysUtils.h"
#include "tools/larkctl/HelpOption.h"
#include "winapi/winapi.h"

namespace larkctl {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr char kDefaultService[] = "Larkpost";
constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr auto kWaitLimit = std::chrono::seconds(60);

struct UsageError {
  std::string message;
};

int Failed(std::ostream& err, DWORD code) {
  err << "ERROR: " << rtl::SysErrorMessage(code) << "\n";
  char problem[1024];
  if (code == ERROR_BADDB && LarkRegGetProblemA(problem, sizeof problem) > 0) {
    err << problem << "\n";
  }
  return kFailed;
}

std::string StateName(DWORD state) {
  static const char* const kNames[] = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                       "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                       "PAUSED"};
  if (state >= SERVICE_STOPPED && state <= SERVICE_PAUSED) return kNames[state - 1];
  return "UNKNOWN";
}

std::string TypeName(DWORD type) {
  std::string name;
  switch (type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) {
    case SERVICE_WIN32_OWN_PROCESS:
      name = "WIN32_OWN_PROCESS";
      break;
    case SERVICE_WIN32_SHARE_PROCESS:
      name = "WIN32_SHARE_PROCESS";
      break;
    default:
      name = "UNKNOWN";
  }
  return type & SERVICE_INTERACTIVE_PROCESS ? name + " (interactive)" : name;
}

void PrintStatus(std::ostream& out, const std::string& name, const SERVICE_STATUS& status) {
  char text[512];
  std::snprintf(text, sizeof text,
                "SERVICE_NAME: %s\n"
                "        TYPE               : %x  %s\n"
                "        STATE              : %u  %s\n"
                "        WIN32_EXIT_CODE    : %u  (0x%x)\n"
                "        SERVICE_EXIT_CODE  : %u  (0x%x)\n"
                "        CHECKPOINT         : 0x%x\n"
                "        WAIT_HINT          : 0x%x\n",
                name.c_str(), status.dwServiceType, TypeName(status.dwServiceType).c_str(),
                status.dwCurrentState, StateName(status.dwCurrentState).c_str(),
                status.dwWin32ExitCode, status.dwWin32ExitCode, status.dwServiceSpecificExitCode,
                status.dwServiceSpecificExitCode, status.dwCheckPoint, status.dwWaitHint);
  out << text;
}

class Service {
 public:
  ~Service() {
    if (service_ != nullptr) CloseServiceHandle(service_);
    if (manager_ != nullptr) CloseServiceHandle(manager_);
  }
  // 0, or the error that kept the service from being opened.
  DWORD Open(const std::string& name, DWORD access) {
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager_ == nullptr) return GetLastError();
    service_ = OpenServiceA(manager_, name.c_str(), access);
    return service_ != nullptr ? ERROR_SUCCESS : GetLastError();
  }
  SC_HANDLE Handle() const { return service_; }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

// Polls until the service is in `target`, has stopped instead, or the time is up; the wait hint
// sets the pace, as Windows' own tools do.
DWORD WaitFor(SC_HANDLE service, DWORD target, SERVICE_STATUS& status) {
  auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  for (;;) {
    if (!QueryServiceStatus(service, &status)) return GetLastError();
    if (status.dwCurrentState == target || status.dwCurrentState == SERVICE_STOPPED) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    Sleep(std::clamp<DWORD>(status.dwWaitHint / 10, 50, 1000));
  }
  return ERROR_SUCCESS;
}

int Report(const std::string& name, DWORD target, const char* done, const SERVICE_STATUS& status,
           std::ostream& out, std::ostream& err) {
  if (status.dwCurrentState == target) {
    out << name << " " << done << ".\n";
    return kDone;
  }
  if (status.dwCurrentState == SERVICE_STOPPED) {
    err << "ERROR: " << name << " stopped instead (WIN32_EXIT_CODE " << status.dwWin32ExitCode;
    if (status.dwWin32ExitCode != NO_ERROR)
      err << ": " << rtl::SysErrorMessage(status.dwWin32ExitCode);
    err << ").\n";
    return kFailed;
  }
  err << "ERROR: " << name << " did not become " << StateName(target) << " in time; it is "
      << StateName(status.dwCurrentState) << ".\n";
  return kFailed;
}

int StartFailed(std::ostream& err, DWORD error) {
  char problem[1024];
  if (LarkGetServiceProblemA(problem, sizeof problem) > 0) {
    err << "ERROR: " << rtl::SysErrorMessage(error) << "\n" << problem << "\n";
    return kFailed;
  }
  return Failed(err, error);
}

int Query(const std::string& name, std::ostream& out, std::ostream& err) {
  Service service;
  if (DWORD error = service.Open(name, SERVICE_QUERY_STATUS)) return Failed(err, error);
  SERVICE_STATUS status;
  if (!QueryServiceStatus(service.Handle(), &status)) return Failed(err, GetLastError());
  PrintStatus(out, name, status);
  return kDone;
}

// The arguments as the start calls take them, valid while args lives.
std::vector<LPCSTR> Pointers(const std::vector<std::string>& args) {
  std::vector<LPCSTR> pointers;
  for (const auto& arg : args) pointers.push_back(arg.c_str());
  return pointers;
}

int Start(const std::string& name, const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err) {
  Service service;
  if (DWORD error = service.Open(name, SERVICE_START | SERVICE_QUERY_STATUS)) {
    return Failed(err, error);
  }
  std::vector<LPCSTR> argv = Pointers(args);
  if (!StartServiceA(service.Handle(), static_cast<DWORD>(argv.size()), argv.data())) {
    return StartFailed(err, GetLastError());
  }
  SERVICE_STATUS status;
  if (DWORD error = WaitFor(service.Handle(), SERVICE_RUNNING, status)) return Failed(err, error);
  return Report(name, SERVICE_RUNNING, "started", status, out, err);
}

// The exit status of `larkctl service run`: 0 for a clean stop; a Win32 exit code of 1..255 as
// it is; a service-specific one of 1..255 as it is; any other failure 1.
int ExitStatusOf(const SERVICE_STATUS& status) {
  if (status.dwWin32ExitCode == NO_ERROR) return kDone;
  DWORD code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                   ? status.dwServiceSpecificExitCode
                   : status.dwWin32ExitCode;
  return code >= 1 && code <= 255 ? static_cast<int>(code) : kFailed;
}

int Run(const std::string& name, const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err) {
  Service service;
  if (DWORD error = service.Open(name, SERVICE_START | SERVICE_QUERY_STATUS)) {
    return Failed(err, error);
  }
  std::vector<LPCSTR> argv = Pointers(args);
  SERVICE_STATUS status;
  if (!LarkRunServiceA(service.Handle(), static_cast<DWORD>(argv.size()), argv.data(), &status)) {
    return StartFailed(err, GetLastError());
  }
  if (status.dwWin32ExitCode == NO_ERROR) {
    out << name << " stopped.\n";
    return kDone;
  }
  err << "ERROR: " << name << " stopped with WIN32_EXIT_CODE " << status.dwWin32ExitCode << ": "
      << rtl::SysErrorMessage(status.dwWin32ExitCode);
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
    err << " (SERVICE_EXIT_CODE " << status.dwServiceSpecificExitCode << ")";
  err << ".\n";
  return ExitStatusOf(status);
}

int Control(const std::string& name, DWORD control, std::ostream& out, std::ostream& err) {
  struct Step {
    DWORD access;
    DWORD target;
    const char* done;
  };
  Step step = control == SERVICE_CONTROL_STOP ? Step{SERVICE_STOP, SERVICE_STOPPED, "stopped"}
              : control == SERVICE_CONTROL_PAUSE
                  ? Step{SERVICE_PAUSE_CONTINUE, SERVICE_PAUSED, "paused"}
              : control == SERVICE_CONTROL_CONTINUE
                  ? Step{SERVICE_PAUSE_CONTINUE, SERVICE_RUNNING, "continued"}
                  : Step{SERVICE_INTERROGATE, 0, nullptr};
  Service service;
  if (DWORD error = service.Open(name, step.access | SERVICE_QUERY_STATUS)) {
    return Failed(err, error);
  }
  SERVICE_STATUS status;
  if (!ControlService(service.Handle(), control, &status)) return Failed(err, GetLastError());
  if (step.done == nullptr) {
    PrintStatus(out, name, status);
    return kDone;
  }
  if (status.dwCurrentState != step.target) {
    if (DWORD error = WaitFor(service.Handle(), step.target, status)) return Failed(err, error);
  }
  return Report(name, step.target, step.done, status, out, err);
}

int List(std::ostream& out, std::ostream& err) {
  HKEY services = nullptr;
  if (LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, &services);
      status != ERROR_SUCCESS) {
    if (status == ERROR_FILE_NOT_FOUND) return kDone;  // nothing installed yet
    return Failed(err, static_cast<DWORD>(status));
  }
  std::vector<std::string> names;
  char name[512];
  DWORD size = sizeof name;
  for (DWORD i = 0; RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_NO_MORE_ITEMS;
       ++i, size = sizeof name) {
    names.emplace_back(name, size);
  }
  RegCloseKey(services);
  char line[600];
  std::snprintf(line, sizeof line, "%-24s %-16s %s\n", "SERVICE_NAME", "STATE", "DISPLAY_NAME");
  out << line;
  for (const auto& entry : names) {
    std::string key = std::string(kServicesKey) + "\\" + entry;
    HKEY serviceKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &serviceKey) != ERROR_SUCCESS) {
      continue;
    }
    DWORD imageSize = 0;
    char display[512] = {};
    DWORD displaySize = sizeof display - 1;
    // Keys without a program, such as EventLog's, are not services.
    bool installed = RegQueryValueExA(serviceKey, "ImagePath", nullptr, nullptr, nullptr,
                                      &imageSize) == ERROR_SUCCESS;
    RegQueryValueExA(serviceKey, "DisplayName", nullptr, nullptr, reinterpret_cast<BYTE*>(display),
                     &displaySize);
    RegCloseKey(serviceKey);
    if (!installed) continue;
    Service service;
    SERVICE_STATUS status{};
    std::string state = service.Open(entry, SERVICE_QUERY_STATUS) == ERROR_SUCCESS &&
                                QueryServiceStatus(service.Handle(), &status)
                            ? StateName(status.dwCurrentState)
                            : "UNKNOWN";
    std::snprintf(line, sizeof line, "%-24s %-16s %s\n", entry.c_str(), state.c_str(), display);
    out << line;
  }
  return kDone;
}

}  // namespace

void PrintServiceUsage(std::ostream& out) {
  out << "Usage:\n"
         "  larkctl service query|stop|pause|continue|interrogate [NAME]\n"
         "  larkctl service start [NAME [ARGUMENT...]]\n"
         "  larkctl service run [NAME [ARGUMENT...]]\n"
         "  larkctl service list\n"
         "NAME defaults to Larkpost. start, stop, pause and continue wait (at most 60 s) for the\n"
         "service to be RUNNING, STOPPED, PAUSED or RUNNING again.\n"
         "run starts the service as start does but stays with it until it ends, for systemd\n"
         "(Type=notify, NotifyAccess=all): SIGTERM or SIGINT stops it. It exits 0 when the\n"
         "service stopped cleanly, else with its exit code when that is 1..255 (the\n"
         "service-specific one for ERROR_SERVICE_SPECIFIC_ERROR), else 1.\n";
}

int RunServiceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) throw UsageError{"Name a service operation."};
    // Later words of start are the service's own arguments, so help is looked for before them.
    if (IsHelpOption(args[0]) || (args.size() > 1 && IsHelpOption(args[1]))) {
      PrintServiceUsage(out);
      return kDone;
    }
    std::string operation = rtl::LowerCase(args[0]);
    std::string name = args.size() > 1 ? args[1] : kDefaultService;
    if (operation == "start" || operation == "run") {
      std::vector<std::string> serviceArgs(args.begin() + std::min<size_t>(args.size(), 2),
                                           args.end());
      return operation == "start" ? Start(name, serviceArgs, out, err)
                                  : Run(name, serviceArgs, out, err);
    }
    if (operation == "list") {
      if (args.size() > 1) throw UsageError{"list takes no service name."};
      return List(out, err);
    }
    if (args.size() > 2) throw UsageError{operation + " takes at most one service name."};
    if (operation == "query") return Query(name, out, err);
    if (operation == "stop") return Control(name, SERVICE_CONTROL_STOP, out, err);
    if (operation == "pause") return Control(name, SERVICE_CONTROL_PAUSE, out, err);
    if (operation == "continue") return Control(name, SERVICE_CONTROL_CONTINUE, out, err);
    if (operation == "interrogate") return Control(name, SERVICE_CONTROL_INTERROGATE, out, err);
    throw UsageError{"Unknown service operation '" + args[0] + "'."};
  } catch (const UsageError& e) {
    err << "ERROR: " << e.message << "\n";
    PrintServiceUsage(err);
    return kUsage;
  }
}

}  // namespace larkctl
