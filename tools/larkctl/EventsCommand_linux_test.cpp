// larkctl events over the Linux machine layer's log file: what each entry shows, the filters,
// the records as stored, lines that hold no entry, and following the file as it grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "testing/CommandRun.h"
#include "testing/Eventually.h"
#include "testing/TempDir.h"
#include "tools/larkctl/EventsCommand.h"
#include "winapi/winapi.h"

namespace {

using testing_support::Eventually;

using testing_support::Result;

Result Events(const std::vector<std::string>& args) {
  return testing_support::RunCommand(larkctl::RunEventsCommand, args);
}

class EventsCommandTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return root_.Path() + "/eventlog/Application.jsonl"; }

  // Reports one entry and returns its local time as the viewer shows it.
  std::string Report(const char* source, WORD type, DWORD id, std::vector<const char*> strings) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    EXPECT_TRUE(ReportEventA(h, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                             strings.data(), nullptr));
    DeregisterEventSource(h);
    auto lines = LogLines();
    auto time = lines.empty() ? std::string::npos : lines.back().find("\"time\":\"");
    if (time == std::string::npos || lines.back().size() < time + 8 + 19) {
      ADD_FAILURE() << "no time in the last log line";
      return "";
    }
    std::string shown = lines.back().substr(time + 8, 19);
    shown[10] = ' ';
    return shown;
  }

  std::vector<std::string> LogLines() const {
    std::ifstream in(LogPath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  void Append(const std::string& text) const {
    std::filesystem::create_directories(root_.Path() + "/eventlog");
    std::ofstream(LogPath(), std::ios::app | std::ios::binary) << text;
  }

  testing_support::MachineRoot root_;
};

TEST_F(EventsCommandTest, ShowsEachEntryOnOneLineAsAViewerDoes) {
  std::string t1 = Report("Larkpost", EVENTLOG_INFORMATION_TYPE, 0x40000100, {"Queue scanned"});
  std::string t2 = Report("Larkpost", EVENTLOG_ERROR_TYPE, 0xC0000101,
                          {"Delivery failed:\r\nrelay refused", "q1.ini"});
  std::string t3 = Report("Service Control Manager", EVENTLOG_WARNING_TYPE, 0x80001B7C,
                          {"tab\there \x1B[31mred\xC2\x9B"});
  std::string t4 = Report("Larkpost", EVENTLOG_SUCCESS, 7, {});
  std::string t5 = Report("Audit", EVENTLOG_AUDIT_SUCCESS, 1, {"granted"});
  std::string t6 = Report("Audit", EVENTLOG_AUDIT_FAILURE, 2, {"refused"});

  Result result = Events({});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            t1 + "  Information    Larkpost  256  Queue scanned\n" +  //
                t2 + "  Error          Larkpost  257  Delivery failed:  relay refused q1.ini\n" +
                t3 + "  Warning        Service Control Manager  7036  tab here  [31mred \n" + t4 +
                "  Information    Larkpost  7\n" +  //
                t5 + "  Audit Success  Audit  1  granted\n" + t6 +
                "  Audit Failure  Audit  2  refused\n");
}

TEST_F(EventsCommandTest, FiltersBySourceAndCount) {
  Report("Larkpost", EVENTLOG_INFORMATION_TYPE, 1, {"one"});
  Report("Other", EVENTLOG_INFORMATION_TYPE, 2, {"two"});
  Report("LARKPOST", EVENTLOG_INFORMATION_TYPE, 3, {"three"});
  Report("Other", EVENTLOG_INFORMATION_TYPE, 4, {"four"});

  auto texts = [](const Result& result) {
    std::vector<std::string> found;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);)
      found.push_back(line.substr(line.rfind(' ') + 1));
    return found;
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(texts(Events({"--source", "larkPost"})), (Texts{"one", "three"}));
  EXPECT_EQ(texts(Events({"-n", "3"})), (Texts{"two", "three", "four"}));
  EXPECT_EQ(texts(Events({"-n", "1", "--source", "larkpost"})), (Texts{"three"}));
  EXPECT_EQ(texts(Events({"-n", "10", "--source", "other"})), (Texts{"two", "four"}));
  EXPECT_EQ(texts(Events({"-n", "0"})), Texts{});
  EXPECT_EQ(texts(Events({"--source", "Larkpos"})), Texts{});
}

TEST_F(EventsCommandTest, SinceTakesDatesLocalTimesAndIso8601) {
  auto count = [](const Result& result) {
    EXPECT_EQ(result.code, 0) << result.err;
    return std::count(result.out.begin(), result.out.end(), '\n');
  };
  // Local times: an entry reported now is on or after the start of its own day and minute.
  std::string now = Report("S", EVENTLOG_INFORMATION_TYPE, 1, {"now"});
  EXPECT_EQ(count(Events({"--since", now.substr(0, 10)})), 1);
  EXPECT_EQ(count(Events({"--since", now.substr(0, 16)})), 1);
  EXPECT_EQ(count(Events({"--since", now})), 1);
  EXPECT_EQ(count(Events({"--since", "2000-01-01"})), 1);
  EXPECT_EQ(count(Events({"--since", "2999-01-01 00:00"})), 0);
  std::filesystem::remove(LogPath());

  auto record = [](const std::string& time, const std::string& text) {
    return R"({"category":0,"id":1,"pid":1,"source":"S","strings":[")" + text + R"("],"time":")" +
           time + R"(","type":4})" + "\n";
  };
  Append(record("2026-03-01T23:30:00.250+01:00", "early") +
         record("2026-03-01T23:00:00-02:00", "late") + record("2026-03-02T01:30:00Z", "last"));
  EXPECT_EQ(count(Events({"--since", "2026-03-01T22:30:00.250Z"})), 3);  // the first one's instant
  EXPECT_EQ(count(Events({"--since", "2026-03-01T22:30:00.251Z"})), 2);
  EXPECT_EQ(count(Events({"--since", "2026-03-02T02:00:00+01:00"})), 2);  // the second one's
  EXPECT_EQ(count(Events({"--since", "2026-03-02T01:00:01Z"})), 1);
  EXPECT_EQ(count(Events({"--since", "2026-03-02T00:30-0100", "--json"})), 1);
  EXPECT_EQ(count(Events({"--since", "2026-03-02T01:30:00.001Z"})), 0);
}

