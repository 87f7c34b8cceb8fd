#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include "service/MsgQ.h"
#include "service/QueueTestSupport.h"
#include "testing/Eventually.h"

namespace {

// One thread fills the queue directory, one scans it as the watcher does, and one runs status
// and dispatch passes, delivering (deleting) what it is handed. Every message must be handed out
// exactly once.
TEST(QueueConcurrencyTest, NoMessageIsLostOrHandedOutTwice) {
  constexpr int kMessages = 300;
  service_test::QueueDir queue;
  service_test::ManualClock clock;
  service::TQManager manager(clock.AsLocalClock());
  manager.QuePath = queue.Path();

  std::atomic<bool> filled{false};
  std::thread producer([&] {
    for (int i = 0; i < kMessages; ++i) queue.AddPair("p" + std::to_string(i));
    filled = true;
  });
  std::thread watcher([&] {
    while (!filled) manager.ScanQueue();
    manager.ScanQueue();
  });

  // On Windows a file that another thread has open (the producer, a scan) cannot be erased yet.
  const auto erase = [](const std::string& path) {
    EXPECT_TRUE(testing_support::Eventually([&] {
      std::error_code error;
      std::filesystem::remove(path, error);
      return !error;
    })) << path;
  };
  std::map<std::string, int> delivered;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (static_cast<int>(delivered.size()) < kMessages &&
         std::chrono::steady_clock::now() < deadline) {
    clock.Advance(20);
    manager.UpdateQueueStatus();
    for (std::string name; !(name = manager.GetNextMessage()).empty();) {
      std::string path = queue.Dir() / name;
      if (!std::filesystem::exists(path)) {
        manager.SetState(name, service::ssSent);  // vanished: delivered before this scan saw it
        continue;
      }
      ++delivered[name];
      erase(path);
      erase(queue.Dir() / (name.substr(0, name.size() - 4) + ".tmp"));
      manager.SetState(name, service::ssSent);
    }
    if (filled) manager.ScanQueue();
  }
  producer.join();
  watcher.join();
  EXPECT_EQ(static_cast<int>(delivered.size()), kMessages);
  for (const auto& [name, times] : delivered) EXPECT_EQ(times, 1) << name;
}

// Counting a failure waits for the .ini if another process's profile writer holds it; the scans
// must get at the queue table meanwhile.
TEST(QueueConcurrencyTest, ACountWaitingForItsFileHoldsNoLock) {
  service_test::QueueDir queue;
  service::TQManager manager;
  manager.QuePath = queue.Path();
  settings::Settings().SettleTime = 0;
  queue.AddPair("held");
  manager.ScanQueue();
  manager.UpdateQueueStatus();
  manager.SetState(manager.GetNextMessage(), service::ssFailed);
  std::promise<void> reached, release;
  manager.AtStep = [&](const char* step) {
    if (std::string(step) != "counting") return;
    reached.set_value();
    release.get_future().wait_for(std::chrono::seconds(10));
  };
  std::thread pass([&] { manager.UpdateQueueStatus(); });
  EXPECT_EQ(reached.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto scan = std::async(std::launch::async, [&] { manager.ScanQueue(); });
  bool answered = scan.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  pass.join();
  EXPECT_TRUE(answered);
}

}  // namespace
