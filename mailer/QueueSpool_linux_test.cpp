// A spool folder replaced by a symbolic link: only Linux lets the test plant one.
#include <gtest/gtest.h>

#include <filesystem>

#include "mailer/QueueSpool.h"
#include "testing/TempDir.h"

namespace {

TEST(QueueSpoolTest, RemoveNeverFollowsALink) {
  testing_support::TempDir queue;
  testing_support::TempDir elsewhere;
  elsewhere.WriteFile("keep.txt", "theirs");
  std::filesystem::create_directories(queue / "spool");
  std::filesystem::create_directory_symlink(elsewhere.Path(), queue / "spool/att1");
  EXPECT_TRUE(mailer::RemoveSpoolFolder(queue.Path(), "att1"));
  EXPECT_TRUE(elsewhere.Exists("keep.txt"));
}

}  // namespace
