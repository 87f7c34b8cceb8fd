#include "tools/larkq/SendmailCommand.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string_view>

#include "mailer/SMTPCust.h"
#include "maillib/AddressFields.h"
#include "maillib/Decoder.h"
#include "maillib/HeaderFields.h"
#include "maillib/MailAddress.h"
#include "maillib/Message.h"
#include "rtl/Streams.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "tools/larkq/ListCommand.h"
#include "tools/larkq/QueueLookup.h"
#include "tools/larkq/SpoolFolder.h"

namespace larkq {
namespace {

struct Refusal {
  int code;
  std::string message;
};

struct Options {
  bool fromHeaders = false;  // -t
  bool ignoreDots = false;   // -i, -oi
  bool listQueue = false;    // -bp
  std::string sender;        // -f, -r
  std::string fullName;      // -F
  std::string relay;         // --relay
  std::vector<std::string> recipients;
};

// Switches of other sendmail programs that change nothing here: flags of their own, settings
// and debugging that are one argument (-oXvalue, -eX, -dX), and those that take a value,
// attached or as the next argument.
constexpr std::string_view kIgnoredFlags[] = {"-v", "-m", "-n", "-U", "-G", "-bm", "-Am", "-Ac"};
constexpr std::string_view kIgnoredOneArgument = "oed";
constexpr std::string_view kIgnoredWithValue = "BNRVXLhCOp";

bool Ignored(const std::string& arg) {
  return std::find(std::begin(kIgnoredFlags), std::end(kIgnoredFlags), arg) !=
             std::end(kIgnoredFlags) ||
         kIgnoredOneArgument.find(arg[1]) != std::string_view::npos;
}
bool TakesIgnoredValue(const std::string& arg) {
  return kIgnoredWithValue.find(arg[1]) != std::string_view::npos;
}

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  bool optionsEnd = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& target) {
      if (arg.size() > 2) {
        target = arg.substr(2);
      } else if (i + 1 < args.size()) {
        target = args[++i];
      } else {
        throw Refusal{EX_USAGE, arg + " needs a value"};
      }
    };
    if (optionsEnd || arg.empty() || arg[0] != '-') {
      options.recipients.push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "-t") {
      options.fromHeaders = true;
    } else if (arg == "-i" || arg == "-oi") {
      options.ignoreDots = true;
    } else if (arg == "-bp") {
      options.listQueue = true;
    } else if (arg.starts_with("-f") || arg.starts_with("-r")) {
      value(options.sender);
    } else if (arg.starts_with("-F")) {
      value(options.fullName);
    } else if (arg == "--relay") {
      if (i + 1 >= args.size()) throw Refusal{EX_USAGE, "--relay needs a value"};
      options.relay = args[++i];
    } else if (arg.starts_with("--relay=")) {
      options.relay = arg.substr(8);
    } else if ((arg.starts_with("-b") && arg != "-bm") || arg.starts_with("-q")) {
      // Another mode (an SMTP session, a daemon, a queue run) is not a producer's job.
      throw Refusal{EX_UNAVAILABLE, "mode " + arg + " is not supported; only -bm and -bp"};
    } else if (arg.size() < 2 || Ignored(arg)) {
      continue;
    } else if (TakesIgnoredValue(arg)) {
      std::string ignored;
      value(ignored);
    } else {
      throw Refusal{EX_USAGE, "unknown option " + arg};
    }
  }
  return options;
}

std::string ReadInput(std::istream& in) {
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxSendmailInput) {
      throw Refusal{EX_DATAERR, "the message is larger than the limit of " +
                                    std::to_string(kMaxSendmailInput / (1024 * 1024)) + " MB"};
    }
  }
  if (in.bad()) throw Refusal{EX_NOINPUT, "standard input cannot be read"};
  return text;
}

// Without -i a line of a single "." ends the message, as the SMTP DATA convention has it.
void CutAtDotLine(std::string& text) {
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (line == "." || line == ".\r") {
      text.resize(start);
      return;
    }
    start = end + 1;
  }
}

// The parser keeps a text it cannot decode whole, as an attachment, and says so in the body;
// queued like that, the recipients would get the notice instead of the message.
bool HoldsUndecodableNotice(maillib::TmsMessage& message) {
  const int lines = message.Body.Count();
  const int parts = message.Attachments.Count();
  if (lines < 3 || parts == 0) return false;
  auto& last = message.Attachments.Items(parts - 1);
  return message.Body[lines - 3] ==
             "The following error has been occured while processing the message:" &&
         message.Body[lines - 1] == "The original message will be stored as an attachment" &&
         last.FileName.str() == "original.eml" && last.ContentType.str() == "message/rfc822";
}

