#include "settings/RelaySettings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

#include "rtl/Registry.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

namespace {

using settings::TRelaySecurity;
using Values = std::vector<std::pair<const char*, const char*>>;

class RelaySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::Settings() = settings::TSettings{}; }
  // A text after "#" is written as a REG_DWORD.
  void Write(const std::string& relay, const Values& values) {
    rtl::TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.DeleteKey(settings::kRelaysKey + relay);
    ASSERT_TRUE(reg.OpenKey(settings::kRelaysKey + relay, true));
    for (auto [name, text] : values) {
      if (text[0] == '#') reg.WriteInteger(name, std::atoi(text + 1));
      if (text[0] != '#') reg.WriteString(name, text);
    }
  }
  testing_support::MachineRoot root_;
};

TEST_F(RelaySettingsTest, EachValueIsTakenOrItsProblemNamed) {
  struct Case {
    Values values;
    const char* taken;    // security, verify, CAFile, AuthUser, PasswordFile, HeloName
    const char* problem;  // after "Relays\relay.example: "
  } cases[] = {
      {{}, "0 1    ", ""},
      {{{"Security", "STARTTLS"},
        {"VerifyCertificate", "#0"},
        {"CAFile", "/etc/ca.pem"},
        {"AuthUser", "me"},
        {"PasswordFile", "/etc/pw"},
        {"HeloName", "client.example.org"}},
       "1 0 /etc/ca.pem me /etc/pw client.example.org",
       ""},
      {{{"Security", "Tls"}, {"VerifyCertificate", "#1"}}, "2 1    ", ""},
      {{{"Security", "ssl"}}, "0 1    ", "Security \"ssl\" is none of none, starttls and tls"},
      {{{"Security", "#2"}}, "0 1    ", "Security is a REG_DWORD, not a REG_SZ"},
      {{{"Securty", "tls"}}, "0 1    ", "unknown value \"Securty\""},
      {{{"VerifyCertificate", "0"}}, "0 1    ", "VerifyCertificate is a REG_SZ, not a REG_DWORD"},
      {{{"VerifyCertificate", "#2"}}, "0 1    ", "VerifyCertificate is 2; it takes 0 or 1"},
      {{{"HeloName", "two words"}}, "0 1    two words", "HeloName \"two words\" is neither"},
      {{{"Security", "tls"}, {"CAFile", "ca.pem"}}, "2 1 ca.pem   ", "is not an absolute path"},
      {{{"Security", "tls"}, {"AuthUser", "me"}}, "2 1  me  ", "AuthUser is set without a Pass"},
      {{{"Security", "tls"}, {"PasswordFile", "/pw"}}, "2 1   /pw ", "without an AuthUser"},
      {{{"AuthUser", "me"}, {"PasswordFile", "/pw"}}, "0 1  me /pw ", "AuthUser needs Security"},
      {{{"Security", "tls"}, {"AuthUser", "me\r\nQUIT"}, {"PasswordFile", "/pw"}},
       "2 1  me\r\nQUIT /pw ",
       "AuthUser \"me\\x0D\\x0AQUIT\" holds a control character"},
  };
  for (const auto& c : cases) {
    Write("relay.example", c.values);
    settings::LoadSettings();
    auto r = settings::RelaySettingsFor("relay.example");
    EXPECT_EQ(std::to_string(static_cast<int>(r.Security)) + " " +
                  std::to_string(r.VerifyCertificate) + " " + r.CAFile + " " + r.AuthUser + " " +
                  r.PasswordFile + " " + r.HeloName,
              c.taken);
    const std::string expected = *c.problem ? std::string("Relays\\relay.example: ") : "";
    EXPECT_EQ(r.Problem.substr(0, expected.size()), expected) << c.taken;
    EXPECT_NE(r.Problem.find(c.problem), std::string::npos) << r.Problem;
  }
}

