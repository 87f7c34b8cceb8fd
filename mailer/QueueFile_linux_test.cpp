// What only a Linux queue directory can hold or do: FIFOs, and a file system mounted to be full.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "mailer/SMTPCust.h"
#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;
using mailer::TCustomMailer;

TEST(QueueFileTest, ABodyThatIsALinkOrAFifoIsNotRead) {
  testing_support::TempDir queue;
  queue.WriteFile("secret.txt", "the real body");
  queue.WriteFile("linked.ini", "[Message]\r\nFromAddr=a@b\r\n");
  fs::create_symlink(queue / "secret.txt", queue / "linked.tmp");
  queue.WriteFile("fifo.ini", "[Message]\r\nFromAddr=a@b\r\n");
  ASSERT_EQ(std::system(("mkfifo " + (queue / "fifo.tmp")).c_str()), 0);
  for (const char* name : {"linked", "fifo"}) {
    TCustomMailer in;
    in.QueueFile = queue / (std::string(name) + ".ini");
    EXPECT_THROW(in.LoadFromQueue(), mailer::EFileError) << name;
  }
}

// A producer refused on a full disk leaves nothing behind: no body, no part of an .ini.
TEST(QueueFileTest, AMessageRefusedOnAFullDiskLeavesNothing) {
  testing_support::TempDir dir;
  if (geteuid() != 0 || mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "needs root to mount a small file system";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{dir.Path()};
  for (auto [bodyLines, recipients] : {std::pair{2000, 1}, {1, 3000}}) {
    TCustomMailer out;
    out.FromAddress = "a@b";
    for (int i = 0; i < bodyLines; ++i) out.BodyLines.Add(std::string(70, 'x'));
    for (int i = 0; i < recipients; ++i) out.ToList.AddAddress("someone@example.org", "Someone");
    EXPECT_FALSE(out.SaveToQueue(dir.Path()));
    EXPECT_TRUE(fs::is_empty(dir.Path())) << out.LastResp;
  }
}

}  // namespace
