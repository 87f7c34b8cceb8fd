#include "tools/larkq/AdminCommands.h"

#include <filesystem>
#include <ostream>
#include <vector>

#include "mailer/QueueSpool.h"
#include "mailer/QueuedBody.h"
#include "mailer/SMTPCust.h"
#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "tools/larkq/QueueLookup.h"
#include "winapi/winapi.h"

namespace fs = std::filesystem;

namespace larkq {
namespace {

constexpr size_t kBodyHeadLines = 10;

struct Usage {
  const char* command;
  const char* text;
};

constexpr Usage kShow = {
    "show",
    "Usage: larkq show FILE.ini|NAME\n"
    "  prints a queued message as the service reads it: relays, sender, recipients, subject,\n"
    "  attachments with their sizes, failed attempts and the first lines of the body. NAME is\n"
    "  a message in the QuePath directory or its Failed directory (msg02C6.ini or msg02C6).\n"};
constexpr Usage kDelete = {
    "delete",
    "Usage: larkq delete FILE.ini|NAME...\n"
    "  removes each queued message (its .ini, then its body) from the queue or from Failed.\n"};
constexpr Usage kRetry = {
    "retry",
    "Usage: larkq retry FILE.ini|NAME...\n"
    "  sets each message's failed attempts back to 0; a message in the Failed directory goes\n"
    "  back into the queue, and never in place of a queued message of the same name.\n"};

// The arguments as message names; empty after printing the usage (asked for, or wrong).
std::vector<std::string> Names(const Usage& usage, const std::vector<std::string>& args,
                               std::ostream& out, std::ostream& err, int& code) {
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      out << usage.text;
      code = 0;
      return {};
    }
    if (arg.empty() || arg[0] == '-') {
      err << usage.text;
      code = 2;
      return {};
    }
  }
  if (args.empty()) {
    err << usage.text;
    code = 2;
  }
  return args;
}

// Anything but a regular file, or a link, planted in a directory others write is no message.
bool IsPlainFile(const std::string& path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored).type() == fs::file_type::regular;
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored).type() != fs::file_type::not_found;
}

// The .ini of a queued message the command was given, checked to be a message.
std::string QueuedMessage(const std::string& given) {
  std::string ini = FindQueuedMessage(given, true);
  std::string body = rtl::ChangeFileExt(ini, ".tmp");
  if (!ini.ends_with(".ini") || !IsPlainFile(ini) || (Exists(body) && !IsPlainFile(body))) {
    throw rtl::Exception("not a queued message: " + ini);
  }
  return ini;
}

bool InFailed(const std::string& ini) { return fs::path(ini).parent_path().filename() == "Failed"; }

// The queue directory a message belongs to: the .ini's own, or for one in Failed the one above.
std::string QueueDirOf(const std::string& ini) {
  const fs::path dir = fs::path(ini).parent_path();
  return (InFailed(ini) ? dir.parent_path() : dir).string();
}

std::string Addresses(const maillib::TmsAddressList& list) {
  std::string text;
  for (int i = 0; i < list.Count(); ++i) {
    const auto& item = list.Items(i);
    if (!text.empty()) text += ", ";
    text += item.Name.str() == item.Address.str()
                ? item.Address.str()
                : item.Name.str() + " <" + item.Address.str() + ">";
  }
  return text;
}

std::string SizeOf(const std::string& path) {
  std::error_code error;
  auto size = fs::file_size(path, error);
  return error ? "cannot be read" : std::to_string(size) + " bytes";
}

void Show(const std::string& ini, std::ostream& out) {
  mailer::TCustomMailer m;
  m.QueueFile = ini;
  m.LoadFromQueue();
  auto line = [&](const char* label, const std::string& value) {
    if (!value.empty()) out << label << value << "\n";
  };
  line("Message:     ", ini + (InFailed(ini) ? " (failed)" : ""));
  line("Relays:      ", m.RemoteHost);
  line("Time-out:    ", m.TimeOut > 0 ? std::to_string(m.TimeOut) + " s" : "");
  line("From:        ",
       m.FromName.empty() ? m.FromAddress : m.FromName + " <" + m.FromAddress + ">");
  line("To:          ", Addresses(m.ToList));
  line("Cc:          ", Addresses(m.CcList));
  line("Bcc:         ", Addresses(m.BccList));
  line("Subject:     ", m.Subject);
  for (int i = 0; i < m.Attachments.Count(); ++i) {
    line("Attachment:  ", m.Attachments[i] + " (" + SizeOf(m.Attachments[i]) + ")");
  }
  line("Failures:    ", rtl::TIniFile(ini).ReadString("Connection", "Failures", "0"));
  // The body may be larger than memory: it is counted, then its head printed, piece by piece.
  size_t lines = 0;
  m.QueuedBody->ForEachPiece([&](std::string_view, bool end) {
    lines += end ? 1 : 0;
    return true;
  });
  // A composed message's body is the whole text the relay gets: its header block is shown too.
  out << (m.Composed ? "Composed:    " : "Body:        ") << lines
      << (m.Composed ? " lines, sent as written\n" : " lines\n");
  size_t shown = 0;
  bool lineStart = true;
  m.QueuedBody->ForEachPiece([&](std::string_view piece, bool end) {
    out << (lineStart ? "  " : "") << piece << (end ? "\n" : "");
    lineStart = end;
    shown += end ? 1 : 0;
    return shown < kBodyHeadLines;
  });
}

