// Files opened by handle, in the ways the system needs: appending (the message log), reading (a
// queued body), creating a new file (a queued pair) and syncing a directory, all in a queue
// directory that web applications may write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

class FileObject : public DescriptorObject {
 public:
  FileObject(int fd, bool forReading, bool writable = true)
      : DescriptorObject(fd), forReading(forReading), writable(writable && !forReading) {}
  const bool forReading;
  const bool writable;
};

HANDLE OpenDirectory(LPCSTR path, DWORD flags) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC |
                          (flags & FILE_FLAG_OPEN_REPARSE_POINT ? O_NOFOLLOW : 0));
  if (fd < 0) {
    FailFromErrno();
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return AddHandle(std::make_shared<FileObject>(fd, false, false));
}

HANDLE CreateNew(LPCSTR path) {
  // O_EXCL never follows a link: a name taken by anything, a link included, is refused.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) {
      Fail(ERROR_FILE_EXISTS);
    } else if (errno == ENOENT) {
      Fail(ERROR_PATH_NOT_FOUND);
    } else {
      FailFromErrno();
    }
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return AddHandle(std::make_shared<FileObject>(fd, false));
}

}  // namespace
}  // namespace lark

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, SECURITY_ATTRIBUTES*,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  const bool reading = dwDesiredAccess == GENERIC_READ && dwCreationDisposition == OPEN_EXISTING;
  const bool appending =
      dwDesiredAccess == FILE_APPEND_DATA && dwCreationDisposition == OPEN_ALWAYS;
  if (lpFileName != nullptr && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) &&
      dwCreationDisposition == OPEN_EXISTING) {
    return lark::OpenDirectory(lpFileName, dwFlagsAndAttributes);
  }
  if (lpFileName != nullptr && dwDesiredAccess == GENERIC_WRITE &&
      dwCreationDisposition == CREATE_NEW) {
    return lark::CreateNew(lpFileName);
  }
  if (lpFileName == nullptr || (!reading && !appending)) {
    lark::Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; it is refused below.
  int flags = (reading ? O_RDONLY : O_WRONLY | O_APPEND) | O_CLOEXEC | O_NONBLOCK;
  if (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) flags |= O_NOFOLLOW;
  // A file opened for appending nearly always exists (a log): it is opened first, and made only
  // when missing, exclusively, so that a name taken meanwhile is opened as it stands.
  bool created = false;
  int fd = open(lpFileName, flags);
  if (fd < 0 && errno == ENOENT && !reading) {
    created = true;
    fd = open(lpFileName, flags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
      created = false;
      fd = open(lpFileName, flags);
    }
  }
  if (fd < 0) {
    // Creating fails with ENOENT only for a missing directory on the way.
    if (created && errno == ENOENT) {
      lark::Fail(ERROR_PATH_NOT_FOUND);
    } else {
      lark::FailFromErrno();
    }
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    lark::Fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // O_NONBLOCK is left on: it changes nothing for a regular file.
  SetLastError(created || reading ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return lark::AddHandle(std::make_shared<lark::FileObject>(fd, reading));
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, void*) {
  auto file = lark::LookupHandleAs<lark::FileObject>(hFile);
  if (!file || !file->writable) return lark::Fail(ERROR_INVALID_HANDLE);
  const char* data = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = write(file->fd, data + done, nNumberOfBytesToWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      return n == 0 || errno == ENOSPC ? lark::Fail(ERROR_DISK_FULL) : lark::FailFromErrno();
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto file = lark::LookupHandleAs<lark::DescriptorObject>(hFile);
  if (!file) return lark::Fail(ERROR_INVALID_HANDLE);
  while (fsync(file->fd) != 0) {
    if (errno != EINTR)
      return errno == ENOSPC ? lark::Fail(ERROR_DISK_FULL) : lark::FailFromErrno();
  }
  return TRUE;
}

BOOL WINAPI LarkSetFileMode(HANDLE hFile, DWORD dwMode) {
  auto file = lark::LookupHandleAs<lark::DescriptorObject>(hFile);
  if (!file) return lark::Fail(ERROR_INVALID_HANDLE);
  return fchmod(file->fd, static_cast<mode_t>(dwMode & 07777)) == 0 ? TRUE : lark::FailFromErrno();
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, void*) {
  auto file = lark::LookupHandleAs<lark::FileObject>(hFile);
  if (!file || !file->forReading) return lark::Fail(ERROR_INVALID_HANDLE);
  for (;;) {
    ssize_t n = read(file->fd, lpBuffer, nNumberOfBytesToRead);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return lark::FailFromErrno();
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
  }
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = lark::LookupHandleAs<lark::FileObject>(hFile);
  struct stat st;
  if (!file || fstat(file->fd, &st) != 0) {
    lark::Fail(file ? lark::Win32FromErrno(errno) : ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  auto size = static_cast<unsigned long long>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  auto file = lark::LookupHandleAs<lark::FileObject>(hFile);
  if (!file || file->forReading) return lark::Fail(ERROR_INVALID_HANDLE);
  const off_t at = lseek(file->fd, 0, SEEK_CUR);
  if (at < 0 || ftruncate(file->fd, at) != 0) return lark::FailFromErrno();
  return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
  auto file = lark::LookupHandleAs<lark::FileObject>(hFile);
  if (!file) return lark::Fail(ERROR_INVALID_HANDLE);
  int whence = dwMoveMethod == FILE_BEGIN     ? SEEK_SET
               : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
               : dwMoveMethod == FILE_END     ? SEEK_END
                                              : -1;
  if (whence < 0) return lark::Fail(ERROR_INVALID_PARAMETER);
  off_t at = lseek(file->fd, static_cast<off_t>(liDistanceToMove.QuadPart), whence);
  if (at < 0) return errno == EINVAL ? lark::Fail(ERROR_NEGATIVE_SEEK) : lark::FailFromErrno();
  if (lpNewFilePointer != nullptr) lpNewFilePointer->QuadPart = at;
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  auto file = lark::LookupHandleAs<lark::FileObject>(hFile);
  if (!file) return lark::Fail(ERROR_INVALID_HANDLE);
  if (lpFileInformation == nullptr) return lark::Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(file->fd, &st) != 0) return lark::FailFromErrno();
  auto fileTime = [](const struct timespec& ts) {
    // 100-nanosecond ticks since 1601-01-01.
    auto ticks = (static_cast<unsigned long long>(ts.tv_sec) + 11644473600ULL) * 10000000ULL +
                 static_cast<unsigned long long>(ts.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  };
  auto size = static_cast<unsigned long long>(st.st_size);
  auto device = static_cast<unsigned long long>(st.st_dev);
  auto index = static_cast<unsigned long long>(st.st_ino);
  *lpFileInformation = BY_HANDLE_FILE_INFORMATION{
      (st.st_mode & 0222) == 0 ? DWORD{FILE_ATTRIBUTE_READONLY} : DWORD{FILE_ATTRIBUTE_NORMAL},
      fileTime(st.st_ctim),
      fileTime(st.st_atim),
      fileTime(st.st_mtim),
      static_cast<DWORD>(device ^ (device >> 32)),
      static_cast<DWORD>(size >> 32),
      static_cast<DWORD>(size),
      static_cast<DWORD>(st.st_nlink),
      static_cast<DWORD>(index >> 32),
      static_cast<DWORD>(index)};
  return TRUE;
}
