// The HKEY_LOCAL_MACHINE hive: a tree of keys kept in memory and in a REGEDIT4 file under the
// machine root. Readers reload the file when it changed; writers take a lock file, reload, change
// the tree and rename a complete new file over the old, so several processes lose no value.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/RegFile.h"
#include "winapi/posix/internal.h"

namespace lark {

struct RegKey {
  std::string name;
  std::map<std::string, std::unique_ptr<RegKey>> subkeys;  // by upper-case name
  std::vector<regfile::Value> values;

  RegKey* Find(std::string_view child) const;
  RegKey* FindOrCreate(std::string_view child, bool& created);
  regfile::Value* FindValue(std::string_view valueName);
};

std::string UpperCase(std::string_view text);

// The lock that writers of one file in several processes share. It is held on a lock file that
// only its owner can open (mode 0600): a lock needs no more than the right to open the file, so a
// user who could open it could stall every writer. The wait is bounded for the same reason.
class WriterLock {
 public:
  WriterLock() = default;
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  ~WriterLock();

  // 0 once held; ERROR_SHARING_VIOLATION when another writer kept it for the whole `limit`;
  // ERROR_ACCESS_DENIED for a lock file that others may open; another Win32 error when the lock
  // file cannot be opened.
  DWORD Acquire(const std::string& path, std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
};

class Hive {
 public:
  static Hive& Machine();

  // Runs fn over the tree as it is on disk now; a hive that cannot be parsed gives ERROR_BADDB.
  DWORD Read(const std::function<DWORD(RegKey& root)>& fn);
  // Runs fn under the writers' lock and saves the tree when fn succeeds. A lock that another
  // writer keeps for longer than a few seconds gives ERROR_SHARING_VIOLATION.
  DWORD Write(const std::function<DWORD(RegKey& root)>& fn);
  // Whether this process may write the hive.
  bool Writable();

 private:
  struct Stamp {
    std::string path;
    unsigned long long device = 0, inode = 0, size = 0;
    long long mtime = 0, ctime = 0;
    bool operator==(const Stamp&) const = default;
  };
  std::string Directory() const;
  std::string Path() const;
  Stamp CurrentStamp() const;
  DWORD Refresh();
  DWORD Save();

  std::mutex mutex_;
  RegKey root_;
  Stamp stamp_;
  bool loaded_ = false;
};

// The text of the last hive problem met by this thread (see LarkRegGetProblemA).
void SetRegistryProblem(std::string text);

}  // namespace lark
