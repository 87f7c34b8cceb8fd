#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "testing/Eventually.h"
#include "testing/TempDir.h"
#include "winapi/winapi.h"

namespace {

using nlohmann::json;
using testing_support::MachineRoot;

// "2026-12-08T10:38:10.123+01:00": local time to the millisecond, with its offset from UTC.
bool IsLocalTimeWithOffset(const std::string& text) {
  const std::string pattern = "0000-00-00T00:00:00.000+00:00";
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool fits = pattern[i] == '0'   ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                : pattern[i] == '+' ? text[i] == '+' || text[i] == '-'
                                    : text[i] == pattern[i];
    if (!fits) return false;
  }
  return true;
}

class EventLogTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return root_.Path() + "/eventlog/Application.jsonl"; }

  std::vector<json> Records(const std::string& suffix = "") const {
    std::ifstream in(LogPath() + suffix);
    std::vector<json> records;
    for (std::string line; std::getline(in, line);) {
      records.push_back(json::parse(line, nullptr, false));
      EXPECT_FALSE(records.back().is_discarded()) << "not a JSON line: " << line;
    }
    return records;
  }

  BOOL Report(HANDLE h, std::vector<const char*> strings, WORD type = EVENTLOG_INFORMATION_TYPE,
              DWORD id = 0x40000100) {
    return ReportEventA(h, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                        strings.data(), nullptr);
  }

  MachineRoot root_;
};

TEST_F(EventLogTest, EachTypeAndIdIsRecordedAsGiven) {
  HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
  ASSERT_NE(h, nullptr);
  const std::vector<std::pair<WORD, DWORD>> reports = {
      {EVENTLOG_SUCCESS, 0x00000001},       {EVENTLOG_ERROR_TYPE, 0xC0000100},
      {EVENTLOG_WARNING_TYPE, 0x80000101},  {EVENTLOG_INFORMATION_TYPE, 0x40001B7C},
      {EVENTLOG_AUDIT_SUCCESS, 0xFFFFFFFF}, {EVENTLOG_AUDIT_FAILURE, 0},
  };
  for (auto [type, id] : reports) {
    const char* text = "Queue scanned";
    ASSERT_TRUE(ReportEventA(h, type, 7, id, nullptr, 1, 0, &text, nullptr)) << GetLastError();
  }
  ASSERT_TRUE(DeregisterEventSource(h));

  auto records = Records();
  ASSERT_EQ(records.size(), reports.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    SCOPED_TRACE(records[i].dump());
    EXPECT_EQ(records[i]["source"], "Larkpost");
    EXPECT_EQ(records[i]["type"], reports[i].first);
    EXPECT_EQ(records[i]["id"], reports[i].second);
    EXPECT_EQ(records[i]["category"], 7);
    EXPECT_EQ(records[i]["strings"], json::array({"Queue scanned"}));
    EXPECT_EQ(records[i]["pid"], getpid());
    EXPECT_TRUE(IsLocalTimeWithOffset(records[i]["time"]));
  }
}

TEST_F(EventLogTest, InsertionStringsAreKeptAsUtf8AndCutAt32KCharacters) {
  HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(Report(h, {}));
  ASSERT_TRUE(Report(h, {"first", "", nullptr, "line one\r\nline two", "tab\there"}));
  ASSERT_TRUE(Report(h, {"Gr\xC3\xBC\xC3\x9F"
                         "e \xE2\x82\xAC",
                         "Gr\xFC\xDF"
                         "e",
                         "\xC3", "\xC0\xAF", "\xED\xA0\x80"}));
  std::string ascii(40000, 'x');
  std::string accents;
  for (int i = 0; i < 40000; ++i) accents += "\xC3\xA9";
  ASSERT_TRUE(Report(h, {ascii.c_str(), accents.c_str()}));
  DeregisterEventSource(h);

  auto records = Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0]["strings"], json::array());
  EXPECT_EQ(records[1]["strings"],
            json::array({"first", "", "", "line one\r\nline two", "tab\there"}));
  // Latin-1 input (and anything else that is not UTF-8) comes back as its UTF-8 form.
  EXPECT_EQ(records[2]["strings"],
            json::array({"Gr\xC3\xBC\xC3\x9F"
                         "e \xE2\x82\xAC",
                         "Gr\xC3\xBC\xC3\x9F"
                         "e",
                         "\xC3\x83", "\xC3\x80\xC2\xAF", "\xC3\xAD\xC2\xA0\xC2\x80"}));
  EXPECT_EQ(records[3]["strings"][0], std::string(32768, 'x'));
  EXPECT_EQ(records[3]["strings"][1], accents.substr(0, 2 * 32768));
}