void CheckMailbox(std::string_view address, std::string_view what) {
  if (!maillib::IsEnvelopeMailbox(address)) {
    throw Refusal{EX_NOUSER, std::string(what) + " '" + std::string(address) +
                                 "' is not a mail address of the form local@domain"};
  }
}

// A queued entry without a display name ends its list when the file is read, so a bare address
// is also its own display name.
void AddRecipient(maillib::TmsAddressList& list, const maillib::TmsMailAddress& address) {
  CheckMailbox(address.Address.str(), "the recipient");
  list.AddAddress(address.Address.str(),
                  address.Name.empty() ? address.Address.str() : address.Name.str());
}

bool Lists(const maillib::TmsAddressList& list, const std::string& address) {
  for (int i = 0; i < list.Count(); ++i) {
    if (list.Items(i).Address.str() == address) return true;
  }
  return false;
}

// With -t the header fields name the recipients, and the arguments add to them. Without it the
// arguments alone are the recipients; the header shows those the message's own To and Cc name,
// the others receive it unnamed, as the envelope alone would carry them, unless the message
// names nobody, when they are its To.
void FillRecipients(const Options& options, const maillib::TmsMessage& message,
                    mailer::TCustomMailer& m) {
  std::vector<maillib::TmsMailAddress> given;
  for (const auto& argument : options.recipients) {
    for (const auto& item : maillib::SplitAddressList(argument)) {
      maillib::TmsMailAddress address;
      maillib::ParseRawAddress(item, address);
      given.push_back(std::move(address));
    }
  }
  auto copy = [](const maillib::TmsAddressList& from, maillib::TmsAddressList& to) {
    for (int i = 0; i < from.Count(); ++i) AddRecipient(to, from.Items(i));
  };
  if (options.fromHeaders) {
    copy(message.Recipients, m.ToList);
    copy(message.CC, m.CcList);
    copy(message.BCC, m.BccList);
    for (const auto& address : given) AddRecipient(m.ToList, address);
    return;
  }
  const bool named = message.Recipients.Count() + message.CC.Count() > 0;
  for (const auto& address : given) {
    const std::string box = address.Address.str();
    if (!named || Lists(message.Recipients, box)) {
      AddRecipient(m.ToList, address);
    } else if (Lists(message.CC, box)) {
      AddRecipient(m.CcList, address);
    } else {
      AddRecipient(m.BccList, address);
    }
  }
}

// The one who runs the program, when neither -f nor a From field names a sender.
std::string LocalSender() {
  for (const char* variable : {"LOGNAME", "USER"}) {
    const char* user = std::getenv(variable);
    if (user != nullptr && *user != '\0') return std::string(user) + "@localhost";
  }
  return "root@localhost";
}

// The kept header lines become one queued key each, and a key's value loses its leading blanks
// when read back: folded fields are unfolded first. The composer writes its own Date (taken
// from the message's), X-Mailer and X-MSMail-Priority, so the message's own ones would repeat.
void FillHeaders(const maillib::TmsMessage& message, mailer::TCustomMailer& m) {
  const std::vector<std::string> date = maillib::RawFieldValues(message.Headers, "Date");
  if (!date.empty()) m.DateTime = rtl::Trim(date.front());
  const maillib::TmsHeaders kept =
      maillib::WithoutFields(message.Headers, {"Date", "X-Mailer", "X-MSMail-Priority"});
  for (const auto& line : kept) {
    if (maillib::IsContinuationLine(line) && m.ExtraHdrs.Count() > 0) {
      std::string& previous = m.ExtraHdrs[m.ExtraHdrs.Count() - 1];
      previous += " " + rtl::Trim(line);
    } else if (maillib::IsHeaderFieldLine(line)) {
      m.ExtraHdrs.Add(line);
    }
  }
}

maillib::TmsMessage& Parse(const std::string& text, maillib::TmsMessage& message) {
  if (text.find('\0') != std::string::npos) {
    throw Refusal{EX_DATAERR, "the message holds a NUL byte"};
  }
  try {
    rtl::TMemoryStream stream;
    stream.WriteString(text);
    message.DecodeFromStream(stream);
  } catch (const std::exception& e) {
    throw Refusal{EX_DATAERR, std::string("the message cannot be parsed: ") + e.what()};
  }
  if (HoldsUndecodableNotice(message)) {
    throw Refusal{EX_DATAERR,
                  "the message cannot be parsed: " + message.Body[message.Body.Count() - 2]};
  }
  if (message.Attachments.Count() > kMaxSendmailParts) {
    throw Refusal{EX_DATAERR,
                  "the message has more than " + std::to_string(kMaxSendmailParts) + " parts"};
  }
  return message;
}

