// The service's settings: one process-wide record, loaded from and saved to the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Quobex\LRKP. The service loads it once per start; the settings
// window loads it to fill its fields and saves it after the user's edits.
#pragma once

#include <string>

#include "rtl/CriticalSection.h"
#include "settings/RelaySettings.h"

namespace settings {

enum TLogTarget { ltMessageLog = 0, ltEventLog = 1, ltBoth = 2 };

inline constexpr int kDefaultPollInterval = 5000;
inline constexpr int kMinPollInterval = 50;
inline constexpr int kDefaultSettleTime = 15;

struct TSettings {
  std::string QuePath;
  std::string RemoteHosts;
  int Threads = 10;
  bool DebugLogging = false;
  std::string EventLogging;
  TLogTarget LogTarget = ltMessageLog;
  int MaxMsgRetries = 5;
  std::string FailedPath;  // QuePath + PathDelim + "Failed"

  // Dispatch tuning, loaded like the others but never saved: the settings window does not show
  // them. The defaults are the fixed timing: a poll every 5 s, 15 s before a found message is
  // ready, a failed message ready again at once.
  int PollInterval = kDefaultPollInterval;  // milliseconds between polls, at least 50
  int SettleTime = kDefaultSettleTime;      // seconds a found message waits before it is ready
  bool DispatchOnFinish = false;            // a worker that ends starts a poll at once
  int RetryDelay = 0;                       // seconds a failed message waits before a retry
  // The name given in HELO, not shown by the settings window either; empty gives the host name.
  std::string HeloName;
  // What `sendmail` does with local names, also not shown by the window: the domain that
  // qualifies a bare name (empty: the host's fully qualified name; a value that is no domain
  // counts as missing), and the address that receives mail for bare names and for the host's
  // own names (empty: they go to their qualified addresses).
  std::string DefaultDomain;
  std::string AdminAddress;
  // Each relay's own settings, loaded with the rest so that a delivery never reads the hive.
  TRelayMap Relays;
};

inline constexpr const char* kSettingsKey = "SOFTWARE\\Quobex\\LRKP\\";
inline constexpr int kMaxThreads = 16;

// A name a relay can take in HELO: a domain (letters, digits, "-" and "." in labels of at most
// 63 characters) or an address literal in brackets, at most 255 characters. Nothing else may
// reach the command line.
bool IsHeloName(const std::string& name);

// Where messages that failed too often go: the Failed directory of the queue directory.
std::string FailedPathOf(const std::string& quePath);

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
