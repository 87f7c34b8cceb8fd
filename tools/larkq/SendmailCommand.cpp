#include "tools/larkq/SendmailCommand.h"

#include <algorithm>
#include <iostream>
#include <random>
#include <string_view>

#include "mailer/SMTPCust.h"
#include "maillib/AddressFields.h"
#include "maillib/Encoder.h"
#include "maillib/HeaderFields.h"
#include "maillib/HeaderText.h"
#include "maillib/MailAddress.h"
#include "maillib/codecs.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "tools/larkq/LocalNames.h"
#include "tools/larkq/MailqCommand.h"
#include "tools/larkq/QueueLookup.h"
#include "tools/larkq/SmtpSession.h"
#include "tools/larkq/SubmittedMessage.h"
#include "winapi/winapi.h"

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
  bool smtpSession = false;  // -bs
  bool nothingToDo = false;  // -q..., -bi: the service delivers and keeps no aliases
  bool senderGiven = false;  // -f, -r
  std::string sender;
  std::string fullName;  // -F
  std::string relay;     // --relay
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
    } else if (arg == "-bs") {
      options.smtpSession = true;
    } else if (arg.starts_with("-q") || arg == "-bi") {
      options.nothingToDo = true;
    } else if (arg.starts_with("-f") || arg.starts_with("-r")) {
      value(options.sender);
      options.senderGiven = true;
    } else if (arg.starts_with("-F")) {
      value(options.fullName);
    } else if (arg == "--relay") {
      if (i + 1 >= args.size()) throw Refusal{EX_USAGE, "--relay needs a value"};
      options.relay = args[++i];
    } else if (arg.starts_with("--relay=")) {
      options.relay = arg.substr(8);
    } else if (arg.starts_with("-b") && arg != "-bm") {
      // Another mode (a daemon, address tests) is not a producer's job.
      throw Refusal{EX_UNAVAILABLE, "mode " + arg + " is not supported; only -bm, -bs and -bp"};
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

void CheckMailbox(std::string_view address, std::string_view what) {
  if (!maillib::IsEnvelopeMailbox(address)) {
    throw Refusal{EX_NOUSER, std::string(what) + " '" + std::string(address) +
                                 "' is not a mail address of the form local@domain"};
  }
}

// Control characters of an argument would end the header line it goes into.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](unsigned char c) { return c < ' ' || c == 127; }, ' ');
  return rtl::Trim(text);
}

// What this call needs besides the message: the queue, the relay and what local names mean.
struct TSubmission {
  std::string queueDir;
  std::string relay;
  TLocalNames names;
};

std::string QueueDirectory() {
  std::string dir;
  try {
    dir = ReadQuePath();
  } catch (const std::exception& e) {
    throw Refusal{EX_CONFIG, e.what()};
  }
  const DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw Refusal{EX_CONFIG, "the queue directory " + dir +
                                 " (the QuePath setting) does not exist or is no directory"};
  }
  return dir;
}

TSubmission PrepareSubmission(const Options& options) {
  TSubmission submission{QueueDirectory(), "", TLocalNames::FromSettings()};
  const settings::TSettings& s = settings::Settings();
  submission.relay = !rtl::Trim(s.RemoteHosts).empty() ? s.RemoteHosts : options.relay;
  if (rtl::Trim(submission.relay).empty()) {
    throw Refusal{EX_CONFIG, "no relay: set the RemoteHosts setting or give --relay HOST"};
  }
  const std::string& admin = submission.names.AdminAddress();
  if (!admin.empty() && !maillib::IsEnvelopeMailbox(admin)) {
    throw Refusal{EX_CONFIG, "the AdminAddress setting '" + admin + "' is not a mail address"};
  }
  return submission;
}

// The envelope recipients in order, each once whatever its case, with a display name for the
// queued lists.
class TRecipients {
 public:
  explicit TRecipients(const TLocalNames& names) : names_(names) {}
  void Add(const maillib::TmsMailAddress& given) {
    const std::string address = names_.Recipient(OneLine(given.Address.str()));
    CheckMailbox(address, "the recipient");
    const std::string key = rtl::UpperCase(address);
    if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) return;
    if (keys_.size() == kMaxSendmailRecipients) {
      throw Refusal{EX_DATAERR, "the message has more than " +
                                    std::to_string(kMaxSendmailRecipients) + " recipients"};
    }
    keys_.push_back(key);
    const std::string name = OneLine(given.Name.str());
    list_.AddAddress(address, name.empty() ? address : name);
  }
  void AddList(std::string_view text) {
    for (const auto& item : maillib::SplitAddressList(text)) {
      maillib::TmsMailAddress address;
      try {
        maillib::ParseRawAddress(item, address);
      } catch (const std::exception&) {
        throw Refusal{EX_NOUSER, "the recipient '" + item + "' cannot be read as an address"};
      }
      Add(address);
    }
  }
  const maillib::TmsAddressList& List() const { return list_; }

 private:
  const TLocalNames& names_;
  std::vector<std::string> keys_;
  maillib::TmsAddressList list_;
};

