// The message log in a queue directory whose writers can plant symbolic links, and on a file
// system mounted to be full.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "rtl/Exception.h"
#include "service/LogFile.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

namespace {

using service::WriteLog;

TEST(MessageLogTest, ALinkInPlaceOfTheLogIsNotFollowed) {
  testing_support::TempDir queue;
  settings::Settings() = settings::TSettings{};
  settings::Settings().QuePath = queue.Path();
  queue.WriteFile("secret", "untouched");
  std::filesystem::create_symlink(queue / "secret", queue / "larkq.log");
  EXPECT_THROW(service::WriteLog("x", svchost::ekInformation), rtl::EInOutError);
  EXPECT_EQ(queue.ReadFile("secret"), "untouched");
}

// A small file system of its own fills up for real; the line that did not fit leaves nothing.
TEST(MessageLogTest, ALineThatDoesNotFitLeavesNoPartBehind) {
  settings::Settings() = settings::TSettings{};
  testing_support::TempDir small;
  if (std::system(("mount -t tmpfs -o size=64k tmpfs " + small.Path()).c_str()) != 0) {
    GTEST_SKIP() << "no tmpfs can be mounted here";
  }
  std::shared_ptr<void> unmount(nullptr, [&](void*) {
    [[maybe_unused]] int result = std::system(("umount " + small.Path()).c_str());
  });
  settings::Settings().QuePath = small.Path();
  auto fill = [] {
    for (int i = 0; i < 100; ++i) WriteLog(std::string(1000, 'x'), svchost::ekError);
  };
  EXPECT_THROW(fill(), rtl::EInOutError);
  WriteLog("after", svchost::ekError);  // the room the torn line took is enough for this one
  const std::string log = small.ReadFile("larkq.log");
  const size_t whole = (log.size() - 26) / 1021;  // stamp, two blanks, text, CR LF
  EXPECT_TRUE(log.ends_with("  after\r\n"));
  EXPECT_EQ(whole * 1021 + 26, log.size());
}

}  // namespace
