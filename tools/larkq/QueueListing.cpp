#include "tools/larkq/QueueListing.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "rtl/IniFile.h"
#include "rtl/Paths.h"

namespace fs = std::filesystem;

namespace larkq {
namespace {

std::string Mailbox(const std::string& name, const std::string& address) {
  if (name.empty()) return address;
  return name + " <" + address + ">";
}

// The first recipient as a reader of the file finds it: the TO list first, then CC and BCC;
// a list ends at the first entry without a display name.
std::string FirstRecipient(const rtl::TIniFile& ini) {
  for (const char* stem : {"TO", "CC", "BCC"}) {
    std::string name = ini.ReadString("Message", std::string("N") + stem + "1", "");
    if (!name.empty()) {
      return Mailbox(name, ini.ReadString("Message", std::string("A") + stem + "1", ""));
    }
  }
  return "";
}

QueuedMessage Read(const fs::directory_entry& entry) {
  QueuedMessage message;
  message.name = entry.path().filename().string();
  message.path = entry.path().string();
  std::error_code ignored;
  // The age counts from the older file of the pair: writing the failure count renews the .ini.
  auto written = entry.last_write_time(ignored);
  auto body = rtl::ChangeFileExt(message.path, ".tmp");
  message.bodyMissing = !fs::exists(body, ignored);
  if (!message.bodyMissing) written = std::min(written, fs::last_write_time(body, ignored));
  message.ageSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - written)
          .count();
  if (!std::ifstream(message.path).good()) {
    message.unreadable = true;
    return message;
  }
  rtl::TIniFile ini(message.path);
  message.failures = ini.ReadString("Connection", "Failures", "0");
  message.from =
      Mailbox(ini.ReadString("Message", "FromName", ""), ini.ReadString("Message", "FromAddr", ""));
  message.to = FirstRecipient(ini);
  message.subject = ini.ReadString("Message", "Subject", "");
  return message;
}

}  // namespace

std::vector<QueuedMessage> ListQueue(const std::string& dir, std::error_code& error) {
  std::vector<QueuedMessage> messages;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (name.size() > 4 && name.ends_with(".ini") && it->is_regular_file(ignored)) {
      messages.push_back(Read(*it));
    }
  }
  std::stable_sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) {
    return a.ageSeconds != b.ageSeconds ? a.ageSeconds > b.ageSeconds : a.name < b.name;
  });
  return messages;
}

}  // namespace larkq
