// The machine root and the small file helpers the facilities that keep state there share.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "winapi/posix/internal.h"

namespace lark {

std::string MachineRoot() {
  if (const char* root = std::getenv("LARKPOST_ROOT"); root != nullptr && *root != '\0') {
    return root;
  }
  // An installed system's users (a web application sending mail) share its machine root; a
  // user's own one serves only where none is installed.
  constexpr const char* kSystemRoot = "/var/lib/larkpost";
  struct stat hive;
  if (geteuid() == 0 || stat("/var/lib/larkpost/registry/HKEY_LOCAL_MACHINE.reg", &hive) == 0) {
    return kSystemRoot;
  }
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
    return std::string(state) + "/larkpost";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/larkpost";
}

bool MakeDirectories(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) {
    return false;
  }
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReadWholeFile(const std::string& path, std::string& out, struct stat* info) {
  // Queued files lie in a directory that others may write: a link planted there is not followed
  // and a FIFO must not block the reader.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat own;
  if (info == nullptr) info = &own;
  if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    close(fd);
    errno = EACCES;
    return false;
  }
  out.clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
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

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
  if (lpName == nullptr || *lpName == '\0' || std::strchr(lpName, '=') != nullptr ||
      (lpValue != nullptr ? setenv(lpName, lpValue, 1) : unsetenv(lpName)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI LarkSetMachineRootA(LPCSTR lpPath) {
  return SetEnvironmentVariableA("LARKPOST_ROOT", lpPath);
}
