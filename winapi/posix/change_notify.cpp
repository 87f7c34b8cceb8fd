// Directory change notifications over inotify. The handle becomes signalled at the first change
// and stays so until FindNextChangeNotification re-arms it; a change seen between the signal and
// the re-arm is remembered, so the next wait succeeds at once and no change is lost.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

class ChangeNotification : public KernelObject {
 public:
  ChangeNotification(int fd, DWORD filter) : fd_(fd), filter_(filter) {}
  ~ChangeNotification() override { close(fd_); }

  int PollFd() override { return fd_; }
  bool IsSignaled() override {
    Drain();
    return signaled_;
  }
  void Rearm() {
    Drain();
    signaled_ = later_;
    later_ = false;
  }

 private:
  bool Wanted(const struct inotify_event& event) const {
    bool isDirectory = (event.mask & IN_ISDIR) != 0;
    if (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
      return isDirectory ? (filter_ & FILE_NOTIFY_CHANGE_DIR_NAME) != 0
                         : (filter_ & FILE_NOTIFY_CHANGE_FILE_NAME) != 0;
    }
    if (event.mask & IN_MODIFY) {
      return !isDirectory &&
             (filter_ & (FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE)) != 0;
    }
    return false;
  }

  void Drain() {
    alignas(struct inotify_event) char buffer[8192];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return;
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<struct inotify_event*>(p);
        if (Wanted(*event) || (event->mask & IN_Q_OVERFLOW)) {
          if (signaled_) {
            later_ = true;
          } else {
            signaled_ = true;
          }
        }
        p += sizeof(struct inotify_event) + event->len;
      }
    }
  }

  int fd_;
  DWORD filter_;
  bool signaled_ = false;
  bool later_ = false;
};

}  // namespace
}  // namespace lark

HANDLE WINAPI FindFirstChangeNotificationA(LPCSTR lpPathName, BOOL bWatchSubtree,
                                           DWORD dwNotifyFilter) {
  if (bWatchSubtree) {
    lark::Fail(ERROR_NOT_SUPPORTED);  // inotify watches one directory, not a tree
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (stat(lpPathName, &st) != 0) {
    std::string path(lpPathName);
    auto slash = path.find_last_of('/');
    struct stat parent;
    bool parentExists = slash == std::string::npos || slash == 0 ||
                        stat(path.substr(0, slash).c_str(), &parent) == 0;
    lark::Fail(errno == ENOENT && parentExists ? ERROR_FILE_NOT_FOUND
               : errno == ENOENT               ? ERROR_PATH_NOT_FOUND
                                               : lark::Win32FromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  if (!S_ISDIR(st.st_mode)) {
    lark::Fail(ERROR_DIRECTORY);
    return INVALID_HANDLE_VALUE;
  }
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    lark::FailFromErrno();
    return INVALID_HANDLE_VALUE;
  }
  uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
  if (dwNotifyFilter & (FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE)) {
    mask |= IN_MODIFY;
  }
  if (inotify_add_watch(fd, lpPathName, mask) < 0) {
    int saved = errno;
    close(fd);
    lark::Fail(lark::Win32FromErrno(saved));
    return INVALID_HANDLE_VALUE;
  }
  return lark::AddHandle(std::make_shared<lark::ChangeNotification>(fd, dwNotifyFilter));
}

BOOL WINAPI FindNextChangeNotification(HANDLE hChangeHandle) {
  auto notification = lark::LookupHandleAs<lark::ChangeNotification>(hChangeHandle);
  if (!notification) return lark::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard lock(lark::WaitMutex());
  notification->Rearm();
  return TRUE;
}

BOOL WINAPI FindCloseChangeNotification(HANDLE hChangeHandle) {
  if (!lark::LookupHandleAs<lark::ChangeNotification>(hChangeHandle)) {
    return lark::Fail(ERROR_INVALID_HANDLE);
  }
  lark::RemoveHandle(hChangeHandle);
  return TRUE;
}
