#include "svchost/SvcObj.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "testing/Eventually.h"
#include "testing/TempDir.h"

namespace {

using svchost::TService;
using testing_support::Eventually;

// Stands in for the control manager: keeps the handler and every status report.
struct Recorder {
  std::mutex mutex;
  std::vector<SERVICE_STATUS> reports;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  std::atomic<int> failuresLeft{0};

  static Recorder*& Current() {
    static Recorder* current = nullptr;
    return current;
  }
  static SERVICE_STATUS_HANDLE WINAPI Register(LPCSTR, LPHANDLER_FUNCTION_EX handler,
                                               LPVOID context) {
    Current()->handler = handler;
    Current()->context = context;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);
  }
  static BOOL WINAPI Report(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    Recorder* self = Current();
    if (self->failuresLeft > 0) {
      --self->failuresLeft;
      return FALSE;
    }
    std::lock_guard lock(self->mutex);
    self->reports.push_back(*status);
    return TRUE;
  }

  void Control(DWORD code) { handler(code, 0, nullptr, context); }
  std::vector<SERVICE_STATUS> Reports() {
    std::lock_guard lock(mutex);
    return reports;
  }
  SERVICE_STATUS Last() {
    std::lock_guard lock(mutex);
    return reports.empty() ? SERVICE_STATUS{} : reports.back();
  }
  size_t CountOf(DWORD state) {
    std::lock_guard lock(mutex);
    return std::count_if(reports.begin(), reports.end(),
                         [state](const SERVICE_STATUS& s) { return s.dwCurrentState == state; });
  }
};

enum class Behaviour { Wait, Ignore, Raise, Count };

class ProbeService : public TService {
 public:
  ProbeService(Behaviour behaviour) : TService("Probe", "Probe Service"), behaviour_(behaviour) {}
  ~ProbeService() override { TerminateAndWaitFor(); }
  std::atomic<int> steps{0};
  std::atomic<bool> executing{false};

 protected:
  void Execute() override {
    executing = true;
    switch (behaviour_) {
      case Behaviour::Wait:
        TService::Execute();
        break;
      case Behaviour::Ignore:
        for (;;) Sleep(5);
      case Behaviour::Raise:
        throw rtl::EConvertError("'x' is not a valid integer value");
      case Behaviour::Count:
        while (WaitForSingleObject(StopEvent.Handle(), 2) == WAIT_TIMEOUT) ++steps;
        break;
    }
  }

 private:
  Behaviour behaviour_;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::Current() = &recorder;
    svchost::ServiceManagerCalls().RegisterServiceCtrlHandlerExA = &Recorder::Register;
    svchost::ServiceManagerCalls().SetServiceStatus = &Recorder::Report;
  }
  void TearDown() override {
    if (main.joinable()) main.join();
    service.reset();
    svchost::ServiceManagerCalls() = svchost::TServiceManagerCalls{};
  }

  // Runs the entry point on a thread of its own, as the dispatcher does.
  void Start(Behaviour behaviour, DWORD waitHint = 50) {
    service = std::make_unique<ProbeService>(behaviour);
    service->WaitHint = waitHint;
    main = std::thread([this] {
      char name[] = "Probe";
      char first[] = "one";
      char second[] = "two";
      LPSTR argv[] = {name, first, second};
      service->MainStub(3, argv);
    });
  }
  bool Reaches(DWORD state, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    return Eventually([&] { return recorder.Last().dwCurrentState == state; }, limit);
  }

  testing_support::MachineRoot root;
  Recorder recorder;
  std::unique_ptr<ProbeService> service;
  std::thread main;
};

