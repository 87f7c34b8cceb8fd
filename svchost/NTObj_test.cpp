#include "svchost/NTObj.h"

#include <gtest/gtest.h>

#include "rtl/Registry.h"
#include "testing/TempDir.h"
#include "testing/Wine.h"

namespace {

using namespace svchost;

TEST(KernelObjectTest, AnEventIsMadeOnFirstUseAndWaitedOn) {
  TEvent event;
  EXPECT_EQ(WaitForAny({event}, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  event.SetEvent();
  EXPECT_EQ(WaitForAny({event}, 30), 0u);
  EXPECT_EQ(WaitForAny({event}, 30), 0u);  // manual reset: it stays signalled
  event.ResetEvent();
  EXPECT_EQ(WaitForAny({event}, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  TEvent other;
  other.SetEvent();
  EXPECT_EQ(WaitForAny({event, other}, 0), 1u);
  EXPECT_EQ(WaitForAll({event, other}, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  event.SetEvent();
  EXPECT_EQ(WaitForAll({event, other}, 0), 0u);
}

TEST(KernelObjectTest, HandleOfGivesKernelObjectsThreadsAndDefaultEvent) {
  struct Plain {
  } plain;
  EXPECT_EQ(HandleOf(plain), DefaultEvent().Handle());
  TEvent event;
  EXPECT_EQ(HandleOf(event), event.Handle());

  class Quick : public rtl::TThread {
   public:
    Quick() : TThread(false) {}

   protected:
    void Execute() override {}
  };
  std::unique_ptr<Quick> thread(rtl::StartThread<Quick>());
  EXPECT_EQ(HandleOf(*thread), thread->Handle());
  EXPECT_EQ(WaitForAny({*thread}, 2000), 0u);
  // Nothing signals the default event: a wait on a plain object only times out.
  EXPECT_EQ(WaitForAny({plain}, 10), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(KernelObjectTest, FailuresAreErrorsNotTimeOuts) {
  class Broken : public TKernelObject {
   protected:
    HANDLE CreateHandle() override { return nullptr; }
  } broken;
  try {
    broken.Handle();
    FAIL() << "no error";
  } catch (const EKernelObject& error) {
    EXPECT_STREQ(error.what(), "Can't create TKernelObject");
  }

  class Closed : public TKernelObject {
   protected:
    HANDLE CreateHandle() override {
      HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      CloseHandle(handle);
      return handle;
    }
  } closed;
  EXPECT_THROW(WaitForAny({closed}, 10), EKernelObject);
}

TEST(LastErrorTextTest, EndsInTheCodeInHexadecimal) {
  // Wine words the system texts otherwise than Windows, whose texts the Linux layer gives.
  const std::string expected =
      testing_support::RunningUnderWine()
          ? "Service does not exist. ($424)"
          : "The specified service does not exist as an installed service. ($424)";
  SetLastError(1060);
  EXPECT_EQ(LastErrorText(), expected);
  SetLastError(0x20000001);  // an application's own code: the system has no text for it
  EXPECT_EQ(LastErrorText(), " ($20000001)");
}

class EventLogTest : public ::testing::Test {
 protected:
  testing_support::MachineRoot root;
};

TEST_F(EventLogTest, TheSourceIsRegisteredOnceAndItsNameIsCut) {
  TEventLog log(std::string(70, 'S'));
  EXPECT_EQ(log.SourceName(), std::string(63, 'S'));
  EXPECT_FALSE(log.UnregisterSource());
  EXPECT_TRUE(log.RegisterSource("/usr/sbin/larkpost"));
  EXPECT_TRUE(log.RegisterSource("/usr/sbin/larkpost"));
  rtl::TRegistry registry(KEY_READ);
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(registry.OpenKeyReadOnly(TEventLog::kSourcesKey));
  EXPECT_EQ(registry.GetKeyNames(), std::vector<std::string>{std::string(63, 'S')});
  ASSERT_TRUE(
      registry.OpenKeyReadOnly(std::string("\\") + TEventLog::kSourcesKey + log.SourceName()));
  EXPECT_EQ(registry.ReadString("EventMessageFile"), "/usr/sbin/larkpost");
  EXPECT_EQ(registry.ReadInteger("TypesSupported"), 7);
  EXPECT_EQ(registry.GetValueNames().size(), 2u);
  EXPECT_TRUE(log.UnregisterSource());
  EXPECT_FALSE(registry.KeyExists(std::string("\\") + TEventLog::kSourcesKey + log.SourceName()));
}

}  // namespace
