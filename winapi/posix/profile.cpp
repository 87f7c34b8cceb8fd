// Profile (INI) files with the Win32 reading and writing rules: names match without regard to
// case, the first section and the first key of a name win, values are trimmed and lose one pair
// of surrounding quotes, writes keep every other line and end each line with CR LF. A write
// replaces the file through a renamed temporary file, so no reader sees half a file, and holds a
// writers' lock meanwhile, so writers in several processes lose no key.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <string_view>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view TrimBlanks(std::string_view text, std::string_view blanks) {
  auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

constexpr std::string_view kBlanks = " \t\v";
// How long a file must have been left alone before its read lines are kept for the next read.
constexpr time_t kSettledSeconds = 2;
// A writer gives up after this long rather than hold up its caller (a queue pass, a stop): the
// caller counts it as a passing failure of that one file.
constexpr auto kLockWait = std::chrono::seconds(3);
constexpr unsigned kLockStripes = 64;

std::string ResolvePath(LPCSTR fileName) {
  std::string name(fileName);
  // A bare file name means the Windows directory, which is kept in the machine root.
  if (name.find('/') == std::string::npos) {
    MakeDirectories(MachineRoot() + "/windows");
    return MachineRoot() + "/windows/" + name;
  }
  return name;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// The section a line opens ("[ name ]" gives "name"), or false for any other line.
bool SectionOf(const std::string& line, std::string& name) {
  auto text = TrimBlanks(line, kBlanks);
  if (text.empty() || text[0] != '[') return false;
  auto close = text.find(']');
  name = std::string(
      TrimBlanks(text.substr(1, close == std::string_view::npos ? close : close - 1), kBlanks));
  return true;
}

// The key of an entry line; false for comments, blank lines and lines without "=".
bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  auto text = TrimBlanks(line, kBlanks);
  if (text.empty() || text[0] == ';') return false;
  auto equals = text.find('=');
  if (equals == std::string_view::npos) return false;
  key = std::string(TrimBlanks(text.substr(0, equals), kBlanks));
  value = std::string(TrimBlanks(text.substr(equals + 1), kBlanks));
  return true;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

struct Profile {
  std::vector<std::string> lines;
  // Index of the first line of the first section with this name (its header), or npos.
  size_t FindSection(const std::string& section) const {
    std::string wanted = Lower(section), name;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (SectionOf(lines[i], name) && Lower(name) == wanted) return i;
    }
    return std::string::npos;
  }
  // One past the last line of the section whose header is at `header`.
  size_t SectionEnd(size_t header) const {
    std::string name;
    size_t i = header + 1;
    while (i < lines.size() && !SectionOf(lines[i], name)) ++i;
    return i;
  }
};

DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
  if (size == 0) return 0;
  DWORD count = static_cast<DWORD>(std::min<size_t>(text.size(), size - 1));
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  if (count < text.size()) SetLastError(ERROR_MORE_DATA);
  return count;
}

// A list of NUL-terminated names ending with a second NUL, cut to the buffer as Windows does.
DWORD CopyList(const std::vector<std::string>& names, LPSTR buffer, DWORD size) {
  std::string list;
  for (const auto& name : names) list += name + '\0';
  if (size < 2) {
    if (size == 1) buffer[0] = '\0';
    return 0;
  }
  if (list.size() + 1 > size) {
    std::memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    SetLastError(ERROR_MORE_DATA);
    return size - 2;
  }
  std::memcpy(buffer, list.data(), list.size());
  buffer[list.size()] = '\0';
  return static_cast<DWORD>(list.size());
}

std::string StripArgument(LPCSTR name) { return std::string(TrimBlanks(name, " ")); }

