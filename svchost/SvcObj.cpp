#include "svchost/SvcObj.h"

#include <algorithm>
#include <mutex>

#include "rtl/SysUtils.h"

namespace svchost {
namespace {

TService* FindService(const char* name) {
  if (name == nullptr) return nullptr;
  for (TService* service : Services()) {
    if (rtl::UpperCase(service->ServiceName()) == rtl::UpperCase(name)) return service;
  }
  return nullptr;
}

// The control manager calls the handler without an object; it carries the object as context.
DWORD WINAPI HandlerEntry(DWORD control, DWORD, LPVOID, LPVOID context) {
  static_cast<TService*>(context)->HandlerStub(control);
  return NO_ERROR;
}

}  // namespace

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  TService* service = FindService(argc > 0 ? argv[0] : nullptr);
  // A program of one service runs it under whatever name its key has; with several, the control
  // manager hears that the program does not implement the one it was started as.
  if (service == nullptr && Services().size() == 1) service = Services().front();
  if (service != nullptr) service->MainStub(argc, argv);
}

// Ends a service thread that did not stop in time.
class TWatchDog : public rtl::TThread {
 public:
  explicit TWatchDog(TService* service) : TThread(true), service_(service) {
    FreeOnTerminate = true;
  }

 protected:
  void Execute() override {
    try {
      for (int pass = 0; pass < 5; ++pass) {
        if (service_->WaitForEnd(service_->WaitHint)) return;  // it stopped after all
        service_->SetStatus(SERVICE_STOP_PENDING);
      }
      if (service_->GetState() == SERVICE_STOPPED) return;
      if (TerminateThread(service_->Handle(), 0)) {
        // The end takes effect at the thread's next wait point; give it that long.
        service_->WaitForEnd(service_->WaitHint);
        service_->ReportStopped(NO_ERROR, 0);
      }
    } catch (const std::exception& error) {
      service_->LogError(error);
    }
  }

 private:
  TService* service_;
};

TServiceManagerCalls& ServiceManagerCalls() {
  static TServiceManagerCalls calls;
  return calls;
}

std::vector<TService*>& Services() {
  static auto* services = new std::vector<TService*>;
  return *services;
}

void FreeServices() {
  while (!Services().empty()) delete Services().back();
}

TService::TService(const std::string& serviceName, const std::string& displayName)
    : TThread(true), DisplayName(displayName), EventLog(serviceName) {
  MainStub = [this](DWORD argc, LPSTR* argv) { ServiceMain(argc, argv); };
  HandlerStub = [this](DWORD control) { Handler(control); };
  SetServiceName(serviceName);
  // Made now, so that a stop arriving before the service thread first waits is not lost.
  StopEvent.Handle();
  Services().push_back(this);
}

TService::~TService() {
  StopEvent.SetEvent();
  TerminateAndWaitFor();
  std::vector<HANDLE> dogs;
  {
    std::lock_guard lock(statusLock_);
    dogs.swap(watchDogs_);
  }
  LarkBeginNoTermination();
  for (HANDLE dog : dogs) {
    WaitForSingleObject(dog, INFINITE);
    CloseHandle(dog);
  }
  LarkEndNoTermination();
  std::erase(Services(), this);
}

void TService::SetServiceName(const std::string& name) {
  serviceName_ = name;
  EventLog.SetSourceName(name);
}

DWORD TService::GetState() {
  std::lock_guard lock(statusLock_);
  return status_.dwCurrentState;
}

void TService::InitStatus() {
  status_ = SERVICE_STATUS{};
  status_.dwServiceType = GetServiceType();
}

void TService::SetStatus(DWORD state) {
  std::lock_guard lock(statusLock_);
  if (statusHandle_ == nullptr) InitStatus();
  status_.dwCurrentState = state;
  // A stop is expected within 20 ms of each report; running needs no hint.
  status_.dwWaitHint = state == SERVICE_STOP_PENDING ? 20 : state == SERVICE_RUNNING ? 0 : WaitHint;
  status_.dwControlsAccepted =
      state == SERVICE_START_PENDING
          ? 0
          : SERVICE_ACCEPT_STOP | (AcceptPause ? SERVICE_ACCEPT_PAUSE_CONTINUE : 0);
  ReportStatus();
}

void TService::ReportStatus() {
  std::lock_guard lock(statusLock_);
  if (DebugMode) return;
  // STOPPED is reported once: the control manager may end the process right after it, and a
  // later report would bring back a service that is gone.
  if (stoppedReported_) return;
  DWORD state = status_.dwCurrentState;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
      state == SERVICE_PAUSE_PENDING) {
    ++status_.dwCheckPoint;
  } else {
    status_.dwCheckPoint = 0;
  }
  if (!ServiceManagerCalls().SetServiceStatus(GetStatusHandle(), &status_)) {
    throw EService("SetServiceStatus");
  }
  if (state == SERVICE_STOPPED) stoppedReported_ = true;
  status_.dwWaitHint = 0;
}

SERVICE_STATUS_HANDLE TService::GetStatusHandle() {
  std::lock_guard lock(statusLock_);
  if (statusHandle_ == nullptr) {
    statusHandle_ = ServiceManagerCalls().RegisterServiceCtrlHandlerExA(serviceName_.c_str(),
                                                                        &HandlerEntry, this);
    if (statusHandle_ == nullptr) throw EService("Unable to register service control handler");
  }
  return statusHandle_;
}

