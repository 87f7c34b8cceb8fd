// The event log the Linux machine layer keeps: <machine root>/eventlog/Application.jsonl, one JSON
// record a line, started anew (the full one kept as Application.jsonl.1) past its maximum size.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "rtl/SysUtils.h"
#include "tools/larkctl/EventLog.h"
#include "winapi/winapi.h"

namespace larkctl {
namespace {

// How long a follower waits for a change before it looks at the log anyway (a directory that was
// removed and made again is no longer watched), and how often it looks while there is no
// directory to watch yet.
constexpr DWORD kRescanMs = 500;
constexpr DWORD kPollMs = 200;

// The entry a log line holds, or the reason it holds none.
std::optional<EventEntry> ParseEntry(const std::string& line, std::string& problem) {
  auto record = nlohmann::json::parse(line, nullptr, false);
  if (record.is_discarded()) {
    problem = "not valid JSON";
    return std::nullopt;
  }
  problem = "not an event record";
  if (!record.is_object()) return std::nullopt;
  auto time = record.find("time");
  auto source = record.find("source");
  auto type = record.find("type");
  auto id = record.find("id");
  auto strings = record.find("strings");
  if (time == record.end() || !time->is_string() || source == record.end() ||
      !source->is_string() || type == record.end() || !type->is_number_unsigned() ||
      id == record.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() > 0xFFFFFFFFu) {
    return std::nullopt;
  }
  EventEntry entry;
  auto when = ParseTime(time->get<std::string>());
  if (!when) return std::nullopt;
  entry.time = *when;
  entry.source = source->get<std::string>();
  entry.type = type->get<unsigned>();
  entry.id = id->get<std::uint32_t>();
  if (strings != record.end()) {
    if (!strings->is_array()) return std::nullopt;
    for (const auto& s : *strings) {
      if (!s.is_string()) return std::nullopt;
      entry.strings.push_back(s.get<std::string>());
    }
  }
  entry.record = line;
  return entry;
}

// Reads the log a block at a time, so that memory does not grow with it: forwards from where the
// last read stopped, so that --follow shows every entry once, or backwards from its end.
class LogReader {
 public:
  explicit LogReader(std::string path) : path_(std::move(path)) {}
  ~LogReader() { Close(); }
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  const std::string& Path() const { return path_; }

  // Hands each complete line added since the last call to `line` (with a function that gives its
  // line number), and a last line without its line end too when `partial` is set. A log started
  // anew (the full one renamed away) is read to its end, then the new one from its first line.
  // False with a message in `problem` when the log exists but cannot be read.
  template <class LineHandler>
  bool ReadNew(bool partial, std::string& problem, LineHandler line) {
    if (file_ == INVALID_HANDLE_VALUE && !Open(file_, problem)) return false;
    while (file_ != INVALID_HANDLE_VALUE) {
      if (Size() < offset_ + pending_.size()) Restart();  // cut short: from its first line again
      if (!ReadToEnd(line, problem)) return false;
      HANDLE current = INVALID_HANDLE_VALUE;
      if (!Open(current, problem)) return false;
      if (current == INVALID_HANDLE_VALUE || SameFile(file_, current)) {
        if (current != INVALID_HANDLE_VALUE) CloseHandle(current);
        break;
      }
      if (!pending_.empty()) Emit(line, pending_, offset_);  // no writer finishes it any more
      // Started anew twice since the last look: the log in between is the one kept now.
      HANDLE kept = INVALID_HANDLE_VALUE;
      std::string ignored;
      if (Open(path_ + ".1", kept, ignored) && kept != INVALID_HANDLE_VALUE &&
          SameFile(kept, file_)) {
        CloseHandle(kept);
        kept = INVALID_HANDLE_VALUE;
      }
      Close();
      file_ = kept;
      Restart();
      if (file_ != INVALID_HANDLE_VALUE && !ReadToEnd(line, problem)) return false;
      if (file_ != INVALID_HANDLE_VALUE && !pending_.empty()) Emit(line, pending_, offset_);
      Close();
      file_ = current;
      Restart();
    }
    if (partial && !pending_.empty()) {
      Emit(line, pending_, offset_);
      offset_ += pending_.size();
      pending_.clear();
    }
    return true;
  }

  // Hands the lines to `line` from the last one back, while it returns true; the last line
  // without its line end only when `partial` is set. ReadNew then goes on after the lines seen.
  template <class LineHandler>
  bool ReadLast(bool partial, std::string& problem, LineHandler line) {
    if (!Open(file_, problem)) return false;
    if (file_ == INVALID_HANDLE_VALUE) return true;
    unsigned long long position = Size();
    std::string text;              // the bytes from `position` on that are not handed over yet
    bool tail = true;              // the text after the last line end is no complete line
    std::optional<size_t> before;  // the lines before the one handed over, once counted
    for (;;) {
      size_t nl = text.rfind('\n');
      if (nl == std::string::npos && position > 0) {
        std::string block(static_cast<size_t>(std::min<unsigned long long>(position, kBlock)),
                          '\0');
        if (!ReadAt(position - block.size(), block)) return Failed(problem);
        position -= block.size();
        text.insert(0, block);
        continue;
      }
      size_t start = nl == std::string::npos ? 0 : nl + 1;
      unsigned long long at = position + start;
      bool more = true;
      if (!tail || (partial && start < text.size())) {
        more = line(text.substr(start), [&] {
          if (!before) before = CountLines(at);
          return *before + 1;
        });
        if (before) --*before;
      }
      if (tail) {
        tail = false;
        offset_ = partial ? Size() : at;
        lines_.reset();
        pending_.clear();
      }
      if (!more || nl == std::string::npos) return true;
      text.resize(nl);
    }
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;

  // Opens the file at the path now, or leaves `file` invalid when there is none.
  bool Open(HANDLE& file, std::string& problem) const { return Open(path_, file, problem); }
  bool Open(const std::string& path, HANDLE& file, std::string& problem) const {
    std::error_code error;
    auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return true;
    if (error) {
      problem = "Cannot read the event log " + path + ": " + error.message() + ".";
      return false;
    }
    if (status.type() != std::filesystem::file_type::regular) {
      problem = "The event log " + path + " is not a file.";
      return false;
    }
    file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    return Failed(problem);
  }

  bool Failed(std::string& problem) const {
    problem = "Cannot read the event log " + path_ + ": " + rtl::SysErrorMessage(GetLastError());
    return false;
  }

  static bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
  }

