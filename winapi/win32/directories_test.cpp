#include <gtest/gtest.h>

#include "testing/TempDir.h"
#include "winapi/winapi.h"

namespace {

TEST(DirectoriesTest, NamesInsideAnOpenedDirectory) {
  testing_support::TempDir dir;
  dir.WriteFile("sub/deeper/a.txt", "a");
  dir.WriteFile("sub/b.txt", "b");
  dir.WriteFile("file.ini", "ini");
  dir.WriteFile("other.ini", "other");
  HANDLE queue = LarkOpenDirectoryA(nullptr, dir.Path().c_str(), FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(queue, INVALID_HANDLE_VALUE) << GetLastError();
  HANDLE sub = LarkOpenDirectoryA(queue, "sub", 0);
  ASSERT_NE(sub, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_FALSE(LarkGetFileAttributesAtA(sub, "b.txt") & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(LarkGetFileAttributesAtA(queue, "sub") & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(LarkGetFileAttributesAtA(queue, "missing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  struct Refused {
    const char* name;
    DWORD error;
  };
  for (auto [name, error] :
       {Refused{"file.ini", ERROR_DIRECTORY}, Refused{"missing", ERROR_PATH_NOT_FOUND},
        Refused{"sub\\deeper", ERROR_INVALID_NAME}, Refused{"sub/deeper", ERROR_INVALID_NAME}}) {
    EXPECT_EQ(LarkOpenDirectoryA(queue, name, 0), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), error) << name;
  }
  EXPECT_EQ(LarkGetFileAttributesAtA(queue, "sub\\b.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

  EXPECT_FALSE(LarkMoveFileAtA(queue, "file.ini", queue, "other.ini"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(dir.ReadFile("other.ini"), "other");
  EXPECT_FALSE(LarkMoveFileAtA(queue, "file.ini", sub, "..\\file.ini"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_TRUE(LarkMoveFileAtA(queue, "file.ini", sub, "file.ini"));
  EXPECT_EQ(dir.ReadFile("sub/file.ini"), "ini");
  CloseHandle(sub);

  EXPECT_TRUE(LarkRemoveTreeAtA(queue, "sub")) << GetLastError();
  EXPECT_FALSE(dir.Exists("sub"));
  EXPECT_TRUE(dir.Exists("other.ini"));
  CloseHandle(queue);
}

}  // namespace
