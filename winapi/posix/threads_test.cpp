#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "testing/Eventually.h"
#include "winapi/winapi.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Probe {
  std::atomic<bool> started{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> completed{false};
  std::atomic<int> steps{0};
  HANDLE event = nullptr;
};

// Sets `destroyed` when it goes out of scope, also while a terminated thread unwinds.
struct Sentinel {
  Probe* probe;
  ~Sentinel() { probe->destroyed = true; }
};

void SleepForever(Probe*) { Sleep(INFINITE); }
void WaitForever(Probe* probe) { WaitForSingleObject(probe->event, INFINITE); }
void PeekForever(Probe*) {
  MSG msg;
  for (;;) PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
}

// A thread that blocks at one kind of wait point.
template <void (*Block)(Probe*)>
DWORD WINAPI Blocking(LPVOID p) {
  auto* probe = static_cast<Probe*>(p);
  Sentinel sentinel{probe};
  probe->started = true;
  Block(probe);
  probe->completed = true;
  return 0;
}

DWORD WINAPI Count(LPVOID p) {
  auto* probe = static_cast<Probe*>(p);
  probe->started = true;
  for (int i = 0; i < 1000000; ++i) {
    probe->steps++;
    Sleep(1);
  }
  return 7;
}

class ThreadsTest : public ::testing::TestWithParam<LPTHREAD_START_ROUTINE> {};

