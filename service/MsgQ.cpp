#include "service/MsgQ.h"

#include <cstdlib>
#include <mutex>

#include "maillib/codecs.h"
#include "rtl/DateTime.h"
#include "rtl/Exception.h"
#include "rtl/IniFile.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
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

void TQManager::ScanQueue(ScanOrigin origin) {
  WIN32_FIND_DATAA entry;
  FindGuard find{FindFirstFileA((QuePath + rtl::PathDelim + "*.ini").c_str(), &entry)};
  if (find.handle == INVALID_HANDLE_VALUE) return;
  do {
    {
      std::lock_guard lock(QueueLock);
      bool anyFree = false;
      for (const auto& slot : Slots) anyFree = anyFree || slot.State == ssFree;
      if (!anyFree) return;
    }
    try {
      AddMessage(entry.cFileName);
    } catch (const rtl::EConvertError&) {
      // A scan for a directory change passes over a message whose failure count is not a
      // number, so one bad file does not hide the others; the start-up scan reports it.
      if (origin == ScanOrigin::StartUp) throw;
    }
    maillib::PumpMessages();
  } while (FindNextFileA(find.handle, &entry));
}

void TQManager::AddMessage(const std::string& fileName) {
  std::lock_guard lock(QueueLock);
  for (const auto& slot : Slots) {
    if (slot.FileName == fileName) return;
  }
  if (ReadFailureCount(fileName) >= settings::Settings().MaxMsgRetries) return;
  for (int n = 1; n <= kSlotCount; ++n) {
    if (At(n).State != ssFree) continue;
    Moment now = MomentOf(clock_());
    NextFree_ = n;
    At(n) = QueueSlot{fileName, now.date, now.time, ssWaiting};
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
  int count = ReadFailureCount(fileName) + 1;
  rtl::TIniFile(QueuedPath(fileName, ".ini")).WriteInteger("Connection", "Failures", count);
  if (count < settings::Settings().MaxMsgRetries) {
    At(slot).State = ssReady;
    return;
  }
  // A move that fails (a file of that name is already in Failed) leaves the message where it
  // is; its count keeps later scans from taking it up again.
  const std::string& failed = settings::Settings().FailedPath;
  for (const char* ext : {".ini", ".tmp"}) {
    std::string name = rtl::ChangeFileExt(fileName, ext);
    MoveFileA(QueuedPath(fileName, ext).c_str(), (failed + rtl::PathDelim + name).c_str());
  }
  Free(At(slot));
}

void TQManager::UpdateQueueStatus() {
  Moment now = MomentOf(clock_());
  std::lock_guard lock(QueueLock);
  for (int n = 1; n <= kSlotCount; ++n) {
    maillib::PumpMessages();
    QueueSlot& slot = At(n);
    switch (slot.State) {
      case ssWaiting:
        if (SecondsBetween(slot, now) >= kSettleSeconds) slot.State = ssReady;
        break;
      case ssSent:
        Free(slot);
        break;
      case ssFailed:
        RecordFailure(slot.FileName, n);
        break;
      default:
        break;
    }
  }
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

QueueSlot TQManager::Slot(int n) {
  std::lock_guard lock(QueueLock);
  return At(n);
}

int TQManager::NextFree() {
  std::lock_guard lock(QueueLock);
  return NextFree_;
}

}  // namespace service
