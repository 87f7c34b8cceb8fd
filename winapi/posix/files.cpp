// Files and directories: listings with DOS wildcards, attributes, delete, a move that never
// replaces, directories, the temporary directory and unique temporary names, and the replacement
// of a whole file through a temporary one.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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
  if (S_ISLNK(st.st_mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DEVICE;
  }
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.') attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void FillFindData(const std::string& name, const struct stat& st, WIN32_FIND_DATAA* data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = AttributesOf(st, name);
  data->ftCreationTime = ToFileTime(st.st_ctim);
  data->ftLastAccessTime = ToFileTime(st.st_atim);
  data->ftLastWriteTime = ToFileTime(st.st_mtim);
  auto size = static_cast<unsigned long long>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
}

// The names are listed at once, each entry's details only when it is handed out: a caller that
// stops early in a long directory does not pay for what it never reads.
class FindObject : public HandleObject {
 public:
  FindObject(int dir, std::vector<std::string> names) : dir_(dir), names_(std::move(names)) {}
  ~FindObject() override { close(dir_); }
  FindObject(const FindObject&) = delete;
  FindObject& operator=(const FindObject&) = delete;

  // The next entry still there; false when the listing is done.
  bool Next(WIN32_FIND_DATAA* data) {
    while (next_ < names_.size()) {
      const std::string& name = names_[next_++];
      struct stat st;
      // A file removed since the listing is simply not listed.
      if (fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      FillFindData(name, st, data);
      return true;
    }
    return false;
  }

 private:
  int dir_;
  std::vector<std::string> names_;
  size_t next_ = 0;
};

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

class DirectoryObject : public DescriptorObject {
 public:
  using DescriptorObject::DescriptorObject;
};

class LockObject : public DescriptorObject {
 public:
  using DescriptorObject::DescriptorObject;
};

// Held for the length of a call, so that a CloseHandle meanwhile cannot close the descriptor.
using DirectoryRef = std::shared_ptr<DirectoryObject>;
int FdOf(const DirectoryRef& dir) { return dir ? dir->fd : -1; }

// Removes name inside the directory parent; false with errno set.
bool RemoveTree(int parent, const char* name) {
  if (unlinkat(parent, name, 0) == 0) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(listing)) {
    std::string child = entry->d_name;
    if (child != "." && child != "..") names.push_back(std::move(child));
  }
  bool ok = true;
  for (const auto& child : names) ok = RemoveTree(dirfd(listing), child.c_str()) && ok;
  int saved = errno;
  closedir(listing);
  if (!ok) {
    errno = saved;
    return false;
  }
  return unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

// A replacement is written to "<target>.~" and this many random hex digits, so nobody who can
// write the directory can tell the name in advance, and a leftover is recognised by its shape.
constexpr size_t kReplacementDigits = 16;
constexpr std::string_view kReplacementMark = ".~";

std::string RandomHex(size_t digits) {
  unsigned char bytes[32];
  size_t needed = (digits + 1) / 2;
  for (size_t got = 0; got < needed;) {
    ssize_t n = getrandom(bytes + got, needed - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  std::string out;
  for (size_t i = 0; i < digits; ++i) {
    out += "0123456789abcdef"[(bytes[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 0xF];
  }
  return out;
}

bool IsReplacementOf(const std::string& name, std::string_view target) {
  if (name.size() != target.size() + kReplacementMark.size() + kReplacementDigits) return false;
  if (name.compare(0, target.size(), target) != 0) return false;
  if (name.compare(target.size(), kReplacementMark.size(), kReplacementMark) != 0) return false;
  return std::all_of(name.end() - kReplacementDigits, name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Removes the replacements of `path` that writers which died before renaming them left behind.
// The caller holds the lock of the writers of `path`, so no live writer owns one.
void RemoveLeftoverReplacements(const std::string& path) {
  auto slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string target = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  while (struct dirent* entry = readdir(listing)) {
    if (IsReplacementOf(entry->d_name, target)) unlinkat(dirfd(listing), entry->d_name, 0);
  }
  closedir(listing);
}

}  // namespace

DWORD ReplaceFileContents(const std::string& path, const std::string& text, unsigned mode) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    // Only a regular file is replaced; a link planted in its place is never followed. Its
    // permission bits carry over without execute or set-id bits, which no text file needs.
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    mode = st.st_mode & 0666;
  } else if (errno != ENOENT) {
    return Win32FromErrno(errno);
  }
  RemoveLeftoverReplacements(path);
  std::string temp;
  int fd = -1;
  while (fd < 0) {
    temp = path + std::string(kReplacementMark) + RandomHex(kReplacementDigits);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return Win32FromErrno(errno);
  }
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      close(fd);
      unlink(temp.c_str());
      return Win32FromErrno(saved);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  bool written = fchmod(fd, mode) == 0 && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (!written) {
    unlink(temp.c_str());
    return Win32FromErrno(saved);
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    saved = errno;
    unlink(temp.c_str());
    return Win32FromErrno(saved);
  }
  return ERROR_SUCCESS;
}

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
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || !lark::DosMatch(pattern, name)) continue;
    names.push_back(std::move(name));
  }
  int kept = fcntl(dirfd(listing), F_DUPFD_CLOEXEC, 0);
  int saved = errno;
  closedir(listing);
  if (kept < 0) {
    lark::Fail(lark::Win32FromErrno(saved));
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<lark::FindObject>(kept, std::move(names));
  if (!find->Next(lpFindFileData)) {
    lark::Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return lark::AddHandle(find);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData) {
  auto find = lark::LookupHandleAs<lark::FindObject>(hFindFile);
  if (!find) return lark::Fail(ERROR_INVALID_HANDLE);
  if (!find->Next(lpFindFileData)) return lark::Fail(ERROR_NO_MORE_FILES);
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

BOOL WINAPI CreateDirectoryExA(LPCSTR lpTemplateDirectory, LPCSTR lpNewDirectory,
                               SECURITY_ATTRIBUTES*) {
  struct stat model;
  if (stat(lpTemplateDirectory, &model) != 0) return lark::FailForPath(lpTemplateDirectory);
  if (!S_ISDIR(model.st_mode)) return lark::Fail(ERROR_DIRECTORY);
  // Made private first, so that nobody else can use it before it has its final owner and mode.
  if (mkdir(lpNewDirectory, 0700) != 0) {
    if (errno == ENOENT) return lark::Fail(ERROR_PATH_NOT_FOUND);
    return lark::FailFromErrno();
  }
  int fd = open(lpNewDirectory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return lark::FailFromErrno();
  // Only a privileged caller may give the directory away; anyone else keeps it as their own.
  if (fchown(fd, model.st_uid, model.st_gid) != 0 && errno != EPERM) {
    int saved = errno;
    close(fd);
    return lark::Fail(lark::Win32FromErrno(saved));
  }
  bool moded = fchmod(fd, model.st_mode & 07777) == 0;
  int saved = errno;
  close(fd);
  return moded ? TRUE : lark::Fail(lark::Win32FromErrno(saved));
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

HANDLE WINAPI LarkOpenDirectoryA(HANDLE hParent, LPCSTR lpName, DWORD dwFlags) {
  lark::DirectoryRef parentDir;
  int parent = AT_FDCWD;
  if (hParent != nullptr) parentDir = lark::LookupHandleAs<lark::DirectoryObject>(hParent);
  if (hParent != nullptr && (parent = lark::FdOf(parentDir)) < 0) {
    lark::Fail(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (dwFlags & FILE_FLAG_OPEN_REPARSE_POINT) flags |= O_NOFOLLOW;
  int fd = openat(parent, lpName, flags);
  if (fd < 0) {
    if (errno == ENOTDIR || errno == ELOOP) {
      lark::Fail(ERROR_DIRECTORY);
    } else if (errno == ENOENT) {
      lark::Fail(ERROR_PATH_NOT_FOUND);
    } else {
      lark::FailFromErrno();
    }
    return INVALID_HANDLE_VALUE;
  }
  return lark::AddHandle(std::make_shared<lark::DirectoryObject>(fd));
}

DWORD WINAPI LarkGetFileAttributesAtA(HANDLE hDirectory, LPCSTR lpName) {
  auto dir = lark::LookupHandleAs<lark::DirectoryObject>(hDirectory);
  struct stat st;
  if (!dir) {
    lark::Fail(ERROR_INVALID_HANDLE);
  } else if (fstatat(dir->fd, lpName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    lark::Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : lark::Win32FromErrno(errno));
  } else {
    return lark::AttributesOf(st, lpName);
  }
  return INVALID_FILE_ATTRIBUTES;
}

BOOL WINAPI LarkGetDirectoryOwner(HANDLE hDirectory, LPDWORD lpOwner) {
  auto dir = lark::LookupHandleAs<lark::DirectoryObject>(hDirectory);
  if (!dir) return lark::Fail(ERROR_INVALID_HANDLE);
  struct stat st;
  if (fstat(dir->fd, &st) != 0) return lark::FailFromErrno();
  *lpOwner = st.st_uid;
  return TRUE;
}

BOOL WINAPI LarkGetFileOwnerAndMode(HANDLE hFile, LPDWORD lpOwner, LPDWORD lpMode,
                                    LPDWORD lpProcessUser) {
  auto file = lark::LookupHandleAs<lark::DescriptorObject>(hFile);
  if (!file) return lark::Fail(ERROR_INVALID_HANDLE);
  if (lpOwner == nullptr || lpMode == nullptr || lpProcessUser == nullptr) {
    return lark::Fail(ERROR_INVALID_PARAMETER);
  }
  struct stat st;
  if (fstat(file->fd, &st) != 0) return lark::FailFromErrno();
  *lpOwner = st.st_uid;
  *lpMode = st.st_mode & 07777;
  *lpProcessUser = geteuid();
  return TRUE;
}

BOOL WINAPI LarkMoveFileAtA(HANDLE hFromDirectory, LPCSTR lpExistingName, HANDLE hToDirectory,
                            LPCSTR lpNewName) {
  auto fromDir = lark::LookupHandleAs<lark::DirectoryObject>(hFromDirectory);
  auto toDir = lark::LookupHandleAs<lark::DirectoryObject>(hToDirectory);
  int from = lark::FdOf(fromDir);
  int to = lark::FdOf(toDir);
  if (from < 0 || to < 0) return lark::Fail(ERROR_INVALID_HANDLE);
  if (renameat2(from, lpExistingName, to, lpNewName, RENAME_NOREPLACE) == 0) return TRUE;
  if (errno == EINVAL || errno == ENOSYS) {
    // The file system cannot rename without replacing: link the new name, then drop the old.
    if (linkat(from, lpExistingName, to, lpNewName, 0) == 0) {
      unlinkat(from, lpExistingName, 0);
      return TRUE;
    }
  }
  if (errno == EEXIST) return lark::Fail(ERROR_ALREADY_EXISTS);
  if (errno == ENOENT) return lark::Fail(ERROR_FILE_NOT_FOUND);
  if (errno == EXDEV) return lark::Fail(ERROR_NOT_SAME_DEVICE);
  return lark::FailFromErrno();
}

BOOL WINAPI LarkRemoveTreeAtA(HANDLE hDirectory, LPCSTR lpName) {
  auto dir = lark::LookupHandleAs<lark::DirectoryObject>(hDirectory);
  if (!dir) return lark::Fail(ERROR_INVALID_HANDLE);
  if (lark::RemoveTree(dir->fd, lpName)) return TRUE;
  return errno == ENOENT ? lark::Fail(ERROR_FILE_NOT_FOUND) : lark::FailFromErrno();
}

HANDLE WINAPI LarkLockFileA(LPCSTR lpName) {
  const std::string dir = lark::MachineRoot() + "/run/locks";
  if (std::strchr(lpName, '/') != nullptr || !lark::MakeDirectories(dir)) {
    lark::Fail(std::strchr(lpName, '/') != nullptr ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = dir + "/" + lpName + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    lark::FailFromErrno();
    return INVALID_HANDLE_VALUE;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    close(fd);
    lark::Fail(saved == EWOULDBLOCK ? ERROR_LOCK_VIOLATION : lark::Win32FromErrno(saved));
    return INVALID_HANDLE_VALUE;
  }
  return lark::AddHandle(std::make_shared<lark::LockObject>(fd));
}
