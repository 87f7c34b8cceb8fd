#include "settings/RelaySettings.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "rtl/Paths.h"
#include "rtl/Registry.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "winapi/winapi.h"

namespace settings {
namespace {

constexpr std::array<std::string_view, 6> kKnownValues = {
    "Security", "VerifyCertificate", "CAFile", "AuthUser", "PasswordFile", "HeloName"};
constexpr size_t kMaxPassword = 1024;
constexpr int kSmtpPort = 25;  // where the client goes when a relay names no port it can take

bool HoldsControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A value as a problem shows it: quoted, with control characters written out, so that a reason
// never carries a line break into a log line.
std::string Shown(std::string_view text) {
  std::string shown = "\"";
  for (char c : text) {
    shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7f
                 ? rtl::Format("\\x%02X", static_cast<unsigned char>(c))
                 : std::string(1, c);
  }
  return shown + "\"";
}

class TRelayReader {
 public:
  explicit TRelayReader(rtl::TRegistry& reg) : reg_(reg) {}

  TRelaySettings Read(const std::string& name) {
    TRelaySettings relay;
    for (const std::string& value : reg_.GetValueNames()) {
      if (std::none_of(kKnownValues.begin(), kKnownValues.end(), [&](std::string_view known) {
            return rtl::UpperCase(known) == rtl::UpperCase(value);
          })) {
        problems_.push_back("unknown value " + Shown(value));
      }
    }
    const size_t known = problems_.size();
    const std::string security = Text("Security");
    const std::string lower = rtl::LowerCase(security);
    if (lower == "starttls") {
      relay.Security = TRelaySecurity::StartTls;
    } else if (lower == "tls") {
      relay.Security = TRelaySecurity::Tls;
    } else if (!lower.empty() && lower != "none") {
      problems_.push_back("Security " + Shown(security) + " is none of none, starttls and tls");
    }
    const bool securityTaken = problems_.size() == known;
    relay.VerifyCertificate = Verify();
    relay.CAFile = Path("CAFile");
    relay.AuthUser = Text("AuthUser");
    if (HoldsControl(relay.AuthUser)) {
      problems_.push_back("AuthUser " + Shown(relay.AuthUser) + " holds a control character");
    }
    relay.PasswordFile = Path("PasswordFile");
    relay.HeloName = Text("HeloName");
    if (!relay.HeloName.empty() && !IsHeloName(relay.HeloName)) {
      problems_.push_back("HeloName " + Shown(relay.HeloName) +
                          " is neither a domain name nor an address literal");
    }
    if (!relay.AuthUser.empty() && relay.PasswordFile.empty()) {
      problems_.push_back("AuthUser is set without a PasswordFile");
    }
    if (relay.AuthUser.empty() && !relay.PasswordFile.empty()) {
      problems_.push_back("PasswordFile is set without an AuthUser");
    }
    // A Security that could not be taken is reported as such, not as a plain relay.
    if (!relay.AuthUser.empty() && securityTaken && relay.Security == TRelaySecurity::None) {
      problems_.push_back(
          "AuthUser needs Security starttls or tls: a password is never sent in the clear");
    }
    if (!problems_.empty()) {
      relay.Problem = "Relays\\" + name + ": ";
      for (size_t i = 0; i < problems_.size(); ++i) {
        relay.Problem += (i > 0 ? "; " : "") + problems_[i];
      }
    }
    return relay;
  }

 private:
  std::string TypeOf(const char* value) {
    DWORD type = REG_NONE;
    RegQueryValueExA(reg_.CurrentKey(), value, nullptr, &type, nullptr, nullptr);
    return rtl::RegTypeName(type);
  }

  std::string Text(const char* value) {
    try {
      return reg_.ReadString(value);
    } catch (const std::exception&) {
      problems_.push_back(std::string(value) + " is a " + TypeOf(value) + ", not a REG_SZ");
      return "";
    }
  }

  // A relative path would depend on the directory each program happens to run in.
  std::string Path(const char* value) {
    std::string path = Text(value);
    if (HoldsControl(path)) {
      problems_.push_back(std::string(value) + " " + Shown(path) + " holds a control character");
    } else if (!path.empty() && !std::filesystem::path(path).is_absolute()) {
      problems_.push_back(std::string(value) + " " + Shown(path) + " is not an absolute path");
    }
    return path;
  }

  // Anything but a clear 0 keeps the check, and is reported, so that a mistyped value never
  // silently lets any certificate through nor silently blocks the relay.
  bool Verify() {
    if (!reg_.ValueExists("VerifyCertificate")) return true;
    try {
      int value = reg_.ReadInteger("VerifyCertificate");
      if (value == 0 || value == 1) return value == 1;
      problems_.push_back(
          rtl::Format("VerifyCertificate is %u; it takes 0 or 1", static_cast<unsigned>(value)));
    } catch (const std::exception&) {
      problems_.push_back("VerifyCertificate is a " + TypeOf("VerifyCertificate") +
                          ", not a REG_DWORD of 0 or 1");
    }
    return true;
  }

