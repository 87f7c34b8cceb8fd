#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "testing/TempDir.h"
#include "winapi/posix/internal.h"
#include "winapi/winapi.h"

namespace {

using testing_support::TempDir;

std::vector<std::string> List(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return {"<error " + std::to_string(GetLastError()) + ">"};
  do {
    names.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FilesTest, ListingsFollowDosWildcardsCaseSensitively) {
  TempDir dir;
  for (const char* name : {"msg1.ini", "msg2.ini", "msg1.tmp", "msg.initmp", "UPPER.INI", "noext",
                           "msg1.ini.~123-4"}) {
    dir.WriteFile(name, "x");
  }
  std::filesystem::create_directory(dir / "Failed");
  using V = std::vector<std::string>;
  EXPECT_EQ(List(dir / "*.ini"), (V{"msg1.ini", "msg2.ini"}));
  EXPECT_EQ(List(dir / "msg?.ini"), (V{"msg1.ini", "msg2.ini"}));
  EXPECT_EQ(List(dir / "*.").size(), 2u);  // noext and Failed
  EXPECT_EQ(List(dir / "*").size(), 8u);   // never "." or ".."
  EXPECT_EQ(List(dir / "*.*").size(), 8u);
  EXPECT_EQ(List(dir / "*.xyz"), (V{"<error 2>"}));
  EXPECT_EQ(List(dir / "missing/*.ini"), (V{"<error 3>"}));

  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir / "Failed").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  FindClose(find);
  EXPECT_EQ(GetFileAttributesA((dir / "msg1.ini").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA((dir / "gone").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA((dir / "gone/x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FilesTest, MoveNeverReplacesAnExistingFile) {
  TempDir dir;
  dir.WriteFile("a.ini", "source");
  dir.WriteFile("Failed/a.ini", "already there");
  EXPECT_FALSE(MoveFileA((dir / "a.ini").c_str(), (dir / "Failed/a.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(dir.ReadFile("a.ini"), "source");
  EXPECT_EQ(dir.ReadFile("Failed/a.ini"), "already there");

  EXPECT_FALSE(MoveFileA((dir / "none.ini").c_str(), (dir / "Failed/none.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(MoveFileA((dir / "a.ini").c_str(), (dir / "nodir/a.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  ASSERT_TRUE(MoveFileA((dir / "a.ini").c_str(), (dir / "Failed/b.ini").c_str()));
  EXPECT_FALSE(dir.Exists("a.ini"));
  EXPECT_EQ(dir.ReadFile("Failed/b.ini"), "source");
}

TEST(FilesTest, DeleteAndDirectoriesReportWin32Codes) {
  TempDir dir;
  dir.WriteFile("x.tmp", "");
  EXPECT_TRUE(DeleteFileA((dir / "x.tmp").c_str()));
  EXPECT_FALSE(DeleteFileA((dir / "x.tmp").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA((dir / "no/x.tmp").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(CreateDirectoryA((dir / "Failed").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA((dir / "Failed").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryA((dir / "a/b").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA((dir / "Failed").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(FilesTest, TempNamesAreUniqueAcrossThreadsAndPrivate) {
  TempDir dir;
  std::mutex mutex;
  std::set<std::string> names;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        char name[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(dir.Path().c_str(), "msgx", 0, name), 0u);
        std::lock_guard lock(mutex);
        EXPECT_TRUE(names.insert(name).second) << name;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(names.size(), 2000u);
  const std::string& first = *names.begin();
  std::string base = first.substr(first.find_last_of('/') + 1);
  EXPECT_EQ(base.size(), 11u);  // "msg" + four hex digits + ".tmp"
  EXPECT_EQ(base.substr(0, 3), "msg");
  EXPECT_EQ(base.substr(7), ".tmp");
  EXPECT_EQ(std::filesystem::status(first).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  char name[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA((dir / "missing").c_str(), "ms", 0, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_EQ(GetTempFileNameA(dir.Path().c_str(), "ms", 0x1abcd, name), 0xabcdu);
  EXPECT_EQ(std::string(name), dir / "msABCD.tmp");
  EXPECT_FALSE(dir.Exists("msABCD.tmp"));
}

TEST(FilesTest, AReplacementNeverFollowsALinkAndClearsWhatDeadWritersLeft) {
  TempDir dir;
  dir.WriteFile("victim", "secret");
  std::filesystem::create_symlink(dir / "victim", dir / "link.ini");
  EXPECT_EQ(lark::ReplaceFileContents(dir / "link.ini", "new", 0644),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(dir.ReadFile("victim"), "secret");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));

  dir.WriteFile("data.ini", "old");
  ASSERT_EQ(chmod((dir / "data.ini").c_str(), 04755), 0);
  for (const char* name : {"data.ini.~0123456789abcdef", "data.ini.~0123456789ABCDEF",
                           "data.ini.~short", "other.ini.~0123456789abcdef"}) {
    dir.WriteFile(name, "x");
  }
  ASSERT_EQ(lark::ReplaceFileContents(dir / "data.ini", "new", 0600), ERROR_SUCCESS);
  EXPECT_EQ(dir.ReadFile("data.ini"), "new");
  // Read and write bits carry over; execute and set-id bits do not.
  EXPECT_EQ(std::filesystem::status(dir / "data.ini").permissions(),
            static_cast<std::filesystem::perms>(0644));
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names,
            (std::set<std::string>{"victim", "link.ini", "data.ini", "data.ini.~0123456789ABCDEF",
                                   "data.ini.~short", "other.ini.~0123456789abcdef"}));
}

// A Failed directory made by root for a queue an unprivileged service owns must be the
// service's too, with the queue's mode.
TEST(FilesTest, ADirectoryMadeAfterATemplateTakesItsOwnerAndMode) {
  TempDir dir;
  const std::string model = dir / "queue";
  ASSERT_EQ(mkdir(model.c_str(), 0700), 0);
  ASSERT_EQ(chmod(model.c_str(), 02775), 0);
  ASSERT_EQ(chown(model.c_str(), 65534, 65534), 0);  // nobody, nogroup
  const std::string made = dir / "queue/Failed";
  ASSERT_TRUE(CreateDirectoryExA(model.c_str(), made.c_str(), nullptr));
  struct stat st;
  ASSERT_EQ(lstat(made.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 02775u);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);

  EXPECT_FALSE(CreateDirectoryExA(model.c_str(), made.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  dir.WriteFile("plain", "");
  EXPECT_FALSE(CreateDirectoryExA((dir / "plain").c_str(), (dir / "other").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(CreateDirectoryExA(model.c_str(), (dir / "no/such").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FilesTest, TempPathEndsWithADelimiterAndReportsTheSizeNeeded) {
  TempDir dir;
  setenv("TMPDIR", dir.Path().c_str(), 1);
  char buffer[MAX_PATH];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  EXPECT_EQ(std::string(buffer), dir.Path() + "/");
  EXPECT_EQ(length, dir.Path().size() + 1);
  EXPECT_EQ(GetTempPathA(length, buffer), length + 1);
  unsetenv("TMPDIR");
  GetTempPathA(sizeof buffer, buffer);
  EXPECT_STREQ(buffer, "/tmp/");
}

TEST(FilesTest, ErrorTextsEndWithCrLf) {
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ALREADY_EXISTS, 0, text,
                                sizeof text, nullptr);
  EXPECT_EQ(std::string(text, length), "Cannot create a file when that file already exists.\r\n");
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
