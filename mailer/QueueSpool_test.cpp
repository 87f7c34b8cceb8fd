#include "mailer/QueueSpool.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/TempDir.h"

namespace {

class QueueSpoolTest : public ::testing::Test {
 protected:
  std::string Named(const std::string& attachment) {
    queue_.WriteFile("m.ini",
                     "[Message]\r\nFromAddr=a@x.test\r\nAttachments1=" + attachment + "\r\n");
    return mailer::SpoolNameOf(queue_ / "m.ini", queue_.Path());
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir queue_;
};

// Only a folder directly in the queue's spool belongs to the message: a path that climbs out of
// it, a file of the queue itself or one deeper down names none, so nothing else is ever removed.
TEST_F(QueueSpoolTest, TheSpoolFolderIsOnlyOneDirectlyInTheSpool) {
  EXPECT_EQ(Named(queue_ / "spool/att1/a.txt"), "att1");
  EXPECT_EQ(Named(queue_.Path() + "//spool/./att2/a.txt"), "att2");
  EXPECT_EQ(Named(queue_ / "spool/../att3/a.txt"), "");
  EXPECT_EQ(Named(queue_ / "spool/att4/deeper/a.txt"), "");
  EXPECT_EQ(Named(queue_ / "spool/a.txt"), "");
  EXPECT_EQ(Named(queue_ / "invoice.pdf"), "");
  EXPECT_EQ(Named("/etc/passwd"), "");
  EXPECT_EQ(Named(""), "");
  queue_.WriteFile("bare.ini", "[Message]\r\nFromAddr=a@x.test\r\n");
  EXPECT_EQ(mailer::SpoolNameOf(queue_ / "bare.ini", queue_.Path()), "");
}

TEST_F(QueueSpoolTest, AMoveNeverReplacesAFolderAndARemoveLeavesNothing) {
  queue_.WriteFile("spool/att2/a.txt", "mine");
  queue_.WriteFile("Failed/spool/att2/old.txt", "already there");
  EXPECT_FALSE(mailer::MoveSpoolFolder(queue_.Path(), queue_ / "Failed", "att2"));
  EXPECT_TRUE(queue_.Exists("spool/att2/a.txt"));
  std::filesystem::create_directory(queue_ / "Other");
  EXPECT_TRUE(mailer::MoveSpoolFolder(queue_ / "Failed", queue_ / "Other", "att2"));
  EXPECT_EQ(queue_.ReadFile("Other/spool/att2/old.txt"), "already there");
  EXPECT_TRUE(mailer::RemoveSpoolFolder(queue_.Path(), "att2"));
  EXPECT_FALSE(queue_.Exists("spool/att2"));
}

}  // namespace
