// Files and directories: listings with DOS wildcards, attributes, delete, a move that never
// replaces, directories, the temporary directory and unique temporary names.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

bool WildMatch(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char* rest = name;; ++rest) {
      if (WildMatch(pattern + 1, rest)) return true;
      if (*rest == '\0') return false;
    }
  }
  if (*pattern == '?') {
    // "?" matches one character but never a "."; at a "." or the end of the name it matches
    // nothing.
    if (*name == '\0' || *name == '.') return WildMatch(pattern + 1, name);
    return WildMatch(pattern + 1, name + 1);
  }
  return *pattern == *name && WildMatch(pattern + 1, name + 1);
}

// DOS wildcard rules, compared case-sensitively like the Linux file system: "*" and "*.*" match
// every name, and a pattern ending in "." matches only names without an extension.
bool DosMatch(std::string pattern, const std::string& name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (pattern.size() > 1 && pattern.back() == '.') {
    if (name.find('.') != std::string::npos) return false;
    pattern.pop_back();
  }
  return WildMatch(pattern.c_str(), name.c_str());
}

FILETIME ToFileTime(const struct timespec& ts) {
  // 100-ns intervals since 1601-01-01.
  unsigned long long ticks =
      (static_cast<unsigned long long>(ts.tv_sec) + 11644473600ULL) * 10000000ULL +
      static_cast<unsigned long long>(ts.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

DWORD AttributesOf(const struct stat& st, const std::string& name) {
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.') attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

struct FindEntry {
  std::string name;
  struct stat st;
};

class FindObject : public HandleObject {
 public:
  std::vector<FindEntry> entries;
  size_t next = 0;
};

void FillFindData(const FindEntry& entry, WIN32_FIND_DATAA* data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = AttributesOf(entry.st, entry.name);
  data->ftCreationTime = ToFileTime(entry.st.st_ctim);
  data->ftLastAccessTime = ToFileTime(entry.st.st_atim);
  data->ftLastWriteTime = ToFileTime(entry.st.st_mtim);
  auto size = static_cast<unsigned long long>(entry.st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  std::snprintf(data->cFileName, sizeof data->cFileName, "%s", entry.name.c_str());
}

// The Win32 code for a path that could not be found: 3 when its directory is missing too.
DWORD MissingCode(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat st;
  std::string dir = path.substr(0, slash);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

BOOL FailForPath(const std::string& path) {
  int err = errno;
  if (err == ENOENT || err == ENOTDIR) return Fail(MissingCode(path));
  return Fail(Win32FromErrno(err));
}

// Copies a file to a new name without replacing anything, for a move across file systems.
bool CopyToNew(const char* from, const char* to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  fstat(in, &st);
  int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    int saved = errno;
    close(in);
    errno = saved;
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || write(out, buffer, static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
  }
  int saved = errno;
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) {
    unlink(to);
    errno = saved;
  }
  return ok;
}

std::atomic<unsigned> tempCounter{0};

}  // namespace
}  // namespace lark

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, WIN32_FIND_DATAA* lpFindFileData) {
  std::string path(lpFileName);
  auto slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
  if (pattern.empty()) {
    lark::Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) {
    lark::Fail(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                   : lark::Win32FromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<lark::FindObject>();
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || !lark::DosMatch(pattern, name)) continue;
    lark::FindEntry found{name, {}};
    // A file removed between listing and stat is simply not listed.
    if (fstatat(dirfd(listing), name.c_str(), &found.st, 0) != 0) continue;
    find->entries.push_back(std::move(found));
  }
  closedir(listing);
  if (find->entries.empty()) {
    lark::Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  lark::FillFindData(find->entries[0], lpFindFileData);
  find->next = 1;
  return lark::AddHandle(find);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData) {
  auto find = lark::LookupHandleAs<lark::FindObject>(hFindFile);
  if (!find) return lark::Fail(ERROR_INVALID_HANDLE);
  if (find->next >= find->entries.size()) return lark::Fail(ERROR_NO_MORE_FILES);
  lark::FillFindData(find->entries[find->next++], lpFindFileData);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (!lark::LookupHandleAs<lark::FindObject>(hFindFile)) return lark::Fail(ERROR_INVALID_HANDLE);
  lark::RemoveHandle(hFindFile);
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  struct stat st;
  std::string path(lpFileName);
  if (stat(path.c_str(), &st) != 0) {
    lark::FailForPath(path);
    return INVALID_FILE_ATTRIBUTES;
  }
  return lark::AttributesOf(st, path.substr(path.find_last_of('/') + 1));
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  struct stat st;
  if (lstat(lpFileName, &st) != 0) return lark::FailForPath(lpFileName);
  if (S_ISDIR(st.st_mode)) return lark::Fail(ERROR_ACCESS_DENIED);
  if (unlink(lpFileName) != 0) return lark::FailForPath(lpFileName);
  return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  struct stat st;
  if (lstat(lpExistingFileName, &st) != 0) return lark::FailForPath(lpExistingFileName);
  if (std::strpbrk(lpNewFileName, "*?") != nullptr) return lark::Fail(ERROR_INVALID_NAME);
  if (renameat2(AT_FDCWD, lpExistingFileName, AT_FDCWD, lpNewFileName, RENAME_NOREPLACE) == 0) {
    return TRUE;
  }
  if (errno == EINVAL || errno == ENOSYS) {
    // The file system cannot rename without replacing: link the new name, then drop the old.
    if (link(lpExistingFileName, lpNewFileName) == 0) {
      unlink(lpExistingFileName);
      return TRUE;
    }
  }
  if (errno == EXDEV && !S_ISDIR(st.st_mode)) {
    if (!lark::CopyToNew(lpExistingFileName, lpNewFileName)) {
      return errno == EEXIST ? lark::Fail(ERROR_ALREADY_EXISTS) : lark::FailForPath(lpNewFileName);
    }
    unlink(lpExistingFileName);
    return TRUE;
  }
  if (errno == EEXIST) return lark::Fail(ERROR_ALREADY_EXISTS);
  if (errno == EXDEV) return lark::Fail(ERROR_NOT_SAME_DEVICE);
  if (errno == ENOENT) return lark::Fail(ERROR_PATH_NOT_FOUND);  // the source exists
  return lark::FailForPath(lpNewFileName);
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, SECURITY_ATTRIBUTES*) {
  if (mkdir(lpPathName, 0777) != 0) {
    if (errno == ENOENT) return lark::Fail(ERROR_PATH_NOT_FOUND);
    return lark::FailFromErrno();
  }
  return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
  if (rmdir(lpPathName) != 0) {
    if (errno == ENOTDIR) return lark::Fail(ERROR_DIRECTORY);
    return lark::FailForPath(lpPathName);
  }
  return TRUE;
}

DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string path = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp/";
  if (path.back() != '/') path += '/';
  if (lpBuffer == nullptr || nBufferLength < path.size() + 1) {
    return static_cast<DWORD>(path.size() + 1);
  }
  std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                             LPSTR lpTempFileName) {
  std::string dir(lpPathName);
  if (dir.size() > MAX_PATH - 14) {
    lark::Fail(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';
  std::string prefix = lpPrefixString != nullptr ? std::string(lpPrefixString).substr(0, 3) : "";
  auto nameFor = [&](unsigned number) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", number & 0xFFFF);
    return dir + prefix + digits + ".tmp";
  };
  if (uUnique != 0) {
    std::string name = nameFor(uUnique);
    std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
    return uUnique & 0xFFFF;
  }
  struct stat st;
  if (stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    lark::Fail(ERROR_DIRECTORY);
    return 0;
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned start = static_cast<unsigned>(now.tv_nsec / 1000) + lark::tempCounter.fetch_add(1);
  for (unsigned i = 0; i < 0x10000; ++i) {
    unsigned number = (start + i) & 0xFFFF;
    if (number == 0) continue;
    std::string name = nameFor(number);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
      return number;
    }
    if (errno != EEXIST) {
      lark::FailFromErrno();
      return 0;
    }
  }
  lark::Fail(ERROR_FILE_EXISTS);
  return 0;
}
