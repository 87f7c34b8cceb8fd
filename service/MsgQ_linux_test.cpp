// What only a Linux queue directory can hold or do: names with wildcards, FIFOs and links planted
// by other users, and the profile writers' lock of the Linux machine layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "service/QueueManagerTest.h"
#include "testing/Eventually.h"
#include "testing/TempDir.h"

namespace {

using service_test::QueueManagerTest;

// Wildcard characters are ordinary characters of a file name here.
TEST_F(QueueManagerTest, AMessageNamedWithWildcardsMovesLikeAnyOther) {
  ExpectOneFailureMovesIt("w*ld?");
}

// Web applications can put anything under a *.ini name. What is no regular file holds no slot and
// is reported once; a message whose count cannot be written (its name leaves no room for the
// writer's temporary file) is reported once and not sent again in this run.
TEST_F(QueueManagerTest, EntriesThatCannotBeCountedHoldNoSlot) {
  std::vector<std::string> reports;
  manager_->OnReport = [&](const std::string& text) { reports.push_back(text); };
  if (!queue_->AsNobody("mkfifo fifo.ini && ln -s /etc/hostname link.ini && mkdir dir.ini"))
    GTEST_SKIP() << "needs root and runuser";
  const std::string longName(236, 'n');
  queue_->AddPair(longName);
  for (int pass = 0; pass < 3; ++pass) FailAll();
  EXPECT_EQ(Used(), 0);
  std::sort(reports.begin(), reports.end());
  const std::string q = queue_->Path() + "/";
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "Skipped " + q + "dir.ini: not a regular file",
                         "Skipped " + q + "fifo.ini: not a regular file",
                         "Skipped " + q + "link.ini: not a regular file",
                         "Unable to write to " + q + longName +
                             ".ini The file name is too long. The message is not sent again "
                             "until the service restarts."}));
}

// The queue directory is open to web applications: a Failed of theirs, a link or a directory of
// their own, never receives a failed message, which stays queued.
TEST_F(QueueManagerTest, AFailedDirectoryPlantedByOthersIsRefused) {
  for (const char* plant : {"ln -s elsewhere Failed", "mkdir Failed"}) {
    Make(1);
    std::vector<std::string> reports;
    manager_->OnReport = [&](const std::string& text) { reports.push_back(text); };
    if (!queue_->AsNobody(std::string("rmdir Failed && mkdir elsewhere && ") + plant))
      GTEST_SKIP() << "needs root and runuser";
    queue_->AddPair("victim");
    FailAll();
    ASSERT_EQ(reports.size(), 1u) << plant;
    EXPECT_TRUE(reports[0].starts_with("Unable to move file " + (queue_->Dir() / "victim.ini")))
        << reports[0];
    EXPECT_TRUE(queue_->Dir().Exists("victim.ini") && queue_->Dir().Exists("victim.tmp"));
    EXPECT_FALSE(queue_->Dir().Exists("elsewhere/victim.ini")) << plant;
  }
}

// Another process keeping the profile writers' lock holds the count up only a bounded time: the
// message stays failed and uncounted, unreported, and a later pass counts it.
TEST_F(QueueManagerTest, ACountKeptFromTheWritersLockIsMadeAtALaterPass) {
  testing_support::MachineRoot root;
  const std::string locks = root.Path() + "/run/profile-locks";
  std::vector<std::string> reports;
  manager_->OnReport = [&](const std::string& text) { reports.push_back(text); };
  queue_->AddPair("busy");
  // Every stripe, since which one guards the .ini is the machine layer's business.
  ASSERT_EQ(std::system(("mkdir -p " + locks + " && cd " + locks +
                         " && bash -c 'for i in $(seq 0 63); do exec {fd}<>$i.lock; flock $fd; "
                         "done; touch held; for _ in $(seq 600); do [ -e held ] || exit; "
                         "sleep 0.05; done' &")
                            .c_str()),
            0);
  ASSERT_TRUE(
      testing_support::Eventually([&] { return std::filesystem::exists(locks + "/held"); }));
  FailAll();
  EXPECT_EQ(Failures(queue_->Dir() / "busy.ini"), "absent");
  EXPECT_EQ(manager_->Slot(1).State, service::ssFailed);
  std::filesystem::remove(locks + "/held");
  manager_->UpdateQueueStatus();
  EXPECT_EQ(Failures(queue_->Dir() / "busy.ini"), "1");
  EXPECT_EQ(reports, std::vector<std::string>{});
}

}  // namespace
