#include "service/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

namespace {

using service::WriteLog;

struct Entry {
  svchost::EventKind kind;
  std::string text;
};

class MessageLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings::Settings() = settings::TSettings{};
    settings::Settings().QuePath = queue_.Path();
    service::SetEventSink([this](svchost::EventKind kind, const std::string& text) {
      entries_.push_back({kind, text});
    });
  }
  void TearDown() override { service::SetEventSink(nullptr); }
  std::string Log() const { return queue_.ReadFile("larkq.log"); }

  testing_support::TempDir queue_;
  std::vector<Entry> entries_;
};

TEST_F(MessageLogTest, LinesAreStampedAndAppended) {
  WriteLog("Success: (A1B2C3.ini) one", svchost::ekInformation);
  WriteLog("Send Failure (A1B2C3.ini) Reason: 550 no", svchost::ekError);
  const std::regex stamp(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d  )");
  std::string log = Log();
  std::smatch first;
  ASSERT_TRUE(std::regex_search(log, first, stamp));
  EXPECT_EQ(first.position(0), 0);
  std::string rest = log.substr(19);
  EXPECT_TRUE(rest.starts_with("Success: (A1B2C3.ini) one\r\n")) << log;
  EXPECT_TRUE(
      std::regex_match(log, std::regex(R"((\d\d/\d\d/\d\d \d\d:\d\d:\d\d  [^\r\n]*\r\n){2})")))
      << log;
  EXPECT_TRUE(log.ends_with("  Send Failure (A1B2C3.ini) Reason: 550 no\r\n"));
  EXPECT_TRUE(entries_.empty());  // outcomes reach the event log only when asked to

  std::filesystem::remove(queue_ / "larkq.log");
  WriteLog("again", svchost::ekInformation);  // a log removed meanwhile is made anew
  EXPECT_TRUE(Log().ends_with("  again\r\n"));
}

// A reply text or a file name holding a line break must not add a line of its own.
TEST_F(MessageLogTest, ALineCannotBeForged) {
  using namespace std::string_literals;
  WriteLog("Send Failure (x.ini) Reason: 550 no\r\n26/01/01 00:00:00  Success\0!"s,
           svchost::ekError);
  std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
  EXPECT_TRUE(log.ends_with("Reason: 550 no  26/01/01 00:00:00  Success !\r\n")) << log;
}

TEST_F(MessageLogTest, OnlyARegularFileIsAppendedTo) {
  std::filesystem::create_directory(queue_ / "larkq.log");
  EXPECT_THROW(WriteLog("x", svchost::ekInformation), rtl::EInOutError);

  settings::Settings().QuePath = queue_ / "missing";
  try {
    WriteLog("x", svchost::ekError);
    FAIL() << "wrote into a missing directory";
  } catch (const rtl::EInOutError& e) {
    EXPECT_EQ(e.Message(), "Cannot open " + (queue_ / "missing") + LARK_PATH_DELIM +
                               "larkq.log: " + rtl::SysErrorMessage(ERROR_PATH_NOT_FOUND));
  }
}

TEST_F(MessageLogTest, TheEventLogTakesOnlyFailures) {
  settings::Settings().LogTarget = settings::ltEventLog;
  WriteLog("Success: (a.ini) fine", svchost::ekInformation);
  WriteLog("Send Failure (a.ini) Reason: refused", svchost::ekError);
  ASSERT_EQ(entries_.size(), 1u);
  EXPECT_EQ(entries_[0].kind, svchost::ekError);
  EXPECT_EQ(entries_[0].text, "Send Failure (a.ini) Reason: refused");
  EXPECT_FALSE(queue_.Exists("larkq.log"));

  // Both: every line in the file, the failures in the event log as well.
  settings::Settings().LogTarget = settings::ltBoth;
  WriteLog("Success: (b.ini) fine", svchost::ekInformation);
  WriteLog("Send Failure (b.ini) Reason: refused", svchost::ekError);
  ASSERT_EQ(entries_.size(), 2u);
  EXPECT_EQ(entries_[1].text, "Send Failure (b.ini) Reason: refused");
  std::string log = Log();
  EXPECT_NE(log.find("  Success: (b.ini) fine\r\n"), std::string::npos);
  EXPECT_NE(log.find("  Send Failure (b.ini) Reason: refused\r\n"), std::string::npos);
}

TEST_F(MessageLogTest, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 4, kLines = 100;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        WriteLog(
            "worker " + std::to_string(t) + " line " + std::to_string(i) + std::string(200, 'x'),
            svchost::ekInformation);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  std::string log = Log();
  const std::regex line(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d  worker \d line \d+x{200}\r\n)");
  int lines = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
       ++it) {
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kLines);
  EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')),
            static_cast<size_t>(kThreads * kLines));
}

TEST_F(MessageLogTest, AnUnwrittenLineIsReportedOnceUntilTheLogWorksAgain) {
  for (const char* line : {"a", "b"}) service::ReportUnwritten(line, "Full.");
  WriteLog("fine", svchost::ekInformation);
  service::ReportUnwritten("c", "Full.");
  ASSERT_EQ(entries_.size(), 2u);
  EXPECT_EQ(entries_[1].text, "Unable to write to the message log: Full. Not logged: c");
}

}  // namespace
