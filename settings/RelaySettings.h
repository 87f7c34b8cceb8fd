// What the service does with one relay beyond plain SMTP: transport security, the certificate
// check, the account it logs in with and the name it gives. Each relay's settings are a key
// under HKLM\SOFTWARE\Quobex\LRKP\Relays, loaded with the other settings once per start.
#pragma once

#include <map>
#include <string>

#include "rtl/Exception.h"

namespace settings {

enum class TRelaySecurity { None, StartTls, Tls };

struct TRelaySettings {
  TRelaySecurity Security = TRelaySecurity::None;  // "none" / "starttls" / "tls" (any case)
  bool VerifyCertificate = true;                   // REG_DWORD, default 1
  std::string CAFile;                              // REG_SZ
  std::string AuthUser;                            // REG_SZ
  std::string PasswordFile;                        // REG_SZ
  std::string HeloName;                            // REG_SZ, checked with IsHeloName
  // A value that is set but invalid (Security "ssl", a HeloName no relay would take, AuthUser
  // without PasswordFile or the reverse, AuthUser with Security none, a control character in
  // a name): the reason, naming the key and value. A relay with a problem is never tried.
  std::string Problem;
};

// The relays' settings by key name in upper case, as LoadSettings keeps them.
using TRelayMap = std::map<std::string, TRelaySettings>;

inline constexpr const char* kRelaysKey = "SOFTWARE\\Quobex\\LRKP\\Relays\\";

RTL_EXCEPTION_CLASS(EPasswordFile, rtl::Exception);

// Every key under Relays; none when there is no such key. Never fails: whatever cannot be taken
// is the Problem of its relay.
TRelayMap LoadRelaySettings();

// The settings of a relay as a message names it in RemoteHost ("mail.example.net",
// "mail.example.net:587", "[2001:db8::25]:587", "192.0.2.7:2525"): the key
// HKLM\SOFTWARE\Quobex\LRKP\Relays\<that text> when there is one, else the key of its host
// without the port, else the defaults. Names compare without regard to case. Looks only at what
// the last LoadSettings found, so a delivery never reads the hive.
TRelaySettings RelaySettingsFor(const std::string& relay);

// The password in path, without a trailing line end. Raises EPasswordFile with a reason that
// names the path when the file is missing, not a regular file, not owned by the user the process
// runs as, readable or writable by group or others, empty, or longer than 1 KB. Read at each use,
// so a changed password needs no restart.
std::string ReadPasswordFile(const std::string& path);

}  // namespace settings
