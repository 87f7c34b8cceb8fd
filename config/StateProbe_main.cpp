// A service program for the settings window's tests: it reports whatever state the tests write
// to the value "State" of its key's Parameters subkey, so that every one of the seven states can
// be shown, and counts in "Starts" and "Stops" what the control manager asked of it.
// State 0 ends the process at once without a report, as a crashed service would. It declares
// the stop control accepted in every state, so that a stop sent where none belongs is seen. It ends
// by itself when its key is gone (the test's machine root was removed) or after two minutes.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "winapi/winapi.h"

namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr auto kLifetime = std::chrono::minutes(2);

std::string name;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::atomic<bool> stopRequested = false;

HKEY OpenParameters() {
  HKEY key = nullptr;
  std::string path = kServicesKey + name + "\\Parameters";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

// The value, `absent` when it is missing, or -1 when the key itself is gone.
long long ReadDword(const char* value, DWORD absent) {
  HKEY key = OpenParameters();
  if (key == nullptr) return -1;
  DWORD data = 0;
  DWORD size = sizeof data;
  LSTATUS status =
      RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? data : absent;
}

void Count(const char* value) {
  long long count = ReadDword(value, 0);
  HKEY key = OpenParameters();
  if (key == nullptr) return;
  DWORD next = static_cast<DWORD>(count + 1);
  RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&next), sizeof next);
  RegCloseKey(key);
}

void Report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
  SetServiceStatus(statusHandle, &status);
}

void WINAPI Handler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return;
  Count("Stops");
  stopRequested = true;
}

void WINAPI ServiceMain(DWORD, LPSTR* argv) {
  name = argv[0];
  Count("Starts");
  statusHandle = RegisterServiceCtrlHandlerA(name.c_str(), Handler);
  auto deadline = std::chrono::steady_clock::now() + kLifetime;
  DWORD reported = 0;
  for (;;) {
    long long wanted = stopRequested ? SERVICE_STOPPED : ReadDword("State", SERVICE_RUNNING);
    if (wanted < 0 || std::chrono::steady_clock::now() > deadline) std::_Exit(2);
    if (wanted == 0) std::_Exit(3);
    if (static_cast<DWORD>(wanted) != reported) {
      reported = static_cast<DWORD>(wanted);
      Report(reported);
    }
    if (reported == SERVICE_STOPPED) return;
    Sleep(10);
  }
}

}  // namespace

int main() {
  char entryName[] = "Larkpost";
  SERVICE_TABLE_ENTRYA table[] = {{entryName, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? EXIT_SUCCESS : EXIT_FAILURE;
}
