#include "net/SmtpAuth.h"

#include <algorithm>

#include "maillib/codecs.h"
#include "net/OpenSsl.h"
#include "net/agsocket.h"
#include "rtl/SysUtils.h"

namespace net {
namespace {

// Base64 of any length: the line codec takes 57 bytes at a time, which end on a whole group.
std::string Base64(std::string_view bytes) {
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += 57)
    out += maillib::Base64EncodeLine(bytes.substr(at, 57));
  return out;
}

bool IsReplyCode(std::string_view line) {
  return line.size() >= 4 &&
         std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; }) &&
         (line[3] == '-' || line[3] == ' ');
}

}  // namespace

std::vector<std::string> OfferedAuthMechanisms(std::string_view ehloReply) {
  std::vector<std::string> offered;
  while (!ehloReply.empty()) {
    const size_t end = std::min(ehloReply.find('\n'), ehloReply.size());
    std::string line = rtl::UpperCase(ehloReply.substr(0, end));
    ehloReply.remove_prefix(std::min(end + 1, ehloReply.size()));
    if (IsReplyCode(line)) line.erase(0, 4);
    std::replace(line.begin(), line.end(), '\r', ' ');
    if (line.size() < 5 || line.compare(0, 4, "AUTH") != 0 || (line[4] != ' ' && line[4] != '='))
      continue;
    for (size_t at = 5; at < line.size();) {
      const size_t stop = std::min(line.find(' ', at), line.size());
      std::string name = line.substr(at, stop - at);
      if (!name.empty() && std::find(offered.begin(), offered.end(), name) == offered.end())
        offered.push_back(std::move(name));
      at = stop + 1;
    }
  }
  return offered;
}

TAuthMechanism ChooseAuthMechanism(const std::vector<std::string>& offered) {
  for (TAuthMechanism mechanism : {amPlain, amLogin, amCramMD5}) {
    if (std::find(offered.begin(), offered.end(), AuthMechanismName(mechanism)) != offered.end())
      return mechanism;
  }
  if (offered.empty()) throw EServerError("the relay does not offer AUTH");
  std::string names;
  for (const auto& name : offered) names += (names.empty() ? "" : " ") + name;
  throw EServerError(
      "the relay offers none of the AUTH mechanisms PLAIN, LOGIN and CRAM-MD5 (it offers " + names +
      ")");
}

const char* AuthMechanismName(TAuthMechanism mechanism) {
  switch (mechanism) {
    case amPlain:
      return "PLAIN";
    case amLogin:
      return "LOGIN";
    case amCramMD5:
      return "CRAM-MD5";
  }
  return "";
}

std::string AuthPlainResponse(std::string_view user, std::string_view password) {
  std::string message(1, '\0');
  message.append(user).append(1, '\0').append(password);
  return Base64(message);
}

std::string AuthLoginResponse(std::string_view text) { return Base64(text); }

std::string AuthCramMD5Response(std::string_view user, std::string_view password,
                                std::string_view challenge) {
  maillib::TBase64Decoder decoder;
  decoder.Feed(challenge);
  const std::string decoded = decoder.Bytes();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (OpenSsl().HMAC(OpenSsl().EVP_md5(), password.data(), static_cast<int>(password.size()),
                     reinterpret_cast<const unsigned char*>(decoded.data()), decoded.size(), digest,
                     &length) == nullptr) {
    throw ESocketError("CRAM-MD5 is not available: this system's OpenSSL refuses MD5");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string response(user);
  response += ' ';
  for (unsigned int i = 0; i < length; ++i) {
    response += kHex[digest[i] >> 4];
    response += kHex[digest[i] & 15];
  }
  return Base64(response);
}

}  // namespace net
