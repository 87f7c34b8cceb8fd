#include "settings/RegSet.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <mutex>
#include <string_view>

#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/Registry.h"
#include "rtl/SysUtils.h"

namespace settings {
namespace {

// Each value stands alone: an error reading it gives its default and leaves the others alone.
template <class T, class Read>
T ReadOr(T fallback, Read read) {
  try {
    return read();
  } catch (const std::exception&) {
    return fallback;
  }
}

// A tuning value outside its range counts as invalid, like a missing one.
int ReadTuning(rtl::TRegistry& reg, const char* name, int fallback, int low, int high) {
  int value = ReadOr(fallback, [&] { return reg.ReadInteger(name); });
  return value < low || value > high ? fallback : value;
}

}  // namespace

std::string FailedPathOf(const std::string& quePath) { return quePath + rtl::PathDelim + "Failed"; }

TSettings& Settings() {
  static auto* record = new TSettings;
  return *record;
}

rtl::TCriticalSection& GlobalLock() {
  static auto* lock = new rtl::TCriticalSection;
  return *lock;
}

void LoadSettings() {
  std::lock_guard lock(GlobalLock());
  rtl::TRegistry reg(KEY_READ);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(kSettingsKey, false)) return;
  TSettings& s = Settings();
  s.QuePath = ReadOr<std::string>("", [&] { return reg.ReadString("QuePath"); });
  s.FailedPath = FailedPathOf(s.QuePath);
  s.RemoteHosts = ReadOr<std::string>("", [&] { return reg.ReadString("RemoteHosts"); });
  s.Threads = ReadOr(10, [&] { return reg.ReadInteger("Threads"); });
  if (s.Threads > kMaxThreads) s.Threads = kMaxThreads;
  s.DebugLogging = ReadOr(false, [&] { return reg.ReadInteger("DebugLogging") != 0; });
  s.EventLogging =
      ReadOr<std::string>("Message Log", [&] { return reg.ReadString("EventLogging"); });
  s.LogTarget = s.EventLogging == "NT Event Log" ? ltEventLog
                : s.EventLogging == "Both"       ? ltBoth
                                                 : ltMessageLog;
  s.MaxMsgRetries = ReadOr(5, [&] { return reg.ReadInteger("MaxMsgRetries"); });
  // A DWORD above the signed range reads as negative, so the lower bounds also catch those.
  constexpr int kMax = std::numeric_limits<int>::max();
  s.PollInterval = ReadTuning(reg, "PollInterval", kDefaultPollInterval, kMinPollInterval, kMax);
  s.SettleTime = ReadTuning(reg, "SettleTime", kDefaultSettleTime, 0, kMax);
  s.DispatchOnFinish = ReadTuning(reg, "DispatchOnFinish", 0, 0, 1) == 1;
  s.RetryDelay = ReadTuning(reg, "RetryDelay", 0, 0, kMax);
  s.HeloName = ReadOr<std::string>("", [&] { return reg.ReadString("HeloName"); });
  if (!IsHeloName(s.HeloName)) s.HeloName.clear();
  s.DefaultDomain = ReadOr<std::string>("", [&] { return reg.ReadString("DefaultDomain"); });
  if (!IsHeloName(s.DefaultDomain)) s.DefaultDomain.clear();
  s.AdminAddress = ReadOr<std::string>("", [&] { return reg.ReadString("AdminAddress"); });
  s.Relays = LoadRelaySettings();
}

bool IsHeloName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  auto within = [](std::string_view text, std::string_view allowed) {
    return std::all_of(text.begin(), text.end(), [&](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || allowed.find(c) != allowed.npos;
    });
  };
  if (name.front() == '[') {
    return name.size() > 2 && name.back() == ']' &&
           within(std::string_view(name).substr(1, name.size() - 2), ".:-");
  }
  if (!within(name, "-.")) return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('.', start);
    size_t length = (end == std::string::npos ? name.size() : end) - start;
    if (length == 0 || length > 63) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

void SaveSettings() {
  std::lock_guard lock(GlobalLock());
  rtl::TRegistry reg(KEY_ALL_ACCESS);
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(kSettingsKey, true)) {
    throw rtl::ERegistryException(rtl::Format(rtl::SRegCreateFailed, kSettingsKey));
  }
  TSettings& s = Settings();
  reg.WriteString("QuePath", s.QuePath);
  if (s.Threads > kMaxThreads) s.Threads = kMaxThreads;
  reg.WriteInteger("Threads", s.Threads);
  reg.WriteInteger("DebugLogging", s.DebugLogging ? 1 : 0);
  reg.WriteString("EventLogging", s.EventLogging);
  reg.WriteInteger("MaxMsgRetries", s.MaxMsgRetries);
  s.FailedPath = FailedPathOf(s.QuePath);
}

}  // namespace settings
