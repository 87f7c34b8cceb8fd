#include "tools/larkctl/EventsCommand.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/CommandRun.h"
#include "testing/TempDir.h"

namespace {

using testing_support::Result;

Result Events(const std::vector<std::string>& args) {
  return testing_support::RunCommand(larkctl::RunEventsCommand, args);
}

class EventsCommandTest : public ::testing::Test {
 protected:
  testing_support::MachineRoot root_;
};

TEST_F(EventsCommandTest, WrongArgumentsPrintTheUsageAndExitTwo) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "Unknown argument '--bogus'."},
      {{"Larkpost"}, "Unknown argument 'Larkpost'."},
      {{"--source"}, "--source needs a value."},
      {{"-n"}, "-n needs a value."},
      {{"-n", "-1"}, "-n needs a number of entries, not '-1'."},
      {{"-n", "5x"}, "-n needs a number of entries, not '5x'."},
      {{"-n", ""}, "-n needs a number of entries, not ''."},
      {{"--since", "yesterday"}, "'yesterday' is not a time"},
      {{"--since", "2026-02-30"}, "'2026-02-30' is not a time"},
      {{"--since", "2026-01-01 24:00"}, "'2026-01-01 24:00' is not a time"},
      {{"--since", "2026-01-01T10:00+25:00"}, "'2026-01-01T10:00+25:00' is not a time"},
      {{"--since", "2026-01-01 10"}, "'2026-01-01 10' is not a time"},
  };
  for (const auto& [args, message] : cases) {
    Result result = Events(args);
    EXPECT_EQ(result.code, 2) << message;
    EXPECT_EQ(result.err.rfind("ERROR: " + message, 0), 0u) << result.err;
    EXPECT_NE(result.err.find("Usage: larkctl events"), std::string::npos);
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(EventsCommandTest, HelpGoesToStandardOutput) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"/?"}, {"--json", "-h"}, {"-n", "3", "--help"}}) {
    Result result = Events(args);
    EXPECT_EQ(result.code, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.out.find("Usage: larkctl events"), 0u);
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(Events({"--source", "--help"}).code, 0);  // a source named so: no entries, no help
  EXPECT_EQ(Events({"--source", "--help"}).out, "");
}

}  // namespace
