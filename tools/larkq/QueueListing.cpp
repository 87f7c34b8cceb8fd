#include "tools/larkq/QueueListing.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "winapi/winapi.h"

namespace fs = std::filesystem;

namespace larkq {
namespace {

// The service takes up no settings file larger than this.
constexpr size_t kMaxIniBytes = 1024 * 1024;

std::string Mailbox(const std::string& name, const std::string& address) {
  if (name.empty()) return address;
  return name + " <" + address + ">";
}

// The first recipient as a reader of the file finds it: the TO list first, then CC and BCC;
// a list ends at the first entry without a display name.
std::string FirstRecipient(const rtl::TMemIniFile& ini) {
  for (const char* stem : {"TO", "CC", "BCC"}) {
    std::string name = ini.ReadString("Message", std::string("N") + stem + "1", "");
    if (!name.empty()) {
      return Mailbox(name, ini.ReadString("Message", std::string("A") + stem + "1", ""));
    }
  }
  return "";
}

// The mailer's reading: a list ends at the first entry without a display name.
std::vector<std::string> Recipients(const rtl::TMemIniFile& ini) {
  std::vector<std::string> addresses;
  for (const char* stem : {"TO", "CC", "BCC"}) {
    for (int i = 1;; ++i) {
      const std::string index = stem + std::to_string(i);
      if (ini.ReadString("Message", "N" + index, "").empty()) break;
      addresses.push_back(ini.ReadString("Message", "A" + index, ""));
    }
  }
  return addresses;
}

// Opened as the profile reader opens it: a link, a FIFO or a device put in the file's place is
// neither followed nor waited on.
bool Readable(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

QueuedMessage Read(const fs::directory_entry& entry) {
  QueuedMessage message;
  message.name = entry.path().filename().string();
  message.path = entry.path().string();
  std::error_code ignored;
  // The age counts from the older file of the pair: writing the failure count renews the .ini.
  auto written = entry.last_write_time(ignored);
  message.modified = fs::file_time_type::clock::to_sys(written);
  message.bytes = entry.file_size(ignored);
  auto body = rtl::ChangeFileExt(message.path, ".tmp");
  message.bodyMissing = !fs::exists(body, ignored);
  if (!message.bodyMissing) written = std::min(written, fs::last_write_time(body, ignored));
  if (fs::symlink_status(body, ignored).type() == fs::file_type::regular) {
    message.bytes += fs::file_size(body, ignored);
  }
  message.ageSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - written)
          .count();
  if (!Readable(message.path)) {
    message.unreadable = true;
    return message;
  }
  try {
    const rtl::TMemIniFile ini(message.path, kMaxIniBytes);
    message.failures = ini.ReadString("Connection", "Failures", "0");
    message.sender = ini.ReadString("Message", "FromAddr", "");
    message.from = Mailbox(ini.ReadString("Message", "FromName", ""), message.sender);
    message.to = FirstRecipient(ini);
    message.subject = ini.ReadString("Message", "Subject", "");
    message.recipients = Recipients(ini);
    message.lastResp = ini.ReadString("Message", "LastResp", "");
  } catch (const std::exception&) {
    message.unreadable = true;
  }
  return message;
}

}  // namespace

std::vector<QueuedMessage> ListQueue(const std::string& dir, std::error_code& error) {
  std::vector<QueuedMessage> messages;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (name.size() > 4 && name.ends_with(".ini") &&
        it->symlink_status(ignored).type() == fs::file_type::regular) {
      messages.push_back(Read(*it));
    }
  }
  std::stable_sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) {
    return a.ageSeconds != b.ageSeconds ? a.ageSeconds > b.ageSeconds : a.name < b.name;
  });
  return messages;
}

}  // namespace larkq