// The writers' lock of a profile: one of a few lock files in the machine root, chosen by the
// file's directory and name. A lock on the profile itself would let anyone who can read it (any
// local user, in a queue directory) hold up every writer; the machine root is the writers' own.
// Where the machine root cannot be used, the profile itself is locked.
int OpenLockFor(const std::string& path) {
  const std::string dir = MachineRoot() + "/run/profile-locks";
  struct stat folder;
  auto slash = path.find_last_of('/');
  std::string parent = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  if (!MakeDirectories(dir) || stat(parent.c_str(), &folder) != 0) return -1;
  chmod(dir.c_str(), 0700);
  const size_t stripe =
      std::hash<std::string>{}(std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino) +
                               "/" + path.substr(slash + 1)) %
      kLockStripes;
  const std::string lock = dir + "/" + std::to_string(stripe) + ".lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat held;
  if (fd >= 0 && (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != geteuid())) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// The profile a writer holds: the writers' lock, and the file's text.
class LockedProfile {
 public:
  LockedProfile() = default;
  LockedProfile(const LockedProfile&) = delete;
  LockedProfile& operator=(const LockedProfile&) = delete;
  ~LockedProfile() {
    if (fd_ >= 0) close(fd_);
    if (lockFd_ >= 0) close(lockFd_);
  }

  // Locks and opens the file at path, created empty when missing (a write leaves a file even
  // when it changes nothing, as on Windows). Without a lock file of the writers' own the lock
  // belongs to the file a path names, and a write renames a new file over it, so the lock is
  // taken again until the file locked is the one the path still names. Returns 0 or a Win32
  // error.
  DWORD Open(const std::string& path) {
    lockFd_ = OpenLockFor(path);
    if (lockFd_ >= 0) {
      if (DWORD error = LockWithin(lockFd_, kLockWait); error != ERROR_SUCCESS) return error;
    }
    for (;;) {
      // No link is followed and nothing but a regular file is opened: the directory may be
      // writable by others, who must not be able to point a write elsewhere.
      fd_ = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd_ < 0 && errno == ENOENT) {
        fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0 && errno == EEXIST) continue;
        if (fd_ < 0 && errno == ENOENT) return ERROR_PATH_NOT_FOUND;
      }
      if (fd_ < 0) return Win32FromErrno(errno);
      struct stat held, named;
      if (fstat(fd_, &held) != 0 || !S_ISREG(held.st_mode)) return ERROR_ACCESS_DENIED;
      if (lockFd_ >= 0) return ReadText();
      if (DWORD error = LockWithin(fd_, kLockWait); error != ERROR_SUCCESS) return error;
      if (lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
          named.st_ino == held.st_ino) {
        return ReadText();
      }
      close(fd_);
      fd_ = -1;
    }
  }

  const std::string& Text() const { return text_; }

 private:
  DWORD ReadText() {
    char buffer[65536];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n == 0) return ERROR_SUCCESS;
      if (n < 0 && errno != EINTR) return Win32FromErrno(errno);
      if (n > 0) text_.append(buffer, static_cast<size_t>(n));
    }
  }

  int fd_ = -1;
  int lockFd_ = -1;
  std::string text_;
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Reading a queued message asks one file for some thirty values in a row, so each thread keeps
// the lines of the file it read last and reads it again only when its status has changed. The
// file system's clock is coarse: a file changed within the same tick as before keeps its times,
// so only a file that had been left alone for a while before it was read is trusted.
bool ReadProfileLines(const std::string& path, std::vector<std::string>& lines) {
  struct Cache {
    std::string path;
    struct stat status {};
    std::vector<std::string> lines;
  };
  thread_local Cache cache;
  struct stat status;
  if (!cache.path.empty() && cache.path == path && lstat(path.c_str(), &status) == 0 &&
      S_ISREG(status.st_mode) && SameFile(status, cache.status)) {
    lines = cache.lines;
    return true;
  }
  cache.path.clear();
  std::string text;
  if (!ReadWholeFile(path, text, &status)) return false;
  lines = SplitLines(text);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec - status.st_ctim.tv_sec >= kSettledSeconds) {
    cache.path = path;
    cache.status = status;
    cache.lines = lines;
  }
  return true;
}

}  // namespace
}  // namespace lark

