#include "tools/larkctl/EventsCommand.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string_view>

#include "rtl/SysUtils.h"
#include "tools/larkctl/HelpOption.h"
#include "winapi/winapi.h"

namespace larkctl {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// How long --follow waits for a change before it looks at the log anyway (a directory that was
// removed and made again is no longer watched) and checks that its output is still wanted, and
// how often it looks while there is no directory to watch yet.
constexpr DWORD kRescanMs = 500;
constexpr DWORD kPollMs = 200;

struct UsageError {
  std::string message;
};

struct HelpWanted {};

struct Options {
  std::optional<std::string> source;  // lower case
  std::optional<long long> since;     // milliseconds since the epoch
  std::optional<size_t> last;
  bool follow = false;
  bool json = false;
};

// Milliseconds since the epoch of "yyyy-mm-dd[( |T)hh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm]". A time
// without an offset is local time.
std::optional<long long> ParseTime(std::string_view text) {
  size_t pos = 0;
  auto number = [&](size_t digits, int& value) {
    if (pos + digits > text.size()) return false;
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
      char c = text[pos + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos += digits;
    return true;
  };
  auto take = [&](char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  };

  int year, month, day, hour = 0, minute = 0, second = 0, millisecond = 0;
  if (!number(4, year) || !take('-') || !number(2, month) || !take('-') || !number(2, day)) {
    return std::nullopt;
  }
  if (take(' ') || take('T')) {
    if (!number(2, hour) || !take(':') || !number(2, minute)) return std::nullopt;
    if (take(':')) {
      if (!number(2, second)) return std::nullopt;
      if (take('.') || take(',')) {
        size_t start = pos;
        for (int digit; number(1, digit);) {
          if (pos - start <= 3) millisecond = millisecond * 10 + digit;
        }
        if (pos == start) return std::nullopt;
        for (size_t i = pos - start; i < 3; ++i) millisecond *= 10;
      }
    }
  }
  std::optional<int> offsetMinutes;
  if (take('Z')) {
    offsetMinutes = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    int sign = text[pos++] == '-' ? -1 : 1;
    int hours, minutes = 0;
    if (!number(2, hours)) return std::nullopt;
    bool colon = take(':');
    if ((colon || pos < text.size()) && !number(2, minutes)) return std::nullopt;
    if (hours > 23 || minutes > 59) return std::nullopt;
    offsetMinutes = sign * (hours * 60 + minutes);
  }
  using namespace std::chrono;
  year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                      std::chrono::day(static_cast<unsigned>(day))};
  if (pos != text.size() || !date.ok() || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  long long seconds;
  if (offsetMinutes) {
    seconds = sys_days(date).time_since_epoch().count() * 86400LL + hour * 3600 + minute * 60 +
              second - *offsetMinutes * 60;
  } else {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    seconds = static_cast<long long>(std::mktime(&local));
  }
  return seconds * 1000 + millisecond;
}

std::string LocalTimeText(long long milliseconds) {
  std::time_t seconds = static_cast<std::time_t>(milliseconds >= 0 ? milliseconds / 1000
                                                                   : (milliseconds - 999) / 1000);
  char text[32];
  const std::tm* local = std::localtime(&seconds);
  if (local == nullptr) return "(time out of range)";
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  return text;
}

std::string TypeName(unsigned type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
    case EVENTLOG_INFORMATION_TYPE:
      return "Information";
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_AUDIT_SUCCESS:
      return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE:
      return "Audit Failure";
    default:
      return "Type " + std::to_string(type);
  }
}

// One entry is one line: line breaks and other control characters (C0, DEL and, in UTF-8, C1)
// are shown as blanks.
std::string OneLine(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += ' ';
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct Entry {
  long long time;  // milliseconds since the epoch
  std::string source;
  unsigned type;
  std::uint32_t id;
  std::vector<std::string> strings;
  std::string record;  // the line as stored
};

// The entry a log line holds, or the reason it holds none.
std::optional<Entry> ParseEntry(const std::string& line, std::string& problem) {
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
  Entry entry;
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

// As a viewer lists it: the message text of every source is "%1", so the text is the insertion
// strings, and the event id is the code in its low 16 bits.
std::string Format(const Entry& entry, bool json) {
  if (json) return entry.record;
  std::string type = TypeName(entry.type);
  type.resize(std::max<size_t>(type.size(), 13), ' ');
  std::string line = LocalTimeText(entry.time) + "  " + type + "  " + OneLine(entry.source) + "  " +
                     std::to_string(entry.id & 0xFFFF);
  std::string text;
  for (const auto& s : entry.strings) text += (text.empty() ? "" : " ") + s;
  if (!text.empty()) line += "  " + OneLine(text);
  return line;
}

bool Matches(const Entry& entry, const Options& options) {
  return (!options.source || rtl::LowerCase(entry.source) == *options.source) &&
         (!options.since || entry.time >= *options.since);
}

// The line as shown when it holds a matching entry; a line that holds no entry is reported with
// its line number, which is counted only then.
template <class LineNumber>
std::optional<std::string> Show(const std::string& line, LineNumber number, const std::string& path,
                                const Options& options, std::ostream& err) {
  std::string problem;
  auto entry = ParseEntry(line, problem);
  if (!entry) {
    err << "WARNING: " << path << ":" << number() << ": " << problem << ", skipped.\n";
    return std::nullopt;
  }
  if (!Matches(*entry, options)) return std::nullopt;
  return Format(*entry, options.json);
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

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  auto value = [&](size_t& i) {
    if (++i >= args.size()) throw UsageError{args[i - 1] + " needs a value."};
    return args[i];
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsHelpOption(arg)) throw HelpWanted{};
    if (arg == "--source") {
      options.source = rtl::LowerCase(value(i));
    } else if (arg == "--since") {
      std::string text = value(i);
      options.since = ParseTime(text);
      if (!options.since) {
        throw UsageError{"'" + text +
                         "' is not a time: use yyyy-mm-dd, \"yyyy-mm-dd hh:mm[:ss]\" or ISO 8601."};
      }
    } else if (arg == "-n") {
      std::string text = value(i);
      size_t count = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
      if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        throw UsageError{"-n needs a number of entries, not '" + text + "'."};
      }
      options.last = count;
    } else if (arg == "--follow") {
      options.follow = true;
    } else if (arg == "--json") {
      options.json = true;
    } else {
      throw UsageError{"Unknown argument '" + arg + "'."};
    }
  }
  return options;
}

std::string EventLogDirectory() {
  std::string root(LarkGetMachineRootA(0, nullptr), '\0');
  root.resize(LarkGetMachineRootA(static_cast<DWORD>(root.size()), root.data()));
  return root + "/eventlog";
}

// Waits for the log to change and prints what was added, until the output can no longer be
// written: a closed pipe or terminal ends the command, and so can a caller that runs it on a
// thread and then fails its stream.
int Follow(LogReader& reader, const std::string& directory, const Options& options,
           std::ostream& out, std::ostream& err) {
  HANDLE change = INVALID_HANDLE_VALUE;
  int result = kDone;
  while (out.flush()) {
    if (change == INVALID_HANDLE_VALUE) {
      change = FindFirstChangeNotificationA(
          directory.c_str(), FALSE,
          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    }
    if (change == INVALID_HANDLE_VALUE) {
      Sleep(kPollMs);  // no directory to watch yet
    } else {
      WaitForSingleObject(change, kRescanMs);
      FindNextChangeNotification(change);
    }
    std::string problem;
    bool read = reader.ReadNew(false, problem, [&](const std::string& line, auto number) {
      if (auto shown = Show(line, number, reader.Path(), options, err)) out << *shown << "\n";
    });
    if (!read) {
      err << "ERROR: " << problem << "\n";
      result = kFailed;
      break;
    }
  }
  if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
  return result;
}

}  // namespace

int RunEventsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  try {
    options = ParseOptions(args);
  } catch (const HelpWanted&) {
    PrintEventsUsage(out);
    return kDone;
  } catch (const UsageError& e) {
    err << "ERROR: " << e.message << "\n";
    PrintEventsUsage(err);
    return kUsage;
  }

