#include "mailer/QueueSpool.h"

#include <filesystem>
#include <mutex>

#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "settings/RegSet.h"
#include "winapi/winapi.h"

namespace mailer {
namespace {

namespace fs = std::filesystem;

std::string SpoolDir(const std::string& queueDir) {
  return (fs::path(queueDir) / kSpoolDirName).lexically_normal().string();
}

}  // namespace

std::string SpoolNameOf(const std::string& iniPath, const std::string& quePath) {
  std::string first;
  {
    std::lock_guard lock(settings::GlobalLock());
    first = rtl::TIniFile(iniPath).ReadString("Message", "Attachments1", "");
  }
  return SpoolNameOfAttachment(first, quePath);
}

std::string SpoolNameOfAttachment(const std::string& first, const std::string& quePath) {
  const fs::path folder = fs::path(first).lexically_normal().parent_path();
  if (first.empty() || folder.parent_path() != fs::path(SpoolDir(quePath))) return "";
  const std::string name = folder.filename().string();
  return name == "." || name == ".." ? "" : name;
}

bool RemoveSpoolFolder(const std::string& queueDir, const std::string& name) {
  const fs::path folder = fs::path(SpoolDir(queueDir)) / name;
  std::error_code error;
  if (fs::symlink_status(folder, error).type() != fs::file_type::directory) {
    fs::remove(folder, error);
  } else {
    fs::remove_all(folder, error);
  }
  return fs::symlink_status(folder, error).type() == fs::file_type::not_found;
}

bool MoveSpoolFolder(const std::string& fromDir, const std::string& toDir,
                     const std::string& name) {
  const std::string target = SpoolDir(toDir);
  CreateDirectoryA(target.c_str(), nullptr);
  const std::string from = SpoolDir(fromDir) + rtl::PathDelim + name;
  const std::string to = target + rtl::PathDelim + name;
  return MoveFileA(from.c_str(), to.c_str());
}

}  // namespace mailer