std::string Relay(const Options& options) {
  settings::LoadSettings();
  const std::string configured = settings::Settings().RemoteHosts;
  if (!rtl::Trim(configured).empty()) return configured;
  if (!rtl::Trim(options.relay).empty()) return options.relay;
  throw Refusal{EX_CONFIG, "no relay: set the RemoteHosts setting or give --relay HOST"};
}

int Queue(const Options& options, std::istream& in) {
  std::string text = ReadInput(in);
  if (!options.ignoreDots) CutAtDotLine(text);
  maillib::TmsMessage message;
  Parse(text, message);

  mailer::TCustomMailer m;
  FillRecipients(options, message, m);
  const int recipients = m.ToList.Count() + m.CcList.Count() + m.BccList.Count();
  if (recipients == 0) {
    throw Refusal{EX_USAGE, options.fromHeaders
                                ? "no recipient: the message has no To, Cc or Bcc field"
                                : "no recipient: give the addresses as arguments, or -t"};
  }
  if (recipients > kMaxSendmailRecipients) {
    throw Refusal{EX_DATAERR, "the message has more than " +
                                  std::to_string(kMaxSendmailRecipients) + " recipients"};
  }
  m.FromAddress = options.sender.empty() ? message.Sender.Address.str() : options.sender;
  if (m.FromAddress.empty()) m.FromAddress = LocalSender();
  CheckMailbox(m.FromAddress, "the sender");
  m.FromName = options.fullName.empty() ? message.Sender.Name.str() : options.fullName;
  m.Subject = message.Subject.str();
  m.RemoteHost = Relay(options);
  for (const auto& line : message.Body) m.BodyLines.Add(line);
  m.Encoding = message.Encoding == maillib::meUU ? 1 : 2;
  m.CharSet = message.CharSet == maillib::csISO8859 ? 2 : 1;
  m.CustomCharSet = message.CustomCharSet;
  m.Priority = message.Priority;
  m.ReturnReceipt = message.ReturnReceipt;
  FillHeaders(message, m);
  if (message.Attachments.Count() == 0) {
    const std::string type = message.ContentType();
    if (type != "text/plain") m.ContentType = type;
  }

  std::string queueDir;
  try {
    queueDir = ReadQuePath();
  } catch (const std::exception& e) {
    throw Refusal{EX_CONFIG, e.what()};
  }
  std::unique_ptr<TSpoolFolder> spool;
  if (message.Attachments.Count() > 0) {
    try {
      spool = std::make_unique<TSpoolFolder>(queueDir);
      for (int i = 0; i < message.Attachments.Count(); ++i) {
        auto& part = message.Attachments.Items(i);
        m.Attachments.Add(spool->Add(maillib::BaseName(part), part.Bytes()));
      }
      spool->Sync();
    } catch (const std::exception& e) {
      throw Refusal{EX_CANTCREAT, e.what()};
    }
  }
  if (!m.SaveToQueue(queueDir)) throw Refusal{EX_TEMPFAIL, m.LastResp};
  if (spool) spool->Keep();
  return EX_OK;
}

}  // namespace

void PrintSendmailUsage(std::ostream& out) {
  out << "Usage: sendmail [-t] [-i] [-f ADDR] [-F NAME] [--relay HOST] [ADDR...] < MESSAGE\n"
         "       sendmail -bp   (or mailq)\n"
         "  -t          recipients from the To, Cc and Bcc fields (Bcc is not shown)\n"
         "  -i, -oi     a line of a single \".\" does not end the message\n"
         "  -f, -r ADDR the sender address    -F NAME  the sender's name\n"
         "  --relay HOST  the relay when the RemoteHosts setting is empty\n"
         "  -bp         list the queue\n"
         "Other sendmail switches (-odb, -oem, -v, -N..., -B..., -bm...) are accepted and "
         "ignored.\n"
         "Limits: 50 MB, 1000 recipients, 100 parts. Exit codes as sysexits.h.\n";
}

int RunSendmailCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                       std::ostream& err) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    PrintSendmailUsage(out);
    return EX_OK;
  }
  try {
    const Options options = ParseOptions(args);
    if (options.listQueue) return RunListCommand({}, out, err);
    return Queue(options, in);
  } catch (const Refusal& refusal) {
    err << "sendmail: " << refusal.message << "; nothing was queued\n";
    if (refusal.code == EX_USAGE) PrintSendmailUsage(err);
    return refusal.code;
  } catch (const std::exception& e) {
    err << "sendmail: " << e.what() << "; nothing was queued\n";
    return EX_SOFTWARE;
  }
}

}  // namespace larkq
