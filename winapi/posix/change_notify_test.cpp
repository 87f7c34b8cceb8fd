#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "testing/TempDir.h"
#include "winapi/winapi.h"

namespace {

using testing_support::TempDir;

TEST(ChangeNotificationTest, FiresForFilesInTheDirectoryOnly) {
  TempDir dir;
  std::filesystem::create_directory(dir / "Failed");
  HANDLE change =
      FindFirstChangeNotificationA(dir.Path().c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  dir.WriteFile("Failed/inside.ini", "x");         // a change inside a subdirectory
  std::filesystem::create_directory(dir / "sub");  // a directory, not a file
  EXPECT_EQ(WaitForSingleObject(change, 300), static_cast<DWORD>(WAIT_TIMEOUT));

  auto start = std::chrono::steady_clock::now();
  dir.WriteFile("msg1.ini", "x");
  EXPECT_EQ(WaitForSingleObject(change, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  // It stays signalled until re-armed.
  EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(FindNextChangeNotification(change));
  EXPECT_EQ(WaitForSingleObject(change, 100), static_cast<DWORD>(WAIT_TIMEOUT));

  // A change between the signal and the re-arm is remembered.
  dir.WriteFile("msg2.ini", "x");
  EXPECT_EQ(WaitForSingleObject(change, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
  std::filesystem::rename(dir / "msg2.ini", dir / "Failed/msg2.ini");
  ASSERT_TRUE(FindNextChangeNotification(change));
  EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(FindCloseChangeNotification(change));
  EXPECT_FALSE(FindCloseChangeNotification(change));
}

TEST(ChangeNotificationTest, RefusesWhatItCannotWatch) {
  TempDir dir;
  dir.WriteFile("file", "");
  struct Case {
    std::string path;
    DWORD error;
  } cases[] = {{dir / "missing", ERROR_FILE_NOT_FOUND},
               {dir / "missing/deeper", ERROR_PATH_NOT_FOUND},
               {dir / "file", ERROR_DIRECTORY}};
  for (const auto& c : cases) {
    EXPECT_EQ(FindFirstChangeNotificationA(c.path.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
}

}  // namespace
