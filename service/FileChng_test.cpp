#include "service/FileChng.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "service/ThreadHandle.h"
#include "testing/Eventually.h"
#include "testing/TempDir.h"

namespace {

using service::TFileChangeNotification;
using testing_support::Eventually;

// Starts a watcher and ends it when the test ends (by force, as the service does), waiting for
// its end through a handle that outlives the self-freeing object.
class Watching {
 public:
  Watching(const std::string& path, TFileChangeNotification::TChangeHandler onChange,
           TFileChangeNotification::TErrorHandler onError = nullptr)
      : watcher_(TFileChangeNotification::Create(path, std::move(onChange),
                                                 FILE_NOTIFY_CHANGE_FILE_NAME, std::move(onError))),
        handle_(service::KeepThreadHandle(*watcher_)) {}
  ~Watching() {
    if (watcher_ != nullptr) TerminateThread(handle_, 0);
    WaitForSingleObject(handle_, 3000);
    CloseHandle(handle_);
  }
  // Tells the watcher to stop; true when the thread ended within the bound.
  bool Stop(DWORD bound = 3000) {
    watcher_->Terminate();
    watcher_ = nullptr;
    return WaitForSingleObject(handle_, bound) == WAIT_OBJECT_0;
  }
  HANDLE Handle() const { return handle_; }

 private:
  TFileChangeNotification* watcher_;
  HANDLE handle_;
};

TEST(WatcherTest, AFileDroppedRightAfterTheStartIsSeen) {
  testing_support::TempDir queue;
  std::mutex mutex;
  std::vector<std::string> calls;
  auto count = [&] {
    std::lock_guard lock(mutex);
    return calls.size();
  };
  Watching watching(queue.Path(), [&](const std::string& path) {
    std::lock_guard lock(mutex);
    calls.push_back(path);
  });
  queue.WriteFile("msgA1.ini", "[Connection]\r\n");
  ASSERT_TRUE(Eventually([&] { return count() > 0; }, std::chrono::seconds(3)));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls[0], queue.Path());
  }
  // Deleting counts as a change too.
  size_t before = count();
  std::filesystem::remove(queue / "msgA1.ini");
  EXPECT_TRUE(Eventually([&] { return count() > before; }, std::chrono::seconds(3)));
}

TEST(WatcherTest, AnErrorInTheHandlerIsReportedAndTheWatchingGoesOn) {
  testing_support::TempDir queue;
  std::atomic<int> calls{0};
  std::atomic<int> errors{0};
  Watching watching(
      queue.Path(),
      [&](const std::string&) {
        if (++calls == 1) throw std::runtime_error("scan failed");
      },
      [&](const std::exception& e) {
        EXPECT_STREQ(e.what(), "scan failed");
        ++errors;
      });
  queue.WriteFile("one.ini", "");
  ASSERT_TRUE(Eventually([&] { return errors == 1; }, std::chrono::seconds(3)));
  queue.WriteFile("two.ini", "");
  EXPECT_TRUE(Eventually([&] { return calls >= 2; }, std::chrono::seconds(3)));
  EXPECT_EQ(errors, 1);
}

// Files put into the directory before the watch could be set up are not changes it saw: the
// late start itself counts as one.
TEST(WatcherTest, ADirectoryMadeLaterIsWatchedOnceItExists) {
  testing_support::TempDir root;
  std::atomic<int> calls{0};
  Watching watching(root / "queue", [&](const std::string&) { ++calls; });
  std::filesystem::create_directory(root / "queue");
  root.WriteFile("queue/early.ini", "");
  ASSERT_TRUE(Eventually([&] { return calls == 1; }, std::chrono::seconds(3)));
  root.WriteFile("queue/later.ini", "");
  EXPECT_TRUE(Eventually([&] { return calls == 2; }, std::chrono::seconds(3)));
}

TEST(WatcherTest, ATerminateRequestEndsTheThread) {
  testing_support::TempDir queue;
  Watching watching(queue.Path(), nullptr);
  // Without a handler the thread only waits and re-arms.
  queue.WriteFile("x.ini", "");
  EXPECT_TRUE(watching.Stop(3000));
}

// Ended by force as soon as it was made, the watcher still frees itself (a thread ended before
// it ever ran would not).
TEST(WatcherTest, AForcedEndEndsTheThread) {
  testing_support::TempDir queue;
  Watching watching(queue.Path(), [](const std::string&) {});
  ASSERT_TRUE(TerminateThread(watching.Handle(), 0));
  EXPECT_EQ(WaitForSingleObject(watching.Handle(), 3000), WAIT_OBJECT_0);
}

}  // namespace
