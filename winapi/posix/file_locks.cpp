// Waiting for another process's lock on a file: never without bound, since whoever can open a file
// can lock it, and a lock held for ever must not stall a writer for ever.
#include <sys/file.h>

#include <cerrno>
#include <thread>

#include "winapi/posix/internal.h"

namespace lark {

DWORD LockWithin(int fd, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return Win32FromErrno(errno);
    if (Clock::now() >= deadline) return ERROR_SHARING_VIOLATION;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ERROR_SUCCESS;
}

}  // namespace lark
