#include "service/LarkqSvc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "rtl/Registry.h"
#include "service/ThrdSMTP.h"
#include "settings/RegSet.h"
#include "testing/Eventually.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"

namespace {

using service::TLarkqService;
using service::WorkerTable;
using testing_support::Eventually;

struct Entry {
  svchost::EventKind kind;
  std::string text;
};

// The control manager is not there in-process: status reports are taken and dropped.
SERVICE_STATUS_HANDLE WINAPI RegisterHandler(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(1);
}
BOOL WINAPI AcceptStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { return TRUE; }

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
    EXPECT_EQ(WorkerTable().ActiveWorkers, 0);
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
    service_ = new TLarkqService;
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

  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
  rtl::TRegistry registry_{KEY_ALL_ACCESS};
  svchost::TServiceManagerCalls saved_;
  TLarkqService* service_ = nullptr;
};

// Two services on one queue would deliver most messages twice: the second says so and stops. A
// bad failure count of one message no longer stops a start: it is reported with the file's name.
TEST_F(ServiceLoopTest, ASecondServiceOnTheSameQueueSaysSoAndStops) {
  queue_.WriteFile("bad.ini", "[Connection]\r\nFailures=abc\r\n");
  TLarkqService first;  // its start-up run by hand on this thread
  ASSERT_TRUE(first.StartUp());
  Set("QuePath", queue_.Path() + "/.");  // the same queue however it is spelled
  Start();
  ASSERT_TRUE(Ended());
  auto entries = Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].kind, svchost::ekError);  // the bad count, named
  EXPECT_EQ(entries[1].text, "Larkpost Service Started");
  EXPECT_EQ(entries[2].kind, svchost::ekFailure);
  EXPECT_EQ(entries[2].text, "Larkpost could not start. Another Larkpost is delivering the queue " +
                                 queue_.Path() + "/..");
}

// Deliveries cut off by a stop record nothing and leave their files for the next start; the
// stop does not wait for them.
TEST_F(ServiceLoopTest, AStopEndsHangingDeliveriesAtOnce) {
  Set("Threads", 2);
  testing_support::FakeSmtpServer relay;
  relay.SetGreeting(testing_support::FakeSmtpServer::kSilence);
  Queue("h1", relay.Address());
  Queue("h2", relay.Address());
  Start();
  ASSERT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 2; }));
  service_->StopEvent.SetEvent();
  ASSERT_TRUE(Ended(5000));
  EXPECT_TRUE(Logged("Larkpost Service Stopped"));
  EXPECT_EQ(service_->QueueManager(), nullptr);
  for (const char* name : {"h1.ini", "h1.tmp", "h2.ini", "h2.tmp"}) {
    EXPECT_TRUE(queue_.Exists(name)) << name;
  }
  EXPECT_FALSE(queue_.Exists("larkq.log"));
  EXPECT_FALSE(WorkerTable().WorkerBusy[1] || WorkerTable().WorkerBusy[2]);
}

// A stop that arrives during a dispatch pass starts no further delivery.
TEST_F(ServiceLoopTest, AStopRequestedDuringAPassStartsNoDelivery) {
  testing_support::FakeSmtpServer relay;
  Queue("waiting", relay.Address());
  TLarkqService service;  // its steps run by hand on this thread
  ASSERT_TRUE(service.StartUp());
  service.QueueManager()->UpdateQueueStatus();
  service.StopEvent.SetEvent();
  service.SendMessages();
  EXPECT_EQ(WorkerTable().ActiveWorkers, 0);
  EXPECT_EQ(service.QueueManager()->Slot(1).State, service::ssReady);
  service.StopEvent.ResetEvent();
  service.SendMessages();
  EXPECT_TRUE(Eventually([&] { return relay.Messages().size() == 1; }));
  EXPECT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
}

// Running out of threads is no delivery attempt: nothing is counted, the message is ready for
// the next pass, and the error is reported under its step's tag.
TEST_F(ServiceLoopTest, AWorkerThatCannotBeMadeCountsNoFailure) {
  testing_support::FakeSmtpServer relay;
  Queue("later", relay.Address());
  TLarkqService service;  // its steps run by hand on this thread
  service.StartWorker = [](const std::string&, int, service::TQManager&) -> HANDLE {
    throw rtl::Exception("Thread creation error: Resource temporarily unavailable");
  };
  ASSERT_TRUE(service.StartUp());
  service.QueueManager()->UpdateQueueStatus();
  service.SendMessages();
  EXPECT_EQ(service.QueueManager()->Slot(1).State, service::ssReady);
  EXPECT_TRUE(
      Logged("TSC: Exception raised: Thread creation error: Resource temporarily "
             "unavailable"));
  service.QueueManager()->UpdateQueueStatus();
  EXPECT_EQ(rtl::TIniFile(queue_ / "later.ini").ReadString("Connection", "Failures", "none"),
            "none");
  service.StartWorker = service::TSMTPThread::Start;
  service.SendMessages();
  EXPECT_TRUE(Eventually([&] { return relay.Messages().size() == 1; }));
  EXPECT_TRUE(Eventually([] { return WorkerTable().ActiveWorkers == 0; }));
}

TEST_F(ServiceLoopTest, AMessageRemovedBeforeItsTurnIsNotSent) {
  Set("SettleTime", 2);
  testing_support::FakeSmtpServer relay;
  Queue("gone", relay.Address());
  Start();
  ASSERT_TRUE(Eventually([&] { return service_->QueueManager() != nullptr; }));
  std::filesystem::remove(queue_ / "gone.ini");
  std::filesystem::remove(queue_ / "gone.tmp");
  ASSERT_TRUE(Eventually([&] { return service_->QueueManager()->Slot(1).State == service::ssFree; },
                         std::chrono::seconds(10)));
  EXPECT_EQ(relay.Connections(), 0);
  EXPECT_FALSE(queue_.Exists("larkq.log"));
}

TEST_F(ServiceLoopTest, NoWorkersMeansNoStatusPassAndNoDelivery) {
  Set("Threads", 0);
  testing_support::FakeSmtpServer relay;
  Queue("idle", relay.Address());
  Start();
  ASSERT_TRUE(Eventually([&] { return Logged("Larkpost Service Started"); }));
  Sleep(300);  // six polls
  EXPECT_EQ(service_->QueueManager()->Slot(1).State, service::ssWaiting);
  EXPECT_EQ(relay.Connections(), 0);
}

}  // namespace
