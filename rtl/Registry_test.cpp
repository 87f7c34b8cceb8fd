#include "rtl/Registry.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "testing/TempDir.h"

namespace {

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const rtl::ERegistryException& e) {
    return e.Message();
  }
  return "no error";
}

TEST(RegistryAccessorTest, TypedReadsAndWritesWithTheRuntimeErrors) {
  testing_support::MachineRoot root;
  rtl::TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Quobex\\LRKP\\", true));
  EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Quobex\\LRKP");
  reg.WriteString("QuePath", "/var/spool/q");
  reg.WriteExpandString("Expand", "%SystemRoot%\\q");
  reg.WriteInteger("Threads", 40);
  reg.WriteBool("DebugLogging", true);
  reg.WriteString("Empty", "");
  reg.WriteString("ThreadsAsText", "4");

  DWORD size = 0;
  RegQueryValueExA(reg.CurrentKey(), "QuePath", nullptr, nullptr, nullptr, &size);
  EXPECT_EQ(size, 13u);  // the text and its terminating NUL

  EXPECT_EQ(reg.ReadString("QuePath"), "/var/spool/q");
  EXPECT_EQ(reg.ReadString("Expand"), "%SystemRoot%\\q");
  EXPECT_EQ(reg.ReadString("Missing"), "");
  EXPECT_EQ(reg.ReadString("Empty"), "");
  EXPECT_EQ(reg.ReadInteger("Threads"), 40);
  EXPECT_TRUE(reg.ReadBool("DebugLogging"));
  EXPECT_TRUE(reg.ValueExists("QuePath"));
  EXPECT_FALSE(reg.ValueExists("Missing"));

  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("ThreadsAsText"); }),
            "Invalid data type for 'ThreadsAsText'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("Threads"); }), "Invalid data type for 'Threads'");

  const char embedded[] = "before\0after";
  RegSetValueExA(reg.CurrentKey(), "Embedded", 0, REG_SZ, reinterpret_cast<const BYTE*>(embedded),
                 sizeof embedded);
  EXPECT_EQ(reg.ReadString("Embedded"), "before");
}

TEST(RegistryAccessorTest, ReadOnlyKeysRefuseWritesAndMissingKeysDoNotOpen) {
  testing_support::MachineRoot root;
  rtl::TRegistry reg(KEY_READ);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(reg.OpenKey("SOFTWARE\\Quobex\\LRKP\\", false));
  EXPECT_FALSE(reg.KeyExists("SOFTWARE\\Quobex"));

  rtl::TRegistry writer;
  writer.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(writer.OpenKey("SOFTWARE\\Quobex\\LRKP", true));
  ASSERT_TRUE(writer.OpenKey("Sub", true));  // relative to the open key
  EXPECT_EQ(writer.CurrentPath(), "SOFTWARE\\Quobex\\LRKP\\Sub");
  ASSERT_TRUE(writer.OpenKey("\\SOFTWARE\\Quobex", false));
  EXPECT_EQ(writer.GetKeyNames(), std::vector<std::string>{"LRKP"});

  ASSERT_TRUE(reg.OpenKeyReadOnly("SOFTWARE\\Quobex\\LRKP"));
  EXPECT_EQ(ErrorOf([&] { reg.WriteInteger("Threads", 1); }), "Failed to set data for 'Threads'");

  EXPECT_TRUE(writer.DeleteKey("LRKP"));
  EXPECT_FALSE(writer.KeyExists("LRKP"));
}

}  // namespace