TEST_F(ServiceTest, StartsAndStopsWithTheReportsOfTheStateTable) {
  Start(Behaviour::Wait, 1000);
  ASSERT_TRUE(Reaches(SERVICE_RUNNING));
  EXPECT_EQ(service->Args, (std::vector<std::string>{"one", "two"}));
  recorder.Control(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(Reaches(SERVICE_STOPPED));
  main.join();

  auto reports = recorder.Reports();
  ASSERT_EQ(reports.size(), 4u);
  const SERVICE_STATUS& start = reports[0];
  EXPECT_EQ(start.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(start.dwControlsAccepted, 0u);
  EXPECT_EQ(start.dwCheckPoint, 1u);
  EXPECT_EQ(start.dwWaitHint, 1000u);
  EXPECT_EQ(start.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  const SERVICE_STATUS& running = reports[1];
  EXPECT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(running.dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE));
  EXPECT_EQ(running.dwCheckPoint, 0u);
  EXPECT_EQ(running.dwWaitHint, 0u);
  const SERVICE_STATUS& stopping = reports[2];
  EXPECT_EQ(stopping.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(stopping.dwWaitHint, 20u);
  EXPECT_EQ(stopping.dwCheckPoint, 1u);
  const SERVICE_STATUS& stopped = reports[3];
  EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(stopped.dwCheckPoint, 0u);
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);

  // Nothing is reported once STOPPED has been.
  recorder.Control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(recorder.Reports().size(), 4u);
}

TEST_F(ServiceTest, AThreadThatIgnoresTheStopIsEndedByTheWatchDog) {
  Start(Behaviour::Ignore);
  ASSERT_TRUE(Reaches(SERVICE_RUNNING));
  ASSERT_TRUE(Eventually([&] { return service->executing.load(); }));
  recorder.Control(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(Reaches(SERVICE_STOPPED));
  main.join();
  std::vector<DWORD> checkPoints;
  for (const auto& report : recorder.Reports()) {
    if (report.dwCurrentState == SERVICE_STOP_PENDING) checkPoints.push_back(report.dwCheckPoint);
  }
  EXPECT_EQ(checkPoints, (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(recorder.CountOf(SERVICE_STOPPED), 1u);
  EXPECT_EQ(recorder.Last().dwCheckPoint, 0u);
  EXPECT_TRUE(service->Finished());
}

TEST_F(ServiceTest, PauseAndContinueSuspendOnceAndResumeFully) {
  Start(Behaviour::Count);
  ASSERT_TRUE(Reaches(SERVICE_RUNNING));
  ASSERT_TRUE(Eventually([&] { return service->executing.load(); }));
  recorder.Control(SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(Reaches(SERVICE_PAUSED));
  auto reports = recorder.Reports();
  EXPECT_EQ(reports[reports.size() - 2].dwCurrentState, static_cast<DWORD>(SERVICE_PAUSE_PENDING));
  EXPECT_EQ(reports[reports.size() - 2].dwCheckPoint, 1u);
  EXPECT_EQ(reports[reports.size() - 2].dwWaitHint, 50u);
  recorder.Control(SERVICE_CONTROL_PAUSE);  // a second pause must not need a second continue
  Sleep(30);
  int frozen = service->steps;
  Sleep(50);
  EXPECT_EQ(service->steps, frozen);

  recorder.Control(SERVICE_CONTROL_CONTINUE);
  ASSERT_TRUE(Reaches(SERVICE_RUNNING));
  reports = recorder.Reports();
  EXPECT_EQ(reports[reports.size() - 2].dwCurrentState,
            static_cast<DWORD>(SERVICE_CONTINUE_PENDING));
  EXPECT_EQ(reports[reports.size() - 2].dwCheckPoint, 0u);
  EXPECT_TRUE(Eventually([&] { return service->steps > frozen + 3; }));

  // A stop while paused lets the thread go on to see it.
  recorder.Control(SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(Reaches(SERVICE_PAUSED));
  recorder.Control(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(Reaches(SERVICE_STOPPED));
  EXPECT_EQ(recorder.CountOf(SERVICE_STOP_PENDING), 1u);  // stopped within the wait hint
}

TEST_F(ServiceTest, InterrogateRepeatsTheLastStatus) {
  Start(Behaviour::Wait);
  ASSERT_TRUE(Reaches(SERVICE_RUNNING));
  size_t before = recorder.Reports().size();
  recorder.Control(SERVICE_CONTROL_INTERROGATE);
  auto reports = recorder.Reports();
  ASSERT_EQ(reports.size(), before + 1);
  EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(reports.back().dwCheckPoint, 0u);
  recorder.Control(SERVICE_CONTROL_SHUTDOWN);
  EXPECT_TRUE(Reaches(SERVICE_STOPPED));
}

TEST_F(ServiceTest, AFailedReportDoesNotSwallowTheStop) {
  Start(Behaviour::Wait);
  ASSERT_TRUE(Reaches(SERVICE_RUNNING));
  recorder.failuresLeft = 1;
  recorder.Control(SERVICE_CONTROL_STOP);
  EXPECT_TRUE(Eventually([&] { return service->Finished(); }));
  EXPECT_TRUE(Reaches(SERVICE_STOPPED));
}

TEST_F(ServiceTest, AFailureBeforeTheThreadStartsStillReportsStopped) {
  recorder.failuresLeft = 1;  // the start pending report
  Start(Behaviour::Wait);
  ASSERT_TRUE(Reaches(SERVICE_STOPPED));
  main.join();
  EXPECT_EQ(recorder.Last().dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(recorder.CountOf(SERVICE_RUNNING), 0u);
}

TEST_F(ServiceTest, AnErrorThatEndsExecuteStopsTheService) {
  Start(Behaviour::Raise);
  ASSERT_TRUE(Reaches(SERVICE_STOPPED));
  main.join();
  EXPECT_EQ(recorder.Last().dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
}

TEST_F(ServiceTest, TheServiceTypeFollowsHowManyServicesTheProcessHosts) {
  ProbeService first(Behaviour::Wait);
  EXPECT_EQ(first.GetServiceType(), static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  {
    ProbeService second(Behaviour::Wait);
    EXPECT_EQ(first.GetServiceType(), static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
    second.Interactive = true;
    EXPECT_EQ(second.GetServiceType(),
              static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS));
    second.StartName = "mail";
    EXPECT_EQ(second.GetServiceType(), static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
  }
  first.ServiceKind = 2;
  EXPECT_EQ(first.GetServiceType(), static_cast<DWORD>(SERVICE_FILE_SYSTEM_DRIVER));
}

TEST(RunServicesTest, NeedsAService) {
  try {
    svchost::RunServices({});
    FAIL() << "no error";
  } catch (const rtl::Exception& error) {
    EXPECT_STREQ(error.what(), "No services to handle.");
  }
}

}  // namespace
