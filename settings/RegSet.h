// The service's settings: one process-wide record, loaded from and saved to the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Quobex\LRKP. The service loads it once per start; the settings
// window loads it to fill its fields and saves it after the user's edits.
#pragma once

#include <string>

#include "rtl/CriticalSection.h"

namespace settings {

enum TLogTarget { ltMessageLog = 0, ltEventLog = 1, ltBoth = 2 };

struct TSettings {
  std::string QuePath;
  std::string RemoteHosts;
  int Threads = 10;
  bool DebugLogging = false;
  std::string EventLogging;
  TLogTarget LogTarget = ltMessageLog;
  int MaxMsgRetries = 5;
  std::string FailedPath;  // QuePath + PathDelim + "Failed"
};

inline constexpr const char* kSettingsKey = "SOFTWARE\\Quobex\\LRKP\\";
inline constexpr int kMaxThreads = 16;

// The one record of the process, with its start values until the first load.
TSettings& Settings();
// Held for each whole load and save, and for every read or write of a queued message's .ini
// by the mailer.
rtl::TCriticalSection& GlobalLock();

// Never fails: a missing key leaves the record as it is, and a value that is missing, of the
// wrong type or unreadable gives that field's default.
void LoadSettings();
// Raises ERegistryException when the key cannot be created or a value cannot be written; the
// values written before the failure stay written.
void SaveSettings();

}  // namespace settings
