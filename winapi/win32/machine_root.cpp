// The machine root: $LARKPOST_ROOT, else %ProgramData%\Larkpost.
#include <cstdlib>
#include <cstring>

#include "winapi/win32/internal.h"

namespace lark {

DWORD RedirectMachineRegistry(const char* root);

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

std::string MachineRoot() {
  if (const char* root = std::getenv("LARKPOST_ROOT"); root != nullptr && *root != '\0') {
    return root;
  }
  const char* data = std::getenv("ProgramData");
  return std::string(data != nullptr && *data != '\0' ? data : "C:\\ProgramData") + "\\Larkpost";
}

bool MakeDirectories(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  auto slash = path.find_last_of("\\/");
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' &&
      !MakeDirectories(path.substr(0, slash))) {
    return false;
  }
  return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace lark

DWORD WINAPI LarkGetMachineRootA(DWORD nBufferLength, LPSTR lpBuffer) {
  std::string root = lark::MachineRoot();
  if (lpBuffer == nullptr || nBufferLength < root.size() + 1) {
    return static_cast<DWORD>(root.size() + 1);
  }
  std::memcpy(lpBuffer, root.c_str(), root.size() + 1);
  return static_cast<DWORD>(root.size());
}

BOOL WINAPI LarkSetMachineRootA(LPCSTR lpPath) {
  if (lpPath != nullptr && *lpPath == '\0') return lark::Fail(ERROR_INVALID_PARAMETER);
  // Programs started from here inherit the process's environment block; this process's own code
  // reads the C runtime's copy (std::getenv), which SetEnvironmentVariableA does not change.
  if (!SetEnvironmentVariableA("LARKPOST_ROOT", lpPath) ||
      _putenv_s("LARKPOST_ROOT", lpPath != nullptr ? lpPath : "") != 0) {
    return lark::Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD error = lark::RedirectMachineRegistry(lpPath);
  return error == ERROR_SUCCESS ? TRUE : lark::Fail(error);
}