TEST_P(ThreadsTest, ATerminatedThreadEndsPromptlyAndUnwinds) {
  Probe probe;
  probe.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, GetParam(), &probe, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(testing_support::Eventually([&] { return probe.started.load(); }));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  auto start = Clock::now();
  ASSERT_TRUE(TerminateThread(thread, 99));
  EXPECT_EQ(WaitForSingleObject(thread, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  EXPECT_TRUE(probe.destroyed);
  EXPECT_FALSE(probe.completed);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 99u);
  CloseHandle(thread);
  CloseHandle(probe.event);
}

INSTANTIATE_TEST_SUITE_P(AtEveryWaitPoint, ThreadsTest,
                         ::testing::Values(&Blocking<SleepForever>, &Blocking<WaitForever>,
                                           &Blocking<PeekForever>));

TEST(ThreadSuspensionTest, ASuspendedThreadDoesNotAdvanceUntilResumed) {
  Probe probe;
  HANDLE thread = CreateThread(nullptr, 0, &Count, &probe, CREATE_SUSPENDED, nullptr);
  Sleep(50);
  EXPECT_FALSE(probe.started);
  EXPECT_EQ(ResumeThread(thread), 1u);
  ASSERT_TRUE(testing_support::Eventually([&] { return probe.steps > 5; }));

  EXPECT_EQ(SuspendThread(thread), 0u);
  Sleep(20);  // the thread reaches its next wait point and stops there
  int frozen = probe.steps;
  Sleep(100);
  EXPECT_EQ(probe.steps, frozen);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_TRUE(testing_support::Eventually([&] { return probe.steps > frozen + 5; }));

  TerminateThread(thread, 5);
  EXPECT_EQ(WaitForSingleObject(thread, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(thread);
}

TEST(ThreadSuspensionTest, AThreadTerminatedBeforeItStartedNeverRuns) {
  Probe probe;
  HANDLE thread = CreateThread(nullptr, 0, &Count, &probe, CREATE_SUSPENDED, nullptr);
  ASSERT_TRUE(TerminateThread(thread, 3));
  EXPECT_EQ(WaitForSingleObject(thread, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(probe.started);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 3u);
  CloseHandle(thread);
}

// Holds a lock across a wait point, as a status pass holding the queue lock while it pumps.
struct LockHolder {
  CRITICAL_SECTION section;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> holding{false};
  std::atomic<bool> released{false};
  std::atomic<int> stepsAfter{0};
};

DWORD WINAPI HoldAcrossAWait(LPVOID p) {
  auto* holder = static_cast<LockHolder*>(p);
  EnterCriticalSection(&holder->section);
  holder->holding = true;
  WaitForSingleObject(holder->go, INFINITE);
  Sleep(1);
  LeaveCriticalSection(&holder->section);
  holder->released = true;
  for (;;) {
    Sleep(1);
    holder->stepsAfter++;
  }
}

TEST(ThreadSuspensionTest, AThreadHoldingALockIsSuspendedOnlyOnceItReleasedIt) {
  LockHolder holder;
  InitializeCriticalSection(&holder.section);
  HANDLE thread = CreateThread(nullptr, 0, &HoldAcrossAWait, &holder, 0, nullptr);
  ASSERT_TRUE(testing_support::Eventually([&] { return holder.holding.load(); }));
  SuspendThread(thread);
  SetEvent(holder.go);
  // The wait points inside the lock do not stop it; the first one after the release does.
  ASSERT_TRUE(testing_support::Eventually([&] { return holder.released.load(); }));
  EXPECT_TRUE(TryEnterCriticalSection(&holder.section));
  LeaveCriticalSection(&holder.section);
  Sleep(50);
  EXPECT_EQ(holder.stepsAfter, 0);
  ResumeThread(thread);
  EXPECT_TRUE(testing_support::Eventually([&] { return holder.stepsAfter > 2; }));
  TerminateThread(thread, 0);
  EXPECT_EQ(WaitForSingleObject(thread, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(thread);
  CloseHandle(holder.go);
  DeleteCriticalSection(&holder.section);
}

DWORD WINAPI ThrowSomethingOdd(LPVOID) { throw 42; }

TEST(ThreadEndTest, AnErrorNobodyCaughtEndsOnlyItsThread) {
  HANDLE thread = CreateThread(nullptr, 0, &ThrowSomethingOdd, nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE));
  CloseHandle(thread);
}

struct Bracketed {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> inside{false};
  std::atomic<bool> finishedWait{false};
  std::atomic<bool> passedNextWaitPoint{false};
};

DWORD WINAPI WaitInsideBracket(LPVOID p) {
  auto* b = static_cast<Bracketed*>(p);
  LarkBeginNoTermination();
  b->inside = true;
  WaitForSingleObject(b->release, INFINITE);
  b->finishedWait = true;
  LarkEndNoTermination();
  Sleep(0);
  b->passedNextWaitPoint = true;
  return 0;
}

TEST(ThreadEndTest, AForcedEndWaitsForTheNoTerminationBracketToClose) {
  Bracketed b;
  HANDLE thread = CreateThread(nullptr, 0, &WaitInsideBracket, &b, 0, nullptr);
  ASSERT_TRUE(testing_support::Eventually([&] { return b.inside.load(); }));
  ASSERT_TRUE(TerminateThread(thread, 9));
  EXPECT_EQ(WaitForSingleObject(thread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(b.release);
  EXPECT_EQ(WaitForSingleObject(thread, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(b.finishedWait);
  EXPECT_FALSE(b.passedNextWaitPoint);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 9u);
  CloseHandle(thread);
  CloseHandle(b.release);
}

TEST(HandleTest, ADuplicateOutlivesTheOriginal) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  CloseHandle(event);
  EXPECT_EQ(WaitForSingleObject(copy, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(CloseHandle(copy));
  EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                               DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(EventTest, ManualAndAutoResetEvents) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));

  HANDLE both[] = {automatic, manual};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(automatic);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // A wait on another thread wakes when the event is set.
  Probe probe;
  probe.event = manual;
  HANDLE waiter = CreateThread(nullptr, 0, &Blocking<WaitForever>, &probe, 0, nullptr);
  ASSERT_TRUE(testing_support::Eventually([&] { return probe.started.load(); }));
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(waiter, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(probe.completed);

  CloseHandle(waiter);
  CloseHandle(manual);
  CloseHandle(automatic);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(EventTest, TimeOutsAreHonoured) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(Clock::now() - start, milliseconds(50));
  CloseHandle(event);
}

TEST(CriticalSectionTest, IsReEntrant) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  DeleteCriticalSection(&section);
}

}  // namespace
