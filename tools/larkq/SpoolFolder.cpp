#include "tools/larkq/SpoolFolder.h"

#include <filesystem>
#include <random>

#include "mailer/QueueSpool.h"
#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "winapi/winapi.h"

namespace larkq {
namespace {

// A directory that stands under the path itself, not a link to one elsewhere.
bool IsRealDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() ==
         std::filesystem::file_type::directory;
}

std::string RandomHex(std::mt19937_64& random) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint64_t value = random(); text.size() < 12; value >>= 4) text += kDigits[value & 15];
  return text;
}

std::string NumberedName(const std::string& name, int number) {
  if (number == 1) return name;
  const size_t dot = name.rfind('.');
  const std::string suffix = "-" + std::to_string(number);
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

}  // namespace

std::string SafeSpoolName(std::string_view given) {
  std::string name;
  for (unsigned char c : given) {
    name += c == '/' || c == '\\' || c < ' ' || c == 127 ? '_' : static_cast<char>(c);
  }
  for (size_t at; (at = name.find("..")) != std::string::npos;) name.replace(at, 2, "_");
  const size_t first = name.find_first_not_of(". ");
  name.erase(0, first == std::string::npos ? name.size() : first);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name.size() > kMaxSpoolNameLength) {
    const size_t dot = name.rfind('.');
    const bool shortExtension = dot != std::string::npos && name.size() - dot <= 10;
    const std::string extension = shortExtension ? name.substr(dot) : "";
    name = name.substr(0, kMaxSpoolNameLength - extension.size()) + extension;
  }
  return name.empty() ? "attachment" : name;
}

TSpoolFolder::TSpoolFolder(const std::string& queueDir) {
  const std::string spool = queueDir + rtl::PathDelim + mailer::kSpoolDirName;
  CreateDirectoryA(spool.c_str(), nullptr);
  if (!IsRealDirectory(spool)) {
    throw rtl::Exception("the spool directory " + spool + " cannot be made or is no directory");
  }
  std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = spool + rtl::PathDelim + "att" + RandomHex(random);
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      if (!IsRealDirectory(path)) break;
      path_ = path;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw rtl::Exception("no spool folder can be made in " + spool);
}

TSpoolFolder::~TSpoolFolder() {
  if (kept_ || path_.empty()) return;
  for (const auto& file : files_) DeleteFileA(file.c_str());
  RemoveDirectoryA(path_.c_str());
}

std::string TSpoolFolder::Add(std::string_view name, std::string_view bytes) {
  const std::string safe = SafeSpoolName(name);
  for (int number = 1; number <= 1000; ++number) {
    const std::string path = path_ + rtl::PathDelim + NumberedName(safe, number);
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      // A link or another kind of file planted under the name: the name is taken.
      if (GetLastError() == ERROR_PATH_NOT_FOUND) break;
      continue;
    }
    // A file that was there already belongs to someone else; only a new one is written.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(file);
      continue;
    }
    files_.push_back(path);
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok) break;
    return path;
  }
  throw rtl::Exception("the attachment " + safe + " cannot be written into " + path_);
}

void TSpoolFolder::Sync() const {
  const std::string spool = rtl::ExtractFilePath(path_);
  if (!rtl::FlushDirectory(path_) || !rtl::FlushDirectory(spool)) {
    throw rtl::Exception("the attachments in " + path_ +
                         " cannot be put on the disk: " + rtl::SysErrorMessage(GetLastError()));
  }
}

}  // namespace larkq
