#include <gtest/gtest.h>

#include <fstream>

#include "testing/TempDir.h"
#include "winapi/winapi.h"

namespace {

using testing_support::TempDir;

std::string Get(const std::string& file, const char* section, const char* key,
                const char* fallback = "", DWORD size = 1024) {
  std::string buffer(size == 0 ? 1 : size, '\x7f');
  DWORD length =
      GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, file.c_str());
  return buffer.substr(0, length);
}

TEST(ProfileTest, ReadsWithTheWin32Rules) {
  TempDir dir;
  dir.WriteFile("m.ini",
                "stray=before any section\r\n"
                "[ Connection ]\r\n"
                "RemoteHost = relay.example  \r\n"
                "; Failures=9\r\n"
                "Quoted=\"  kept  \"\r\n"
                "Single='x'\r\n"
                "Mixed=\"x'\r\n"
                "Doubled=\"\"x\"\"\r\n"
                "Semi=a ;b\r\n"
                "Empty=\r\n"
                "remotehost=second key of the same name\r\n"
                "[connection]\r\n"
                "Failures=3\r\n"
                "[Message]\n"
                "Subject=LF only\r"
                "Body=CR only\n");
  std::string file = dir / "m.ini";
  EXPECT_EQ(Get(file, "connection", "REMOTEHOST"), "relay.example");
  EXPECT_EQ(Get(file, " Connection ", " RemoteHost "), "relay.example");
  EXPECT_EQ(Get(file, "Connection", "Quoted"), "  kept  ");
  EXPECT_EQ(Get(file, "Connection", "Single"), "x");
  EXPECT_EQ(Get(file, "Connection", "Mixed"), "\"x'");
  EXPECT_EQ(Get(file, "Connection", "Doubled"), "\"x\"");
  EXPECT_EQ(Get(file, "Connection", "Semi"), "a ;b");
  EXPECT_EQ(Get(file, "Connection", "Empty", "fallback"), "");
  // The first section of a name is the only one looked at, and a comment is not a key.
  EXPECT_EQ(Get(file, "Connection", "Failures", "0  "), "0");
  EXPECT_EQ(Get(file, "Message", "Subject"), "LF only");
  EXPECT_EQ(Get(file, "Message", "Body"), "CR only");
  EXPECT_EQ(Get(file, "Nowhere", "stray", "none"), "none");
  EXPECT_EQ(Get(dir / "missing.ini", "A", "B", "dflt "), "dflt");

  EXPECT_EQ(Get(file, "Connection", "RemoteHost", "", 5), "rela");
  EXPECT_EQ(Get(file, "Connection", "RemoteHost", "", 1), "");
  EXPECT_EQ(Get(file, "Message", nullptr), std::string("Subject\0Body\0", 13));
}

TEST(ProfileTest, IntegersReadAsWindowsReadsThem) {
  TempDir dir;
  dir.WriteFile("n.ini", "[S]\r\na=42A9\r\nb=abc\r\nc=-1\r\nd=4294967297\r\ne=\r\n");
  std::string file = dir / "n.ini";
  EXPECT_EQ(GetPrivateProfileIntA("S", "a", 7, file.c_str()), 42u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "b", 7, file.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "c", 7, file.c_str()), 0xFFFFFFFFu);
  EXPECT_EQ(GetPrivateProfileIntA("S", "d", 7, file.c_str()), 1u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "missing", 7, file.c_str()), 7u);
}

TEST(ProfileTest, WritesKeepEveryOtherLine) {
  TempDir dir;
  dir.WriteFile("w.ini", "; header comment\n[Connection]\nRemoteHost=a\n\n[Message]\nSubject=s\n");
  std::string file = dir / "w.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("connection", "Failures", "1", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "FAILURES", "2", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Message", "Subject", "", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("New", "k", "v", file.c_str()));
  EXPECT_EQ(dir.ReadFile("w.ini"),
            "; header comment\r\n[Connection]\r\nRemoteHost=a\r\nFailures=2\r\n\r\n"
            "[Message]\r\nSubject=\r\n[New]\r\nk=v\r\n");

  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "RemoteHost", nullptr, file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "absent", nullptr, file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Message", nullptr, nullptr, file.c_str()));
  EXPECT_EQ(dir.ReadFile("w.ini"),
            "; header comment\r\n[Connection]\r\nFailures=2\r\n\r\n[New]\r\nk=v\r\n");

  ASSERT_TRUE(WritePrivateProfileStringA("Fresh", "key", "value", (dir / "new.ini").c_str()));
  EXPECT_EQ(dir.ReadFile("new.ini"), "[Fresh]\r\nkey=value\r\n");
  EXPECT_FALSE(WritePrivateProfileStringA("A", "b", "c", (dir / "no/dir.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "b", "c", file.c_str()));
}

TEST(ProfileTest, ABareFileNameLivesInTheMachineRoot) {
  testing_support::MachineRoot root;
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "bare.ini"));
  EXPECT_EQ(Get("bare.ini", "S", "k"), "v");
  EXPECT_TRUE(std::ifstream(root.Path() + "/windows/bare.ini").good());
}

}  // namespace
