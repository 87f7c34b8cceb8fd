#include "rtl/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "rtl/CriticalSection.h"
#include "rtl/HiddenWindow.h"
#include "rtl/Timer.h"
#include "testing/Eventually.h"

namespace {

using testing_support::Eventually;

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

struct Flags {
  std::atomic<bool> started{false};
  std::atomic<bool> completed{false};
  std::atomic<bool> terminated{false};
  std::atomic<bool> destroyed{false};
};

class Worker : public rtl::TThread {
 public:
  Worker(bool suspended, Flags& flags, bool loopForever)
      : TThread(suspended), flags_(flags), loopForever_(loopForever) {
    OnTerminate = [this](rtl::TThread*) { flags_.terminated = true; };
  }
  ~Worker() override {
    TerminateAndWaitFor();
    flags_.destroyed = true;
  }

 protected:
  void Execute() override {
    flags_.started = true;
    while (loopForever_ || !Terminated()) Sleep(5);
    ReturnValue = 12;
    flags_.completed = true;
  }

 private:
  Flags& flags_;
  bool loopForever_;
};

TEST(ThreadObjectTest, RunsAfterConstructionAndReportsItsEnd) {
  Flags flags;
  std::unique_ptr<Worker> worker(rtl::StartThread<Worker>(false, flags, false));
  ASSERT_TRUE(Eventually([&] { return flags.started.load(); }));
  worker->Terminate();
  EXPECT_EQ(worker->WaitFor(), 12);
  EXPECT_TRUE(flags.completed);
  EXPECT_TRUE(flags.terminated);
  EXPECT_TRUE(worker->Finished());
}

TEST(ThreadObjectTest, ASuspendedThreadWaitsForResume) {
  Flags flags;
  std::unique_ptr<Worker> worker(rtl::StartThread<Worker>(true, flags, false));
  Sleep(30);
  EXPECT_FALSE(flags.started);
  EXPECT_TRUE(worker->Suspended());
  worker->Resume();
  EXPECT_TRUE(Eventually([&] { return flags.started.load(); }));
  worker.reset();  // terminates and waits
  EXPECT_TRUE(flags.completed);
}

TEST(ThreadObjectTest, AThreadThatFreesItselfIsGoneWhenItEnds) {
  Flags flags;
  Worker* worker = rtl::StartThread<Worker>(true, flags, false);
  worker->FreeOnTerminate = true;
  worker->Terminate();
  worker->Resume();
  EXPECT_TRUE(Eventually([&] { return flags.destroyed.load(); }));
  EXPECT_TRUE(flags.terminated);
  EXPECT_FALSE(flags.started);  // terminated before it ran
}

TEST(ThreadObjectTest, AForcedEndRunsDestructorsButNotTheCompletionHandler) {
  Flags flags;
  Worker* worker = rtl::StartThread<Worker>(false, flags, true);
  worker->FreeOnTerminate = true;
  ASSERT_TRUE(Eventually([&] { return flags.started.load(); }));
  HANDLE handle = worker->Handle();
  ASSERT_TRUE(TerminateThread(handle, 1));
  EXPECT_TRUE(Eventually([&] { return flags.destroyed.load(); }, std::chrono::milliseconds(100)));
  EXPECT_FALSE(flags.completed);
  EXPECT_FALSE(flags.terminated);
}

TEST(ThreadObjectTest, AnErrorInExecuteIsKeptNotThrown) {
  class Failing : public rtl::TThread {
   public:
    Failing() : TThread(false) {}

   protected:
    void Execute() override { throw std::runtime_error("broken"); }
  };
  std::unique_ptr<Failing> thread(rtl::StartThread<Failing>());
  thread->WaitFor();
  ASSERT_TRUE(thread->FatalException());
  EXPECT_THROW(std::rethrow_exception(thread->FatalException()), std::runtime_error);
}

TEST(ThreadObjectTest, AnythingThrownFromExecuteIsKept) {
  class Odd : public rtl::TThread {
   public:
    Odd() : TThread(false) {}

   protected:
    void Execute() override { throw 7; }
  };
  std::unique_ptr<Odd> thread(rtl::StartThread<Odd>());
  thread->WaitFor();
  ASSERT_TRUE(thread->FatalException());
  EXPECT_THROW(std::rethrow_exception(thread->FatalException()), int);
}

// An owner that frees a thread object in its destructor, the way a service ends its workers.
class Owner : public rtl::TThread {
 public:
  Owner(HANDLE release, std::atomic<bool>& inDestructor)
      : TThread(false), release_(release), inDestructor_(inDestructor) {}

 protected:
  void Execute() override {
    class Stubborn : public rtl::TThread {
     public:
      explicit Stubborn(HANDLE release) : TThread(false), release_(release) {}
      // A subclass waits for its thread in its own destructor, before its part of the object is
      // gone while the thread may still be running it.
      ~Stubborn() override { TerminateAndWaitFor(); }

     protected:
      void Execute() override { WaitForSingleObject(release_, INFINITE); }
      HANDLE release_;
    };
    auto* child = rtl::StartThread<Stubborn>(release_);
    inDestructor_ = true;
    delete child;
    Sleep(INFINITE);
  }

 private:
  HANDLE release_;
  std::atomic<bool>& inDestructor_;
};

TEST(ThreadObjectTest, AForcedEndOfAThreadWaitingInADestructorDoesNotAbort) {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> inDestructor{false};
  std::unique_ptr<Owner> owner(rtl::StartThread<Owner>(release, inDestructor));
  ASSERT_TRUE(Eventually([&] { return inDestructor.load(); }));
  Sleep(10);  // let it enter the wait of the child's destructor
  ASSERT_TRUE(TerminateThread(owner->Handle(), 4));
  SetEvent(release);
  EXPECT_EQ(WaitForSingleObject(owner->Handle(), 2000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeThread(owner->Handle(), &code);
  EXPECT_EQ(code, 4u);
  CloseHandle(release);
}

TEST(HiddenWindowTest, TheHandlerGetsPostedMessagesWhenItsThreadPumps) {
  std::vector<UINT> seen;
  HWND window = rtl::AllocateHWnd([&](rtl::TMessage& message) {
    if (message.Msg >= WM_USER) seen.push_back(message.Msg);
  });
  std::thread([window] { PostMessageA(window, WM_USER + 7, 0, 0); }).join();
  EXPECT_TRUE(seen.empty());
  Pump();
  EXPECT_EQ(seen, std::vector<UINT>{WM_USER + 7});
  rtl::DeallocateHWnd(window);
  EXPECT_FALSE(IsWindow(window));
}

TEST(TimerTest, TicksOnlyWhileItsThreadPumps) {
  int ticks = 0;
  rtl::TTimer timer;
  timer.SetInterval(20);
  timer.SetOnTimer([&] { ++ticks; });
  Sleep(100);
  EXPECT_EQ(ticks, 0);
  Pump();
  EXPECT_EQ(ticks, 1);  // the periods missed while busy come as one tick
  auto start = std::chrono::steady_clock::now();
  while (ticks < 3 && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    Pump();
  }
  EXPECT_EQ(ticks, 3);
  timer.SetEnabled(false);
  Sleep(40);
  Pump();
  EXPECT_EQ(ticks, 3);
}

TEST(CriticalSectionTest, GuardsWithStdLockGuardAndReEnters) {
  rtl::TCriticalSection lock;
  std::lock_guard outer(lock);
  std::lock_guard inner(lock);
  SUCCEED();
}

}  // namespace
