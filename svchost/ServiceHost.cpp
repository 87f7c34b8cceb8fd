// The process side of the framework: the command-line switch, the dispatcher thread, the wait of
// the main thread, and the debug run in the foreground.
#include <atomic>
#include <iostream>
#include <mutex>

#include "rtl/SysUtils.h"
#include "svchost/SvcObj.h"

namespace svchost {
namespace {

std::atomic<int> exitCode{0};

// A console event is handled on a thread of its own; the debug run must not free the services
// under a handler that is still stopping them, nor may a late event reach freed services.
std::mutex consoleLock;
bool debugRunOver = false;

// Runs the control manager's dispatcher, which returns once every service has stopped.
class TSCMCaller : public rtl::TThread {
 public:
  TSCMCaller() : TThread(false) {}

 protected:
  void Execute() override {
    std::vector<std::string> names;
    for (TService* service : Services()) names.push_back(service->ServiceName());
    std::vector<SERVICE_TABLE_ENTRYA> table;
    for (auto& name : names) table.push_back({name.data(), &ServiceMainEntry});
    table.push_back({nullptr, nullptr});
    if (!StartServiceCtrlDispatcherA(table.data())) {
      // Raised here, the error would end the process with nothing said; a program started from
      // a shell is told how it is meant to run.
      std::string reason = LastErrorText();
      std::cerr << "StartServiceCtrlDispatcher failed.\n"
                << reason << "\n"
                << "This program runs as a service: install it with -INSTALL and start it through "
                   "the service control manager (larkctl service start NAME), or run it in the "
                   "foreground with -DEBUG.\n";
      SetProcessExitCode(1);
    }
  }
};

TSCMCaller* dispatcher = nullptr;

}  // namespace

int ProcessExitCode() { return exitCode; }
void SetProcessExitCode(int code) { exitCode = code; }

void WriteOutput(const std::string& text) { std::cout << text << std::endl; }

bool ProcessPendingMessages() {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message != WM_QUIT) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return true;
}

void RunServices(const std::vector<std::string>& params) {
  if (Services().empty()) throw rtl::Exception("No services to handle.");
  std::string param = params.empty() ? "" : rtl::UpperCase(params[0]).substr(0, 255);
  if (!param.empty() && param[0] == '/') param[0] = '-';
  if (param == "-INSTALL") {
    // -ACCOUNT names the local user the services run as; without it they run as LocalSystem.
    if (params.size() > 1 && rtl::UpperCase(params[1]).substr(1) == "ACCOUNT" &&
        (params[1][0] == '-' || params[1][0] == '/')) {
      if (params.size() < 3 || params[2].empty()) {
        WriteOutput("-ACCOUNT needs the name of a local user.");
        SetProcessExitCode(1);
        return;
      }
      for (TService* service : Services()) service->StartName = params[2];
    }
    for (TService* service : Services()) service->Install();
  } else if (param == "-REMOVE") {
    for (TService* service : Services()) service->Remove();
  } else if (param == "-DEBUG") {
    DebugRun();
  } else {
    dispatcher = rtl::StartThread<TSCMCaller>();
  }
}

void WaitForDispatcher() {
  if (dispatcher == nullptr) return;
  HANDLE handle = dispatcher->Handle();
  // Keeps handling the main thread's messages while the services run.
  while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
    while (ProcessPendingMessages()) {
    }
  }
  delete dispatcher;
  dispatcher = nullptr;
}

void DebugRun() {
  SetConsoleCtrlHandler(&ConsoleHandler, TRUE);
  for (TService* service : Services()) {
    service->DebugMode = true;
    WriteOutput(rtl::Format("Starting %s", service->DisplayName.c_str()));
    service->DoStart();
    service->Resume();
  }
  WriteOutput("Press <Ctrl>-Break to terminate");
  while (ProcessPendingMessages()) {
  }
  std::vector<TWaitable> threads;
  for (TService* service : Services()) threads.emplace_back(*service);
  WaitForAll(threads, INFINITE);
  {
    std::lock_guard lock(consoleLock);
    debugRunOver = true;
  }
  for (TService* service : Services()) service->ReportFatalError();
}

BOOL WINAPI ConsoleHandler(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  std::lock_guard lock(consoleLock);
  if (debugRunOver) return TRUE;
  for (TService* service : Services()) {
    WriteOutput(rtl::Format("Stopping %s", service->DisplayName.c_str()));
    try {
      service->Stop();
    } catch (const std::exception& error) {
      service->LogError(error);
    }
  }
  return TRUE;
}

}  // namespace svchost
