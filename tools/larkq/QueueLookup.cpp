#include "tools/larkq/QueueLookup.h"

#include <filesystem>
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

}  // namespace larkq
