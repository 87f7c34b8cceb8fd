// TService turns a thread class into a service of the service control manager and hosts one or
// more of them in one process: the command-line switches (install, remove, debug, or run under
// the control manager), the dispatcher thread, state reports with wait hints and check points,
// stop/pause/continue/shutdown, a watchdog for a stop that takes too long, and error texts routed
// to the event log.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtl/CriticalSection.h"
#include "rtl/Exception.h"
#include "rtl/Thread.h"
#include "svchost/NTObj.h"
#include "winapi/winapi.h"

namespace svchost {

RTL_EXCEPTION_CLASS(EService, rtl::Exception);

class TService : public rtl::TThread {
 public:
  TService(const std::string& serviceName, const std::string& displayName);
  // Sets StopEvent, so an Execute waiting on it ends, then waits for the thread.
  ~TService() override;

  const std::string& ServiceName() const { return serviceName_; }
  void SetServiceName(const std::string& name);
  DWORD GetState();

  void SetStatus(DWORD state);
  void ReportStatus();
  SERVICE_STATUS_HANDLE GetStatusHandle();
  DWORD GetServiceType() const;

  void Stop();
  void Shutdown() { Stop(); }
  void Pause();
  void Continue();

  // In DebugMode the text goes to WriteOutput, otherwise to the event log.
  void LogMessage(EventKind kind, const std::string& text);

  // Both print what they did with WriteOutput; a failure sets the process exit code to 1.
  void Install();
  void Remove();

  // Reached through MainStub and HandlerStub.
  void ServiceMain(DWORD argc, LPSTR* argv);
  void Handler(DWORD control);

  std::array<char, 104> Dependencies{};  // names separated by NUL, ended by a second NUL
  DWORD StartType = SERVICE_DEMAND_START;
  std::string StartName;
  bool AcceptPause = true;
  bool UseWatchDog = true;
  bool DebugMode = false;
  std::string DisplayName;
  bool Interactive = false;
  std::string Password;
  BYTE ServiceKind = 0;  // 0 a program of its own, 1 a kernel driver, 2 a file-system driver
  DWORD WaitHint = 1000;
  // The entry point and control handler bound to this object; the dispatcher and the control
  // manager reach them by the service's name.
  std::function<void(DWORD, LPSTR*)> MainStub;
  std::function<void(DWORD)> HandlerStub;
  TEvent StopEvent;
  TEventLog EventLog;
  std::vector<std::string> Args;

 protected:
  void Execute() override;
  virtual void DoStart() {}
  virtual void DoStop() {}
  virtual void InitStatus();

 private:
  friend class TWatchDog;
  friend void DebugRun();
  friend BOOL WINAPI ConsoleHandler(DWORD event);
  void ResumeFully();
  // Waits up to ms for the service thread to end.
  bool WaitForEnd(DWORD ms);
  void StartWatchDog();
  // SetStatus, handing back instead of raising the error of a failed report.
  std::exception_ptr TryStatus(DWORD state);
  void ReportStopped(DWORD exitCode, DWORD serviceExitCode);
  // "%s raised %s: %s" to the event log (or the debug output).
  void LogError(const std::exception& error);
  // Logs the error that ended Execute, if one did; true when there was one.
  bool ReportFatalError();

  std::string serviceName_;
  rtl::TCriticalSection statusLock_;  // one report at a time; nothing is reported after STOPPED
  SERVICE_STATUS status_{};
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  bool stoppedReported_ = false;
  std::vector<HANDLE> watchDogs_;  // guarded by statusLock_; waited for before the object goes
};

// Every service object of the process, in creation order.
std::vector<TService*>& Services();
// Frees every service object, then empties the list; the program's last step.
void FreeServices();

// The entry point of every service in the dispatcher's table: the dispatcher passes the
// service's name first, which finds the object whose MainStub runs.
void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv);

// Reads the first parameter: -INSTALL, -REMOVE, -DEBUG (any case, "/" for "-"); anything else
// starts the dispatcher thread. Raises "No services to handle." when no service exists.
void RunServices(const std::vector<std::string>& params);
// Handles the main thread's messages until the dispatcher ends, then frees it.
void WaitForDispatcher();
// What the program's main returns: 1 after a failed install or remove, or when the dispatcher
// could not reach the control manager; otherwise 0.
int ProcessExitCode();
void SetProcessExitCode(int code);
// Takes one message of the calling thread's queue without waiting; false when there was none.
bool ProcessPendingMessages();
void DebugRun();
BOOL WINAPI ConsoleHandler(DWORD event);
// The sink of install, remove and debug texts: standard output, one line each.
void WriteOutput(const std::string& text);

// The control manager calls the framework makes; tests put recorders in their place.
struct TServiceManagerCalls {
  decltype(&::RegisterServiceCtrlHandlerExA) RegisterServiceCtrlHandlerExA =
      ::RegisterServiceCtrlHandlerExA;
  decltype(&::SetServiceStatus) SetServiceStatus = ::SetServiceStatus;
};
TServiceManagerCalls& ServiceManagerCalls();

}  // namespace svchost
