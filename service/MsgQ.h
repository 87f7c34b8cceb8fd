// TQManager: the service's picture of the queue directory. Messages found by listing the
// directory live in a fixed table of 200 slots; each becomes ready SettleTime seconds (15 unless
// tuned) after it was found, is handed to one worker at a time, and has its failed attempts
// counted in its own .ini until it is delivered or moved to the Failed directory.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <set>
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
  std::string FileName;  // the .ini name without directory; empty when free
  // When the slot's current wait began: the message was found, or its last failure was counted
  // (with a RetryDelay). Local day number counted from 1 January 1600, and second of that day.
  int32_t FoundDate = 0;
  int32_t FoundTime = 0;
  SlotState State = ssFree;
  int32_t WaitSeconds = 0;  // how long ssWaiting lasts: SettleTime, or RetryDelay after a failure
};

class TQManager {
 public:
  static constexpr int kSlotCount = 200;
  // The local date and time; tests put a clock of their own in its place.
  using LocalClock = std::function<SYSTEMTIME()>;
  static SYSTEMTIME LocalTime();

  explicit TQManager(LocalClock clock = LocalTime);
  ~TQManager() = default;
  TQManager(const TQManager&) = delete;
  TQManager& operator=(const TQManager&) = delete;

  // Lists the queue directory into the table. Only regular files are messages: anything else
  // named *.ini, and a message whose failure count is not a number, is passed over and reported
  // once per run, so no producer can hold a slot or stop the service.
  void ScanQueue();
  void AddMessage(const std::string& fileName);
  int ReadFailureCount(const std::string& fileName);
  // Counts a failed attempt of the message in slot n; no file is touched under QueueLock, since a
  // profile writer of another process may hold the .ini for a while.
  void RecordFailure(const std::string& fileName, int slot);
  // At start-up, before the first scan: makes the Failed directory when it is missing, and
  // finishes what a run cut off between two steps left behind: a body whose .ini is gone (older
  // than the settle time) is removed, a message whose .ini reached Failed is joined there by its
  // body and spool folder, and a message at its limit is moved.
  void RepairQueue();
  // Removes the bodies without an .ini that were too young to be called orphans at start, once
  // they would have settled; nothing to do until then.
  void RemoveSettledOrphans();
  // True when a scan is due: the pass freed a slot, the latest scan left a message out (the
  // table was full, or a sent slot still held its name), and either no message in the table is
  // waiting or ready, or a quarter of the table is free. Only a scan takes such a message up.
  bool UpdateQueueStatus();
  std::string GetNextMessage();
  // True when a message in the table is ready to be handed to a worker.
  bool HasReady();
  void SetState(const std::string& fileName, SlotState state);
  // A delivered message whose .ini could not be erased: its slot becomes ssSent, and scans pass
  // over the file for the rest of the run (or until a scan no longer finds it), so it is not
  // delivered again and again.
  void SetSentStillQueued(const std::string& fileName);

  // What the manager cannot settle itself; the service sends both to the event log. An error at
  // one slot of a status pass (a count spoiled while its message was out): the pass goes on with
  // the next slot.
  std::function<void(const std::exception&)> OnSlotError;
  // What the manager reports once and then passes over (an entry that is no message, a message
  // that cannot be counted or moved into the Failed directory); the service logs it as an error.
  std::function<void(const std::string&)> OnReport;
  // A repair made at start-up, for the message log.
  std::function<void(const std::string&)> OnRepair;
  // Test seam: called with "counting" before a failure is counted, "counted" once it is written,
  // "ini moved" between the two moves into Failed; a test throws from it to leave the queue as a
  // crash there would, or holds it as a slow file would.
  std::function<void(const char* step)> AtStep;

  // A copy of slot n (1 to 200) and NextFree, read under the lock.
  QueueSlot Slot(int n);
  int NextFree();

  std::string QuePath;  // set by the service right after creation

 private:
  std::string QueuedPath(const std::string& fileName, const char* ext) const;
  QueueSlot& At(int n) { return Slots[static_cast<size_t>(n - 1)]; }
  void Free(QueueSlot& slot) { slot = QueueSlot{}; }
  void MoveToFailed(const std::string& fileName);
  void RemoveOrphanBodies();
  bool AnyFree();
  void ReportOnce(const std::string& name, const std::string& text);
  void Step(const char* step) {
    if (AtStep) AtStep(step);
  }

  LocalClock clock_;
  std::array<QueueSlot, kSlotCount> Slots;
  int NextFree_ = 1;
  // Delivered, but their .ini could not be erased; or their count could not be written.
  std::set<std::string> keptOut_;
  std::set<std::string> reported_;  // entries reported once this run
  bool leftOut_ = false;            // the latest scan passed over a message it could not take
  // When the youngest body without an .ini seen at start will have settled.
  std::chrono::steady_clock::time_point orphansDue_ = std::chrono::steady_clock::time_point::max();
  rtl::TCriticalSection QueueLock;
};

}  // namespace service
