// larkctl events on Windows reads the system's Application log, where ReportEventA puts entries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/Wine.h"
#include "tools/larkctl/EventsCommand.h"
#include "winapi/winapi.h"

namespace {

TEST(EventsCommandWindowsTest, ShowsTheApplicationLogsEntriesWithTheFilters) {
  // A source of this run alone, so that the other entries of the machine's log do not count.
  const std::string source = "Larkctl test " + std::to_string(GetCurrentProcessId()) + "." +
                             std::to_string(GetTickCount());
  HANDLE h = RegisterEventSourceA(nullptr, source.c_str());
  ASSERT_NE(h, nullptr);
  const char* first[] = {"relay refused", "q1.ini\r\nnext"};
  const char* second[] = {"second"};
  EXPECT_TRUE(ReportEventA(h, EVENTLOG_ERROR_TYPE, 3, 0xC0000101, nullptr, 2, 0, first, nullptr));
  EXPECT_TRUE(
      ReportEventA(h, EVENTLOG_WARNING_TYPE, 0, 0x80000102, nullptr, 1, 0, second, nullptr));
  DeregisterEventSource(h);

  auto events = [](std::vector<std::string> args) {
    std::ostringstream out, err;
    EXPECT_EQ(larkctl::RunEventsCommand(args, out, err), 0);
    EXPECT_EQ(err.str(), "");
    return out.str();
  };
  std::string all = events({"--source", source});
  std::string last = events({"--source", source, "-n", "1", "--json"});
  // Wine's event log keeps no entry: ReadEventLogA is at the log's end from the start.
  if (testing_support::RunningUnderWine()) {
    EXPECT_EQ(all + last, "");
    return;
  }
  const std::string time = "\\d\\d\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  ";
  EXPECT_THAT(all, testing::MatchesRegex(time + "Error          " + source +
                                         "  257  relay refused q1.ini  next\n" + time +
                                         "Warning        " + source + "  258  second\n"));
  auto record = nlohmann::json::parse(last);
  EXPECT_EQ(record["id"], 0x80000102u);
  EXPECT_EQ(record["type"], EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(record["strings"], nlohmann::json::array({"second"}));
}

}  // namespace
