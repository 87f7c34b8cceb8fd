// What the service framework writes to the Linux machine layer's event log file.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "svchost/SvcObj.h"
#include "testing/Eventually.h"
#include "testing/TempDir.h"

namespace {

using namespace svchost;

class EventLogTest : public ::testing::Test {
 protected:
  std::vector<std::string> Lines() {
    std::ifstream file(root.Path() + "/eventlog/Application.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
  testing_support::MachineRoot root;
};

TEST_F(EventLogTest, EachKindHasItsIdentifierAndType) {
  TEventLog log("Larkpost");
  struct Expected {
    EventKind kind;
    DWORD id;
    WORD type;
  };
  const Expected expected[] = {
      {ekSuccess, 0x00000104, 0}, {ekInformation, 0x40000101, 4}, {ekWarning, 0x80000102, 2},
      {ekError, 0xC0000103, 1},   {ekFailure, 0xC0000100, 1},
  };
  for (const auto& entry : expected) log.Write(entry.kind, "kind " + std::to_string(entry.kind));
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  for (size_t i = 0; i < lines.size(); ++i) {
    auto record = nlohmann::json::parse(lines[i]);
    EXPECT_EQ(record["id"], expected[i].id) << lines[i];
    EXPECT_EQ(record["type"], expected[i].type) << lines[i];
    EXPECT_EQ(record["source"], "Larkpost");
    EXPECT_EQ(record["strings"], nlohmann::json::array({"kind " + std::to_string(i)}));
  }
}

std::atomic<DWORD> reportedState{0};

class RaisingService : public TService {
 public:
  RaisingService() : TService("Probe", "Probe Service") {}
  ~RaisingService() override { TerminateAndWaitFor(); }

 protected:
  void Execute() override { throw rtl::EConvertError("'x' is not a valid integer value"); }
};

TEST_F(EventLogTest, AnErrorThatEndsExecuteIsLogged) {
  ServiceManagerCalls().RegisterServiceCtrlHandlerExA = [](LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);
  };
  ServiceManagerCalls().SetServiceStatus = [](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    reportedState = status->dwCurrentState;
    return TRUE;
  };
  RaisingService service;
  std::thread main([&] {
    char name[] = "Probe";
    LPSTR argv[] = {name};
    service.MainStub(1, argv);
  });
  EXPECT_TRUE(testing_support::Eventually([] { return reportedState == SERVICE_STOPPED; }));
  main.join();
  ServiceManagerCalls() = TServiceManagerCalls{};
  auto lines = Lines();
  std::string log;
  for (const auto& line : lines) log += line + "\n";
  EXPECT_NE(log.find("Probe raised EConvertError: 'x' is not a valid integer value"),
            std::string::npos)
      << log;
}

}  // namespace
