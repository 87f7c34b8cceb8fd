#include "winapi/posix/hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lark {
namespace {

thread_local std::string registryProblem;

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";

// How long a writer waits for another before it gives up: long enough for any honest write of
// the hive, short enough that an administrator's command or the service never seems to hang.
constexpr std::chrono::seconds kHiveLockLimit{3};

void Serialize(const RegKey& key, const std::string& path, std::string& out) {
  if (!path.empty() && (path != kRootName || !key.values.empty())) {
    out += regfile::FormatKey(path, key.values);
  }
  for (const auto& [upper, child] : key.subkeys) Serialize(*child, path + "\\" + child->name, out);
}

// Splits "HKEY_LOCAL_MACHINE\A\B" into {"A", "B"}; false for a key outside this hive.
bool SplitHivePath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  auto slash = path.find('\\');
  if (UpperCase(path.substr(0, slash)) != kRootName) return false;
  while (slash != std::string_view::npos) {
    path = path.substr(slash + 1);
    slash = path.find('\\');
    if (auto part = path.substr(0, slash); !part.empty()) parts.push_back(part);
  }
  return true;
}

std::string ApplyOperations(RegKey& root, const std::vector<regfile::Operation>& operations) {
  std::vector<std::string_view> parts;
  for (const auto& op : operations) {
    if (!SplitHivePath(op.key, parts)) return "key outside HKEY_LOCAL_MACHINE: " + op.key;
    RegKey* key = &root;
    RegKey* parent = nullptr;
    bool created = false;
    for (auto part : parts) {
      parent = key;
      key = key->FindOrCreate(part, created);
    }
    if (op.kind == regfile::Operation::kDeleteKey) {
      if (parent != nullptr) parent->subkeys.erase(UpperCase(parts.back()));
    } else if (op.kind == regfile::Operation::kSetValue) {
      if (auto* value = key->FindValue(op.value.name)) {
        *value = op.value;
      } else {
        key->values.push_back(op.value);
      }
    } else if (op.kind == regfile::Operation::kDeleteValue) {
      std::erase_if(key->values, [&](const regfile::Value& v) {
        return UpperCase(v.name) == UpperCase(op.value.name);
      });
    }
  }
  return "";
}

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

RegKey* RegKey::Find(std::string_view child) const {
  auto it = subkeys.find(UpperCase(child));
  return it == subkeys.end() ? nullptr : it->second.get();
}

RegKey* RegKey::FindOrCreate(std::string_view child, bool& created) {
  auto& slot = subkeys[UpperCase(child)];
  created = !slot;
  if (created) {
    slot = std::make_unique<RegKey>();
    slot->name = std::string(child);
  }
  return slot.get();
}

regfile::Value* RegKey::FindValue(std::string_view valueName) {
  std::string wanted = UpperCase(valueName);
  for (auto& value : values) {
    if (UpperCase(value.name) == wanted) return &value;
  }
  return nullptr;
}

WriterLock::~WriterLock() {
  if (fd_ >= 0) close(fd_);  // releases the lock
}

DWORD WriterLock::Acquire(const std::string& path, std::chrono::milliseconds limit) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return Win32FromErrno(errno);
  struct stat st;
  // A lock file that others may open (made by hand) could be held by anyone: refused, not used.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  if (DWORD error = LockWithin(fd, limit); error != ERROR_SUCCESS) {
    close(fd);
    return error;
  }
  fd_ = fd;
  return ERROR_SUCCESS;
}

void SetRegistryProblem(std::string text) { registryProblem = std::move(text); }

Hive& Hive::Machine() {
  static auto* hive = new Hive;
  return *hive;
}

std::string Hive::Directory() const { return MachineRoot() + "/registry"; }
std::string Hive::Path() const { return Directory() + "/HKEY_LOCAL_MACHINE.reg"; }

Hive::Stamp Hive::CurrentStamp() const {
  Stamp stamp;
  stamp.path = Path();
  struct stat st;
  if (stat(stamp.path.c_str(), &st) == 0) {
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = static_cast<unsigned long long>(st.st_size);
    stamp.mtime = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    stamp.ctime = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  }
  return stamp;
}

DWORD Hive::Refresh() {
  Stamp stamp = CurrentStamp();
  if (loaded_ && stamp == stamp_) return ERROR_SUCCESS;
  loaded_ = false;
  root_ = RegKey{};
  std::string text;
  if (!ReadWholeFile(stamp.path, text)) {
    if (errno != ENOENT) {
      SetRegistryProblem(stamp.path + ": " + std::strerror(errno));
      return Win32FromErrno(errno);
    }
  } else {
    auto parsed = regfile::Parse(text);
    std::string error = parsed.error;
    if (error.empty()) error = ApplyOperations(root_, parsed.operations);
    if (!error.empty()) {
      root_ = RegKey{};
      SetRegistryProblem(stamp.path + ":" + std::to_string(parsed.errorLine) + ": " + error);
      return ERROR_BADDB;
    }
  }
  stamp_ = stamp;
  loaded_ = true;
  return ERROR_SUCCESS;
}

DWORD Hive::Save() {
  std::string text = regfile::Header();
  Serialize(root_, std::string(kRootName), text);
  DWORD error = ReplaceFileContents(Path(), text, 0644);
  if (error != ERROR_SUCCESS) {
    loaded_ = false;  // the tree in memory is ahead of the file: read the file again next time
    return error;
  }
  stamp_ = CurrentStamp();
  return ERROR_SUCCESS;
}

DWORD Hive::Read(const std::function<DWORD(RegKey& root)>& fn) {
  std::lock_guard lock(mutex_);
  if (DWORD error = Refresh(); error != ERROR_SUCCESS) return error;
  return fn(root_);
}

bool Hive::Writable() {
  std::string dir = Directory(), path = Path();
  if (!MakeDirectories(dir) || access(dir.c_str(), W_OK) != 0) return false;
  return access(path.c_str(), F_OK) != 0 || access(path.c_str(), W_OK) == 0;
}

DWORD Hive::Write(const std::function<DWORD(RegKey& root)>& fn) {
  std::lock_guard lock(mutex_);
  if (!Writable()) return ERROR_ACCESS_DENIED;
  // Not the hive's name with ".lock": earlier versions left that file open to every user.
  std::string lockPath = Directory() + "/HKEY_LOCAL_MACHINE.writers.lock";
  WriterLock writers;
  if (DWORD error = writers.Acquire(lockPath, kHiveLockLimit); error != ERROR_SUCCESS) {
    SetRegistryProblem(
        lockPath + ": " +
        (error == ERROR_SHARING_VIOLATION
             ? "another writer kept the lock for " + std::to_string(kHiveLockLimit.count()) +
                   " seconds"
             : "cannot be used as the writers' lock (" + std::to_string(error) + ")"));
    return error;
  }
  // A file's times and size can stay the same across a change (a rewrite within one clock tick,
  // an inode reused), so a writer never trusts its copy: it reads the hive again under the lock.
  loaded_ = false;
  DWORD error = Refresh();
  if (error == ERROR_SUCCESS) {
    error = fn(root_);
    if (error == ERROR_SUCCESS) {
      error = Save();
    } else {
      loaded_ = false;  // fn may have changed the tree before it failed
    }
  }
  return error;
}

}  // namespace lark

DWORD WINAPI LarkRegGetProblemA(LPSTR lpBuffer, DWORD nSize) {
  return lark::CopyText(lark::registryProblem, lpBuffer, nSize);
}
