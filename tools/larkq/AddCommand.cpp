#include "tools/larkq/AddCommand.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string_view>

#include "mailer/SMTPCust.h"
#include "maillib/MailAddress.h"
#include "net/agsocket.h"
#include "rtl/SysUtils.h"
#include "tools/larkq/QueueLookup.h"

namespace larkq {
namespace {

constexpr const char* kUsage =
    "Usage: larkq add --from ADDR --to ADDR --relay HOST[:PORT][,HOST2] [options] [QUEUEDIR]\n"
    "  --from ADDR            sender: \"Name <addr>\" or a bare address; --from-name NAME\n"
    "                         gives the name instead\n"
    "  --to|--cc|--bcc ADDR   recipient, repeatable: \"Name <addr>\" or a bare address\n"
    "  --subject TEXT         --body-file FILE (else the body is read from standard input)\n"
    "  --attach FILE          repeatable            --header \"Name: value\"  repeatable\n"
    "  --reply-to ADDR  --organization TEXT  --date TEXT (the literal Date header)\n"
    "  --priority low|normal|high  --urgent  --iso-8859-1  --charset NAME  --uuencode\n"
    "  --content-type TYPE  --wrap N (wrap the body at N characters)  --timeout SECONDS\n"
    "Each address is one local@domain mailbox. QUEUEDIR defaults to the QuePath setting.\n"
    "Prints the path of the new .ini.\n";

struct BadInput {
  std::string message;
};

int ParseNumber(const std::string& option, const std::string& text, int low, int high) {
  int value = rtl::StrToIntDef(text, low - 1);
  if (value < low || value > high) {
    throw BadInput{option + " takes a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not '" + text + "'"};
  }
  return value;
}

size_t CountUnquoted(const std::string& text, char wanted) {
  size_t count = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == wanted) ++count;
  }
  return count;
}

// "Name <addr>", "addr (Name)" or a bare address. The parser keeps the first of two addresses
// and folds the second into the name, so a second one is looked for in the text first.
maillib::TmsMailAddress ParseMailbox(const std::string& option, const std::string& text,
                                     bool repeatable) {
  const std::string trimmed = rtl::Trim(text);
  if (CountUnquoted(trimmed, '@') > 1 || CountUnquoted(trimmed, '<') > 1) {
    throw BadInput{option + " '" + text + "': one address per option" +
                   (repeatable ? "; give " + option + " once for each" : std::string())};
  }
  maillib::TmsMailAddress address;
  try {
    maillib::ParseAddress(trimmed, address);
  } catch (const std::exception& e) {
    throw BadInput{option + " '" + text + "': " + e.what()};
  }
  if (!maillib::IsEnvelopeMailbox(address.Address.str())) {
    throw BadInput{option + " '" + text + "': not a mail address of the form local@domain"};
  }
  return address;
}

// A queued entry without a display name ends its list when the file is read, so a bare address
// is also its own display name.
void AddRecipient(maillib::TmsAddressList& list, const std::string& option,
                  const std::string& text) {
  maillib::TmsMailAddress address = ParseMailbox(option, text, true);
  list.AddAddress(address.Address.str(),
                  address.Name.empty() ? address.Address.str() : address.Name.str());
}

// Each relay is HOST or HOST:PORT, separated as the mailer separates them. The socket would take
// a port it cannot read for the default port, and one above 65535 modulo 65536, so a wrong one
// would deliver elsewhere than asked: it is refused here.
void CheckRelays(const std::string& relays) {
  size_t hosts = 0;
  for (size_t start = 0; start <= relays.size();) {
    size_t end = relays.find_first_of(",;", start);
    if (end == std::string::npos) end = relays.size();
    const std::string relay = rtl::Trim(relays.substr(start, end - start));
    start = end + 1;
    if (relay.empty()) continue;
    ++hosts;
    std::string host, port;
    net::SplitServer(relay, host, port);
    if (rtl::Trim(host).empty()) {
      throw BadInput{"--relay '" + relays + "': '" + relay + "' names no host"};
    }
    if (port.empty() && relay.back() != ':') continue;
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      throw BadInput{"--relay '" + relays + "': the port of " + relay +
                     " must be a number from 1 to 65535"};
    }
  }
  if (hosts == 0) throw BadInput{"--relay '" + relays + "' names no host"};
}

