// The service run on its own thread in a test process, as the dispatcher would run it, against a
// fresh machine root and queue directory; the event log entries are read where the Linux machine
// layer keeps them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "rtl/Registry.h"
#include "service/LarkqSvc.h"
#include "service/ThrdSMTP.h"
#include "settings/RegSet.h"
#include "testing/Eventually.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"

namespace service_test {

struct Entry {
  svchost::EventKind kind;
  std::string text;
};

// The control manager is not there in-process: status reports are taken and dropped.
inline SERVICE_STATUS_HANDLE WINAPI RegisterHandler(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(1);
}
inline BOOL WINAPI AcceptStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { return TRUE; }

// The service run on its own thread in this process, as the dispatcher would run it, against a
// fresh machine root and queue directory.
class ServiceLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings::Settings() = settings::TSettings{};
    saved_ = svchost::ServiceManagerCalls();
    svchost::ServiceManagerCalls().RegisterServiceCtrlHandlerExA = &RegisterHandler;
    svchost::ServiceManagerCalls().SetServiceStatus = &AcceptStatus;
    std::filesystem::create_directory(queue_ / "Failed");
    Set("QuePath", queue_.Path());
    Set("SettleTime", 0);
    Set("PollInterval", 50);
  }
  void TearDown() override {
    if (service_ != nullptr) {
      service_->StopEvent.SetEvent();
      EXPECT_TRUE(Ended());
      delete service_;
    }
    svchost::ServiceManagerCalls() = saved_;
    EXPECT_EQ(service::WorkerTable().ActiveWorkers, 0);
  }

  void Set(const char* name, const std::string& text) { Key().WriteString(name, text); }
  void Set(const char* name, int value) { Key().WriteInteger(name, value); }
  rtl::TRegistry& Key() {
    registry_.SetRootKey(HKEY_LOCAL_MACHINE);
    registry_.OpenKey(settings::kSettingsKey, true);
    return registry_;
  }
  void Queue(const std::string& base, const std::string& relay, int failures = 0) {
    queue_.WriteFile(base + ".tmp", "Hello.\r\n");
    std::string ini = "[Connection]\r\nRemoteHost=" + relay + "\r\nTimeOut=20\r\n";
    if (failures != 0) ini += "Failures=" + std::to_string(failures) + "\r\n";
    ini += "[Message]\r\nFromAddr=shop@example.com\r\nNTO1=Ann\r\nATO1=ann@example.org\r\n";
    // Written aside and renamed in, as producers do: a scan never sees half an .ini.
    queue_.WriteFile(base + ".part", ini);
    std::filesystem::rename(queue_ / (base + ".part"), queue_ / (base + ".ini"));
  }
  void Start() {
    service_ = new service::TLarkqService;
    service_->WaitHint = 100;  // a refused start stops itself; no need to wait long for that
    service_->Resume();
  }
  bool Ended(DWORD bound = 10000) {
    return WaitForSingleObject(service_->Handle(), bound) == WAIT_OBJECT_0;
  }
  std::vector<Entry> Entries() const {
    std::vector<Entry> entries;
    std::ifstream in(root_.Path() + "/eventlog/Application.jsonl");
    for (std::string line; std::getline(in, line);) {
      auto record = nlohmann::json::parse(line);
      DWORD id = record["id"];
      svchost::EventKind kind = svchost::ekSuccess;
      for (auto k :
           {svchost::ekInformation, svchost::ekWarning, svchost::ekError, svchost::ekFailure}) {
        if (svchost::TEventLog::EventId(k) == id) kind = k;
      }
      entries.push_back({kind, record["strings"][0]});
    }
    return entries;
  }
  bool Logged(const std::string& text) const {
    for (const auto& entry : Entries()) {
      if (entry.text == text) return true;
    }
    return false;
  }

  // Scenarios whose event log entries only the Linux machine layer keeps where a test reads
  // them; each suite checks what it can see.
  void RunSecondServiceOnTheSameQueue() {
    queue_.WriteFile("bad.ini", "[Connection]\r\nFailures=abc\r\n");
    service::TLarkqService first;  // its start-up run by hand on this thread
    ASSERT_TRUE(first.StartUp());
    Set("QuePath", queue_.Path() + "/.");  // the same queue however it is spelled
    Start();
    ASSERT_TRUE(Ended());
    EXPECT_EQ(service_->QueueManager(), nullptr);
  }
  void RunStopWithHangingDeliveries() {
    Set("Threads", 2);
    testing_support::FakeSmtpServer relay;
    relay.SetGreeting(testing_support::FakeSmtpServer::kSilence);
    Queue("h1", relay.Address());
    Queue("h2", relay.Address());
    Start();
    ASSERT_TRUE(
        testing_support::Eventually([] { return service::WorkerTable().ActiveWorkers == 2; }));
    service_->StopEvent.SetEvent();
    ASSERT_TRUE(Ended(5000));
    EXPECT_EQ(service_->QueueManager(), nullptr);
    for (const char* name : {"h1.ini", "h1.tmp", "h2.ini", "h2.tmp"}) {
      EXPECT_TRUE(queue_.Exists(name)) << name;
    }
    EXPECT_FALSE(queue_.Exists("larkq.log"));
    EXPECT_FALSE(service::WorkerTable().WorkerBusy[1] || service::WorkerTable().WorkerBusy[2]);
  }
  void RunWorkerThatCannotBeMade() {
    testing_support::FakeSmtpServer relay;
    Queue("later", relay.Address());
    service::TLarkqService service;  // its steps run by hand on this thread
    service.StartWorker = [](const std::string&, int, service::TQManager&) -> HANDLE {
      throw rtl::Exception("Thread creation error: Resource temporarily unavailable");
    };
    ASSERT_TRUE(service.StartUp());
    service.QueueManager()->UpdateQueueStatus();
    service.SendMessages();
    EXPECT_EQ(service.QueueManager()->Slot(1).State, service::ssReady);
    service.QueueManager()->UpdateQueueStatus();
    EXPECT_EQ(rtl::TIniFile(queue_ / "later.ini").ReadString("Connection", "Failures", "none"),
              "none");
    service.StartWorker = service::TSMTPThread::Start;
    service.SendMessages();
    EXPECT_TRUE(testing_support::Eventually([&] { return relay.Messages().size() == 1; }));
    EXPECT_TRUE(
        testing_support::Eventually([] { return service::WorkerTable().ActiveWorkers == 0; }));
  }

  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
  rtl::TRegistry registry_{KEY_ALL_ACCESS};
  svchost::TServiceManagerCalls saved_;
  service::TLarkqService* service_ = nullptr;
};

}  // namespace service_test