void Delete(const std::string& ini, std::ostream& out) {
  const std::string body = rtl::ChangeFileExt(ini, ".tmp");
  const std::string dir = fs::path(ini).parent_path().string();
  const std::string spool = mailer::SpoolNameOf(ini, QueueDirOf(ini));
  if (!DeleteFileA(ini.c_str())) {
    throw rtl::Exception("cannot remove " + ini + ": " + rtl::SysErrorMessage(GetLastError()));
  }
  if (Exists(body) && !DeleteFileA(body.c_str())) {
    throw rtl::Exception("removed " + ini + ", but not its body " + body + ": " +
                         rtl::SysErrorMessage(GetLastError()));
  }
  if (!spool.empty() && !mailer::RemoveSpoolFolder(dir, spool)) {
    throw rtl::Exception("removed " + ini + ", but not its attachments in " + dir + rtl::PathDelim +
                         mailer::kSpoolDirName + rtl::PathDelim + spool);
  }
  out << "Deleted " << ini << "\n";
}

void Move(const std::string& from, const std::string& to) {
  if (!MoveFileA(from.c_str(), to.c_str())) {
    throw rtl::Exception("cannot move " + from + " to " + to + ": " +
                         rtl::SysErrorMessage(GetLastError()));
  }
}

// A retry is reported only once the directories it changed are on the disk, so that a crash of
// the machine does not take it back.
void Flush(const std::vector<std::string>& dirs) {
  for (const auto& dir : dirs) {
    if (!rtl::FlushDirectory(dir)) {
      throw rtl::Exception("cannot put the changes in " + dir +
                           " on the disk: " + rtl::SysErrorMessage(GetLastError()));
    }
  }
}

void Retry(const std::string& ini, std::ostream& out) {
  // Set while the message is still out of the service's sight, so it is never taken up at its
  // limit.
  rtl::TIniFile(ini).WriteInteger("Connection", "Failures", 0);
  if (!InFailed(ini)) {
    Flush({fs::path(ini).parent_path().string()});
    out << "Retry " << ini << "\n";
    return;
  }
  const std::string queue = fs::path(ini).parent_path().parent_path().string();
  const std::string name = fs::path(ini).filename().string();
  const std::string toIni = queue + rtl::PathDelim + name;
  const std::string body = rtl::ChangeFileExt(ini, ".tmp");
  const std::string toBody = rtl::ChangeFileExt(toIni, ".tmp");
  if (Exists(toIni) || Exists(toBody)) {
    throw rtl::Exception("cannot put " + ini + " back: the queue already holds " + name +
                         " or its body");
  }
  // Its spooled attachments go back first of all, so the message finds them when it is taken up.
  const std::string failed = fs::path(ini).parent_path().string();
  const std::string spool = mailer::SpoolNameOf(ini, queue);
  const bool hasSpool = !spool.empty() && Exists(failed + rtl::PathDelim + mailer::kSpoolDirName +
                                                 rtl::PathDelim + spool);
  if (hasSpool && !mailer::MoveSpoolFolder(failed, queue, spool)) {
    throw rtl::Exception("cannot put the attachments of " + ini + " back into " + queue +
                         rtl::PathDelim + mailer::kSpoolDirName + ": " +
                         rtl::SysErrorMessage(GetLastError()));
  }
  // The body next and the .ini after it, as producers write them: the service never finds an
  // .ini whose body is still on its way.
  const bool hasBody = Exists(body);
  try {
    if (hasBody) Move(body, toBody);
    try {
      Move(ini, toIni);
    } catch (const std::exception&) {
      if (hasBody) MoveFileA(toBody.c_str(), body.c_str());
      throw;
    }
  } catch (const std::exception&) {
    if (hasSpool) mailer::MoveSpoolFolder(queue, failed, spool);
    throw;
  }
  const std::string spools = rtl::PathDelim + std::string(mailer::kSpoolDirName);
  Flush(hasSpool ? std::vector{queue + spools, failed + spools, queue, failed}
                 : std::vector{queue, failed});
  out << "Retry " << toIni << " (back from Failed)\n";
}

template <class Action>
int ForEach(const Usage& usage, const std::vector<std::string>& args, std::ostream& out,
            std::ostream& err, Action action) {
  int code = 0;
  std::vector<std::string> names = Names(usage, args, out, err, code);
  for (const auto& name : names) {
    try {
      action(QueuedMessage(name), out);
    } catch (const std::exception& e) {
      err << "larkq " << usage.command << ": " << e.what() << "\n";
      code = 1;
    }
  }
  return code;
}

}  // namespace

int RunShowCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() > 1) {
    err << kShow.text;
    return 2;
  }
  return ForEach(kShow, args, out, err, Show);
}

// The commands that edit or remove files take only what the service itself would take up, so
// that no name given to them reaches a file outside the queue.
int RunDeleteCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  return ForEach(kDelete, args, out, err, [](const std::string& ini, std::ostream& shown) {
    Delete(CheckQueuedMessage(ini), shown);
  });
}

int RunRetryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  return ForEach(kRetry, args, out, err, [](const std::string& ini, std::ostream& shown) {
    Retry(CheckQueuedMessage(ini), shown);
  });
}

}  // namespace larkq
