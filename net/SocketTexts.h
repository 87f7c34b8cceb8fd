// The numbered texts of socket errors: the component's own codes (57000 to 57021), the mail
// classes' codes it raises, and Winsock's codes (10000 to 11004), each with its number in brackets.
#pragma once

#include <string>

namespace net {

inline constexpr int kTimedOut = 57000;
inline constexpr int kCanceled = 57001;
inline constexpr int kServerRequired = 57002;
inline constexpr int kInvalidWinsockVersion = 57003;
inline constexpr int kResolveError = 57004;
inline constexpr int kServiceNameRequired = 57005;
inline constexpr int kNotConnected = 57008;

// The text of code, or "Error #" and the code when there is none.
std::string SocketErrorText(int code);

}  // namespace net