  unsigned long long Size() const {
    DWORD high = 0;
    DWORD low = GetFileSize(file_, &high);
    return (static_cast<unsigned long long>(high) << 32) | low;
  }

  // Fills `block` from `at` on; false when the file cannot be read. A file cut short meanwhile
  // leaves the block shorter.
  bool ReadAt(unsigned long long at, std::string& block) const {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(at);
    if (!SetFilePointerEx(file_, to, nullptr, FILE_BEGIN)) return false;
    size_t got = 0;
    while (got < block.size()) {
      DWORD n = 0;
      if (!ReadFile(file_, block.data() + got, static_cast<DWORD>(block.size() - got), &n,
                    nullptr)) {
        return false;
      }
      if (n == 0) break;
      got += n;
    }
    block.resize(got);
    return true;
  }

  // The number of line ends before `end`.
  size_t CountLines(unsigned long long end) const {
    size_t count = 0;
    std::string block;
    for (unsigned long long at = 0; at < end; at += block.size()) {
      block.assign(static_cast<size_t>(std::min<unsigned long long>(end - at, kBlock)), '\0');
      if (!ReadAt(at, block) || block.empty()) break;
      count += static_cast<size_t>(std::count(block.begin(), block.end(), '\n'));
    }
    return count;
  }

  template <class LineHandler>
  void Emit(LineHandler& line, const std::string& text, unsigned long long start) {
    line(text, [&] {
      if (!lines_) lines_ = CountLines(start);
      return *lines_ + 1;
    });
    if (lines_) ++*lines_;
  }

  template <class LineHandler>
  bool ReadToEnd(LineHandler& line, std::string& problem) {
    for (;;) {
      std::string block(kBlock, '\0');
      if (!ReadAt(offset_ + pending_.size(), block)) return Failed(problem);
      if (block.empty()) return true;
      pending_ += block;
      size_t start = 0;
      for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        Emit(line, pending_.substr(start, end - start), offset_ + start);
      }
      pending_.erase(0, start);
      offset_ += start;
    }
  }

  void Restart() {
    offset_ = 0;
    lines_ = 0;
    pending_.clear();
  }

  void Close() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

  std::string path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  unsigned long long offset_ = 0;    // where the first line not handed over yet starts
  std::optional<size_t> lines_ = 0;  // the lines before offset_, once counted
  std::string pending_;              // from offset_ on: a line whose end has not been written yet
};

std::string EventLogDirectory() {
  std::string root(LarkGetMachineRootA(0, nullptr), '\0');
  root.resize(LarkGetMachineRootA(static_cast<DWORD>(root.size()), root.data()));
  return root + "/eventlog";
}

class FileEventLog : public EventLogReader {
 public:
  FileEventLog(std::string directory, std::ostream& warnings)
      : directory_(std::move(directory)),
        reader_(directory_ + "/Application.jsonl"),
        warnings_(warnings) {}
  ~FileEventLog() override {
    if (change_ != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change_);
  }

  bool ReadNew(bool partial, std::string& problem,
               const std::function<void(const EventEntry&)>& entry) override {
    return reader_.ReadNew(partial, problem, [&](const std::string& line, auto number) {
      if (auto parsed = Parse(line, number)) entry(*parsed);
    });
  }

  bool ReadLast(bool partial, std::string& problem,
                const std::function<bool(const EventEntry&)>& entry) override {
    return reader_.ReadLast(partial, problem, [&](const std::string& line, auto number) {
      auto parsed = Parse(line, number);
      return !parsed || entry(*parsed);
    });
  }

  void WaitForChange() override {
    if (change_ == INVALID_HANDLE_VALUE) {
      change_ = FindFirstChangeNotificationA(
          directory_.c_str(), FALSE,
          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    }
    if (change_ == INVALID_HANDLE_VALUE) {
      Sleep(kPollMs);  // no directory to watch yet
    } else {
      WaitForSingleObject(change_, kRescanMs);
      FindNextChangeNotification(change_);
    }
  }

 private:
  // The entry a line holds; a line that holds none is reported with its line number, which is
  // counted only then.
  template <class LineNumber>
  std::optional<EventEntry> Parse(const std::string& line, LineNumber number) {
    std::string problem;
    auto entry = ParseEntry(line, problem);
    if (!entry) {
      warnings_ << "WARNING: " << reader_.Path() << ":" << number() << ": " << problem
                << ", skipped.\n";
    }
    return entry;
  }

  std::string directory_;
  LogReader reader_;
  std::ostream& warnings_;
  HANDLE change_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<EventLogReader> MachineEventLog(std::ostream& warnings) {
  return std::make_unique<FileEventLog>(EventLogDirectory(), warnings);
}

}  // namespace larkctl
