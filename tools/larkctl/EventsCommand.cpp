#include "tools/larkctl/EventsCommand.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <optional>
#include <ostream>
#include <string_view>

#include "rtl/SysUtils.h"
#include "tools/larkctl/EventLog.h"
#include "tools/larkctl/HelpOption.h"
#include "winapi/winapi.h"

namespace larkctl {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

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

}  // namespace

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

namespace {

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

// As a viewer lists it: the message text of every source is "%1", so the text is the insertion
// strings, and the event id is the code in its low 16 bits.
std::string Format(const EventEntry& entry, bool json) {
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

bool Matches(const EventEntry& entry, const Options& options) {
  return (!options.source || rtl::LowerCase(entry.source) == *options.source) &&
         (!options.since || entry.time >= *options.since);
}

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

// Waits for the log to change and prints what was added, until the output can no longer be
// written: a closed pipe or terminal ends the command, and so can a caller that runs it on a
// thread and then fails its stream.
int Follow(EventLogReader& log, const Options& options, std::ostream& out, std::ostream& err) {
  while (out.flush()) {
    log.WaitForChange();
    std::string problem;
    bool read = log.ReadNew(false, problem, [&](const EventEntry& entry) {
      if (Matches(entry, options)) out << Format(entry, options.json) << "\n";
    });
    if (!read) {
      err << "ERROR: " << problem << "\n";
      return kFailed;
    }
  }
  return kDone;
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

  auto log = MachineEventLog(err);
  std::vector<std::string> shown;  // the last N, newest first
  std::string problem;
  bool read;
  if (options.last) {
    read = log->ReadLast(!options.follow, problem, [&](const EventEntry& entry) {
      if (shown.size() == *options.last) return false;
      if (Matches(entry, options)) shown.push_back(Format(entry, options.json));
      return shown.size() < *options.last;
    });
  } else {
    read = log->ReadNew(!options.follow, problem, [&](const EventEntry& entry) {
      if (Matches(entry, options)) out << Format(entry, options.json) << "\n";
    });
  }
  if (!read) {
    err << "ERROR: " << problem << "\n";
    return kFailed;
  }
  for (auto line = shown.rbegin(); line != shown.rend(); ++line) out << *line << "\n";
  if (!options.follow) return kDone;
  return Follow(*log, options, out, err);
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