  std::string directory = EventLogDirectory();
  LogReader reader(directory + "/Application.jsonl");
  std::vector<std::string> shown;  // the last N, newest first
  std::string problem;
  bool read;
  if (options.last) {
    read = reader.ReadLast(!options.follow, problem, [&](const std::string& line, auto number) {
      if (shown.size() == *options.last) return false;
      if (auto text = Show(line, number, reader.Path(), options, err)) shown.push_back(*text);
      return shown.size() < *options.last;
    });
  } else {
    read = reader.ReadNew(!options.follow, problem, [&](const std::string& line, auto number) {
      if (auto text = Show(line, number, reader.Path(), options, err)) out << *text << "\n";
    });
  }
  if (!read) {
    err << "ERROR: " << problem << "\n";
    return kFailed;
  }
  for (auto line = shown.rbegin(); line != shown.rend(); ++line) out << *line << "\n";
  if (!options.follow) return kDone;
  return Follow(reader, directory, options, out, err);
}

void PrintEventsUsage(std::ostream& out) {
  out << "Usage: larkctl events [--source NAME] [--since TIME] [-n N] [--follow] [--json]\n"
         "  --source NAME  only the entries of this source (any case)\n"
         "  --since TIME   only the entries from TIME on: yyyy-mm-dd, \"yyyy-mm-dd hh:mm[:ss]\"\n"
         "                 (local time) or ISO 8601 such as 2026-12-08T10:38:10+01:00\n"
         "  -n N           only the last N of the matching entries\n"
         "  --follow       go on printing entries as they are added, until interrupted\n"
         "  --json         the matching records as stored, one JSON object a line\n"
         "Each entry shows its local time, type, source, event id and text.\n";
}

}  // namespace larkctl