// The first address of the message's From (Resent-From for a resent message); empty when none.
maillib::TmsMailAddress Author(const TSubmittedMessage& message) {
  maillib::TmsMailAddress author;
  const std::vector<std::string> items =
      maillib::SplitAddressList(message.Value(message.Resent() ? "Resent-From" : "From"));
  if (!items.empty()) {
    try {
      maillib::ParseRawAddress(items.front(), author);
    } catch (const std::exception&) {
      author.Clear();
    }
  }
  return author;
}

std::string LocalUser() {
  char name[256];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? name : "root";
}

// The envelope sender: -f as given (brackets dropped, "<>" or nothing the null sender), else the
// message's author, else the user who runs the program; a bare name qualified.
std::string EnvelopeSender(const Options& options, const TSubmittedMessage& message,
                           const TLocalNames& names) {
  std::string sender;
  if (options.senderGiven) {
    sender = rtl::Trim(options.sender);
    if (sender.size() >= 2 && sender.front() == '<' && sender.back() == '>') {
      sender = rtl::Trim(sender.substr(1, sender.size() - 2));
    }
    if (sender.empty()) return mailer::kNullSender;
  } else {
    sender = OneLine(Author(message).Address.str());
    if (sender.empty()) sender = LocalUser();
  }
  sender = names.Qualified(sender);
  CheckMailbox(sender, "the sender");
  return sender;
}

std::string NewMessageId(const std::string& domain) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::mt19937_64 random(std::random_device{}());
  std::string unique;
  for (int word = 0; word < 2; ++word) {
    for (uint64_t value = random(), n = 0; n < 16; ++n, value >>= 4) unique += kDigits[value & 15];
  }
  SYSTEMTIME now;
  GetSystemTime(&now);
  return rtl::Format("<%04d%02d%02d%02d%02d%02d.%s@%s>", now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond, unique.c_str(), domain.c_str());
}

// "From: Name <address>", the name quoted or encoded as it needs.
std::vector<std::string> FromField(const std::string& fullName, const std::string& address) {
  const std::string name = OneLine(fullName);
  if (name.empty()) return {"From: " + address};
  if (!maillib::HasEightBit(name)) {
    return maillib::FoldLongHeaderLine("From: " + maillib::DisplayName(name) + " <" + address +
                                       ">");
  }
  maillib::THeaderFolder folder("From:", "utf-8");
  folder.AddEncoded(name);
  folder.AddPlain("<" + address + ">");
  return folder.Lines();
}

// The fields a message must carry that its author left out, added at the end of its header
// block, the hidden recipients' fields removed, and bare names in address fields qualified.
void CompleteHeaders(TSubmittedMessage& message, const std::string& sender,
                     const std::string& fullName, const TLocalNames& names) {
  message.Headers =
      maillib::TmsHeaders(maillib::WithoutFields(message.Headers, {"Bcc", "Resent-Bcc"}));
  message.RewriteFields({"From", "Sender", "Reply-To", "To", "Cc", "Resent-From", "Resent-Sender",
                         "Resent-Reply-To", "Resent-To", "Resent-Cc"},
                        [&](std::string_view value) { return names.QualifiedField(value); });
  if (!message.Has("Message-ID")) {
    message.Headers.Add("Message-ID: " + NewMessageId(names.Domain()));
  }
  if (!message.Has("Date")) message.Headers.Add("Date: " + mailer::FormatMailDate("+0000"));
  if (!message.Has("From")) {
    const std::string author =
        sender == mailer::kNullSender ? names.Qualified(LocalUser()) : sender;
    for (auto& line : FromField(fullName, author)) message.Headers.Add(std::move(line));
  }
}

// Queues the message as it will be sent, with the envelope beside it; the queued .ini's path.
std::string Queue(const TSubmission& submission, TSubmittedMessage message,
                  const std::string& sender, const maillib::TmsAddressList& recipients,
                  const std::string& fullName) {
  CompleteHeaders(message, sender, fullName, submission.names);
  mailer::TCustomMailer m;
  m.Composed = true;
  m.RemoteHost = submission.relay;
  m.FromAddress = sender;
  m.FromName = OneLine(Author(message).Name.str());
  m.Subject = OneLine(maillib::DecodeEncodedWords(message.Value("Subject")));
  m.DateTime = OneLine(message.Value("Date"));
  for (int i = 0; i < recipients.Count(); ++i) {
    m.ToList.AddAddress(recipients.Items(i).Address.str(), recipients.Items(i).Name.str());
  }
  for (auto& line : std::move(message).Lines()) m.BodyLines.Add(std::move(line));
  if (!m.SaveToQueue(submission.queueDir)) throw Refusal{EX_TEMPFAIL, m.LastResp};
  return m.QueueFile;
}

