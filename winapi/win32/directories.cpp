// Directories opened once and then worked in by name. Windows names a file in an opened directory
// only through the native API, so a name is joined to the path the opened directory has now
// (GetFinalPathNameByHandleA): a directory renamed meanwhile is still the one worked in, and a
// link put in place of it is not followed. Ownership and permission bits are POSIX ideas: files
// here take their access from the directory's ACL.
#include <cstring>

#include "winapi/win32/internal.h"

namespace lark {
namespace {

bool IsPlainName(LPCSTR name) {
  return name != nullptr && *name != '\0' && std::strpbrk(name, "\\/") == nullptr;
}

// The path of a name inside an opened directory; false, with the error set, when there is none.
bool PathAt(HANDLE directory, LPCSTR name, std::string& path) {
  if (!IsPlainName(name)) return Fail(ERROR_INVALID_NAME);
  char buffer[MAX_PATH * 4];
  DWORD length = GetFinalPathNameByHandleA(directory, buffer, sizeof buffer, FILE_NAME_NORMALIZED);
  if (length == 0) return false;
  if (length >= sizeof buffer) return Fail(ERROR_FILENAME_EXCED_RANGE);
  path.assign(buffer, length);
  if (path.back() != '\\') path += '\\';
  path += name;
  return true;
}

bool RemoveTree(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // A read-only file is removed all the same, as unlink removes it.
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileA(path.c_str());
  // A junction or a directory link is removed itself; what it points at is never entered.
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      bool removed = true;
      do {
        if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
          removed = RemoveTree(path + "\\" + found.cFileName) && removed;
        }
      } while (FindNextFileA(search, &found));
      FindClose(search);
      if (!removed) return false;
    }
  }
  return RemoveDirectoryA(path.c_str());
}

HANDLE OpenDirectory(const std::string& path, DWORD flags) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD how = FILE_FLAG_BACKUP_SEMANTICS | (flags & FILE_FLAG_OPEN_REPARSE_POINT);
  // Write access lets FlushFileBuffers make the directory's names durable; a directory this
  // process may only read is still opened.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_EXISTING, how, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, how, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(handle);
    SetLastError(ERROR_DIRECTORY);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace
}  // namespace lark

HANDLE WINAPI LarkOpenDirectoryA(HANDLE hParent, LPCSTR lpName, DWORD dwFlags) {
  std::string path;
  if (hParent == nullptr) {
    if (lpName == nullptr || *lpName == '\0') {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    path = lpName;
  } else if (!lark::PathAt(hParent, lpName, path)) {
    return INVALID_HANDLE_VALUE;
  }
  return lark::OpenDirectory(path, dwFlags);
}

DWORD WINAPI LarkGetFileAttributesAtA(HANDLE hDirectory, LPCSTR lpName) {
  std::string path;
  if (!lark::PathAt(hDirectory, lpName, path)) return INVALID_FILE_ATTRIBUTES;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_PATH_NOT_FOUND) {
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  return attributes;
}

BOOL WINAPI LarkMoveFileAtA(HANDLE hFromDirectory, LPCSTR lpExistingName, HANDLE hToDirectory,
                            LPCSTR lpNewName) {
  std::string from;
  std::string to;
  if (!lark::PathAt(hFromDirectory, lpExistingName, from) ||
      !lark::PathAt(hToDirectory, lpNewName, to)) {
    return FALSE;
  }
  // Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
  if (MoveFileExA(from.c_str(), to.c_str(), 0)) return TRUE;
  if (GetLastError() == ERROR_FILE_EXISTS) SetLastError(ERROR_ALREADY_EXISTS);
  return FALSE;
}

BOOL WINAPI LarkRemoveTreeAtA(HANDLE hDirectory, LPCSTR lpName) {
  std::string path;
  return lark::PathAt(hDirectory, lpName, path) && lark::RemoveTree(path);
}

BOOL WINAPI LarkSetFileMode(HANDLE, DWORD) { return TRUE; }

BOOL WINAPI LarkGetFileOwnerAndMode(HANDLE, LPDWORD, LPDWORD, LPDWORD) {
  return lark::Fail(ERROR_NOT_SUPPORTED);
}

BOOL WINAPI LarkGetDirectoryOwner(HANDLE, LPDWORD) { return lark::Fail(ERROR_NOT_SUPPORTED); }

HANDLE WINAPI LarkLockFileA(LPCSTR lpName) {
  if (!lark::IsPlainName(lpName)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  const std::string dir = lark::MachineRoot() + "\\run\\locks";
  if (!lark::MakeDirectories(dir)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Opened with no sharing: the handle is the lock, and the system drops it with the process.
  HANDLE handle = CreateFileA((dir + "\\" + lpName + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                              0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
    SetLastError(ERROR_LOCK_VIOLATION);
  }
  return handle;
}
