// TSMTPThread: the delivery of one queued message on a thread of its own. The worker hands the
// message to a mailer, logs the outcome, erases the delivered files and tells the queue manager,
// then frees itself. The service's workers deliver the same way on threads kept per index. The
// worker table tells the dispatcher which worker indices are busy.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "mailer/SMTPCust.h"
#include "rtl/CriticalSection.h"
#include "rtl/Thread.h"
#include "service/LogFile.h"
#include "service/MsgQ.h"
#include "winapi/winapi.h"

namespace service {

inline constexpr int kMaxWorkers = 16;  // indices run from 1

// The process's worker table: created on first use and never destroyed, so that no worker can
// outlive it.
struct TWorkerTable {
  // Workers between SetActive true and false; read without WorkerLock by the poll loop.
  std::atomic<int> ActiveWorkers{0};
  // Set while a worker with that index exists and runs.
  std::array<std::atomic<bool>, kMaxWorkers + 1> WorkerBusy{};
  // A handle to the thread last made for each index, kept beyond the self-freeing worker so
  // that the shutdown can end it or wait for it. Only the service thread touches these.
  std::array<HANDLE, kMaxWorkers + 1> Workers{};
};
TWorkerTable& WorkerTable();
// Guards ActiveWorkers and WorkerBusy where they change together, and the forced end of a
// busy worker at shutdown.
rtl::TCriticalSection& WorkerLock();
// Set each time a worker ends, when DispatchOnFinish asks for a poll at once (auto-reset).
HANDLE WorkerFinishedEvent();

void SetActive(int index, bool active);

// Starts the delivery of fileName as worker index on the index's own long-lived thread, made on
// its first delivery and kept for the next ones, so that a delivery costs no thread of its own.
// Otherwise as TSMTPThread::Start: the handle returned (the caller closes it) is that thread's,
// ending it by force ends the delivery at its next wait point, and the thread is then made anew
// for the next delivery of that index.
HANDLE StartPooledWorker(const std::string& fileName, int index, TQManager& manager);
// Ends every idle kept thread by force and returns handles to all kept threads for the caller to
// wait for and close; the next delivery makes its thread anew.
std::vector<HANDLE> EndPooledWorkers();

class TSMTPThread : public rtl::TThread {
 public:
  // Starts the delivery of the message whose .ini is fileName (a full path) as worker index,
  // and returns a handle to its thread that outlives the worker; the caller closes it. When the
  // worker cannot be made (threads exhausted) this raises, and the index is idle again as
  // before: nothing was attempted.
  static HANDLE Start(const std::string& fileName, int index, TQManager& manager);

  std::unique_ptr<mailer::TCustomMailer> Mailer;
  const std::string FileName;
  const int Index;

  // One delivery by sender of the message fileName: the outcome logged, the files erased after
  // a success, the queue manager told.
  static void Deliver(mailer::TCustomMailer& sender, const std::string& fileName,
                      TQManager& manager);

 protected:
  void Execute() override;

 private:
  TSMTPThread(const std::string& fileName, int index, TQManager& manager, HANDLE started);

  TQManager& manager_;
  const HANDLE started_;
};

}  // namespace service
