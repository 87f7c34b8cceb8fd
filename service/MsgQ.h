// TQManager: the service's picture of the queue directory. Messages found by listing the
// directory live in a fixed table of 200 slots; each becomes ready 15 seconds after it was found,
// is handed to one worker at a time, and has its failed attempts counted in its own .ini until
// it is delivered or moved to the Failed directory.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "rtl/CriticalSection.h"
#include "winapi/winapi.h"

namespace service {

enum SlotState : uint8_t {
  ssFree = 0,
  ssWaiting = 1,
  ssReady = 2,
  ssSending = 3,
  ssSent = 4,
  ssFailed = 5
};

struct QueueSlot {
  std::string FileName;   // the .ini name without directory; empty when free
  int32_t FoundDate = 0;  // local day number, counted from 1 January 1600
  int32_t FoundTime = 0;  // local second of that day
  SlotState State = ssFree;
};

// Which scan this is: the start-up scan fails on a failure count that is not a number, a scan
// for a directory change skips that message.
enum class ScanOrigin { StartUp, Watcher };

class TQManager {
 public:
  static constexpr int kSlotCount = 200;
  static constexpr int kSettleSeconds = 15;
  // The local date and time; tests put a clock of their own in its place.
  using LocalClock = std::function<SYSTEMTIME()>;
  static SYSTEMTIME LocalTime();

  explicit TQManager(LocalClock clock = LocalTime);
  ~TQManager() = default;
  TQManager(const TQManager&) = delete;
  TQManager& operator=(const TQManager&) = delete;

  void ScanQueue(ScanOrigin origin = ScanOrigin::StartUp);
  void AddMessage(const std::string& fileName);
  int ReadFailureCount(const std::string& fileName);
  void RecordFailure(const std::string& fileName, int slot);
  void UpdateQueueStatus();
  std::string GetNextMessage();
  void SetState(const std::string& fileName, SlotState state);

  // A copy of slot n (1 to 200) and NextFree, read under the lock.
  QueueSlot Slot(int n);
  int NextFree();

  std::string QuePath;  // set by the service right after creation

 private:
  std::string QueuedPath(const std::string& fileName, const char* ext) const;
  QueueSlot& At(int n) { return Slots[static_cast<size_t>(n - 1)]; }
  void Free(QueueSlot& slot) { slot = QueueSlot{}; }

  LocalClock clock_;
  std::array<QueueSlot, kSlotCount> Slots;
  int NextFree_ = 1;
  rtl::TCriticalSection QueueLock;
};

}  // namespace service