TEST_F(EventsCommandTest, JsonPrintsTheMatchingRecordsAsStored) {
  Report("Larkpost", EVENTLOG_ERROR_TYPE, 0xC0000100, {"a \"quoted\"\r\ntext", "Gr\xFC\xDF"});
  Report("Other", EVENTLOG_INFORMATION_TYPE, 2, {"b"});
  Report("Larkpost", EVENTLOG_WARNING_TYPE, 3, {});
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);

  Result result = Events({"--json", "--source", "LARKPOST"});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.out, lines[0] + "\n" + lines[2] + "\n");
  EXPECT_EQ(Events({"--json", "-n", "1"}).out, lines[2] + "\n");
}

TEST_F(EventsCommandTest, LinesWithoutAnEntryAreSkippedWithAWarning) {
  Report("Larkpost", EVENTLOG_INFORMATION_TYPE, 1, {"before"});
  Append(
      "not json at all\n"
      "{\"time\":\"2026-01-01T00:00:00Z\",\"source\":\"S\",\"type\":4}\n"
      "[1,2,3]\n"
      "{\"time\":\"yesterday\",\"source\":\"S\",\"type\":4,\"id\":1}\n"
      "{\"time\":\"2026-01-01T00:00:00Z\",\"source\":\"S\",\"type\":4,\"id\":1,\"strings\":"
      "[\"\xFF\"]}\n"
      "\n");
  Report("Larkpost", EVENTLOG_INFORMATION_TYPE, 2, {"after"});
  Append("{\"time\":\"2026-01-01T00:00");  // a record still being written

  Result result = Events({});
  EXPECT_EQ(result.code, 0);
  EXPECT_NE(result.out.find("  1  before\n"), std::string::npos);
  EXPECT_NE(result.out.find("  2  after\n"), std::string::npos);
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2);
  std::string path = LogPath();
  EXPECT_EQ(result.err, "WARNING: " + path + ":2: not valid JSON, skipped.\n" + "WARNING: " + path +
                            ":3: not an event record, skipped.\n" + "WARNING: " + path +
                            ":4: not an event record, skipped.\n" + "WARNING: " + path +
                            ":5: not an event record, skipped.\n" + "WARNING: " + path +
                            ":6: not valid JSON, skipped.\n" + "WARNING: " + path +
                            ":7: not valid JSON, skipped.\n" + "WARNING: " + path +
                            ":9: not valid JSON, skipped.\n");
}

TEST_F(EventsCommandTest, AMissingLogHasNoEntriesAndAnUnreadableOneFails) {
  Result empty = Events({"--source", "Larkpost"});
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "");

  std::filesystem::create_directories(LogPath());
  Result directory = Events({});
  EXPECT_EQ(directory.code, 1);
  EXPECT_EQ(directory.err, "ERROR: The event log " + LogPath() + " is not a file.\n");
}

// Collects what is written until it is told to fail, as a closed pipe would.
class StoppableBuffer : public std::streambuf {
 public:
  std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void Stop() { stopped_ = true; }

 protected:
  int_type overflow(int_type c) override {
    if (stopped_ || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    std::lock_guard lock(mutex_);
    text_ += traits_type::to_char_type(c);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (stopped_) return 0;
    std::lock_guard lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    return n;
  }
  int sync() override { return stopped_ ? -1 : 0; }

 private:
  std::mutex mutex_;
  std::string text_;
  std::atomic<bool> stopped_{false};
};

TEST_F(EventsCommandTest, FollowWaitsForTheLogAndPrintsEachNewEntryOnce) {
  StoppableBuffer buffer;
  std::ostream out(&buffer);
  std::ostringstream err;
  std::atomic<int> code{-1};
  std::thread follower([&] {
    code = larkctl::RunEventsCommand({"--follow", "--source", "larkpost"}, out, err);
  });
  auto shows = [&](const std::string& text) {
    return Eventually([&] { return buffer.Text().find(text) != std::string::npos; });
  };

  Report("Other", EVENTLOG_INFORMATION_TYPE, 1, {"not shown"});
  Report("Larkpost", EVENTLOG_INFORMATION_TYPE, 2, {"first"});
  EXPECT_TRUE(shows("  2  first\n"));
  Report("Larkpost", EVENTLOG_WARNING_TYPE, 3, {"second"});
  EXPECT_TRUE(shows("  3  second\n"));
  Append("{\"time\":\"2026-01-01T00:00:00Z\",\"source\":\"Larkpost\",");
  Append("\"type\":4,\"id\":4,\"strings\":[\"written in two parts\"]}\n");
  EXPECT_TRUE(shows("  4  written in two parts\n"));

  buffer.Stop();
  EXPECT_TRUE(Eventually([&] { return code != -1; }));
  follower.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(err.str(), "");
  std::string text = buffer.Text();
  EXPECT_EQ(text.find("not shown"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

}  // namespace
