#include "maillib/codecs.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "rtl/HiddenWindow.h"

namespace {

TEST(PumpMessagesTest, DispatchesEverythingWaitingAndNeverBlocks) {
  std::vector<WPARAM> seen;
  HWND window = 0;
  window = rtl::AllocateHWnd([&](rtl::TMessage& message) {
    if (message.Msg != WM_USER) return;
    seen.push_back(message.WParam);
    // A message posted while pumping is part of what is waiting.
    if (message.WParam == 1) PostMessageA(window, WM_USER, 3, 0);
  });
  maillib::PumpMessages();  // nothing waiting: returns at once
  EXPECT_TRUE(seen.empty());
  std::thread([window] {
    PostMessageA(window, WM_USER, 1, 0);
    PostMessageA(window, WM_USER, 2, 0);
  }).join();
  maillib::PumpMessages();
  EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2, 3}));
  rtl::DeallocateHWnd(window);
}

}  // namespace
