#include "tools/larkq/AddCommand.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "mailer/SMTPCust.h"
#include "maillib/MailAddress.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"

namespace larkq {
namespace {

constexpr const char* kUsage =
    "Usage: larkq add --from ADDR --to ADDR --relay HOST[,HOST2] [options] [QUEUEDIR]\n"
    "  --from ADDR            sender address        --from-name NAME   sender's name\n"
    "  --to|--cc|--bcc ADDR   recipient, repeatable: \"Name <addr>\" or a bare address\n"
    "  --subject TEXT         --body-file FILE (else the body is read from standard input)\n"
    "  --attach FILE          repeatable            --header \"Name: value\"  repeatable\n"
    "  --reply-to ADDR  --organization TEXT  --date TEXT (the literal Date header)\n"
    "  --priority low|normal|high  --urgent  --iso-8859-1  --charset NAME  --uuencode\n"
    "  --content-type TYPE  --wrap N (wrap the body at N characters)  --timeout SECONDS\n"
    "QUEUEDIR defaults to the QuePath setting. Prints the path of the new .ini.\n";

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

// A recipient as "Name <addr>" or a bare address. A queued entry without a display name ends
// its list when the file is read, so a bare address is also its own display name.
void AddRecipient(maillib::TmsAddressList& list, const std::string& option,
                  const std::string& text) {
  maillib::TmsMailAddress address;
  try {
    maillib::ParseAddress(rtl::Trim(text), address);
  } catch (const std::exception& e) {
    throw BadInput{option + " " + text + ": " + e.what()};
  }
  if (address.Address.empty() || address.Address.str().find('@') == std::string::npos) {
    throw BadInput{option + " " + text + ": not a mail address"};
  }
  list.AddAddress(address.Address.str(),
                  address.Name.empty() ? address.Address.str() : address.Name.str());
}

std::string ReadAll(std::istream& stream) {
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace

int RunAddCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err) {
  mailer::TCustomMailer m;
  std::string queueDir, bodyFile;
  try {
    const std::map<std::string, std::string*> texts = {{"--from", &m.FromAddress},
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
      } else if (option == "--help") {
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
    if (m.FromAddress.empty()) throw BadInput{"--from is required"};
    if (m.ToList.Count() + m.CcList.Count() + m.BccList.Count() == 0) {
      throw BadInput{"no recipient: give --to, --cc or --bcc"};
    }
    if (m.RemoteHost.empty()) throw BadInput{"--relay is required: the relay host to deliver to"};
    for (const auto& path : m.Attachments) {
      if (!std::ifstream(path, std::ios::binary)) {
        throw BadInput{"cannot read the attachment " + path};
      }
    }
    std::string body;
    if (bodyFile.empty()) {
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
  if (queueDir.empty()) {
    settings::LoadSettings();
    queueDir = settings::Settings().QuePath;
    if (queueDir.empty()) {
      err << "larkq add: no queue directory given, and the QuePath setting is empty\n";
      return 1;
    }
  }
  if (!m.SaveToQueue(queueDir)) {
    err << "larkq add: " << m.LastResp << "\n";
    return 1;
  }
  out << m.QueueFile << "\n";
  return 0;
}

}  // namespace larkq
