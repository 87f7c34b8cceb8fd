#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "winapi/winapi.h"

namespace {

u_short WINAPI HtonsNever(u_short) { return 4242; }

TEST(ModulesTest, AVariantOfWinsockAnswersBeforeTheDll) {
  const LarkModuleExport* exports = nullptr;
  DWORD count = LarkGetModuleExportsA("wsock32.dll", &exports);
  ASSERT_GE(count, 25u);
  std::vector<LarkModuleExport> variant(exports, exports + count);
  for (auto& entry : variant) {
    if (std::string_view(entry.name) == "htons")
      entry.proc = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&HtonsNever));
  }
  EXPECT_GT(LarkGetModuleExportsA("ws2_32.dll", &exports), count);
  LarkRegisterModuleA("Variant32.dll", variant.data(), static_cast<DWORD>(variant.size()));

  HMODULE module = LoadLibraryA("variant32.DLL");
  ASSERT_NE(module, nullptr);
  auto htons = LarkProcAs<u_short WINAPI(u_short)>(GetProcAddress(module, "htons"));
  ASSERT_NE(htons, nullptr);
  EXPECT_EQ(htons(25), 4242);
  EXPECT_EQ(GetProcAddress(module, "WSAConnect"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetProcAddress(module, "htons"), nullptr);

  // Every other name is the system's own DLL.
  HMODULE real = LoadLibraryA("wsock32.dll");
  EXPECT_EQ(LarkProcAs<u_short WINAPI(u_short)>(GetProcAddress(real, "htons"))(0x0102), 0x0201);
  EXPECT_TRUE(FreeLibrary(real));
}

}  // namespace
