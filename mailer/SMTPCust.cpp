#include "mailer/SMTPCust.h"

#include "mailer/QueuedBody.h"
#include "rtl/DateTime.h"
#include "rtl/SysUtils.h"
#include "settings/RelaySettings.h"
#include "winapi/winapi.h"

namespace mailer {
namespace {

std::string PadRight(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

const char* MSMailPriority(uint8_t priority) {
  return priority == 0 ? "Low" : priority == 2 ? "High" : "Normal";
}

std::string HostAtImpl(std::string_view hosts, int index) {
  int word = 0;
  size_t i = 0;
  while (i < hosts.size()) {
    while (i < hosts.size() && (hosts[i] == ',' || hosts[i] == ';')) ++i;
    size_t start = i;
    while (i < hosts.size() && hosts[i] != ',' && hosts[i] != ';') ++i;
    if (i > start && word++ == index) return std::string(hosts.substr(start, i - start));
  }
  return "";
}

}  // namespace

std::string TCustomMailer::HostAt(int index) const { return HostAtImpl(RemoteHost, index); }

void TCustomMailer::PrepareRelay(net::TmsSMTP& client, int index) {
  client.Server = HostAt(index);
  const settings::TRelaySettings relay = settings::RelaySettingsFor(client.Server);
  CertificateUnchecked = false;
  if (!relay.Problem.empty()) throw ERelaySettingsError(relay.Problem);
  using settings::TRelaySecurity;
  client.Security = relay.Security == TRelaySecurity::Tls        ? net::TSmtpSecurity::Tls
                    : relay.Security == TRelaySecurity::StartTls ? net::TSmtpSecurity::StartTls
                                                                 : net::TSmtpSecurity::None;
  if (client.Security != net::TSmtpSecurity::None && !net::TlsAvailable()) {
    throw ERelaySettingsError(
        "The relay's settings require TLS, which is not built into this "
        "Larkpost; nothing was sent");
  }
  client.Tls = net::TTlsOptions{};
  client.Tls.Verify = relay.VerifyCertificate;
  client.Tls.CAFile = relay.CAFile;
  client.HeloName = HeloNameFixed || relay.HeloName.empty() ? HeloName : relay.HeloName;
  client.AuthUser = relay.AuthUser;
  client.Password = relay.AuthUser.empty() ? "" : settings::ReadPasswordFile(relay.PasswordFile);
  CertificateUnchecked = client.Security != net::TSmtpSecurity::None && !relay.VerifyCertificate;
  if (OnTrace) {
    const std::string host = client.Server;
    client.OnTrace = [this, host](net::TmsSMTP::TTraceSide side, std::string_view line) {
      OnTrace(host, side, line);
    };
  }
}

void TCustomMailer::RejectedRecipientHandler(const std::string& address, const std::string& reply,
                                             bool& proceed) {
  RefusedRecipients.push_back({address, reply});
  proceed = IgnoreRecipientErrors;
}

std::pair<std::string, std::string> WrapLine(std::string_view text, int margin) {
  // Positions count from 1, as the rule is written; at(p) is the character at position p.
  const int n = static_cast<int>(text.size());
  auto at = [&](int p) { return text[static_cast<size_t>(p - 1)]; };
  int end;
  if (n <= margin) {
    end = n;
  } else {
    end = margin;
    while (end <= n && at(end) != ' ') ++end;
    if (end > n) end = n;
    while (end > 0 && at(end) == ' ') --end;
    if (end > margin) {
      while (end > 0 && at(end) != ' ') --end;
      if (end == 0) {
        end = margin;
      } else {
        while (end > 0 && at(end) == ' ') --end;
      }
    }
  }
  size_t restStart = static_cast<size_t>(end);
  while (restStart < text.size() && text[restStart] == ' ') ++restStart;
  return {std::string(text.substr(0, static_cast<size_t>(end))),
          std::string(text.substr(restStart))};
}

void TCustomMailer::BuildBody(maillib::TmsCustomMessage& message) const {
  auto& body = message.Body;
  body.Clear();
  // A composed message's lines are its author's: wrapping would change it.
  const bool wrap = WordWrap && !Composed;
  if (QueuedBody) {
    message.SetBodyText(QueuedBody->Text(wrap ? WordWrapLength : 0));
    return;
  }
  for (const std::string& line : BodyLines) {
    // A margin below 1 cannot wrap anything: such lines go out as they are.
    if (!wrap || WordWrapLength < 1 || line.empty()) {
      body.Add(line);
      continue;
    }
    std::string_view rest = line;
    while (!rest.empty()) {
      while (rest.starts_with("\r\n")) {
        body.Add("");
        rest.remove_prefix(2);
      }
      if (rest.empty()) break;
      size_t cut = rest.find_first_of("\r\n");
      std::string piece(rest.substr(0, cut));
      rest.remove_prefix(cut == std::string_view::npos ? rest.size() : cut);
      if (rest.starts_with("\r\n")) rest.remove_prefix(2);
      do {
        auto [first, remainder] = WrapLine(piece, WordWrapLength);
        body.Add(first);
        piece = remainder;
      } while (!piece.empty());
    }
  }
}

std::string FormatMailDate(const char* zoneName) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  TIME_ZONE_INFORMATION zone;
  DWORD which = GetTimeZoneInformation(&zone);
  long bias = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  rtl::TDateTime utc = rtl::Now() + static_cast<double>(bias) / 1440.0;
  int year, month, day, hour, minute, second, ms;
  rtl::DecodeDate(utc, year, month, day);
  rtl::DecodeTime(utc, hour, minute, second, ms);
  // 1899-12-30, day 0, was a Saturday.
  auto days = static_cast<long long>(rtl::EncodeDate(year, month, day));
  int weekday = static_cast<int>(((days % 7) + 7 + 6) % 7);
  return rtl::Format("%s, %02d %s %4d %02d:%02d:%02d %s", kDays[weekday], day, kMonths[month - 1],
                     year, hour, minute, second, zoneName);
}

bool TCustomMailer::Send() {
  try {
    net::TmsSMTP client;
    client.SetWinsockLoaded(true);
    maillib::TmsMessage message;
    client.OnAddressRejected = [this](const std::string& address, const std::string& reply,
                                      bool& proceed) {
      RejectedRecipientHandler(address, reply, proceed);
    };
    RefusedRecipients.clear();
    AcceptedBy.clear();
    bool handedOver = false;
    try {
      if (!QueueFile.empty()) LoadFromQueue();
      BuildMessage(message);
      client.SetTimeOut(TimeOut);
      client.SuppressBody = SuppressMsgBody;
      client.SetMailMessage(&message);
      handedOver = true;
      PrepareRelay(client, 0);
      client.Transmit();
      AcceptedBy = client.Server;
      return true;
    } catch (const std::exception& e) {
      LastResp = e.what();
      // A message that could not be loaded or built is not tried at the second relay: that
      // attempt could only report a missing message and would hide the real reason.
      if (!handedOver || rtl::Trim(HostAt(1)).empty()) return false;
    }
    RefusedRecipients.clear();
    try {
      PrepareRelay(client, 1);
      client.Transmit();
      AcceptedBy = client.Server;
      return true;
    } catch (const std::exception& e) {
      LastResp = e.what();
      return false;
    }
  } catch (const std::exception& e) {
    LastResp = e.what();
    return false;
  }
}

void TCustomMailer::BuildMessage(maillib::TmsMessage& message) {
  if (FromAddress.empty()) throw EEmptyFromAddress("FromAddress Property cannot be blank.");
  message.Sender.Address = Composed && FromAddress == kNullSender ? "" : FromAddress;
  message.Sender.Name = FromName;
  auto copy = [](const maillib::TmsAddressList& from, maillib::TmsAddressList& to) {
    for (int i = 0; i < from.Count(); ++i) {
      to.AddAddress(from.Items(i).Address.str(), from.Items(i).Name.str());
    }
  };
  copy(ToList, message.Recipients);
  copy(CcList, message.CC);
  copy(BccList, message.BCC);
  auto summarize = [&](const std::string& date) {
    Summary = PadRight(FromAddress, 29) + " " + PadRight(Subject.substr(0, 19), 19) + " " +
              PadRight(date, 14);
    if (message.Recipients.Count() > 0) {
      Summary += " " + message.Recipients.Items(0).Address.str();
    }
  };
  if (Composed) {
    message.Composed = true;
    message.Subject = Subject;
    BuildBody(message);
    summarize(DateTime.empty() ? FormatMailDate() : DateTime);
    return;
  }
  message.Encoding = Encoding == 2 ? maillib::meMIME : maillib::meUU;
  message.CharSet = CharSet == 2 ? maillib::csISO8859 : maillib::csUSASCII;
  if (!CustomCharSet.empty()) message.CustomCharSet = CustomCharSet;
  auto& headers = message.Headers;
  for (const auto& line : ExtraHdrs) headers.Add(line);
  message.Priority = static_cast<maillib::TPriority>(Priority);
  if (Urgent) headers.Add("Priority: urgent");
  headers.Add("Date: " + (DateTime.empty() ? FormatMailDate() : DateTime));
  if (!Organization.empty()) headers.Add("Organization: " + Organization);

  summarize(headers.GetFieldValue("Date"));

  if (ConfirmRead) headers.Add("X-Confirm-Reading-To: <" + FromAddress + ">");
  message.ReturnReceipt = ReturnReceipt;
  if (!ReturnReceipt) message.RemoveRRHeader = false;
  if (UseMSMailHeaders) headers.Add(std::string("X-MSMail-Priority: ") + MSMailPriority(Priority));
  if (!ReplyTo.empty()) headers.Add("Reply-To: " + ReplyTo);
  message.Subject = Subject;
  BuildBody(message);
  for (const auto& path : Attachments) message.Attachments.AddFile(path);
  headers.Add("X-mailer: Pelibox 3.0");
  if (!ContentType.empty() && Attachments.Count() == 0) {
    message.DetermineContentType = false;
    message.SetContentType(ContentType);
  }
}

}  // namespace mailer
