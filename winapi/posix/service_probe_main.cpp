// A service program for the tests of the service control manager and `larkctl service`, written
// against the machine layer alone. As a service it behaves as the value "Behaviour" in its key's
// Parameters subkey says:
//   normal       accepts stop and pause/continue, through a HandlerEx with a context
//   inspect      as normal, and records what the service side of the manager answers it
//   ignore-stop  a plain handler that accepts pause/continue and shutdown, but not stop
//   exit         ends the process at once without reporting
//   fail         reports STOPPED with a service-specific exit code (42) instead of starting
//   busy         as normal, but its entry point spins and never ends; a stop is reported STOPPED
//                at once, as a watchdog that gave up on the thread would
// It also records its pid there ("Pid"). Other uses:
//   service_probe console [ignore-ctrl-c]   prints the console control events it gets
//   service_probe control NAME CODE         queries and controls a service, prints the results
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "winapi/winapi.h"

namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

HKEY OpenParameters(const std::string& service) {
  HKEY key = nullptr;
  std::string path = kServicesKey + service + "\\Parameters";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

void Record(const std::string& service, const char* name, DWORD value) {
  if (HKEY key = OpenParameters(service)) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
  }
}

void RecordText(const std::string& service, const char* name, const std::string& text) {
  if (HKEY key = OpenParameters(service)) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
  }
}

std::string Behaviour(const std::string& service) {
  HKEY key = OpenParameters(service);
  if (key == nullptr) return "normal";
  char text[64] = {};
  DWORD size = sizeof text - 1;
  LSTATUS status =
      RegQueryValueExA(key, "Behaviour", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? text : "normal";
}

struct Probe {
  std::mutex mutex;
  std::string name;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  HANDLE stopEvent = nullptr;
  HANDLE finished = nullptr;
  std::atomic<bool> busy{false};
};

Probe probe;

void Report(DWORD state, DWORD accepted, DWORD checkPoint = 0, DWORD waitHint = 0) {
  std::lock_guard lock(probe.mutex);
  probe.status.dwCurrentState = state;
  probe.status.dwControlsAccepted = accepted;
  probe.status.dwCheckPoint = checkPoint;
  probe.status.dwWaitHint = waitHint;
  SetServiceStatus(probe.handle, &probe.status);
}

DWORD Accepted() {
  std::lock_guard lock(probe.mutex);
  return probe.status.dwControlsAccepted;
}

void Handle(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (probe.busy) {
        Report(SERVICE_STOPPED, 0);
        break;
      }
      Report(SERVICE_STOP_PENDING, 0, 1, 2000);
      SetEvent(probe.stopEvent);
      break;
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSED, Accepted());
      break;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_RUNNING, Accepted());
      break;
    default:
      break;
  }
}

void WINAPI PlainHandler(DWORD control) { Handle(control); }

DWORD WINAPI HandlerEx(DWORD control, DWORD, LPVOID, LPVOID context) {
  if (context != &probe) return ERROR_INVALID_PARAMETER;
  Handle(control);
  return NO_ERROR;
}

void WINAPI NeverCalled(DWORD, LPSTR*) {}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  probe.name = argv[0];
  std::string behaviour = Behaviour(probe.name);
  Record(probe.name, "Pid", static_cast<DWORD>(getpid()));
  if (behaviour == "exit") _exit(3);
  bool inspect = behaviour == "inspect";
  if (inspect) {
    std::string args;
    for (DWORD i = 0; i < argc; ++i) args += std::string(argv[i]) + "\n";
    RecordText(probe.name, "LastArgs", args);
    SERVICE_TABLE_ENTRYA again[] = {{argv[0], NeverCalled}, {nullptr, nullptr}};
    Record(probe.name, "SecondDispatch", StartServiceCtrlDispatcherA(again) ? 0 : GetLastError());
    Record(probe.name, "OtherHandler",
           RegisterServiceCtrlHandlerA("NoSuchService", PlainHandler) ? 0 : GetLastError());
  }
  bool ignoreStop = behaviour == "ignore-stop";
  probe.stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SERVICE_STATUS_HANDLE handle =
      ignoreStop ? RegisterServiceCtrlHandlerA(probe.name.c_str(), PlainHandler)
                 : RegisterServiceCtrlHandlerExA(probe.name.c_str(), HandlerEx, &probe);
  {
    std::lock_guard lock(probe.mutex);
    probe.handle = handle;
    probe.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  }
  Report(SERVICE_START_PENDING, 0, 1, 3000);
  if (behaviour == "fail") {
    std::lock_guard lock(probe.mutex);
    probe.status = {
        SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 42, 0, 0};
    SetServiceStatus(probe.handle, &probe.status);
    return;
  }
  probe.busy = behaviour == "busy";
  Report(SERVICE_RUNNING, ignoreStop ? SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN
                                     : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);
  for (volatile bool spin = probe.busy; spin;) {
  }
  WaitForSingleObject(probe.stopEvent, INFINITE);
  Report(SERVICE_STOPPED, 0);
  if (inspect) {
    SERVICE_STATUS again = probe.status;
    again.dwCurrentState = SERVICE_RUNNING;
    Record(probe.name, "AfterStop", SetServiceStatus(probe.handle, &again) ? 0 : GetLastError());
  }
  SetEvent(probe.finished);
}

std::mutex outputMutex;

void Say(const char* what, DWORD event) {
  std::lock_guard lock(outputMutex);
  std::printf("%s %u\n", what, event);
  std::fflush(stdout);
}

BOOL WINAPI Declines(DWORD event) {
  Say("declines", event);
  return FALSE;
}

BOOL WINAPI TakesCtrlC(DWORD event) {
  Say("takes", event);
  return event == CTRL_C_EVENT;
}

BOOL WINAPI Removed(DWORD event) {
  Say("removed", event);
  return TRUE;
}

int Console(bool ignoreCtrlC) {
  SetConsoleCtrlHandler(Declines, TRUE);
  SetConsoleCtrlHandler(TakesCtrlC, TRUE);
  SetConsoleCtrlHandler(Removed, TRUE);
  SetConsoleCtrlHandler(Removed, FALSE);
  if (ignoreCtrlC) SetConsoleCtrlHandler(nullptr, TRUE);
  Say("remove-again", SetConsoleCtrlHandler(Removed, FALSE) ? 0 : GetLastError());
  Say("ready", 0);
  for (;;) pause();
}

int Control(const char* name, DWORD code) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_ALL_ACCESS) : nullptr;
  if (service == nullptr) {
    std::printf("open %u\n", GetLastError());
    return 1;
  }
  SERVICE_STATUS status{};
  std::printf("query %u\n", QueryServiceStatus(service, &status) ? status.dwCurrentState : 0);
  std::printf("control %u\n", ControlService(service, code, &status) ? 0 : GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "console") == 0) {
    return Console(argc >= 3 && std::strcmp(argv[2], "ignore-ctrl-c") == 0);
  }
  if (argc == 4 && std::strcmp(argv[1], "control") == 0) {
    return Control(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
  }
  probe.finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char entryName[] = "LarkProbe";
  SERVICE_TABLE_ENTRYA table[] = {{entryName, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    std::printf("dispatcher %u\n", GetLastError());
    return 1;
  }
  // The dispatcher returns once the service reported STOPPED; let ServiceMain finish its notes.
  WaitForSingleObject(probe.finished, 10000);
  return 0;
}
