#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "winapi/posix/internal.h"
#include "winapi/winapi.h"

namespace {

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// The resolver's canonical name of the host; a host the resolver does not know keeps its own name.
std::string FullyQualifiedName() {
  const std::string host = HostName();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return host;
  std::string name = found->ai_canonname != nullptr ? found->ai_canonname : host;
  freeaddrinfo(found);
  return name.find('.') != std::string::npos ? name : host;
}

BOOL CopyOut(const std::string& text, LPSTR buffer, LPDWORD size, DWORD tooSmall, bool countNul) {
  if (size == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr || *size <= text.size()) {
    *size = static_cast<DWORD>(text.size() + 1);
    return lark::Fail(tooSmall);
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *size = static_cast<DWORD>(text.size() + (countNul ? 1 : 0));
  return TRUE;
}

}  // namespace

BOOL WINAPI GetComputerNameExA(COMPUTER_NAME_FORMAT NameType, LPSTR lpBuffer, LPDWORD nSize) {
  std::string name;
  switch (NameType) {
    case ComputerNameNetBIOS:
    case ComputerNameDnsHostname:
      name = HostName();
      name = name.substr(0, name.find('.'));
      break;
    case ComputerNameDnsDomain: {
      const std::string full = FullyQualifiedName();
      const size_t dot = full.find('.');
      name = dot == std::string::npos ? "" : full.substr(dot + 1);
      break;
    }
    case ComputerNameDnsFullyQualified:
      name = FullyQualifiedName();
      break;
    default:
      return lark::Fail(ERROR_INVALID_PARAMETER);
  }
  return CopyOut(name, lpBuffer, nSize, ERROR_MORE_DATA, false);
}

BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
  char buffer[4096];
  passwd entry{};
  passwd* found = nullptr;
  const uid_t uid = geteuid();
  std::string name = getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found
                         ? found->pw_name
                         : std::to_string(uid);
  return CopyOut(name, lpBuffer, pcbBuffer, ERROR_INSUFFICIENT_BUFFER, true);
}
