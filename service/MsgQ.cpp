#include "service/MsgQ.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "mailer/QueueSpool.h"
#include "maillib/codecs.h"
#include "rtl/DateTime.h"
#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "service/LogFile.h"
#include "settings/RegSet.h"

namespace service {
namespace {

constexpr int kSecondsPerDay = 86400;
// A body younger than this may still wait for its .ini, whatever the settle time.
constexpr int kMinOrphanAge = 15;

struct Moment {
  int32_t date;
  int32_t time;
};

Moment MomentOf(const SYSTEMTIME& t) {
  static const double kDay1600 = rtl::EncodeDate(1600, 1, 1);
  return {static_cast<int32_t>(rtl::EncodeDate(t.wYear, t.wMonth, t.wDay) - kDay1600),
          t.wHour * 3600 + t.wMinute * 60 + t.wSecond};
}

// Seconds between the two moments, whichever is the earlier: a clock set back still settles.
long long SecondsBetween(const QueueSlot& slot, const Moment& now) {
  long long found = static_cast<long long>(slot.FoundDate) * kSecondsPerDay + slot.FoundTime;
  long long current = static_cast<long long>(now.date) * kSecondsPerDay + now.time;
  return std::llabs(current - found);
}

// Closes a directory listing however the scan ends.
struct FindGuard {
  HANDLE handle;
  ~FindGuard() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

constexpr DWORD kNotAFile =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

// An opened directory: names are resolved in it, so a link swapped in for it later is not
// followed.
class TDirectory {
 public:
  TDirectory(HANDLE parent, const std::string& name, DWORD flags)
      : handle_(LarkOpenDirectoryA(parent, name.c_str(), flags)) {}
  ~TDirectory() {
    if (*this) CloseHandle(handle_);
  }
  TDirectory(const TDirectory&) = delete;
  TDirectory& operator=(const TDirectory&) = delete;
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  bool Has(const std::string& name) const {
    return LarkGetFileAttributesAtA(handle_, name.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  bool HasFile(const std::string& name) const {
    DWORD attributes = LarkGetFileAttributesAtA(handle_, name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotAFile) == 0;
  }
  DWORD Owner() const {
    DWORD owner = 0;
    LarkGetDirectoryOwner(handle_, &owner);
    return owner;
  }
  // Losing a move or a count to a power cut would send a message again or lose it.
  void Flush() const { FlushFileBuffers(handle_); }

 private:
  HANDLE handle_;
};

std::string LastErrorText() { return rtl::SysErrorMessage(GetLastError()); }

// The Failed directory of the queue, made when missing with the queue directory's owner, group
// and mode. Failed messages are moved only into a real directory of the queue's owner: a link or
// anything else a web application put there in its place is refused, never followed.
std::unique_ptr<TDirectory> OpenFailed(const TDirectory& queue, const std::string& quePath,
                                       std::string& why) {
  const std::string& path = settings::Settings().FailedPath;
  const std::string name = rtl::ExtractFileName(path);
  if (!queue.Has(name)) {
    if (!CreateDirectoryExA(quePath.c_str(), path.c_str(), nullptr)) {
      why = "Unable to create the failed directory " + path + ": " + LastErrorText();
      return nullptr;
    }
    queue.Flush();
  }
  auto failed = std::make_unique<TDirectory>(queue.Handle(), name, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!*failed) {
    why = "The failed directory " + path + " is not a directory: " + LastErrorText();
    return nullptr;
  }
  if (failed->Owner() != queue.Owner()) {
    why = "The failed directory " + path + " is not owned by the owner of the queue directory";
    return nullptr;
  }
  return failed;
}

// Whole seconds since a listed file was last written.
long long AgeOf(const WIN32_FIND_DATAA& entry) {
  unsigned long long ticks =
      (static_cast<unsigned long long>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
      entry.ftLastWriteTime.dwLowDateTime;
  long long written = static_cast<long long>(ticks / 10000000ULL) - 11644473600LL;
  long long now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return now - written;
}

// Calls each(entry) for each regular file of dir matching pattern (each directory, with
// FILE_ATTRIBUTE_DIRECTORY for kind).
template <class Each>
void ForEachFile(const std::string& dir, const char* pattern, Each each, DWORD kind = 0) {
  WIN32_FIND_DATAA entry;
  FindGuard find{FindFirstFileA((dir + rtl::PathDelim + pattern).c_str(), &entry)};
  if (find.handle == INVALID_HANDLE_VALUE) return;
  do {
    if ((entry.dwFileAttributes & kNotAFile) == kind) each(entry);
  } while (FindNextFileA(find.handle, &entry));
}

// Win32 codes of a profile writer that gave up waiting for another writer's lock: the message
// is counted at a later pass.
bool IsTransient(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == WAIT_TIMEOUT;
}

}  // namespace

SYSTEMTIME TQManager::LocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return now;
}

TQManager::TQManager(LocalClock clock) : clock_(std::move(clock)) {}

std::string TQManager::QueuedPath(const std::string& fileName, const char* ext) const {
  return QuePath + rtl::PathDelim + rtl::ChangeFileExt(fileName, ext);
}

bool TQManager::AnyFree() {
  std::lock_guard lock(QueueLock);
  for (const auto& slot : Slots) {
    if (slot.State == ssFree) return true;
  }
  // Whatever the directory holds now waits for a slot.
  leftOut_ = true;
  return false;
}

void TQManager::ReportOnce(const std::string& name, const std::string& text) {
  {
    std::lock_guard lock(QueueLock);
    if (!reported_.insert(name).second) return;
  }
  if (OnReport) OnReport(text);
}

void TQManager::ScanQueue() {
  // A full table takes nothing: the listing, costly in a long queue, is not even made.
  if (!AnyFree()) return;
  {
    std::lock_guard lock(QueueLock);
    leftOut_ = false;
  }
  WIN32_FIND_DATAA entry;
  FindGuard find{FindFirstFileA((QuePath + rtl::PathDelim + "*.ini").c_str(), &entry)};
  if (find.handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      std::lock_guard lock(QueueLock);
      keptOut_.clear();
      reported_.clear();
    }
    return;
  }
  std::set<std::string> listed;
  do {
    if (!AnyFree()) return;
    const std::string name = entry.cFileName;
    listed.insert(name);
    const std::string path = QuePath + rtl::PathDelim + name;
    if ((entry.dwFileAttributes & kNotAFile) != 0) {
      // A FIFO, a link or a directory can hold no message and its count cannot be written.
      ReportOnce(name, "Skipped " + path + ": not a regular file");
      continue;
    }
    try {
      AddMessage(name);
    } catch (const rtl::EConvertError& error) {
      // One producer's bad file must not hide the other messages, nor stop the service.
      ReportOnce(name, "Skipped " + path + ": its failure count " + error.Message());
    }
    maillib::PumpMessages();
  } while (FindNextFileA(find.handle, &entry));
  // A name kept out whose file is gone may come back as a new message.
  std::lock_guard lock(QueueLock);
  std::erase_if(keptOut_, [&](const std::string& name) { return !listed.contains(name); });
  std::erase_if(reported_, [&](const std::string& name) { return !listed.contains(name); });
}

void TQManager::AddMessage(const std::string& fileName) {
  auto known = [&] {
    if (keptOut_.contains(fileName)) return true;
    for (const auto& slot : Slots) {
      if (slot.FileName != fileName) continue;
      // A sent slot's files are gone: this is a new message under the same name.
      if (slot.State == ssSent) leftOut_ = true;
      return true;
    }
    return false;
  };
  {
    std::lock_guard lock(QueueLock);
    if (known()) return;
  }
  // Read without QueueLock: the file may be slow to read, and the count of a message that is
  // not in the table is written by nobody but an administrator.
  if (ReadFailureCount(fileName) >= settings::Settings().MaxMsgRetries) return;
  std::lock_guard lock(QueueLock);
  if (known()) return;  // another scan took it meanwhile
  for (int n = 1; n <= kSlotCount; ++n) {
    if (At(n).State != ssFree) continue;
    Moment now = MomentOf(clock_());
    NextFree_ = n;
    At(n) = QueueSlot{fileName, now.date, now.time, ssWaiting, settings::Settings().SettleTime};
    return;
  }
}

int TQManager::ReadFailureCount(const std::string& fileName) {
  rtl::TIniFile ini(QueuedPath(fileName, ".ini"));
  return rtl::StrToInt(ini.ReadString("Connection", "Failures", "0"));
}

void TQManager::RecordFailure(const std::string& fileName, int slot) {
  // The slot is ssFailed: nothing but this pass changes it, so its files are handled unlocked.
  const std::string ini = QueuedPath(fileName, ".ini");
  auto set = [&](const QueueSlot& value) {
    std::lock_guard lock(QueueLock);
    At(slot) = value;
  };
  if (GetFileAttributesA(ini.c_str()) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    // Removed by hand while it was out: there is nothing left to count, and a profile write
    // would only make a stub .ini holding the count.
    set(QueueSlot{});
    return;
  }
  Step("counting");
  int count = ReadFailureCount(fileName) + 1;
  if (!WritePrivateProfileStringA("Connection", "Failures", std::to_string(count).c_str(),
                                  ini.c_str())) {
    DWORD code = GetLastError();
    if (IsTransient(code)) return;  // still ssFailed: counted at the next pass
    // Uncounted it would be sent again and again: it waits for the next start instead.
    {
      std::lock_guard lock(QueueLock);
      keptOut_.insert(fileName);
      Free(At(slot));
    }
    ReportOnce(fileName, "Unable to write to " + ini + " " + rtl::SysErrorMessage(code) +
                             " The message is not sent again until the service restarts.");
    return;
  }
  if (TDirectory queue(nullptr, QuePath, 0); queue) queue.Flush();
  Step("counted");
  if (count < settings::Settings().MaxMsgRetries) {
    int delay = settings::Settings().RetryDelay;
    if (delay > 0) {
      Moment now = MomentOf(clock_());
      set(QueueSlot{fileName, now.date, now.time, ssWaiting, delay});
    } else {
      std::lock_guard lock(QueueLock);
      At(slot).State = ssReady;
    }
    return;
  }
  MoveToFailed(fileName);
  set(QueueSlot{});
}

void TQManager::MoveToFailed(const std::string& fileName) {
  // Every name is checked free before anything moves, and the .ini goes first: a cut-off move
  // leaves at worst the .ini in Failed, which the next start joins with its body. A move that
  // cannot be made is reported; the message stays where it is, and its count keeps later scans
  // from taking it up again, so the report comes once.
  const std::string& failedPath = settings::Settings().FailedPath;
  auto report = [&](const std::string& text, const char* ext = ".ini") {
    const std::string name = rtl::ChangeFileExt(fileName, ext);
    if (OnReport) {
      OnReport("Unable to move file " + QuePath + rtl::PathDelim + name + " to " + failedPath +
               rtl::PathDelim + name + " " + text);
    }
  };
  const std::string taken = rtl::SysErrorMessage(ERROR_ALREADY_EXISTS);
  TDirectory queue(nullptr, QuePath, 0);
  if (!queue) return report(LastErrorText());
  std::string why;
  auto failed = OpenFailed(queue, QuePath, why);
  if (!failed) return report(why);
  const std::string spool = mailer::SpoolNameOf(QueuedPath(fileName, ".ini"), QuePath);
  std::unique_ptr<TDirectory> fromSpool, toSpool;
  if (!spool.empty()) {
    fromSpool = std::make_unique<TDirectory>(queue.Handle(), mailer::kSpoolDirName,
                                             FILE_FLAG_OPEN_REPARSE_POINT);
    if (!*fromSpool || !fromSpool->Has(spool)) fromSpool.reset();  // nothing spooled is left
  }
  if (fromSpool) {
    const std::string target = failedPath + rtl::PathDelim + mailer::kSpoolDirName;
    if (!failed->Has(mailer::kSpoolDirName)) {
      CreateDirectoryExA(failedPath.c_str(), target.c_str(), nullptr);
    }
    toSpool = std::make_unique<TDirectory>(failed->Handle(), mailer::kSpoolDirName,
                                           FILE_FLAG_OPEN_REPARSE_POINT);
    if (!*toSpool) return report(target + ": " + LastErrorText());
    if (toSpool->Has(spool)) return report(target + rtl::PathDelim + spool + ": " + taken);
  }
  const std::string ini = rtl::ChangeFileExt(fileName, ".ini");
  const std::string tmp = rtl::ChangeFileExt(fileName, ".tmp");
  for (const char* ext : {".ini", ".tmp"}) {
    if (failed->Has(rtl::ChangeFileExt(fileName, ext))) return report(taken, ext);
  }
  if (!LarkMoveFileAtA(queue.Handle(), ini.c_str(), failed->Handle(), ini.c_str())) {
    return report(LastErrorText());
  }
  Step("ini moved");
  bool moved = LarkMoveFileAtA(queue.Handle(), tmp.c_str(), failed->Handle(), tmp.c_str()) ||
               GetLastError() == ERROR_FILE_NOT_FOUND;
  if (!moved) report(LastErrorText(), ".tmp");
  // Its spooled attachments follow it into Failed, where `larkq retry` finds them again.
  if (moved && toSpool &&
      !LarkMoveFileAtA(fromSpool->Handle(), spool.c_str(), toSpool->Handle(), spool.c_str())) {
    report("(its spool folder " + spool + ") " + LastErrorText());
  }
  if (toSpool) toSpool->Flush();
  failed->Flush();
  queue.Flush();
}

void TQManager::RemoveOrphanBodies() {
  TDirectory queue(nullptr, QuePath, 0);
  if (!queue) return;
  // A body whose .ini is gone: its delivery was cut off between the two erases. A producer
  // writes the body first, so only a body older than the settle time is an orphan; a younger one
  // is looked at again once it would have settled.
  const long long settled = std::max(settings::Settings().SettleTime, kMinOrphanAge);
  long long youngest = -1;
  ForEachFile(QuePath, "*.tmp", [&](const WIN32_FIND_DATAA& entry) {
    const std::string tmp = entry.cFileName;
    if (queue.Has(rtl::ChangeFileExt(tmp, ".ini"))) return;
    if (const long long age = AgeOf(entry); age < settled) {
      youngest = youngest < 0 ? age : std::min(youngest, age);
      return;
    }
    if (DeleteFileA((QuePath + rtl::PathDelim + tmp).c_str()) && OnRepair) {
      OnRepair("Removed " + QuePath + rtl::PathDelim + tmp + ", a body left without its .ini");
    }
  });
  queue.Flush();
  orphansDue_ = youngest < 0
                    ? std::chrono::steady_clock::time_point::max()
                    : std::chrono::steady_clock::now() + std::chrono::seconds(settled - youngest);
}

void TQManager::RemoveSettledOrphans() {
  if (std::chrono::steady_clock::now() >= orphansDue_) RemoveOrphanBodies();
}

void TQManager::RepairQueue() {
  TDirectory queue(nullptr, QuePath, 0);
  if (!queue) return;
  std::string why;
  auto failed = OpenFailed(queue, QuePath, why);
  // Something other than a directory in its place is reported when a message is to move.
  if (!failed && !queue.Has(rtl::ExtractFileName(settings::Settings().FailedPath)) && OnReport) {
    OnReport(why);
  }
  auto repaired = [&](const std::string& text) {
    if (OnRepair) OnRepair(text);
  };
  // The folders in the queue's spool and their ages; only when there are any is each message's
  // folder looked up, since that reads every .ini.
  const std::string spoolPath = QuePath + rtl::PathDelim + mailer::kSpoolDirName;
  std::map<std::string, long long> spooled;
  ForEachFile(
      spoolPath, "*",
      [&](const WIN32_FIND_DATAA& entry) { spooled[entry.cFileName] = AgeOf(entry); },
      FILE_ATTRIBUTE_DIRECTORY);
  std::set<std::string> named;  // the spool folders queued and failed messages name
  auto spoolOf = [&](const std::string& iniPath) {
    std::string name = spooled.empty() ? "" : mailer::SpoolNameOf(iniPath, QuePath);
    named.insert(name);
    return name;
  };
  if (failed) {
    // A move into Failed cut off after the .ini: its body and spool folder follow it.
    ForEachFile(settings::Settings().FailedPath, "*.ini", [&](const WIN32_FIND_DATAA& entry) {
      const std::string ini = entry.cFileName;
      const std::string tmp = rtl::ChangeFileExt(ini, ".tmp");
      const std::string spool = spoolOf(settings::Settings().FailedPath + rtl::PathDelim + ini);
      if (queue.Has(ini)) return;
      if (queue.HasFile(tmp) && !failed->Has(tmp) &&
          LarkMoveFileAtA(queue.Handle(), tmp.c_str(), failed->Handle(), tmp.c_str())) {
        repaired("Moved " + QuePath + rtl::PathDelim + tmp + " to Failed beside its .ini");
      }
      if (spool.empty()) return;
      TDirectory from(queue.Handle(), mailer::kSpoolDirName, FILE_FLAG_OPEN_REPARSE_POINT);
      TDirectory to(failed->Handle(), mailer::kSpoolDirName, FILE_FLAG_OPEN_REPARSE_POINT);
      if (from && to && from.Has(spool) && !to.Has(spool) &&
          LarkMoveFileAtA(from.Handle(), spool.c_str(), to.Handle(), spool.c_str())) {
        to.Flush();
        from.Flush();
        repaired("Moved the spool folder " + spool + " of " + ini + " to Failed");
      }
    });
    failed->Flush();
  }
  RemoveOrphanBodies();
  const long long settled = std::max(settings::Settings().SettleTime, kMinOrphanAge);
  // A message whose last failure was counted but which was not moved.
  const int limit = settings::Settings().MaxMsgRetries;
  std::vector<std::string> atLimit;
  ForEachFile(QuePath, "*.ini", [&](const WIN32_FIND_DATAA& entry) {
    spoolOf(QuePath + rtl::PathDelim + entry.cFileName);
    try {
      if (limit > 0 && ReadFailureCount(entry.cFileName) >= limit) {
        atLimit.push_back(entry.cFileName);
      }
    } catch (const rtl::EConvertError&) {
      // The scan reports it.
    }
  });
  for (const auto& name : atLimit) MoveToFailed(name);
  // A spool folder no message names: its message was delivered or deleted and the run cut off
  // before the folder went. A producer spools before it queues, so only an old folder is left.
  TDirectory spool(queue.Handle(), mailer::kSpoolDirName, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!spool) return;
  for (const auto& [name, age] : spooled) {
    if (named.contains(name) || age < settled) continue;
    if (LarkRemoveTreeAtA(spool.Handle(), name.c_str())) {
      repaired("Removed " + spoolPath + rtl::PathDelim + name + ", named by no message");
    }
  }
  spool.Flush();
}

bool TQManager::UpdateQueueStatus() {
  Moment now = MomentOf(clock_());
  bool freed = false;
  std::vector<int> failed;
  // Once a pass, not once a slot: the table is walked in microseconds, and each pump costs more
  // than the whole walk.
  try {
    maillib::PumpMessages();
  } catch (const std::exception& e) {
    if (OnSlotError) OnSlotError(e);
  }
  std::unique_lock lock(QueueLock);
  for (int n = 1; n <= kSlotCount; ++n) {
    QueueSlot& slot = At(n);
    try {
      switch (slot.State) {
        case ssWaiting:
          if (SecondsBetween(slot, now) >= slot.WaitSeconds) slot.State = ssReady;
          break;
        case ssSent:
          Free(slot);
          freed = true;
          break;
        case ssFailed:
          failed.push_back(n);
          break;
        default:
          break;
      }
    } catch (const std::exception& e) {
      if (OnSlotError) OnSlotError(e);
    }
  }
  // Failures are counted with the lock released: a worker or a scan must never wait for a file.
  lock.unlock();
  for (int n : failed) {
    try {
      RecordFailure(Slot(n).FileName, n);
      freed = freed || Slot(n).State == ssFree;
    } catch (const std::exception& e) {
      // One bad file must not hold up the slots after it.
      if (OnSlotError) OnSlotError(e);
    }
  }
  lock.lock();
  if (!freed || !leftOut_) return false;
  // Listing a long queue costs more than a delivery: while the table still holds work the
  // listing waits until a quarter of it is free, so a busy queue is listed in batches.
  int free = 0;
  int pending = 0;
  for (const auto& slot : Slots) {
    free += slot.State == ssFree ? 1 : 0;
    pending += slot.State == ssWaiting || slot.State == ssReady ? 1 : 0;
  }
  return pending == 0 || free >= kSlotCount / 4;
}

bool TQManager::HasReady() {
  std::lock_guard lock(QueueLock);
  return std::any_of(Slots.begin(), Slots.end(),
                     [](const QueueSlot& slot) { return slot.State == ssReady; });
}

std::string TQManager::GetNextMessage() {
  std::lock_guard lock(QueueLock);
  for (auto& slot : Slots) {
    if (slot.State == ssReady) {
      slot.State = ssSending;
      return slot.FileName;
    }
  }
  return "";
}

void TQManager::SetState(const std::string& fileName, SlotState state) {
  std::lock_guard lock(QueueLock);
  for (auto& slot : Slots) {
    // A free slot's empty name is no message's name: an empty argument changes nothing.
    if (slot.State != ssFree && slot.FileName == fileName) {
      slot.State = state;
      return;
    }
  }
}

void TQManager::SetSentStillQueued(const std::string& fileName) {
  std::lock_guard lock(QueueLock);
  keptOut_.insert(fileName);
  SetState(fileName, ssSent);
}

QueueSlot TQManager::Slot(int n) {
  std::lock_guard lock(QueueLock);
  return At(n);
}

int TQManager::NextFree() {
  std::lock_guard lock(QueueLock);
  return NextFree_;
}

}  // namespace service
