// TLarkqService: the delivery service. Its Execute loads the settings, builds the queue table
// from the queue directory, watches the directory, then polls: each poll advances the table and
// hands ready messages to delivery workers, one per idle worker index. A stop ends the watcher
// and the workers and reports the service stopped.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "service/FileChng.h"
#include "service/MsgQ.h"
#include "service/ThrdSMTP.h"
#include "svchost/SvcObj.h"

namespace service {

inline constexpr const char* kServiceName = "Larkpost";
inline constexpr DWORD kWorkerPauseMs = 3;  // before each idle worker index of a dispatch pass
// How long the shutdown waits for the threads it ended by force; well inside the stop's own
// grace (the wait hint and the watchdog's passes).
inline constexpr DWORD kShutdownWaitMs = 4000;

class TLarkqService : public svchost::TService {
 public:
  TLarkqService();
  ~TLarkqService() override;

  // The start-up: settings, queue manager, watcher, first scan. False when the service must not
  // run (no queue directory, or the start-up failed).
  bool StartUp();
  // One dispatch pass: each idle worker index, lowest first, takes the next ready message.
  void SendMessages();
  // The run's queue manager, from the start-up until the run ends.
  TQManager* QueueManager() const { return running_; }

  // How a dispatch pass starts a worker; tests put a failing one in its place, since running
  // out of threads cannot be brought about on demand.
  std::function<HANDLE(const std::string&, int, TQManager&)> StartWorker = StartPooledWorker;

 protected:
  void Execute() override;

 private:
  void Poll();
  // Ends the watcher, every busy worker and every kept worker thread; frees the manager once
  // they have really ended.
  void EndRun();
  // An ekFailure entry "TAG: Class raised: message" (start-up errors carry no tag).
  void Report(const char* tag, const std::exception& error);
  template <class Step>
  void Guarded(const char* tag, Step step);
  bool StopRequested();

  int ThreadCount = 0;
  DWORD PollInterval = 0;
  DWORD WorkerPause = kWorkerPauseMs;
  std::unique_ptr<TQManager> manager_;
  std::atomic<TQManager*> running_{nullptr};  // manager_, published for other threads
  HANDLE watcher_ = nullptr;  // the watcher's thread, kept beyond the self-freeing object
  HANDLE instanceLock_ = INVALID_HANDLE_VALUE;  // held for the run: one service per queue
};

}  // namespace service
