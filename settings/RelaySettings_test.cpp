#include "settings/RelaySettings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "rtl/Registry.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

namespace {

// Writes a relay's key afresh from "Name=text;..." ("#" before a REG_DWORD) and loads the settings.
void LoadRelay(const std::string& relay, const std::string& values) {
  rtl::TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  reg.DeleteKey(settings::kRelaysKey + relay);
  ASSERT_TRUE(reg.OpenKey(settings::kRelaysKey + relay, true));
  std::istringstream in(values);
  for (std::string name, text; std::getline(in, name, '=') && std::getline(in, text, ';');)
    text[0] == '#' ? reg.WriteInteger(name, std::stoi(&text[1])) : reg.WriteString(name, text);
  settings::LoadSettings();
}

TEST(RelaySettingsTest, EachValueIsTakenOrEveryProblemNamed) {
  testing_support::MachineRoot root;
  // What is taken: Security, VerifyCertificate, CAFile, AuthUser, PasswordFile, HeloName.
  struct Case {
    const char *values, *taken, *problem;
  } cases[] = {
      {"", "0 1    ", ""},
      {"Security=STARTTLS;VerifyCertificate=#0;CAFile=/ca;AuthUser=u;PasswordFile=/p;HeloName=h.a",
       "1 0 /ca u /p h.a", ""},
      {"Security=ssl;Securty=tls;VerifyCertificate=0;CAFile=ca.pem;PasswordFile=/pw;HeloName=a b",
       "0 1 ca.pem  /pw a b",
       "unknown value \"Securty\"; Security \"ssl\" is none of none, starttls and tls; "
       "VerifyCertificate is a REG_SZ, not a REG_DWORD of 0 or 1; CAFile \"ca.pem\" is not an "
       "absolute path; HeloName \"a b\" is neither a domain name nor an address literal; "
       "PasswordFile is set without an AuthUser"},
      {"Security=#2;VerifyCertificate=#2;AuthUser=me\r\nQUIT", "0 1  me\r\nQUIT  ",
       "Security is a REG_DWORD, not a REG_SZ; VerifyCertificate is 2; it takes 0 or 1; AuthUser "
       "\"me\\x0D\\x0AQUIT\" holds a control character; AuthUser is set without a PasswordFile"},
      {"AuthUser=u;PasswordFile=/p", "0 1  u /p ",
       "AuthUser needs Security starttls or tls: a password is never sent in the clear"},
  };
  // Absolute paths as the platform writes them: "/ca" stands for C:\ca on Windows.
  const std::string top = std::filesystem::current_path().root_path().string();
  const auto rooted = [&](std::string text) {
    for (size_t at = 0; (at = text.find('/', at)) != std::string::npos; at += top.size())
      text.replace(at, 1, top);
    return text;
  };
  for (const auto& c : cases) {
    LoadRelay("relay.example", rooted(c.values));
    auto r = settings::RelaySettingsFor("relay.example");
    EXPECT_EQ(std::to_string(static_cast<int>(r.Security)) + " " +
                  std::to_string(r.VerifyCertificate) + " " + r.CAFile + " " + r.AuthUser + " " +
                  r.PasswordFile + " " + r.HeloName,
              rooted(c.taken));
    EXPECT_EQ(r.Problem, *c.problem ? std::string("Relays\\relay.example: ") + c.problem : "");
  }
}

TEST(RelaySettingsTest, ARelayFindsItsKeyWithItsPortThenWithoutAnyCase) {
  testing_support::MachineRoot root;
  for (const char* key : {"mail.example.net", "[2001:DB8::25]"}) LoadRelay(key, "Security=TLS");
  for (const char* key : {"MAIL.net:587", "[2001:db8::25]:587", "port25.example:0025"})
    LoadRelay(key, "Security=starttls");
  // Every spelling of a port, as the client reads it, finds the key of the port it reaches.
  for (std::string c :
       {"Mail.Example.Net=2", "mail.example.net:25=2", "mail.net:587=1", "mail.net=0",
        "[2001:db8::25]=2", "[2001:db8::25]:587=1", "[2001:db8::25]:25=2", "mail.net:0587=1",
        "mail.net.:587=1", "mail.net:66123=1", "port25.example=1", "port25.example:abc=1",
        "port25.example:26=0"}) {
    auto security = settings::RelaySettingsFor(c.substr(0, c.find('='))).Security;
    EXPECT_EQ(std::to_string(static_cast<int>(security)), c.substr(c.find('=') + 1)) << c;
  }
}

}  // namespace
