#include "tools/larkq/QueueLookup.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/Registry.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "winapi/winapi.h"

namespace fs = std::filesystem;

namespace larkq {
namespace {

constexpr const char* kSetQuePath =
    "Set it with\n  larkctl reg add 'HKLM\\SOFTWARE\\Quobex\\LRKP' /v QuePath /d DIR /f";

std::string RegistryError(LSTATUS status) {
  std::string text = "the QuePath setting cannot be read: " + rtl::SysErrorMessage(status);
  char problem[1024];
  if (status == ERROR_BADDB && LarkRegGetProblemA(problem, sizeof problem) > 0) {
    text += "\n" + std::string(problem);
  }
  return text;
}

bool IsQueuedFile(const std::string& path) {
  std::error_code ignored;
  return fs::is_regular_file(path, ignored);
}

// The service never takes up a settings file larger than this.
constexpr size_t kMaxIniBytes = 1024 * 1024;

// Whether the file, opened without following a link and only as a regular file, has a
// [Message] section header, named as the profile service matches names.
bool HoldsMessageSection(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  while (text.size() <= kMaxIniBytes && ReadFile(file, buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  if (text.size() > kMaxIniBytes) return false;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    const std::string line = rtl::Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.starts_with('[') && line.find(']') != std::string::npos &&
        rtl::LowerCase(rtl::Trim(line.substr(1, line.find(']') - 1))) == "message") {
      return true;
    }
  }
  return false;
}

}  // namespace

// The settings loader turns every failure into an empty QuePath; an administrator needs the
// reason, so the value is read here with its status and type.
std::string ReadQuePath() {
  HKEY key;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings::kSettingsKey, 0, KEY_READ, &key);
  std::string value;
  DWORD type = REG_NONE;
  if (status == ERROR_SUCCESS) {
    DWORD size = 0;
    status = RegQueryValueExA(key, "QuePath", nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS && size > 0) {
      value.resize(size);
      status = RegQueryValueExA(key, "QuePath", nullptr, &type,
                                reinterpret_cast<LPBYTE>(value.data()), &size);
      value.resize(size);
    }
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    throw rtl::Exception(RegistryError(status));
  }
  if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
    throw rtl::Exception("the QuePath setting is a " + rtl::RegTypeName(type) +
                         "; the service takes only a text (REG_SZ) there, so it has no queue "
                         "directory. " +
                         kSetQuePath);
  }
  value = value.substr(0, value.find('\0'));
  if (value.empty()) {
    throw rtl::Exception(std::string("the QuePath setting is empty. ") + kSetQuePath);
  }
  return value;
}

std::string FindQueuedMessage(const std::string& given, bool lookInFailed) {
  std::vector<std::string> names = {given};
  if (!given.ends_with(".ini")) names.push_back(given + ".ini");
  for (const auto& name : names) {
    if (IsQueuedFile(name)) return fs::absolute(name).string();
  }
  if (given.empty() || given.find(rtl::PathDelim) != std::string::npos) {
    throw rtl::Exception("no such queued message: " + given);
  }
  std::string queue;
  try {
    queue = ReadQuePath();
  } catch (const rtl::Exception& e) {
    throw rtl::Exception("no such queued message: " + given + ", and " + e.Message());
  }
  std::string inQueue = queue + rtl::PathDelim + names.back();
  if (IsQueuedFile(inQueue)) return fs::absolute(inQueue).string();
  if (!lookInFailed) {
    throw rtl::Exception("no such queued message: " + given + " (nor " + inQueue + ")");
  }
  std::string inFailed = settings::FailedPathOf(queue) + rtl::PathDelim + names.back();
  if (IsQueuedFile(inFailed)) return fs::absolute(inFailed).string();
  throw rtl::Exception("no such queued message: " + given + " (nor " + inQueue + " or " + inFailed +
                       ")");
}

std::string CheckQueuedMessage(const std::string& ini) {
  auto refuse = [&](const std::string& why) {
    return rtl::Exception("not a queued message: " + ini + " (" + why + ")");
  };
  std::error_code error;
  if (!ini.ends_with(".ini") || fs::symlink_status(ini, error).type() != fs::file_type::regular) {
    throw refuse("a link, or not a regular .ini file");
  }
  std::string queue;
  try {
    queue = ReadQuePath();
  } catch (const rtl::Exception& e) {
    throw refuse(e.Message());
  }
  const fs::path queueDir = fs::canonical(queue, error);
  if (error) throw refuse("the queue directory " + queue + ": " + error.message());
  // Only the directory is resolved: the file itself was checked not to be a link.
  const fs::path dir = fs::canonical(fs::absolute(ini).parent_path(), error);
  if (error || (dir != queueDir && dir != fs::path(settings::FailedPathOf(queueDir.string())))) {
    throw refuse("not directly in the queue directory " + queue + " or its Failed directory");
  }
  if (!HoldsMessageSection(ini)) throw refuse("no [Message] section");
  return (dir / fs::path(ini).filename()).string();
}

}  // namespace larkq
