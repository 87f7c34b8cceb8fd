#include "tools/larkq/ListCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "rtl/Registry.h"
#include "settings/RegSet.h"
#include "testing/CommandRun.h"
#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;

using testing_support::Result;

Result List(const std::vector<std::string>& args) {
  return testing_support::RunCommand(larkq::RunListCommand, args);
}

class ListCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings::Settings() = settings::TSettings{};
    queue_.WriteFile("new.ini",
                     "[Message]\r\nFromAddr=shop@example.com\r\nSubject=Newest\r\nNTO1=\r\n"
                     "ATO1=hidden@example.org\r\nNCC1=Carl\r\nACC1=carl@example.org\r\n");
    queue_.WriteFile("new.tmp", "body\r\n");
    queue_.WriteFile("old.ini",
                     "[Connection]\r\nFailures=2\r\n[Message]\r\nFromName=Web \"Shop\"\r\n"
                     "FromAddr=shop@example.com\r\nSubject=Oldest\r\nNTO1=Ann\r\n"
                     "ATO1=ann@example.org\r\n");
    queue_.WriteFile("old.tmp", "body\r\n");
    queue_.WriteFile("nobody.ini", "[Connection]\r\nFailures=x\r\n");
    queue_.WriteFile("ignored.tmp", "a body alone is not a message");
    queue_.WriteFile("Failed/dead.ini", "[Connection]\r\nFailures=5\r\n");
    queue_.WriteFile("Failed/dead.tmp", "");
    auto now = fs::file_time_type::clock::now();
    fs::last_write_time(queue_ / "old.tmp", now - std::chrono::hours(3));
    fs::last_write_time(queue_ / "nobody.ini", now - std::chrono::minutes(5));
  }
  testing_support::TempDir queue_;
};

TEST_F(ListCommandTest, ListsOldestFirstWithMarks) {
  Result result = List({queue_.Path()});
  ASSERT_EQ(result.code, 0) << result.err;
  std::istringstream lines(result.out);
  std::string header, first, second, third, footer;
  std::getline(lines, header);
  std::getline(lines, first);
  std::getline(lines, second);
  std::getline(lines, third);
  std::getline(lines, footer);
  EXPECT_EQ(header.find("NAME"), 0u);
  EXPECT_EQ(first.find("old.ini"), 0u);
  EXPECT_NE(first.find("3h"), std::string::npos);
  EXPECT_NE(first.find("Web \"Shop\" <shop@example.com>"), std::string::npos);
  EXPECT_NE(first.find("Ann <ann@example.org>"), std::string::npos);
  EXPECT_EQ(second.find("nobody.ini"), 0u);
  EXPECT_NE(second.find("[no .tmp]"), std::string::npos);
  EXPECT_EQ(third.find("new.ini"), 0u);
  EXPECT_NE(third.find("Carl <carl@example.org>"), std::string::npos);  // the TO list is empty
  EXPECT_EQ(header.find("SUBJECT"), first.find("Oldest"));              // columns line up
  EXPECT_EQ(footer, "3 messages in " + queue_.Path());
}

TEST_F(ListCommandTest, PrintsJsonForScripts) {
  Result result = List({queue_.Path(), "--json"});
  ASSERT_EQ(result.code, 0);
  // The path as JSON writes it: a Windows path's delimiters are escaped.
  const std::string path = nlohmann::json(queue_ / "old.ini").dump();
  EXPECT_NE(result.out.find("{\"name\": \"old.ini\", \"path\": " + path + ", \"age_seconds\": 108"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("\"failures\": 2, \"from\": \"Web \\\"Shop\\\" <shop@example.com>\""),
            std::string::npos);
  EXPECT_NE(result.out.find("\"failures\": \"x\""), std::string::npos);
  EXPECT_NE(result.out.find("\"body_missing\": true"), std::string::npos);
  EXPECT_EQ(result.out.find("old.ini"), result.out.find("\"old.ini\"") + 1);
  EXPECT_LT(result.out.find("old.ini"), result.out.find("new.ini"));
}

TEST_F(ListCommandTest, ListsTheFailedDirectory) {
  Result result = List({queue_.Path(), "--failed"});
  ASSERT_EQ(result.code, 0);
  EXPECT_NE(result.out.find("dead.ini"), std::string::npos);
  EXPECT_EQ(result.out.find("old.ini"), std::string::npos);
  testing_support::TempDir clean;
  fs::create_directory(clean / "Failed");
  EXPECT_EQ(List({clean.Path(), "--failed"}).out,
            "No failed messages in " + (clean / "Failed") + "\n");

  // The service creates Failed/ with its first failed message: until then there are none.
  testing_support::TempDir fresh;
  Result none = List({fresh.Path(), "--failed"});
  EXPECT_EQ(none.code, 0) << none.err;
  EXPECT_EQ(none.out, "No failed messages in " + (fresh / "Failed") + "\n");
  EXPECT_EQ(List({fresh.Path(), "--failed", "--json"}).out, "[]\n");
  Result noQueue = List({fresh / "nowhere", "--failed"});
  EXPECT_EQ(noQueue.code, 1);
  EXPECT_NE(noQueue.err.find("cannot read the queue directory"), std::string::npos);
}

TEST_F(ListCommandTest, HelpGoesToStandardOutput) {
  for (const auto& args : {std::vector<std::string>{"--help"}, {queue_.Path(), "--json", "-h"}}) {
    Result help = List(args);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.find("Usage: larkq list"), 0u);
    EXPECT_EQ(help.err, "");
  }
  Result wrong = List({"--frobnicate"});
  EXPECT_EQ(wrong.out, "");
  EXPECT_NE(wrong.err.find("Usage: larkq list"), std::string::npos);
}

TEST_F(ListCommandTest, TakesTheQueueFromTheSettingsAndExplainsProblems) {
  testing_support::MachineRoot root;
  Result unset = List({});
  EXPECT_EQ(unset.code, 1);
  EXPECT_NE(unset.err.find("QuePath setting is empty"), std::string::npos);

  settings::Settings().QuePath = queue_.Path();
  settings::SaveSettings();
  settings::Settings() = settings::TSettings{};
  Result fromSettings = List({});
  EXPECT_EQ(fromSettings.code, 0);
  EXPECT_NE(fromSettings.out.find("3 messages"), std::string::npos);

  Result missing = List({queue_ / "nowhere"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot read the queue directory " + (queue_ / "nowhere")),
            std::string::npos);
  EXPECT_EQ(List({"a", "b"}).code, 2);
  EXPECT_EQ(List({"--frobnicate"}).code, 2);
  testing_support::TempDir empty;
  EXPECT_EQ(List({empty.Path()}).out, "The queue is empty: " + empty.Path() + "\n");
}

}  // namespace
