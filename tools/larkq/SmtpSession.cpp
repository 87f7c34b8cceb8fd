#include "tools/larkq/SmtpSession.h"

#include <algorithm>
#include <charconv>
#include <istream>
#include <ostream>
#include <string_view>

#include "rtl/SysUtils.h"
#include "tools/larkq/SendmailCommand.h"

namespace larkq {
namespace {

struct Line {
  std::string text;
  bool ended = false;  // by a line feed, not by the end of the input
  bool cut = false;    // longer than what was kept
};

// One line without its LF and the CR before it. At most keep bytes are kept, so a line of any
// length costs no more memory than that. False at the end of the input with nothing read.
bool ReadLine(std::streambuf& in, size_t keep, Line& line) {
  line = Line{};
  bool any = false;
  for (int c; (c = in.sbumpc()) != std::char_traits<char>::eof();) {
    any = true;
    if (c == '\n') {
      line.ended = true;
      break;
    }
    // One byte more than kept, for the CR of a line that is just long enough.
    if (line.text.size() <= keep) {
      line.text += static_cast<char>(c);
    } else {
      line.cut = true;
    }
  }
  if (line.ended && line.text.ends_with('\r')) line.text.pop_back();
  if (line.text.size() > keep) {
    line.text.resize(keep);
    line.cut = true;
  }
  return any;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && rtl::UpperCase(text.substr(0, prefix.size())) == prefix;
}

// The mailbox of "FROM:<addr> params" or "TO:<addr> params" after its keyword, and the
// parameters; false when that is not its form. Brackets may be left out, as some clients do, and
// a source route is dropped as RFC 5321 asks.
bool ParsePath(std::string_view rest, std::string_view keyword, std::string& address,
               std::string& params) {
  if (!StartsWithNoCase(rest, keyword)) return false;
  const std::string path = rtl::TrimLeft(rest.substr(keyword.size()));
  size_t end;
  if (path.starts_with('<')) {
    end = path.find('>');
    if (end == std::string::npos) return false;
    address = path.substr(1, end - 1);
    ++end;
  } else {
    end = std::min(path.find(' '), path.size());
    address = path.substr(0, end);
    if (address.empty()) return false;
  }
  params = path.substr(end);
  if (!params.empty() && params[0] != ' ') return false;
  if (address.starts_with('@')) {
    const size_t colon = address.find(':');
    if (colon == std::string::npos) return false;
    address.erase(0, colon + 1);
  }
  return std::none_of(address.begin(), address.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// The SIZE a client announced in its MAIL parameters, 0 when none; false when it is no number.
// A number too large to hold counts as the largest one.
bool AnnouncedSize(const std::string& params, unsigned long long& size) {
  size = 0;
  for (size_t start = 0; start < params.size();) {
    const size_t end = std::min(params.find(' ', start), params.size());
    const std::string_view param = std::string_view(params).substr(start, end - start);
    start = end + 1;
    if (!StartsWithNoCase(param, "SIZE=")) continue;
    const char* last = param.data() + param.size();
    auto [stop, error] = std::from_chars(param.data() + 5, last, size);
    if (error == std::errc::result_out_of_range) size = ~0ULL;
    return param.size() > 5 && stop == last && error != std::errc::invalid_argument;
  }
  return true;
}

// A reply is always one line, whatever the queue's reason holds.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

class TSmtpSession {
 public:
  TSmtpSession(std::istream& in, std::ostream& out, const std::string& hostName,
               const TQueueMessage& queue)
      : in_(*in.rdbuf()), out_(out), hostName_(hostName), queue_(queue) {}

  int Run() {
    if (!Reply("220 " + hostName_ + " ESMTP ready")) return kSessionOutputFailed;
    Line line;
    while (ReadLine(in_, kMaxSmtpCommandLine, line)) {
      bool quit = false;
      const std::string reply = line.cut ? "500 5.5.2 line too long" : Command(line.text, quit);
      if (reply.empty()) return outputFailed_ ? kSessionOutputFailed : 0;
      if (!Reply(reply)) return kSessionOutputFailed;
      if (quit) return 0;
    }
    return 0;
  }

 private:
  bool Reply(const std::string& reply) {
    out_ << reply << "\r\n" << std::flush;
    return out_.good();
  }

  void Reset() {
    inMail_ = false;
    sender_.clear();
    recipients_.clear();
  }

  // The reply to one command line; empty only when the data phase ended the session.
  std::string Command(const std::string& line, bool& quit) {
    const size_t space = std::min(line.find(' '), line.size());
    const std::string verb = rtl::UpperCase(line.substr(0, space));
    const std::string arg = rtl::Trim(line.substr(space));
    if (verb == "HELO" || verb == "EHLO") {
      if (arg.empty()) return "501 5.5.4 Syntax: " + verb + " hostname";
      Reset();
      if (verb == "HELO") return "250 " + hostName_;
      return "250-" + hostName_ + "\r\n250-PIPELINING\r\n250-8BITMIME\r\n250-SIZE " +
             std::to_string(kMaxSendmailInput) + "\r\n250 ENHANCEDSTATUSCODES";
    }
    if (verb == "MAIL") return Mail(arg);
    if (verb == "RCPT") return Rcpt(arg);
    if (verb == "DATA") return Data(arg);
    if (verb == "RSET") {
      if (!arg.empty()) return "501 5.5.4 Syntax: RSET";
      Reset();
      return "250 2.0.0 Ok";
    }
    if (verb == "NOOP") return "250 2.0.0 Ok";
    if (verb == "QUIT") {
      quit = true;
      return "221 2.0.0 " + hostName_ + " closing";
    }
    if (verb == "VRFY") {
      if (arg.empty()) return "501 5.5.4 Syntax: VRFY address";
      return "252 2.0.0 Cannot verify the address, but mail to it is accepted";
    }
    if (verb == "HELP")
      return "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP";
    for (const char* known :
         {"EXPN", "TURN", "ETRN", "ATRN", "AUTH", "STARTTLS", "BDAT", "SEND", "SOML", "SAML"}) {
      if (verb == known) return "502 5.5.1 " + verb + " is not implemented";
    }
    return "500 5.5.2 Command not recognized";
  }

  std::string Mail(const std::string& arg) {
    if (inMail_) return "503 5.5.1 Nested MAIL command";
    std::string address, params;
    if (!ParsePath(arg, "FROM:", address, params)) return "501 5.5.4 Syntax: MAIL FROM:<address>";
    unsigned long long size;
    if (!AnnouncedSize(params, size)) return "501 5.5.4 Bad SIZE parameter";
    if (size > kMaxSendmailInput) {
      return "552 5.3.4 Message size exceeds the limit of " + std::to_string(kMaxSendmailInput) +
             " bytes";
    }
    inMail_ = true;
    sender_ = address;
    return "250 2.1.0 Ok";
  }

  std::string Rcpt(const std::string& arg) {
    if (!inMail_) return "503 5.5.1 Need MAIL command";
    std::string address, params;
    if (!ParsePath(arg, "TO:", address, params)) return "501 5.5.4 Syntax: RCPT TO:<address>";
    if (address.empty()) return "501 5.1.3 Bad recipient address syntax";
    if (recipients_.size() >= static_cast<size_t>(kMaxSendmailRecipients)) {
      return "452 4.5.3 Too many recipients";
    }
    recipients_.push_back(address);
    return "250 2.1.5 Ok";
  }

  std::string Data(const std::string& arg) {
    if (!arg.empty()) return "501 5.5.4 Syntax: DATA";
    if (!inMail_) return "503 5.5.1 Need MAIL command";
    if (recipients_.empty()) return "503 5.5.1 Need RCPT command";
    if (!Reply("354 End data with <CR><LF>.<CR><LF>")) {
      outputFailed_ = true;
      return "";
    }
    std::string text;
    bool tooBig = false;
    Line line;
    // Past the limit the data is still read to its end, so that the client gets its reply.
    while (true) {
      const size_t room = tooBig ? 1 : std::max<size_t>(kMaxSendmailInput - text.size(), 1);
      if (!ReadLine(in_, room, line) || !line.ended) return "";
      if (line.text == "." && !line.cut) break;
      if (line.text.starts_with('.')) line.text.erase(0, 1);
      // A line cut short fills the room to the limit, so with its line end it is past it.
      tooBig = tooBig || text.size() + line.text.size() + 2 > kMaxSendmailInput;
      if (!tooBig) text += line.text + "\r\n";
    }
    std::string reply;
    if (tooBig) {
      reply = "552 5.3.4 Message size exceeds the limit of " + std::to_string(kMaxSendmailInput) +
              " bytes";
    } else {
      try {
        reply = OneLine(queue_(sender_, recipients_, text));
        if (reply.empty()) reply = "451 4.3.0 The message was not queued";
      } catch (const std::exception& e) {
        reply = OneLine("451 4.3.0 The message was not queued: " + std::string(e.what()));
      }
    }
    Reset();
    return reply;
  }

  std::streambuf& in_;
  std::ostream& out_;
  const std::string& hostName_;
  const TQueueMessage& queue_;
  bool outputFailed_ = false;
  bool inMail_ = false;
  std::string sender_;
  std::vector<std::string> recipients_;
};

}  // namespace

int RunSmtpSession(std::istream& in, std::ostream& out, const std::string& hostName,
                   const TQueueMessage& queue) {
  return TSmtpSession(in, out, hostName, queue).Run();
}

}  // namespace larkq