std::string ReadAll(std::istream& stream) {
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace

int RunAddCommand(const std::vector<std::string>& args, std::istream& in, bool inIsTerminal,
                  std::ostream& out, std::ostream& err) {
  mailer::TCustomMailer m;
  std::string queueDir, bodyFile, from;
  try {
    const std::map<std::string, std::string*> texts = {{"--from", &from},
                                                       {"--from-name", &m.FromName},
                                                       {"--subject", &m.Subject},
                                                       {"--relay", &m.RemoteHost},
                                                       {"--reply-to", &m.ReplyTo},
                                                       {"--organization", &m.Organization},
                                                       {"--date", &m.DateTime},
                                                       {"--charset", &m.CustomCharSet},
                                                       {"--content-type", &m.ContentType},
                                                       {"--body-file", &bodyFile}};
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& option = args[i];
      auto value = [&]() -> const std::string& {
        if (i + 1 >= args.size()) throw BadInput{option + " needs a value"};
        const std::string& given = args[++i];
        // Each value is one key of the queued .ini; a line break would start another.
        if (given.find_first_of("\r\n") != std::string::npos) {
          throw BadInput{option + " must be one line, without a line break"};
        }
        return given;
      };
      if (auto text = texts.find(option); text != texts.end()) {
        *text->second = value();
      } else if (option == "--to") {
        AddRecipient(m.ToList, option, value());
      } else if (option == "--cc") {
        AddRecipient(m.CcList, option, value());
      } else if (option == "--bcc") {
        AddRecipient(m.BccList, option, value());
      } else if (option == "--attach") {
        // The service reads the file later, from another working directory.
        m.Attachments.Add(std::filesystem::absolute(value()).string());
      } else if (option == "--header") {
        const std::string& header = value();
        if (header.find(':') == std::string::npos || header[0] == ' ') {
          throw BadInput{"--header takes \"Name: value\", not '" + header + "'"};
        }
        m.ExtraHdrs.Add(header);
      } else if (option == "--priority") {
        const std::string& level = value();
        if (level != "low" && level != "normal" && level != "high") {
          throw BadInput{"--priority takes low, normal or high, not '" + level + "'"};
        }
        m.Priority = level == "low" ? 0 : level == "normal" ? 1 : 2;
      } else if (option == "--help" || option == "-h") {
        out << kUsage;
        return 0;
      } else if (option == "--urgent") {
        m.Urgent = true;
      } else if (option == "--iso-8859-1") {
        m.CharSet = 2;
      } else if (option == "--uuencode") {
        m.Encoding = 1;
      } else if (option == "--wrap") {
        m.WordWrap = true;
        m.WordWrapLength = static_cast<uint16_t>(ParseNumber(option, value(), 1, 998));
      } else if (option == "--timeout") {
        m.TimeOut = ParseNumber(option, value(), 1, 3600);
      } else if (!option.empty() && option[0] == '-') {
        throw BadInput{"unknown option " + option};
      } else if (queueDir.empty()) {
        queueDir = option;
      } else {
        throw BadInput{"one queue directory at most"};
      }
    }
    if (from.empty()) throw BadInput{"--from is required"};
    maillib::TmsMailAddress sender = ParseMailbox("--from", from, false);
    m.FromAddress = sender.Address.str();
    if (m.FromName.empty()) m.FromName = sender.Name.str();
    if (!m.ReplyTo.empty()) ParseMailbox("--reply-to", m.ReplyTo, false);
    if (m.ToList.Count() + m.CcList.Count() + m.BccList.Count() == 0) {
      throw BadInput{"no recipient: give --to, --cc or --bcc"};
    }
    if (m.RemoteHost.empty()) throw BadInput{"--relay is required: the relay host to deliver to"};
    CheckRelays(m.RemoteHost);
    for (const auto& path : m.Attachments) {
      if (!std::ifstream(path, std::ios::binary)) {
        throw BadInput{"cannot read the attachment " + path};
      }
    }
    // Known before a body is typed, so that a missing queue is not reported after it.
    if (queueDir.empty()) {
      try {
        queueDir = ReadQuePath();
      } catch (const std::exception& e) {
        err << "larkq add: no queue directory given, and " << e.what() << "\n";
        return 1;
      }
    }
    std::string body;
    if (bodyFile.empty()) {
      // Without this a terminal user sees a command that seems to hang.
      if (inIsTerminal) {
        err << "larkq add: reading the message body from standard input; end it with Ctrl-D "
               "(or give --body-file FILE)\n";
      }
      body = ReadAll(in);
    } else {
      std::ifstream file(bodyFile, std::ios::binary);
      if (!file) throw BadInput{"cannot read the body file " + bodyFile};
      body = ReadAll(file);
    }
    m.BodyLines.SetText(body);
  } catch (const BadInput& e) {
    err << "larkq add: " << e.message << "\n" << kUsage;
    return 2;
  }
  if (!m.SaveToQueue(queueDir)) {
    err << "larkq add: " << m.LastResp << "\n";
    return 1;
  }
  out << m.QueueFile << "\n";
  return 0;
}

}  // namespace larkq
