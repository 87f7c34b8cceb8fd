// The codecs yield once per line, so the pump's empty-queue path must cost next to nothing.
#include <benchmark/benchmark.h>

#include "maillib/codecs.h"
#include "rtl/HiddenWindow.h"

namespace {

void BM_PumpMessagesEmptyQueue(benchmark::State& state) {
  for (auto _ : state) maillib::PumpMessages();
}
BENCHMARK(BM_PumpMessagesEmptyQueue);

void BM_PumpMessagesEmptyQueueWithTimer(benchmark::State& state) {
  HWND window = rtl::AllocateHWnd([](rtl::TMessage&) {});
  SetTimer(window, 1, 1000, nullptr);  // a worker's time-out counter runs during a transfer
  for (auto _ : state) maillib::PumpMessages();
  KillTimer(window, 1);
  rtl::DeallocateHWnd(window);
}
BENCHMARK(BM_PumpMessagesEmptyQueueWithTimer);

void BM_PostAndPump(benchmark::State& state) {
  HWND window = rtl::AllocateHWnd([](rtl::TMessage&) {});
  for (auto _ : state) {
    PostMessageA(window, WM_USER, 0, 0);
    maillib::PumpMessages();
  }
  rtl::DeallocateHWnd(window);
}
BENCHMARK(BM_PostAndPump);

}  // namespace
