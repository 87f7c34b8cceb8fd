#include "tools/larkq/LocalNames.h"

#include <algorithm>

#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "winapi/winapi.h"

namespace larkq {
namespace {

std::string ComputerName(COMPUTER_NAME_FORMAT format) {
  char name[256];
  DWORD size = sizeof name;
  return GetComputerNameExA(format, name, &size) ? std::string(name, size) : "";
}

// Where "@domain" goes in each item of an address list that names a bare name: before the ">" of
// "<name>", else after the last character of a bare "name" outside its comments. Quoted strings,
// comments and brackets are skipped as RFC 5322 has them; a group's label is no address.
std::vector<size_t> BareNameEnds(std::string_view value) {
  std::vector<size_t> ends;
  int comment = 0;
  bool quoted = false, angle = false, atSign = false, text = false, hadAngle = false;
  size_t angleStart = 0, lastText = 0;
  auto endItem = [&] {
    if (!hadAngle && text && !atSign) ends.push_back(lastText + 1);
    atSign = text = hadAngle = false;
  };
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = false;
        lastText = i;
      }
    } else if (comment > 0) {
      if (c == '\\') ++i;
      comment += c == '(' ? 1 : c == ')' ? -1 : 0;
    } else if (angle) {
      if (c == '>') {
        const std::string_view inner = value.substr(angleStart + 1, i - angleStart - 1);
        if (inner.find('@') == std::string_view::npos &&
            inner.find_first_not_of(" \t\r\n") != std::string_view::npos) {
          ends.push_back(i);
        }
        angle = false;
      }
    } else if (c == '"') {
      quoted = text = true;
    } else if (c == '(') {
      comment = 1;
    } else if (c == '<') {
      angle = hadAngle = true;
      angleStart = i;
    } else if (c == ',' || c == ';') {
      endItem();
    } else if (c == ':') {
      atSign = text = hadAngle = false;
    } else if (c == '@') {
      atSign = true;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      text = true;
      lastText = i;
    }
  }
  endItem();
  return ends;
}

}  // namespace

TLocalNames::TLocalNames(std::string domain, std::string adminAddress,
                         std::vector<std::string> hostNames)
    : domain_(std::move(domain)), admin_(std::move(adminAddress)) {
  for (const auto& name : hostNames) {
    if (!name.empty()) hostNames_.push_back(rtl::UpperCase(name));
  }
}

TLocalNames TLocalNames::FromSettings() {
  const settings::TSettings& s = settings::Settings();
  std::string full = ComputerName(ComputerNameDnsFullyQualified);
  std::string domain = s.DefaultDomain.empty() ? full : s.DefaultDomain;
  if (domain.empty()) domain = "localhost";
  return TLocalNames(
      domain, rtl::Trim(s.AdminAddress),
      {full, ComputerName(ComputerNameDnsHostname), "localhost", "localhost.localdomain"});
}

std::string TLocalNames::Qualified(std::string_view address) const {
  if (address.find('@') != std::string_view::npos) return std::string(address);
  return std::string(address) + "@" + domain_;
}

std::string TLocalNames::QualifiedField(std::string_view value) const {
  std::string qualified(value);
  const std::vector<size_t> ends = BareNameEnds(value);
  for (auto end = ends.rbegin(); end != ends.rend(); ++end) qualified.insert(*end, "@" + domain_);
  return qualified;
}

std::string TLocalNames::Recipient(std::string_view address) const {
  if (admin_.empty()) return Qualified(address);
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos) return admin_;
  const std::string host = rtl::UpperCase(address.substr(at + 1));
  const bool own = std::find(hostNames_.begin(), hostNames_.end(), host) != hostNames_.end();
  return own ? admin_ : std::string(address);
}

}  // namespace larkq
