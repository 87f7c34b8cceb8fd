#include "settings/RegSet.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/Registry.h"
#include "testing/TempDir.h"

namespace {

using settings::Settings;

std::string Delim() { return std::string(1, rtl::PathDelim); }

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings() = settings::TSettings{}; }
  void Write(const char* name, DWORD type, const std::string& data) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings::kSettingsKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void WriteDword(const char* name, int value) {
    Write(name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
  }
  void WriteText(const char* name, const std::string& text, DWORD type = REG_SZ) {
    Write(name, type, text + '\0');
  }
  testing_support::MachineRoot root_;
};

TEST_F(SettingsTest, AnAbsentOrEmptyKeyLeavesTheStartValues) {
  settings::LoadSettings();
  const auto& s = Settings();
  EXPECT_EQ(s.QuePath, "");
  EXPECT_EQ(s.Threads, 10);
  EXPECT_EQ(s.MaxMsgRetries, 5);
  EXPECT_EQ(s.LogTarget, settings::ltMessageLog);
  EXPECT_EQ(s.FailedPath, "");
  EXPECT_FALSE(s.DebugLogging);

  WriteText("Unrelated", "x");  // the key exists now, with none of the values
  settings::LoadSettings();
  EXPECT_EQ(s.QuePath, "");
  EXPECT_EQ(s.FailedPath, Delim() + "Failed");
  EXPECT_EQ(s.Threads, 10);
  EXPECT_EQ(s.EventLogging, "");
  EXPECT_EQ(s.LogTarget, settings::ltMessageLog);
}

TEST_F(SettingsTest, EachValueFallsBackToItsOwnDefault) {
  WriteText("QuePath", "/var/spool/larkpost");
  WriteText("Threads", "4");  // a string where a number belongs
  WriteDword("MaxMsgRetries", 7);
  WriteDword("DebugLogging", 2);
  WriteText("RemoteHosts", "relay.example");
  settings::LoadSettings();
  const auto& s = Settings();
  EXPECT_EQ(s.QuePath, "/var/spool/larkpost");
  EXPECT_EQ(s.FailedPath, "/var/spool/larkpost" + Delim() + "Failed");
  EXPECT_EQ(s.Threads, 10);
  EXPECT_EQ(s.MaxMsgRetries, 7);
  EXPECT_TRUE(s.DebugLogging);
  EXPECT_EQ(s.RemoteHosts, "relay.example");
}

TEST_F(SettingsTest, ThreadsAreCutTo16ButHaveNoLowerBound) {
  for (auto [stored, loaded] : {std::pair{40, 16}, {16, 16}, {0, 0}, {-3, -3}}) {
    WriteDword("Threads", stored);
    settings::LoadSettings();
    EXPECT_EQ(Settings().Threads, loaded) << stored;
  }
}

TEST_F(SettingsTest, EventLoggingIsComparedExactly) {
  struct Case {
    const char* text;
    settings::TLogTarget target;
  } cases[] = {{"NT Event Log", settings::ltEventLog},
               {"nt event log", settings::ltMessageLog},
               {"Both", settings::ltBoth},
               {"both", settings::ltMessageLog},
               {"Message Log", settings::ltMessageLog}};
  for (const auto& c : cases) {
    WriteText("EventLogging", c.text);
    settings::LoadSettings();
    EXPECT_EQ(Settings().LogTarget, c.target) << c.text;
  }
  WriteDword("EventLogging", 1);  // the wrong type reads as the default text
  settings::LoadSettings();
  EXPECT_EQ(Settings().EventLogging, "Message Log");
}

TEST_F(SettingsTest, TuningValuesDefaultToTheFixedTiming) {
  WriteText("QuePath", "/q");
  settings::LoadSettings();
  const auto& s = Settings();
  EXPECT_EQ(s.PollInterval, 5000);
  EXPECT_EQ(s.SettleTime, 15);
  EXPECT_FALSE(s.DispatchOnFinish);
  EXPECT_EQ(s.RetryDelay, 0);

  WriteDword("PollInterval", 100);
  WriteDword("SettleTime", 0);
  WriteDword("DispatchOnFinish", 1);
  WriteDword("RetryDelay", 300);
  settings::LoadSettings();
  EXPECT_EQ(s.PollInterval, 100);
  EXPECT_EQ(s.SettleTime, 0);
  EXPECT_TRUE(s.DispatchOnFinish);
  EXPECT_EQ(s.RetryDelay, 300);
}

