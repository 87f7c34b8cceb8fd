#include "tools/larkq/ListCommand.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <ostream>

#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "tools/larkq/QueueListing.h"
#include "tools/larkq/QueueLookup.h"

namespace larkq {
namespace {

constexpr size_t kColumnLimit = 32;

std::string Age(long long seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + "s";
  if (seconds < 7200) return std::to_string(seconds / 60) + "m";
  if (seconds < 172800) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}

std::string Fit(const std::string& text) {
  return text.size() <= kColumnLimit ? text : text.substr(0, kColumnLimit - 3) + "...";
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += rtl::Format("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Marks(const QueuedMessage& m) {
  std::string marks;
  if (m.unreadable) marks += "  [unreadable]";
  if (m.bodyMissing) marks += "  [no .tmp]";
  return marks;
}

void PrintTable(const std::vector<QueuedMessage>& messages, std::ostream& out) {
  std::vector<std::vector<std::string>> rows = {{"NAME", "AGE", "FAILS", "FROM", "TO"}};
  for (const auto& m : messages) {
    rows.push_back(
        {m.name, Age(m.ageSeconds), m.unreadable ? "?" : m.failures, Fit(m.from), Fit(m.to)});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t i = 0; i < rows[r].size(); ++i) {
      out << std::left << std::setw(static_cast<int>(widths[i] + 2)) << rows[r][i];
    }
    out << (r == 0 ? "SUBJECT" : messages[r - 1].subject + Marks(messages[r - 1])) << "\n";
  }
}

void PrintJson(const std::vector<QueuedMessage>& messages, std::ostream& out) {
  out << "[";
  for (size_t i = 0; i < messages.size(); ++i) {
    const auto& m = messages[i];
    int count = 0;
    bool numeric = !m.unreadable && rtl::StrToIntDef(m.failures, -1) >= 0;
    if (numeric) count = rtl::StrToInt(m.failures);
    out << (i == 0 ? "\n" : ",\n") << "  {\"name\": " << Json(m.name)
        << ", \"path\": " << Json(m.path) << ", \"age_seconds\": " << m.ageSeconds
        << ", \"failures\": " << (numeric ? std::to_string(count) : Json(m.failures))
        << ", \"from\": " << Json(m.from) << ", \"to\": " << Json(m.to)
        << ", \"subject\": " << Json(m.subject)
        << ", \"body_missing\": " << (m.bodyMissing ? "true" : "false")
        << ", \"unreadable\": " << (m.unreadable ? "true" : "false") << "}";
  }
  out << (messages.empty() ? "]\n" : "\n]\n");
}

}  // namespace

void PrintListUsage(std::ostream& out) {
  out << "Usage: larkq list [QUEUEDIR] [--failed] [--json]\n"
         "  what is queued, oldest first, with each message's failure count, sender, first\n"
         "  recipient and subject; QUEUEDIR defaults to the QuePath setting.\n"
         "  --failed  the messages moved to Failed/ after too many failures\n"
         "  --json    the same as a JSON array, for scripts\n";
}

int RunListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool failed = false, json = false;
  std::string dir;
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      PrintListUsage(out);
      return 0;
    } else if (arg == "--failed") {
      failed = true;
    } else if (arg == "--json") {
      json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      err << "larkq list: unknown option " << arg << "\n";
      PrintListUsage(err);
      return 2;
    } else if (dir.empty()) {
      dir = arg;
    } else {
      err << "larkq list: one queue directory at most\n";
      PrintListUsage(err);
      return 2;
    }
  }
  if (dir.empty()) {
    try {
      dir = ReadQuePath();
    } catch (const std::exception& e) {
      err << "larkq list: no queue directory given, and " << e.what() << "\n";
      return 1;
    }
  }
  const std::string queueDir = dir;
  if (failed) dir += std::string(1, rtl::PathDelim) + "Failed";
  std::error_code error;
  auto messages = ListQueue(dir, error);
  // The service creates Failed/ only when it first moves a message there.
  std::error_code ignored;
  if (error == std::errc::no_such_file_or_directory && failed &&
      std::filesystem::is_directory(queueDir, ignored)) {
    error.clear();
  }
  if (error) {
    err << "larkq list: cannot read the queue directory " << dir << ": " << error.message() << "\n";
    return 1;
  }
  if (json) {
    PrintJson(messages, out);
  } else if (messages.empty()) {
    out << (failed ? "No failed messages in " : "The queue is empty: ") << dir << "\n";
  } else {
    PrintTable(messages, out);
    out << messages.size() << (messages.size() == 1 ? " message in " : " messages in ") << dir
        << "\n";
  }
  return 0;
}

}  // namespace larkq
