// Holds an exclusive flock on a file as another party would: a process of the unprivileged user
// nobody (who needs no more than read access), or this process through an open of its own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "testing/Eventually.h"

namespace testing_support {

class LockHolder {
 public:
  // True once the lock is held; a nobody who cannot open the file never holds it.
  bool HoldAsNobody(const std::string& path) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      execl("/usr/sbin/runuser", "runuser", "-u", "nobody", "--", "flock", "-x", path.c_str(),
            "sleep", "120", static_cast<char*>(nullptr));
      _exit(127);
    }
    return Eventually([&] { return IsHeld(path); }, std::chrono::seconds(10));
  }

  bool HoldHere(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    return fd_ >= 0 && flock(fd_, LOCK_EX) == 0;
  }

  void Release() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  ~LockHolder() { Release(); }

  // Runs a call that must not wait on the lock for long: false when it has not returned within
  // a generous bound, after which the lock is released so that the call can end.
  template <class Call>
  bool ReturnsWhileHeld(Call call) {
    auto done = std::async(std::launch::async, call);
    bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    Release();
    done.wait();
    return returned;
  }

 private:
  static bool IsHeld(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
};

}  // namespace testing_support