int QueueStandardInput(const Options& options, std::istream& in) {
  const TSubmission submission = PrepareSubmission(options);
  std::string text = ReadInput(in);
  if (!options.ignoreDots) CutAtDotLine(text);
  if (text.find('\0') != std::string::npos) {
    throw Refusal{EX_DATAERR, "the message holds a NUL byte"};
  }
  TSubmittedMessage message = TSubmittedMessage::Split(text);
  text = std::string();

  TRecipients recipients(submission.names);
  if (options.fromHeaders) {
    const bool resent = message.Resent();
    for (const char* field : {"To", "Cc", "Bcc"}) {
      const std::string name = resent ? std::string("Resent-") + field : field;
      for (const auto& value : maillib::RawFieldValues(message.Headers, name)) {
        recipients.AddList(value);
      }
    }
  }
  for (const auto& argument : options.recipients) recipients.AddList(argument);
  if (recipients.List().Count() == 0) {
    throw Refusal{EX_USAGE, options.fromHeaders
                                ? "no recipient: the message has no To, Cc or Bcc field"
                                : "no recipient: give the addresses as arguments, or -t"};
  }
  const std::string sender = EnvelopeSender(options, message, submission.names);
  Queue(submission, std::move(message), sender, recipients.List(), options.fullName);
  return EX_OK;
}

// One message of an SMTP session, queued as one read from standard input would be (without
// -t: the envelope is the session's), and the reply the client gets.
std::string QueueFromSession(const TSubmission& submission, const std::string& sender,
                             const std::vector<std::string>& recipients, const std::string& text) {
  try {
    if (text.find('\0') != std::string::npos) {
      throw Refusal{EX_DATAERR, "the message holds a NUL byte"};
    }
    TRecipients list(submission.names);
    for (const auto& recipient : recipients) {
      maillib::TmsMailAddress address;
      address.Address = recipient;
      list.Add(address);
    }
    Options options;
    options.senderGiven = true;
    options.sender = sender;
    TSubmittedMessage message = TSubmittedMessage::Split(text);
    const std::string envelopeSender = EnvelopeSender(options, message, submission.names);
    const std::string ini = Queue(submission, std::move(message), envelopeSender, list.List(), "");
    return "250 2.0.0 Ok: queued as " + rtl::ChangeFileExt(rtl::ExtractFileName(ini), "");
  } catch (const Refusal& refusal) {
    const char* reply = refusal.code == EX_NOUSER    ? "550 5.1.3 "
                        : refusal.code == EX_DATAERR ? "554 5.6.0 "
                                                     : "451 4.3.0 ";
    return reply + refusal.message;
  }
}

int RunSession(const Options& options, std::istream& in, std::ostream& out) {
  const TSubmission submission = PrepareSubmission(options);
  return RunSmtpSession(in, out, submission.names.Domain(),
                        [&](const std::string& sender, const std::vector<std::string>& recipients,
                            const std::string& text) {
                          return QueueFromSession(submission, sender, recipients, text);
                        });
}

}  // namespace

void PrintSendmailUsage(std::ostream& out) {
  out << "Usage: sendmail [-t] [-i] [-f ADDR] [-F NAME] [--relay HOST] [ADDR...] < MESSAGE\n"
         "       sendmail -bs   (SMTP on standard input and output)\n"
         "       sendmail -bp   (or mailq)\n"
         "  -t          recipients from the To, Cc and Bcc fields (Resent-To, Resent-Cc and\n"
         "              Resent-Bcc in a resent message), besides those given\n"
         "  -i, -oi     a line of a single \".\" does not end the message\n"
         "  -f, -r ADDR the envelope sender (\"<>\": none); the message's From is kept\n"
         "  -F NAME     the sender's name in the From field added to a message without one\n"
         "  --relay HOST  the relay when the RemoteHosts setting is empty\n"
         "The message is queued as written. Missing Message-ID, Date and From fields are added,\n"
         "Bcc and Resent-Bcc fields removed. A bare name (root) is qualified with the\n"
         "DefaultDomain setting; with AdminAddress set, mail for bare names and the host's own\n"
         "names goes there. -q and -bi do nothing (the service delivers by itself); other\n"
         "sendmail switches (-odb, -oem, -v, -N..., -B..., -bm...) are accepted and ignored.\n"
         "Limits: 50 MB, 1000 recipients. Exit codes as sysexits.h.\n";
}

int RunSendmailCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                       std::ostream& err) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    PrintSendmailUsage(out);
    return EX_OK;
  }
  try {
    const Options options = ParseOptions(args);
    if (options.listQueue) return RunMailqCommand({}, out, err);
    if (options.nothingToDo) return EX_OK;
    settings::LoadSettings();
    if (options.smtpSession) return RunSession(options, in, out);
    return QueueStandardInput(options, in);
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
