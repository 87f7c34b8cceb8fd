#include "tools/larkq/MailqCommand.h"

#include <ctime>
#include <filesystem>
#include <ostream>

#include "rtl/SysUtils.h"
#include "tools/larkq/QueueListing.h"
#include "tools/larkq/QueueLookup.h"
#include "tools/larkq/SendmailCommand.h"

namespace larkq {
namespace {

constexpr int kExitCannotRead = 74;

constexpr const char* kUsage =
    "Usage: mailq [-v]   (or sendmail -bp)\n"
    "  the queued messages of the QuePath directory, oldest first: queue name, size in bytes,\n"
    "  arrival time, sender, the last failure's reason and the recipients.\n";

// The local time as other mailq programs print it, "Wed Dec  9 22:00:00".
std::string ArrivalTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  // The day is padded here: the Windows C library's strftime knows no "%e".
  const std::tm* local = std::localtime(&seconds);
  if (local == nullptr) return "";
  char weekdayMonth[16] = "";
  char clock[16] = "";
  std::strftime(weekdayMonth, sizeof weekdayMonth, "%a %b", local);
  std::strftime(clock, sizeof clock, "%H:%M:%S", local);
  return rtl::Format("%s %2d %s", weekdayMonth, local->tm_mday, clock);
}

// A value shown on a line of its own never breaks that line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

void PrintEntry(const QueuedMessage& m, std::ostream& out) {
  const std::string id = m.name.substr(0, m.name.size() - 4);
  // The null sender is shown as other mail systems show it.
  const std::string sender = m.unreadable ? "?" : m.sender.empty() ? "MAILER-DAEMON" : m.sender;
  out << rtl::Format("%-11s %8ju %s  %s\n", id.c_str(), m.bytes, ArrivalTime(m.modified).c_str(),
                     OneLine(sender).c_str());
  std::string reason;
  if (m.unreadable) {
    reason = "its settings file cannot be read";
  } else if (rtl::StrToIntDef(m.failures, 1) != 0 && !m.lastResp.empty()) {
    reason = OneLine(m.lastResp);
  }
  if (!reason.empty()) out << std::string(16, ' ') << "(" << reason << ")\n";
  for (const auto& recipient : m.recipients) {
    out << std::string(40, ' ') << OneLine(recipient) << "\n";
  }
  out << "\n";
}

}  // namespace

int RunMailqCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return EX_OK;
    }
    if (arg != "-v") {
      err << "mailq: unknown argument " << arg << "\n" << kUsage;
      return EX_USAGE;
    }
  }
  std::string dir;
  try {
    dir = ReadQuePath();
  } catch (const std::exception& e) {
    err << "mailq: no queue directory: " << e.what() << "\n";
    return EX_CONFIG;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(dir, error)) {
    err << "mailq: the queue directory " << dir
        << " (the QuePath setting) does not exist or is not a directory\n";
    return EX_CONFIG;
  }
  const auto messages = ListQueue(dir, error);
  if (error) {
    err << "mailq: cannot read the queue directory " << dir << ": " << error.message() << "\n";
    return kExitCannotRead;
  }
  if (messages.empty()) {
    out << "Mail queue is empty\n";
    return EX_OK;
  }
  out << "-Queue ID-  --Size-- ----Arrival Time---- -Sender/Recipient-------\n";
  std::uintmax_t bytes = 0;
  for (const auto& m : messages) {
    PrintEntry(m, out);
    bytes += m.bytes;
  }
  out << "-- " << (bytes + 1023) / 1024 << " Kbytes in " << messages.size()
      << (messages.size() == 1 ? " Request.\n" : " Requests.\n");
  return EX_OK;
}

}  // namespace larkq
