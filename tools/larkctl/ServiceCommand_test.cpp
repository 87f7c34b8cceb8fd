#include "tools/larkctl/ServiceCommand.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/CommandRun.h"
#include "testing/TempDir.h"
#include "winapi/winapi.h"

namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";

using testing_support::Result;

Result Service(const std::vector<std::string>& args) {
  return testing_support::RunCommand(larkctl::RunServiceCommand, args);
}

std::string Status(const std::string& name, int state, const char* stateName) {
  return "SERVICE_NAME: " + name +
         "\n"
         "        TYPE               : 10  WIN32_OWN_PROCESS\n"
         "        STATE              : " +
         std::to_string(state) + "  " + stateName +
         "\n"
         "        WIN32_EXIT_CODE    : 0  (0x0)\n"
         "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
         "        CHECKPOINT         : 0x0\n"
         "        WAIT_HINT          : 0x0\n";
}

class ServiceCommandTest : public ::testing::Test {
 protected:
  void Install(const std::string& name, const std::string& behaviour = "") {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        CreateServiceA(manager, name.c_str(), (name + " Probe").c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       LARKPOST_SERVICE_PROBE, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (behaviour.empty()) return;
    HKEY parameters = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kServices + name + "\\Parameters").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(parameters, "Behaviour", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(behaviour.c_str()),
                   static_cast<DWORD>(behaviour.size() + 1));
    RegCloseKey(parameters);
  }

  void TearDown() override {
    // A failed test must not leave its service running.
    Service({"stop", "LarkProbe"});
  }

  testing_support::MachineRoot root_;
};

TEST_F(ServiceCommandTest, WrongArgumentsAreUsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"restart"}, {"query", "A", "B"}, {"stop", "A", "B"}, {"list", "A"}}) {
    Result result = Service(args);
    EXPECT_EQ(result.code, 2) << testing::PrintToString(args);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Usage:"), std::string::npos);
  }
}

TEST_F(ServiceCommandTest, HelpGoesToStandardOutput) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"/?"}, {"query", "--help"}, {"start", "-h"}, {"list", "/?"}}) {
    Result result = Service(args);
    EXPECT_EQ(result.code, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.out.find("Usage:\n  larkctl service"), 0u);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(ServiceCommandTest, AMissingServiceIsReportedWithTheWin32Text) {
  for (const char* operation : {"query", "start", "stop", "pause", "interrogate"}) {
    Result result = Service({operation, "Nowhere"});
    EXPECT_EQ(result.code, 1) << operation;
    EXPECT_EQ(result.err, "ERROR: The specified service does not exist as an installed service.\n");
  }
  // Without a name it is Larkpost's service that is meant.
  Result unnamed = Service({"query"});
  EXPECT_EQ(unnamed.code, 1);
  EXPECT_EQ(unnamed.err, "ERROR: The specified service does not exist as an installed service.\n");
  Result list = Service({"list"});
  EXPECT_EQ(list.code, 0);
}

TEST_F(ServiceCommandTest, DrivesAServiceThroughItsStates) {
  Install("LarkProbe");
  EXPECT_EQ(Service({"query", "LarkProbe"}).out, Status("LarkProbe", 1, "STOPPED"));

  Result started = Service({"start", "LarkProbe", "--verbose"});
  ASSERT_EQ(started.code, 0) << started.err;
  EXPECT_EQ(started.out, "LarkProbe started.\n");
  EXPECT_EQ(Service({"query", "larkprobe"}).out, Status("larkprobe", 4, "RUNNING"));
  Result again = Service({"start", "LarkProbe"});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err, "ERROR: An instance of the service is already running.\n");

  EXPECT_EQ(Service({"pause", "LarkProbe"}).out, "LarkProbe paused.\n");
  EXPECT_EQ(Service({"query", "LarkProbe"}).out, Status("LarkProbe", 7, "PAUSED"));
  EXPECT_EQ(Service({"continue", "LarkProbe"}).out, "LarkProbe continued.\n");
  EXPECT_EQ(Service({"interrogate", "LarkProbe"}).out, Status("LarkProbe", 4, "RUNNING"));

  // Keys without a program are no services.
  HKEY eventLog = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kServices + "EventLog\\Application").c_str(), 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &eventLog, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(eventLog);
  Install("Spare");
  EXPECT_EQ(Service({"list"}).out,
            "SERVICE_NAME             STATE            DISPLAY_NAME\n"
            "LarkProbe                RUNNING          LarkProbe Probe\n"
            "Spare                    STOPPED          Spare Probe\n");

  Result stopped = Service({"stop", "LarkProbe"});
  EXPECT_EQ(stopped.code, 0) << stopped.err;
  EXPECT_EQ(stopped.out, "LarkProbe stopped.\n");
  Result notRunning = Service({"stop", "LarkProbe"});
  EXPECT_EQ(notRunning.code, 1);
  EXPECT_EQ(notRunning.err, "ERROR: The service has not been started.\n");
}

TEST_F(ServiceCommandTest, AStartThatEndsInStoppedFails) {
  Install("Quitter", "exit");
  Result result = Service({"start", "Quitter"});
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "ERROR: Quitter stopped instead (WIN32_EXIT_CODE 1067: The process terminated "
            "unexpectedly.).\n");
}

}  // namespace
