#include "service/MsgQ.h"

#include <cstdlib>
#include <mutex>

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

void TQManager::ScanQueue(ScanOrigin origin) {
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
    }
    return;
  }
  std::set<std::string> listed;
  do {
    if (!AnyFree()) return;
    listed.insert(entry.cFileName);
    try {
      AddMessage(entry.cFileName);
    } catch (const rtl::EConvertError&) {
      // A scan for a directory change passes over a message whose failure count is not a
      // number, so one bad file does not hide the others; the start-up scan reports it.
      if (origin == ScanOrigin::StartUp) throw;
    }
    maillib::PumpMessages();
  } while (FindNextFileA(find.handle, &entry));
  // A name kept out whose file is gone may come back as a new message.
  std::lock_guard lock(QueueLock);
  std::erase_if(keptOut_, [&](const std::string& name) { return !listed.contains(name); });
}

void TQManager::AddMessage(const std::string& fileName) {
  std::lock_guard lock(QueueLock);
  if (keptOut_.contains(fileName)) return;
  for (const auto& slot : Slots) {
    if (slot.FileName != fileName) continue;
    // A sent slot's files are gone: this is a new message under the same name.
    if (slot.State == ssSent) leftOut_ = true;
    return;
  }
  if (ReadFailureCount(fileName) >= settings::Settings().MaxMsgRetries) return;
  for (int n = 1; n <= kSlotCount; ++n) {
    if (At(n).State != ssFree) continue;
    Moment now = MomentOf(clock_());
    NextFree_ = n;
    At(n) = QueueSlot{fileName, now.date, now.time, ssWaiting, settings::Settings().SettleTime};
    return;
  }
}

int TQManager::ReadFailureCount(const std::string& fileName) {
  std::lock_guard lock(QueueLock);
  rtl::TIniFile ini(QueuedPath(fileName, ".ini"));
  return rtl::StrToInt(ini.ReadString("Connection", "Failures", "0"));
}

void TQManager::RecordFailure(const std::string& fileName, int slot) {
  std::lock_guard lock(QueueLock);
  const std::string ini = QueuedPath(fileName, ".ini");
  if (GetFileAttributesA(ini.c_str()) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    // Removed by hand while it was out: there is nothing left to count, and a profile write
    // would only make a stub .ini holding the count.
    Free(At(slot));
    return;
  }
  int count = ReadFailureCount(fileName) + 1;
  rtl::TIniFile(ini).WriteInteger("Connection", "Failures", count);
  if (count < settings::Settings().MaxMsgRetries) {
    int delay = settings::Settings().RetryDelay;
    if (delay > 0) {
      Moment now = MomentOf(clock_());
      At(slot) = QueueSlot{fileName, now.date, now.time, ssWaiting, delay};
    } else {
      At(slot).State = ssReady;
    }
    return;
  }
  MoveToFailed(fileName);
  Free(At(slot));
}

void TQManager::MoveToFailed(const std::string& fileName) {
  // The .ini goes first and the body only after it: a message is never left as a body in one
  // directory and its description in the other. A move that fails (a name already taken in
  // Failed, a missing Failed directory) is reported; the message stays where it is, and its
  // count keeps later scans from taking it up again, so the report comes once.
  const std::string& failed = settings::Settings().FailedPath;
  const std::string spool = mailer::SpoolNameOf(QueuedPath(fileName, ".ini"), QuePath);
  for (const char* ext : {".ini", ".tmp"}) {
    std::string from = QueuedPath(fileName, ext);
    std::string to = failed + rtl::PathDelim + rtl::ChangeFileExt(fileName, ext);
    if (!MoveFileA(from.c_str(), to.c_str())) {
      std::string text = rtl::SysErrorMessage(GetLastError());
      if (OnMoveError) OnMoveError("Unable to move file " + from + " to " + to + " " + text);
      return;
    }
  }
  // Its spooled attachments follow it into Failed, where `larkq retry` finds them again.
  if (!spool.empty() && !mailer::MoveSpoolFolder(QuePath, failed, spool)) {
    std::string text = rtl::SysErrorMessage(GetLastError());
    if (OnMoveError) {
      OnMoveError("Unable to move folder " + QuePath + rtl::PathDelim + mailer::kSpoolDirName +
                  rtl::PathDelim + spool + " to " + failed + " " + text);
    }
  }
}

bool TQManager::UpdateQueueStatus() {
  Moment now = MomentOf(clock_());
  bool freed = false;
  std::lock_guard lock(QueueLock);
  for (int n = 1; n <= kSlotCount; ++n) {
    QueueSlot& slot = At(n);
    try {
      maillib::PumpMessages();
      switch (slot.State) {
        case ssWaiting:
          if (SecondsBetween(slot, now) >= slot.WaitSeconds) slot.State = ssReady;
          break;
        case ssSent:
          Free(slot);
          freed = true;
          break;
        case ssFailed:
          RecordFailure(slot.FileName, n);
          freed = freed || slot.State == ssFree;
          break;
        default:
          break;
      }
    } catch (const std::exception& e) {
      // One bad file must not hold up the slots after it.
      if (OnSlotError) OnSlotError(e);
    }
  }
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
