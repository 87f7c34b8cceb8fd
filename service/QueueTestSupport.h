// A queue directory, the settings that point at it and a clock the test moves by hand.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "rtl/DateTime.h"
#include "service/MsgQ.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

namespace service_test {

// Local time that stands still until a test moves it; starts at 2026-11-03 14:05:09.
class ManualClock {
 public:
  void Advance(long long seconds) { offset_ += seconds; }
  SYSTEMTIME Now() const {
    rtl::TDateTime value = rtl::EncodeDate(2026, 11, 3) + rtl::EncodeTime(14, 5, 9, 0) +
                           static_cast<double>(offset_.load()) / rtl::kSecondsPerDay;
    int y, mo, d, h, mi, s, ms;
    rtl::DecodeDate(value, y, mo, d);
    rtl::DecodeTime(value, h, mi, s, ms);
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(y);
    t.wMonth = static_cast<WORD>(mo);
    t.wDay = static_cast<WORD>(d);
    t.wHour = static_cast<WORD>(h);
    t.wMinute = static_cast<WORD>(mi);
    t.wSecond = static_cast<WORD>(s);
    return t;
  }
  service::TQManager::LocalClock AsLocalClock() {
    return [this] { return Now(); };
  }

 private:
  std::atomic<long long> offset_{0};
};

// Sets the last write time of a file or directory to the given number of seconds ago.
void MakeOlder(const std::string& path, int seconds);

class QueueDir {
 public:
  explicit QueueDir(int maxMsgRetries = 5) {
    std::filesystem::create_directory(dir_ / "Failed");
    auto& s = settings::Settings();
    s = settings::TSettings{};
    s.QuePath = dir_.Path();
    s.FailedPath = dir_ / "Failed";
    s.MaxMsgRetries = maxMsgRetries;
  }
  // A queued pair; failures < 0 writes no "Failures" key.
  void AddPair(const std::string& base, int failures = -1) const {
    std::string ini = "[Connection]\r\nRemoteHost=relay\r\n";
    if (failures >= 0) ini += "Failures=" + std::to_string(failures) + "\r\n";
    dir_.WriteFile(base + ".ini", ini + "[Message]\r\nFromAddr=a@b\r\n");
    dir_.WriteFile(base + ".tmp", "body\r\n");
  }
  // Runs a shell command in the queue directory, opened to everyone, as a web application would.
  bool AsNobody(const std::string& command) const {
    std::filesystem::permissions(dir_.Path(), std::filesystem::perms::all);
    return std::system(("runuser -u nobody -- sh -c 'cd " + dir_.Path() + " && " + command + "'")
                           .c_str()) == 0;
  }
  const testing_support::TempDir& Dir() const { return dir_; }
  const std::string& Path() const { return dir_.Path(); }

 private:
  testing_support::TempDir dir_;
};

}  // namespace service_test
