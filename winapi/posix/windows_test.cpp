#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "testing/Eventually.h"
#include "winapi/winapi.h"

namespace {

struct Received {
  UINT message;
  WPARAM wParam;
  DWORD thread;
};
thread_local std::vector<Received>* received = nullptr;

LRESULT CALLBACK Record(HWND, UINT msg, WPARAM wParam, LPARAM) {
  if (received != nullptr) received->push_back({msg, wParam, GetCurrentThreadId()});
  return 0;
}

class WindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSA cls{};
    cls.lpfnWndProc = Record;
    cls.lpszClassName = "LarkTestWindow";
    RegisterClassA(&cls);
  }
  void SetUp() override {
    received = &log_;
    window_ = CreateWindowExA(0, "LarkTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (IsWindow(window_)) DestroyWindow(window_);
    received = nullptr;
  }
  int Pump() {
    int count = 0;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&msg);
      ++count;
    }
    return count;
  }
  std::vector<Received> log_;
  HWND window_ = nullptr;
};

TEST_F(WindowsTest, MessagesPostedFromAnotherThreadReachTheOwner) {
  std::thread poster([this] {
    for (WPARAM i = 1; i <= 3; ++i) EXPECT_TRUE(PostMessageA(window_, WM_USER, i, 0));
  });
  poster.join();
  EXPECT_EQ(Pump(), 3);
  ASSERT_EQ(log_.size(), 3u);
  for (WPARAM i = 0; i < 3; ++i) {
    EXPECT_EQ(log_[i].wParam, i + 1);
    EXPECT_EQ(log_[i].thread, GetCurrentThreadId());
  }
  EXPECT_EQ(Pump(), 0);
}

TEST_F(WindowsTest, TimersTickOnlyWhileThePumpRunsAndCoalesce) {
  ASSERT_NE(SetTimer(window_, 5, 20, nullptr), 0u);
  Sleep(150);  // several periods pass while the thread does not read its queue
  PostMessageA(window_, WM_USER, 0, 0);
  EXPECT_EQ(Pump(), 2);
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_EQ(log_[0].message, static_cast<UINT>(WM_USER));  // posted messages come first
  EXPECT_EQ(log_[1].message, static_cast<UINT>(WM_TIMER));
  EXPECT_EQ(log_[1].wParam, 5u);
  EXPECT_EQ(Pump(), 0);  // the next one is due a full period later

  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_EQ(Pump(), 1);
  EXPECT_TRUE(KillTimer(window_, 5));
  EXPECT_FALSE(KillTimer(window_, 5));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 60, QS_ALLINPUT),
            static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(WindowsTest, MsgWaitWakesForAPostedMessageOrAnObject) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread poster([this] {
    Sleep(30);
    PostMessageA(window_, WM_USER + 1, 0, 0);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 2000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  poster.join();
  SetEvent(event);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
  CloseHandle(event);
}

TEST_F(WindowsTest, ADestroyedWindowTakesItsMessagesAndTimersWithIt) {
  PostMessageA(window_, WM_USER, 0, 0);
  SetTimer(window_, 1, 10, nullptr);
  ASSERT_TRUE(DestroyWindow(window_));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].message, static_cast<UINT>(WM_DESTROY));
  Sleep(30);
  EXPECT_EQ(Pump(), 0);
  EXPECT_FALSE(PostMessageA(window_, WM_USER, 0, 0));  // quietly refused
  EXPECT_FALSE(IsWindow(window_));
}

TEST_F(WindowsTest, OnlyTheOwnerSetsTimersAndDestroysTheWindow) {
  std::thread other([this] {
    EXPECT_EQ(SetTimer(window_, 1, 10, nullptr), 0u);
    EXPECT_FALSE(DestroyWindow(window_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  });
  other.join();
  EXPECT_TRUE(IsWindow(window_));
}

TEST_F(WindowsTest, AFullQueueRefusesMorePosts) {
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostMessageA(window_, WM_USER, 0, 0));
  EXPECT_FALSE(PostMessageA(window_, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
  EXPECT_EQ(Pump(), 10000);
}

TEST_F(WindowsTest, ThreadMessagesAndQuit) {
  EXPECT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 9, 0));
  PostQuitMessage(4);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
  EXPECT_EQ(msg.hwnd, nullptr);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 4u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

}  // namespace