DWORD TService::GetServiceType() const {
  if (ServiceKind == 1) return SERVICE_KERNEL_DRIVER;
  if (ServiceKind == 2) return SERVICE_FILE_SYSTEM_DRIVER;
  DWORD type = Services().size() > 1 ? SERVICE_WIN32_SHARE_PROCESS : SERVICE_WIN32_OWN_PROCESS;
  if (Interactive && StartName.empty()) type |= SERVICE_INTERACTIVE_PROCESS;
  return type;
}

bool TService::WaitForEnd(DWORD ms) { return WaitForSingleObject(Handle(), ms) == WAIT_OBJECT_0; }

void TService::ResumeFully() {
  while (Suspended()) Resume();
}

void TService::StartWatchDog() {
  auto* dog = new TWatchDog(this);
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), dog->Handle(), GetCurrentProcess(), &copy, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  {
    std::lock_guard lock(statusLock_);
    if (copy != nullptr) watchDogs_.push_back(copy);
  }
  dog->Resume();
}

void TService::ReportStopped(DWORD exitCode, DWORD serviceExitCode) {
  std::lock_guard lock(statusLock_);
  status_.dwWin32ExitCode = exitCode;
  status_.dwServiceSpecificExitCode = serviceExitCode;
  SetStatus(SERVICE_STOPPED);
}

std::exception_ptr TService::TryStatus(DWORD state) {
  try {
    SetStatus(state);
  } catch (const std::exception&) {
    return std::current_exception();
  }
  return nullptr;
}

// A failed pending report must not swallow the control: the action is carried out, then the
// report's error is passed on to be logged.
void TService::Stop() {
  std::exception_ptr reportError = TryStatus(SERVICE_STOP_PENDING);
  // Told first, then resumed: a paused or not yet started thread sees the stop at once.
  Terminate();
  StopEvent.SetEvent();
  ResumeFully();
  DoStop();
  if (!WaitForEnd(WaitHint) && UseWatchDog) {
    std::exception_ptr again = TryStatus(SERVICE_STOP_PENDING);
    if (!reportError) reportError = again;
    StartWatchDog();
  }
  if (reportError) std::rethrow_exception(reportError);
}

void TService::Pause() {
  std::exception_ptr reportError = TryStatus(SERVICE_PAUSE_PENDING);
  // A second pause must not deepen the suspension that one continue has to undo.
  if (!Suspended()) Suspend();
  SetStatus(SERVICE_PAUSED);
  if (reportError) std::rethrow_exception(reportError);
}

void TService::Continue() {
  std::exception_ptr reportError = TryStatus(SERVICE_CONTINUE_PENDING);
  ResumeFully();
  SetStatus(SERVICE_RUNNING);
  if (reportError) std::rethrow_exception(reportError);
}

void TService::LogMessage(EventKind kind, const std::string& text) {
  if (DebugMode) {
    WriteOutput(text);
  } else {
    EventLog.Write(kind, text);
  }
}

void TService::LogError(const std::exception& error) {
  LogMessage(ekFailure, rtl::Format("%s raised %s: %s", serviceName_.c_str(),
                                    rtl::ClassNameOf(error), error.what()));
}

bool TService::ReportFatalError() {
  if (!FatalException()) return false;
  try {
    std::rethrow_exception(FatalException());
  } catch (const std::exception& error) {
    LogError(error);
  } catch (...) {
    LogMessage(ekFailure, serviceName_ + " raised an error of unknown kind");
  }
  return true;
}

void TService::Execute() { WaitForAny({StopEvent}, INFINITE); }

void TService::ServiceMain(DWORD argc, LPSTR* argv) {
  bool started = false;
  try {
    {
      std::lock_guard lock(statusLock_);
      stoppedReported_ = false;
    }
    for (DWORD i = 1; i < argc; ++i) Args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    SetStatus(SERVICE_START_PENDING);
    StopEvent.ResetEvent();
    DoStart();
    Resume();
    started = true;
    SetStatus(SERVICE_RUNNING);
  } catch (const std::exception& error) {
    LogError(error);
  }
  // Whatever failed above, the control manager hears that the service stopped.
  DWORD exitCode = NO_ERROR;
  try {
    if (started) {
      WaitForEnd(INFINITE);
      if (ReportFatalError()) exitCode = ERROR_PROCESS_ABORTED;
    } else {
      exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    }
    ReportStopped(exitCode, exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? 1 : 0);
  } catch (const std::exception& error) {
    LogError(error);
  }
}

void TService::Handler(DWORD control) {
  try {
    switch (control) {
      case SERVICE_CONTROL_STOP:
        Stop();
        break;
      case SERVICE_CONTROL_PAUSE:
        Pause();
        break;
      case SERVICE_CONTROL_CONTINUE:
        Continue();
        break;
      case SERVICE_CONTROL_SHUTDOWN:
        Shutdown();
        break;
      default:
        ReportStatus();
    }
  } catch (const std::exception& error) {
    LogError(error);
  }
}

}  // namespace svchost
