// SMTP AUTH for the client: which mechanism to use with a relay, from what its EHLO reply offers,
// and what each mechanism answers. No I/O here: the SMTP client carries the lines, each answer
// given here as the Base64 text of one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace net {

enum TAuthMechanism : uint8_t { amPlain, amLogin, amCramMD5 };

// The mechanism names (upper case, each once) a relay offers in its EHLO reply: the reply's
// lines, with or without their codes and line ends ("250-AUTH PLAIN LOGIN", the older
// "250-AUTH=LOGIN", any case). Empty when it offers none.
std::vector<std::string> OfferedAuthMechanisms(std::string_view ehloReply);
// PLAIN, else LOGIN, else CRAM-MD5, which sends the password only as a keyed hash but keeps it
// on the relay in a form that works as the password. EServerError saying what the relay offers
// when it offers none of these.
TAuthMechanism ChooseAuthMechanism(const std::vector<std::string>& offered);
const char* AuthMechanismName(TAuthMechanism mechanism);

// An answer's bytes as the one line of Base64 it is sent as.
std::string AuthBase64(std::string_view bytes);
// The initial response of PLAIN: no authorization identity, the user and the password.
std::string AuthPlainResponse(std::string_view user, std::string_view password);
// LOGIN's answer to each prompt: the user, then the password.
std::string AuthLoginResponse(std::string_view text);
// CRAM-MD5's answer to the challenge as the relay sent it (Base64): the user and the
// lower-case hex HMAC-MD5 of the decoded challenge keyed with the password.
std::string AuthCramMD5Response(std::string_view user, std::string_view password,
                                std::string_view challenge);

}  // namespace net
