// What only Linux puts where an attachment is expected (a FIFO, a device, a symbolic link), and
// the list of a process's open files that only Linux keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "maillib/Attachments.h"
#include "rtl/Exception.h"
#include "testing/TempDir.h"

namespace {

class AttachmentsTest : public ::testing::Test {
 protected:
  testing_support::MachineRoot root_;
  testing_support::TempDir dir_;
};

// A FIFO would block the worker and a device never end, so they are refused as files that
// cannot be opened; a link to a regular file is one.
TEST_F(AttachmentsTest, AFifoOrADeviceIsNoRegularFileButALinkToOneIs) {
  ASSERT_EQ(std::system(("mkfifo " + (dir_ / "pipe.txt")).c_str()), 0);
  dir_.WriteFile("real.txt", "data");
  std::filesystem::create_symlink(dir_ / "real.txt", dir_ / "link.txt");
  maillib::TmsAttList list;
  for (const std::string& path : {dir_ / "pipe.txt", std::string("/dev/zero")}) {
    try {
      list.AddFile(path);
      ADD_FAILURE() << path;
    } catch (const rtl::EFOpenError& e) {
      EXPECT_EQ(e.Message(), "Cannot open file " + path);
    }
  }
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.AddFile(dir_ / "link.txt").Bytes(), "data");
}

// A message may carry more attachments than a process may hold open files: each one is open
// only while it is read.
TEST_F(AttachmentsTest, AttachmentsHoldNoFileOpenUntilRead) {
  const std::filesystem::path descriptors = "/proc/self/fd";
  if (!std::filesystem::exists(descriptors)) GTEST_SKIP() << "no list of open files";
  auto openFiles = [&] {
    auto entries = std::filesystem::directory_iterator(descriptors);
    return std::distance(begin(entries), end(entries));
  };
  dir_.WriteFile("a.bin", "bytes");
  maillib::TmsAttList list;
  const auto before = openFiles();
  for (int i = 0; i < 50; ++i) list.AddFile(dir_ / "a.bin");
  EXPECT_EQ(openFiles(), before);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(list.Items(i).Bytes(), "bytes");
  EXPECT_EQ(openFiles(), before);
}

}  // namespace