  rtl::TRegistry& reg_;
  std::vector<std::string> problems_;
};

// The key a relay's settings are kept under: its host in upper case without a final dot, and
// the port the client connects to, written as a plain number. A port spelled another way
// ("0587"), left out, or one the client cannot take (it then uses 25) finds the same key as the
// port it reaches, so no spelling of a relay's name escapes the settings made for it.
struct TRelayKey {
  std::string host;
  std::string port;  // empty when the name gives none
};

TRelayKey KeyOf(const std::string& relay) {
  TRelayKey key{relay, ""};
  size_t colon = std::string::npos;  // before the port
  if (relay.starts_with('[')) {
    if (const size_t close = relay.find(']'); close != std::string::npos) {
      key.host = relay.substr(0, close + 1);
      if (relay.size() > close + 1 && relay[close + 1] == ':') colon = close + 1;
    }
  } else if (relay.find(':') == relay.rfind(':')) {  // a bare IPv6 address has no port
    colon = relay.find(':');
    key.host = relay.substr(0, colon);
  }
  if (key.host.size() > 1 && key.host.back() == '.') key.host.pop_back();
  key.host = rtl::UpperCase(key.host);
  if (colon != std::string::npos) {
    const int port = rtl::StrToIntDef(relay.substr(colon + 1), 0) & 0xFFFF;
    key.port = std::to_string(port == 0 ? kSmtpPort : port);
  }
  return key;
}

std::string KeyText(const TRelayKey& key) {
  return key.port.empty() ? key.host : key.host + ":" + key.port;
}

struct THandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};

std::string ProcessUserName() {
  char name[256];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string("unknown");
}

// Why an open of the password file failed, said as precisely as its directory lets us see.
std::string WhyNotOpened(const std::string& path, DWORD code) {
  std::string directory = rtl::ExtractFilePath(path);
  HANDLE dir = LarkOpenDirectoryA(nullptr, directory.empty() ? "." : directory.c_str(), 0);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  DWORD lookup = code;
  if (dir != INVALID_HANDLE_VALUE) {
    attributes = LarkGetFileAttributesAtA(dir, rtl::ExtractFileName(path).c_str());
    lookup = GetLastError();
    CloseHandle(dir);
  }
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
      (attributes == INVALID_FILE_ATTRIBUTES && lookup == ERROR_FILE_NOT_FOUND)) {
    return "does not exist";
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return "is a symbolic link, not a regular file";
  }
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
    return "is not a regular file";
  }
  return "cannot be opened by " + ProcessUserName() +
         ", the account that reads it: " + rtl::SysErrorMessage(code);
}

}  // namespace

TRelayMap LoadRelaySettings() {
  TRelayMap relays;
  rtl::TRegistry reg(KEY_READ);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(kRelaysKey, false)) return relays;
  const std::vector<std::string> names = reg.GetKeyNames();
  for (const std::string& name : names) {
    rtl::TRegistry relayKey(KEY_READ);
    relayKey.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!relayKey.OpenKey(kRelaysKey + name, false)) continue;
    relays[KeyText(KeyOf(name))] = TRelayReader(relayKey).Read(name);
  }
  return relays;
}

TRelaySettings RelaySettingsFor(const std::string& relay) {
  const TRelayMap& relays = Settings().Relays;
  TRelayKey key = KeyOf(relay);
  if (key.port.empty()) key.port = std::to_string(kSmtpPort);
  if (auto it = relays.find(KeyText(key)); it != relays.end()) return it->second;
  if (auto it = relays.find(key.host); it != relays.end()) return it->second;
  return {};
}

std::string ReadPasswordFile(const std::string& path) {
  auto refuse = [&](const std::string& why) -> EPasswordFile {
    return EPasswordFile("The password file " + path + " " + why);
  };
  std::unique_ptr<void, THandleCloser> file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                        nullptr, OPEN_EXISTING,
                                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    file.release();
    throw refuse(WhyNotOpened(path, code));
  }
  DWORD owner = 0, mode = 0, self = 0;
  if (!LarkGetFileOwnerAndMode(file.get(), &owner, &mode, &self)) {
    throw refuse("cannot be checked: " + rtl::SysErrorMessage(GetLastError()));
  }
  if (owner != self) {
    throw refuse(rtl::Format("is owned by user id %u, not by %s, the account that reads it", owner,
                             ProcessUserName().c_str()));
  }
  if ((mode & 066) != 0) {
    throw refuse(rtl::Format("has mode %04o, open to group or others: it needs chmod 600", mode));
  }
  // Two bytes past the limit for a line end, and one more to tell a longer file.
  std::string password(kMaxPassword + 3, '\0');
  DWORD total = 0;
  for (DWORD got = 1; got > 0 && total < password.size(); total += got) {
    if (!ReadFile(file.get(), password.data() + total, static_cast<DWORD>(password.size()) - total,
                  &got, nullptr)) {
      throw refuse("cannot be read: " + rtl::SysErrorMessage(GetLastError()));
    }
  }
  password.resize(total);
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) throw refuse("is empty");
  if (password.size() > kMaxPassword) throw refuse("is longer than 1 KB");
  // A second line or a NUL would end up inside the login the relay reads.
  if (password.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw refuse("holds more than one line or a NUL byte");
  }
  return password;
}

}  // namespace settings