TEST_F(EventLogTest, OnlyARegularFileAtTheLogPathIsWritten) {
  std::filesystem::create_directories(root_.Path() + "/eventlog");
  testing_support::TempDir elsewhere;
  elsewhere.WriteFile("target", "untouched\n");
  HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
  ASSERT_NE(h, nullptr);

  std::filesystem::create_symlink(elsewhere / "target", LogPath());
  SetLastError(0);
  EXPECT_FALSE(Report(h, {"through the link"}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(elsewhere.ReadFile("target"), "untouched\n");
  std::filesystem::remove(LogPath());

  // Without a reader a FIFO would block a plain open; with one, the entry would vanish into it.
  ASSERT_EQ(mkfifo(LogPath().c_str(), 0644), 0);
  EXPECT_FALSE(Report(h, {"into the fifo"}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  int reader = open(LogPath().c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_FALSE(Report(h, {"into the fifo"}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);
  close(reader);
  std::filesystem::remove(LogPath());

  std::filesystem::create_directory(LogPath());
  EXPECT_FALSE(Report(h, {"into a directory"}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::filesystem::remove(LogPath());

  EXPECT_TRUE(Report(h, {"now a file"})) << GetLastError();
  EXPECT_EQ(Records().size(), 1u);
  DeregisterEventSource(h);
}

TEST_F(EventLogTest, ConcurrentWritersOnlyEverAppendWholeLines) {
  constexpr int kThreads = 6, kReports = 150;
  std::string padding(6000, 'p');  // long lines make a torn or interleaved write likely
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HANDLE h = RegisterEventSourceA(nullptr, ("Writer" + std::to_string(t)).c_str());
      for (int i = 0; i < kReports; ++i) {
        std::string seq = std::to_string(i);
        EXPECT_TRUE(Report(h, {seq.c_str(), padding.c_str()}));
      }
      DeregisterEventSource(h);
    });
  }
  for (auto& thread : threads) thread.join();

  auto records = Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kReports));
  std::map<std::string, int> next;
  for (const auto& record : records) {
    ASSERT_TRUE(record.is_object());
    std::string source = record["source"];
    EXPECT_EQ(record["strings"][0], std::to_string(next[source]++));
    EXPECT_EQ(record["strings"][1], padding);
  }
  EXPECT_EQ(next.size(), static_cast<size_t>(kThreads));
}

TEST_F(EventLogTest, HandlesFollowWin32Rules) {
  HANDLE unregistered = RegisterEventSourceA("", "NeverRegisteredAnywhere");
  ASSERT_NE(unregistered, nullptr);
  EXPECT_TRUE(Report(unregistered, {"still logged"}));
  EXPECT_EQ(Records().at(0)["source"], "NeverRegisteredAnywhere");

  SetLastError(0);
  EXPECT_EQ(RegisterEventSourceA(nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(RegisterEventSourceA(nullptr, ""), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(RegisterEventSourceA("\\\\mailhost", "Larkpost"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  SetLastError(0);
  EXPECT_FALSE(
      ReportEventA(unregistered, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (HANDLE wrong : {HANDLE(nullptr), INVALID_HANDLE_VALUE, event}) {
    SetLastError(0);
    EXPECT_FALSE(Report(wrong, {"x"}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(DeregisterEventSource(wrong));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  CloseHandle(event);

  EXPECT_TRUE(DeregisterEventSource(unregistered));
  SetLastError(0);
  EXPECT_FALSE(Report(unregistered, {"after deregistering"}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Records().size(), 1u);
}

// The report runs as a user who may read but not write the log: as nobody when the tests run
// as root, otherwise as ourselves with the write bits removed.
DWORD ReportWithoutWriteAccess(const std::string& directory, const std::string& file) {
  if (geteuid() != 0) {
    chmod(directory.c_str(), 0555);
    chmod(file.c_str(), 0444);
    HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
    const char* text = "denied";
    BOOL ok = ReportEventA(h, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, &text, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    DeregisterEventSource(h);
    chmod(directory.c_str(), 0755);
    chmod(file.c_str(), 0644);
    return error;
  }
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
    HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
    const char* text = "denied";
    BOOL ok = ReportEventA(h, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, &text, nullptr);
    _exit(ok ? 0 : static_cast<int>(GetLastError() & 0xFF));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 254;
}

TEST_F(EventLogTest, UserWithoutWriteAccessIsDenied) {
  std::string directory = root_.Path() + "/eventlog";
  std::filesystem::create_directories(directory);
  chmod(root_.Path().c_str(), 0755);
  chmod(directory.c_str(), 0755);
  EXPECT_EQ(ReportWithoutWriteAccess(directory, LogPath()),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));

  HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
  ASSERT_TRUE(Report(h, {"by the owner"}));
  DeregisterEventSource(h);
  EXPECT_EQ(ReportWithoutWriteAccess(directory, LogPath()),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Records().size(), 1u);
}

// Holds an exclusive flock on a file as another party would: a process of the unprivileged user
// nobody (who needs no more than read access), or this process through an open of its own.
class LockHolder {
 public:
  bool Hold(const std::string& path, bool asNobody) {
    if (!asNobody)
      return (fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC)) >= 0 && !flock(fd_, LOCK_EX);
    if ((pid_ = fork()) == 0) {
      setpgid(0, 0);  // runuser and what it runs end together
      execl("/usr/sbin/runuser", "runuser", "-u", "nobody", "--", "flock", path.c_str(), "sleep",
            "120", static_cast<char*>(nullptr));
      _exit(127);
    }
    return testing_support::Eventually([&] {
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
      close(fd);
      return held;
    });
  }
  // Whether the call returns within a generous bound; the lock goes then, so that it ends anyway.
  bool ReturnsWhileHeld(const std::function<void()>& call) {
    auto done = std::async(std::launch::async, call);
    bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    Release();
    return returned;
  }
  void Release() {
    if (pid_ > 0 && kill(-pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (fd_ >= 0) close(fd_);
    pid_ = fd_ = -1;
  }
  ~LockHolder() { Release(); }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// A lock needs only the right to open its file, and every user may read the log and the hive.
// Whatever another party holds, a writer returns promptly: the service's entry is written all the
// same, and a hive write (larkctl reg, larkpost -REMOVE) fails clearly rather than hanging.
TEST_F(EventLogTest, ALockHeldByAnotherNeverStallsAWriter) {
  if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0) {
    GTEST_SKIP() << "needs root and runuser to hold the locks as another user";
  }
  HANDLE h = RegisterEventSourceA(nullptr, "Larkpost");
  ASSERT_TRUE(Report(h, {"first"}));
  HKEY key = HKEY_LOCAL_MACHINE;
  ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), 0);
  ASSERT_EQ(chmod(root_.Path().c_str(), 0755), 0);
  const std::string earlierHiveLock = root_.HivePath() + ".lock";  // readable by all
  ASSERT_EQ(close(open(earlierHiveLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)), 0);
  std::function<DWORD()> report = [&] { return Report(h, {"held"}) ? 0 : GetLastError(); };
  std::function<DWORD()> setValue = [&] {
    return RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("y"), 2);
  };
  const struct {
    std::string file;
    bool byNobody;
    std::function<DWORD()>& write;
    DWORD expected;
  } cases[] = {
      {LogPath(), true, report, ERROR_SUCCESS},
      {root_.Path() + "/eventlog/Application.writers.lock", false, report, ERROR_SUCCESS},
      {earlierHiveLock, true, setValue, ERROR_SUCCESS},
      {root_.Path() + "/registry/HKEY_LOCAL_MACHINE.writers.lock", false, setValue,
       ERROR_SHARING_VIOLATION},
  };
  for (const auto& c : cases) {
    LockHolder holder;
    ASSERT_TRUE(holder.Hold(c.file, c.byNobody)) << c.file;
    DWORD result = 0xFFFFFFFF;
    EXPECT_TRUE(holder.ReturnsWhileHeld([&] { result = c.write(); })) << c.file;
    EXPECT_EQ(result, c.expected) << c.file;
  }
  EXPECT_EQ(Records().size(), 3u);
  DeregisterEventSource(h);
}

// Writers in several processes fill a log with a small MaxSize: each file stays within it, one
// earlier file is kept, and the two hold the last entries of every writer without a gap.
TEST_F(EventLogTest, TheLogStartsAnewAtItsMaximumSize) {
  constexpr unsigned kMaxSize = 2000;  // dword:000007d0
  constexpr int kWriters = 3, kReports = 100;
  root_.WriteHive(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
      "Application]\n\"MaxSize\"=dword:000007d0\n");
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    if ((children.emplace_back(fork())) == 0) {
      HANDLE h = RegisterEventSourceA(nullptr, ("Writer" + std::to_string(w)).c_str());
      bool ok = true;
      for (int i = 0; i < kReports; ++i) ok = Report(h, {std::to_string(i).c_str()}) && ok;
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0) == child ? status : -1, 0);
  }
  EXPECT_FALSE(std::filesystem::exists(LogPath() + ".2"));
  std::map<std::string, int> next;
  for (const std::string suffix : {".1", ""}) {
    ASSERT_TRUE(std::filesystem::exists(LogPath() + suffix));
    EXPECT_LE(std::filesystem::file_size(LogPath() + suffix), kMaxSize) << suffix;
    for (const auto& record : Records(suffix)) {
      int seq = std::stoi(record["strings"][0].get<std::string>());
      auto [at, first] = next.emplace(record["source"], seq);
      EXPECT_EQ(seq, at->second++) << record.dump();
    }
  }
  for (const auto& [source, seq] : next) EXPECT_EQ(seq, kReports) << source;
}

}  // namespace
