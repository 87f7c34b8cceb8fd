#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "testing/Eventually.h"
#include "winapi/winapi.h"

namespace {

// A thread that starts (holding a critical section, or inside a no-termination bracket, when
// asked), spins until armed, meets its wait point, leaves the lock or bracket, reports, and meets
// the wait point again. The waits await `go`, Sleep and PeekMessageA loop until `goFlag`.
struct Probe {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE passed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> goFlag{false}, armed{false}, started{false}, destroyed{false};
  void (*waitPoint)(Probe*) = nullptr;
  bool holdLock = false, bracket = false;
  CRITICAL_SECTION section;
};

void AtSleep(Probe* p) {
  do Sleep(1);
  while (!p->goFlag);
}
void AtPeekMessage(Probe* p) {
  MSG msg;
  do PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
  while (!p->goFlag);
}
void AtWaitForSingleObject(Probe* p) { WaitForSingleObject(p->go, INFINITE); }
void AtMsgWait(Probe* p) { MsgWaitForMultipleObjects(1, &p->go, FALSE, INFINITE, QS_ALLINPUT); }
void AtWaitAnyOf64(Probe* p) {
  std::vector<HANDLE> handles(MAXIMUM_WAIT_OBJECTS, p->go);
  WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), FALSE, INFINITE);
}
void AtWaitAll(Probe* p) {
  static HANDLE open = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE handles[] = {open, p->go};
  WaitForMultipleObjects(2, handles, TRUE, INFINITE);
}

DWORD WINAPI RunToWaitPoints(LPVOID parameter) {
  auto* p = static_cast<Probe*>(parameter);
  struct Sentinel {
    Probe* p;
    ~Sentinel() { p->destroyed = true; }
  } sentinel{p};
  if (p->bracket) LarkBeginNoTermination();
  if (p->holdLock) EnterCriticalSection(&p->section);
  for (p->started = true; !p->armed;) {
  }
  p->waitPoint(p);
  if (p->holdLock) LeaveCriticalSection(&p->section);
  if (p->bracket) LarkEndNoTermination();
  SetEvent(p->passed);
  p->waitPoint(p);
  return 7;
}

class WaitPointTest : public ::testing::TestWithParam<void (*)(Probe*)> {
 protected:
  // Keeps a duplicate of the thread's handle: a thread is found by its id.
  void Start() {
    InitializeCriticalSection(&probe_.section);
    probe_.waitPoint = GetParam();
    HANDLE thread = CreateThread(nullptr, 0, &RunToWaitPoints, &probe_, 0, nullptr);
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &thread_, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    CloseHandle(thread);
    ASSERT_TRUE(testing_support::Eventually([&] { return probe_.started.load(); }));
  }
  void GoAndArm() {
    probe_.goFlag = true;
    SetEvent(probe_.go);
    probe_.armed = true;
  }
  DWORD ExitCode() {
    EXPECT_EQ(WaitForSingleObject(thread_, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    GetExitCodeThread(thread_, &code);
    return code;
  }
  DWORD Passed(DWORD ms) { return WaitForSingleObject(probe_.passed, ms); }
  void TearDown() override {
    TerminateThread(thread_, 0);
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
  }

  Probe probe_;
  HANDLE thread_ = nullptr;
};

TEST_P(WaitPointTest, AForcedEndUnwindsTheThreadWithTheGivenCode) {
  Start();
  probe_.armed = true;
  ASSERT_TRUE(TerminateThread(thread_, 99));
  EXPECT_EQ(ExitCode(), 99u);
  EXPECT_TRUE(probe_.destroyed);
  EXPECT_EQ(Passed(0), static_cast<DWORD>(WAIT_TIMEOUT));
  // Threads the layer did not make are never ended by force.
  EXPECT_FALSE(TerminateThread(GetCurrentThread(), 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_P(WaitPointTest, ASuspendedThreadStopsThereUntilResumed) {
  Start();
  EXPECT_EQ(SuspendThread(thread_), 0u);
  GoAndArm();
  EXPECT_EQ(Passed(200), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(ResumeThread(thread_), 1u);
  EXPECT_EQ(ExitCode(), 7u);
}

TEST_P(WaitPointTest, ASuspensionWaitsUntilTheCriticalSectionIsLeft) {
  probe_.holdLock = true;
  Start();
  SuspendThread(thread_);
  GoAndArm();
  EXPECT_EQ(Passed(5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(thread_, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  ResumeThread(thread_);
  EXPECT_EQ(ExitCode(), 7u);
}

TEST_P(WaitPointTest, AForcedEndWaitsUntilTheNoTerminationBracketCloses) {
  probe_.bracket = true;
  Start();
  ASSERT_TRUE(TerminateThread(thread_, 9));
  GoAndArm();
  EXPECT_EQ(ExitCode(), 9u);
  EXPECT_EQ(Passed(0), static_cast<DWORD>(WAIT_OBJECT_0));
}

INSTANTIATE_TEST_SUITE_P(EveryKind, WaitPointTest,
                         ::testing::Values(&AtSleep, &AtPeekMessage, &AtWaitForSingleObject,
                                           &AtMsgWait, &AtWaitAnyOf64, &AtWaitAll));

}  // namespace