TEST_F(RelaySettingsTest, ARelayFindsItsKeyWithItsPortThenWithoutAnyCase) {
  Write("mail.example.net", {{"Security", "tls"}});
  Write("MAIL.example.net:587", {{"Security", "starttls"}});
  Write("[2001:DB8::25]", {{"Security", "tls"}});
  Write("[2001:db8::25]:587", {{"Security", "starttls"}});
  settings::LoadSettings();
  for (auto [relay, security] : {std::pair{"mail.example.net", TRelaySecurity::Tls},
                                 {"Mail.Example.Net:587", TRelaySecurity::StartTls},
                                 {"mail.example.net:2525", TRelaySecurity::Tls},
                                 {"[2001:db8::25]", TRelaySecurity::Tls},
                                 {"[2001:db8::25]:587", TRelaySecurity::StartTls},
                                 {"[2001:db8::25]:25", TRelaySecurity::Tls},
                                 {"other.example:587", TRelaySecurity::None}}) {
    EXPECT_EQ(settings::RelaySettingsFor(relay).Security, security) << relay;
  }
  // Deliveries look at the loaded record, never the hive, until the next load.
  rtl::TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.DeleteKey(settings::kRelaysKey));
  EXPECT_EQ(settings::RelaySettingsFor("mail.example.net").Security, TRelaySecurity::Tls);
  settings::LoadSettings();
  EXPECT_EQ(settings::RelaySettingsFor("mail.example.net").Security, TRelaySecurity::None);
}

// The service runs as its own account, so each refusal is met by a reader that is not root.
TEST(PasswordFileTest, OnlyAFileOfTheServiceAccountThatNobodyElseMayReadIsTaken) {
  if (std::system("test $(id -u) = 0 && command -v runuser >/dev/null") != 0) {
    GTEST_SKIP() << "needs root and runuser to read as nobody";
  }
  testing_support::TempDir dir;
  std::filesystem::permissions(dir.Path(), std::filesystem::perms(0755));
  struct Case {
    const char* name;
    std::string contents;
    const char* owner;
    int mode;
    std::string read;
  } cases[] = {
      {"good", "s3cret\n", "nobody", 0600, "s3cret"},
      {"longest", std::string(1024, 'x') + "\r\n", "nobody", 0400, std::string(1024, 'x')},
      {"long", std::string(1025, 'x'), "nobody", 0600, "is longer than 1 KB"},
      {"empty", "\n", "nobody", 0600, "is empty"},
      {"lines", "one\ntwo\n", "nobody", 0600, "holds more than one line"},
      {"group", "s3cret", "nobody", 0640,
       "has mode 0640, which lets group or others read or "
       "write it: it needs chmod 600"},
      {"others", "s3cret", "nobody", 0602, "has mode 0602"},
      {"roots", "s3cret", "root", 0644,
       "is owned by user id 0, not by the service's account "
       "(nobody)"},
      {"closed", "s3cret", "root", 0600, "cannot be opened by the service's account (nobody)"},
  };
  for (const auto& c : cases) {
    dir.WriteFile(c.name, c.contents);
    std::filesystem::permissions(dir / c.name, std::filesystem::perms(c.mode));
    ASSERT_EQ(std::system(("chown " + std::string(c.owner) + " " + (dir / c.name)).c_str()), 0);
  }
  std::filesystem::create_symlink(dir / "good", dir / "link");
  std::filesystem::create_directory(dir / "directory");
  auto readAsNobody = [](const std::string& path) {
    FILE* pipe = popen(("timeout 30 runuser -u nobody -- " PASSWORD_PROBE " " + path).c_str(), "r");
    std::string out;
    for (int ch; pipe != nullptr && (ch = std::fgetc(pipe)) != EOF;) out += static_cast<char>(ch);
    if (pipe != nullptr) pclose(pipe);
    return out;
  };
  auto expectRead = [&](const std::string& name, const std::string& read) {
    const bool refused = read.find(' ') != std::string::npos;
    const std::string expected = refused ? "The password file " + (dir / name) + " " + read : read;
    const std::string out = readAsNobody(dir / name);
    EXPECT_EQ(refused ? out.substr(0, expected.size()) : out, expected) << out;
  };
  for (const auto& c : cases) expectRead(c.name, c.read);
  expectRead("missing", "does not exist");
  expectRead("link", "is a symbolic link, not a regular file");
  expectRead("directory", "is not a regular file");
}

}  // namespace
