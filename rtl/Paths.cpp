#include "rtl/Paths.h"

#include "winapi/winapi.h"

namespace rtl {

std::string ExtractFileName(std::string_view path) {
  auto slash = path.find_last_of(PathDelims);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  auto slash = path.find_last_of(PathDelims);
  return std::string(slash == std::string_view::npos ? "" : path.substr(0, slash + 1));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  auto dot = path.find_last_of('.');
  auto slash = path.find_last_of(PathDelims);
  if (dot == std::string_view::npos || (slash != std::string_view::npos && slash > dot)) {
    return std::string(path) + std::string(ext);
  }
  return std::string(path.substr(0, dot)) + std::string(ext);
}

bool FlushDirectory(const std::string& dir) {
  HANDLE handle = CreateFileA(dir.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return flushed;
}

}  // namespace rtl
