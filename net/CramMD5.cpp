// CRAM-MD5's keyed digest comes from OpenSSL, which the Linux build loads when a relay needs it.
#include "maillib/codecs.h"
#include "net/OpenSsl.h"
#include "net/SmtpAuth.h"
#include "net/agsocket.h"

namespace net {

std::string AuthCramMD5Response(std::string_view user, std::string_view password,
                                std::string_view challenge) {
  maillib::TBase64Decoder decoder;
  decoder.Feed(challenge);
  const std::string decoded = decoder.TakeBytes();
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
  return AuthBase64(response);
}

}  // namespace net