TEST_F(SettingsTest, AnInvalidTuningValueGivesItsDefault) {
  WriteDword("PollInterval", 49);  // below the shortest poll
  WriteDword("SettleTime", -1);    // 0xFFFFFFFF
  WriteDword("DispatchOnFinish", 2);
  WriteText("RetryDelay", "300");  // a string where a number belongs
  settings::LoadSettings();
  const auto& s = Settings();
  EXPECT_EQ(s.PollInterval, 5000);
  EXPECT_EQ(s.SettleTime, 15);
  EXPECT_FALSE(s.DispatchOnFinish);
  EXPECT_EQ(s.RetryDelay, 0);
  WriteDword("PollInterval", 50);
  settings::LoadSettings();
  EXPECT_EQ(s.PollInterval, 50);
}

// The HELO name goes into a command line as it stands, and the default domain into envelope
// addresses, so only a name a relay could take is.
TEST_F(SettingsTest, AHeloNameOrDefaultDomainIsTakenOnlyWhenARelayCouldTakeIt) {
  settings::LoadSettings();
  for (auto [value, field] : {std::pair{"HeloName", &settings::TSettings::HeloName},
                              {"DefaultDomain", &settings::TSettings::DefaultDomain}}) {
    EXPECT_EQ(Settings().*field, "");
    for (const char* good : {"mail.example.org", "host-1", "[192.0.2.7]", "[IPv6:2001:db8::1]"}) {
      WriteText(value, good);
      settings::LoadSettings();
      EXPECT_EQ(Settings().*field, good);
    }
    const std::string longLabel(64, 'a');
    for (const std::string& bad :
         {std::string("mail.example.org\r\nRCPT TO:<x@evil.test>"), std::string("two words"),
          std::string("a..b"), std::string(".lead"), std::string("[]"), std::string("[1]2]"),
          longLabel + ".example", std::string("é.example")}) {
      WriteText(value, bad);
      settings::LoadSettings();
      EXPECT_EQ(Settings().*field, "") << value << ": " << bad;
    }
  }
}

TEST_F(SettingsTest, AnExpandableQueuePathIsTakenUnexpanded) {
  WriteText("QuePath", "%SystemRoot%/queue", REG_EXPAND_SZ);
  settings::LoadSettings();
  EXPECT_EQ(Settings().QuePath, "%SystemRoot%/queue");
  EXPECT_EQ(Settings().FailedPath, "%SystemRoot%/queue" + Delim() + "Failed");
}

TEST_F(SettingsTest, SaveWritesTheEditedRecordButNeverRemoteHosts) {
  auto& s = Settings();
  s.QuePath = "/srv/queue";
  s.Threads = 20;
  s.DebugLogging = true;
  s.EventLogging = "Both";
  s.MaxMsgRetries = 3;
  s.RemoteHosts = "never.written";
  settings::SaveSettings();
  EXPECT_EQ(s.Threads, 16);
  EXPECT_EQ(s.FailedPath, "/srv/queue" + Delim() + "Failed");

  rtl::TRegistry reg(KEY_READ);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(settings::kSettingsKey, false));
  EXPECT_EQ(reg.ReadString("QuePath"), "/srv/queue");
  EXPECT_EQ(reg.ReadInteger("Threads"), 16);
  EXPECT_EQ(reg.ReadInteger("DebugLogging"), 1);
  EXPECT_EQ(reg.ReadString("EventLogging"), "Both");
  EXPECT_EQ(reg.ReadInteger("MaxMsgRetries"), 3);
  EXPECT_FALSE(reg.ValueExists("RemoteHosts"));
  EXPECT_FALSE(reg.ValueExists("PollInterval"));  // tuning is the administrator's, by hand
  DWORD size = 0;
  RegQueryValueExA(reg.CurrentKey(), "QuePath", nullptr, nullptr, nullptr, &size);
  EXPECT_EQ(size, 11u);  // ten characters and the terminating NUL

  s = settings::TSettings{};
  settings::LoadSettings();
  EXPECT_EQ(s.LogTarget, settings::ltBoth);
  EXPECT_EQ(s.MaxMsgRetries, 3);
}

}  // namespace