using lark::Profile;

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (lpReturnedString == nullptr || nSize == 0) return 0;
  Profile profile;
  if (!lark::ReadProfileLines(lark::ResolvePath(lpFileName), profile.lines)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  std::string name, key, value;
  if (lpAppName == nullptr) {
    std::vector<std::string> sections;
    for (const auto& line : profile.lines) {
      if (lark::SectionOf(line, name)) sections.push_back(name);
    }
    return lark::CopyList(sections, lpReturnedString, nSize);
  }
  size_t header = profile.FindSection(lark::StripArgument(lpAppName));
  if (lpKeyName == nullptr) {
    std::vector<std::string> keys;
    if (header != std::string::npos) {
      for (size_t i = header + 1, end = profile.SectionEnd(header); i < end; ++i) {
        if (lark::KeyOf(profile.lines[i], key, value)) keys.push_back(key);
      }
    }
    return lark::CopyList(keys, lpReturnedString, nSize);
  }
  if (header != std::string::npos) {
    std::string wanted = lark::Lower(lark::StripArgument(lpKeyName));
    for (size_t i = header + 1, end = profile.SectionEnd(header); i < end; ++i) {
      if (lark::KeyOf(profile.lines[i], key, value) && lark::Lower(key) == wanted) {
        return lark::CopyOut(lark::Unquote(value), lpReturnedString, nSize);
      }
    }
  }
  std::string fallback = lpDefault != nullptr ? lpDefault : "";
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
  return lark::CopyOut(fallback, lpReturnedString, nSize);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, int nDefault,
                                  LPCSTR lpFileName) {
  char buffer[64];
  const char* kMissing = "\x01";
  GetPrivateProfileStringA(lpAppName, lpKeyName, kMissing, buffer, sizeof buffer, lpFileName);
  if (std::strcmp(buffer, kMissing) == 0) return static_cast<UINT>(nDefault);
  // An optional sign and the leading decimal digits; anything else reads as 0.
  const char* p = buffer;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  return negative ? 0u - value : value;
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName) {
  if (lpAppName == nullptr) return lark::Fail(ERROR_FILE_NOT_FOUND);
  std::string path = lark::ResolvePath(lpFileName);
  lark::LockedProfile locked;
  if (DWORD error = locked.Open(path); error != ERROR_SUCCESS) return lark::Fail(error);
  const std::string& text = locked.Text();
  Profile profile;
  profile.lines = lark::SplitLines(text);

  std::string section = lark::StripArgument(lpAppName);
  size_t header = profile.FindSection(section);
  auto& lines = profile.lines;
  if (lpKeyName == nullptr) {
    // The whole section goes, but for the comment lines inside it.
    if (header != std::string::npos) {
      size_t end = profile.SectionEnd(header);
      std::vector<std::string> kept(lines.begin(), lines.begin() + header);
      for (size_t i = header + 1; i < end; ++i) {
        auto trimmed = lark::TrimBlanks(lines[i], lark::kBlanks);
        if (!trimmed.empty() && trimmed[0] == ';') kept.push_back(lines[i]);
      }
      kept.insert(kept.end(), lines.begin() + end, lines.end());
      lines = std::move(kept);
    }
  } else {
    std::string wanted = lark::Lower(lark::StripArgument(lpKeyName));
    std::string key, value;
    size_t found = std::string::npos, lastKey = header;
    if (header != std::string::npos) {
      for (size_t i = header + 1, end = profile.SectionEnd(header); i < end; ++i) {
        if (!lark::KeyOf(lines[i], key, value)) continue;
        lastKey = i;
        if (found == std::string::npos && lark::Lower(key) == wanted) found = i;
      }
    }
    if (lpString == nullptr) {
      if (found != std::string::npos) lines.erase(lines.begin() + found);
    } else if (found != std::string::npos) {
      lark::KeyOf(lines[found], key, value);
      lines[found] = key + "=" + lpString;
    } else if (header != std::string::npos) {
      lines.insert(lines.begin() + lastKey + 1, lark::StripArgument(lpKeyName) + "=" + lpString);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(lark::StripArgument(lpKeyName) + "=" + lpString);
    }
  }
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  if (out == text) return TRUE;
  DWORD error = lark::ReplaceFileContents(path, out, 0644);
  if (error != ERROR_SUCCESS) return lark::Fail(error);
  return TRUE;
}
