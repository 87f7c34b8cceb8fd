#include "service/ThrdSMTP.h"

#include <filesystem>
#include <mutex>

#include "mailer/QueueSpool.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "service/ThreadHandle.h"
#include "settings/RegSet.h"

namespace service {

TWorkerTable& WorkerTable() {
  static auto* table = new TWorkerTable;
  return *table;
}

rtl::TCriticalSection& WorkerLock() {
  static auto* lock = new rtl::TCriticalSection;
  return *lock;
}

HANDLE WorkerFinishedEvent() {
  static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return event;
}

void SetActive(int index, bool active) {
  std::lock_guard lock(WorkerLock());
  TWorkerTable& table = WorkerTable();
  table.ActiveWorkers += active ? 1 : -1;
  table.WorkerBusy[static_cast<size_t>(index)] = active;
}

namespace {

// A start that failed gives its index back, counted as active or only marked busy.
void GiveBack(int index, bool counted) {
  if (counted) {
    SetActive(index, false);
  } else {
    WorkerTable().WorkerBusy[static_cast<size_t>(index)] = false;
  }
}

// After a delivery (not one ended by force): the index is idle, and with DispatchOnFinish the
// poll loop hears of it at once.
void DeliveryDone(int index) {
  SetActive(index, false);
  if (settings::Settings().DispatchOnFinish) SetEvent(WorkerFinishedEvent());
}

// The kept thread of one worker index: it waits for a delivery, makes it, finishes it as a
// worker that ends would, and waits for the next. Ended by force, it ends as any worker does.
class TPooledWorker : public rtl::TThread {
 public:
  TPooledWorker(int index, HANDLE started)
      : rtl::TThread(true),
        index_(index),
        started_(started),
        job_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (job_ == nullptr) {
      throw rtl::EThread(
          rtl::Format("Worker event error: error %u", static_cast<unsigned>(GetLastError())));
    }
  }
  ~TPooledWorker() override { CloseHandle(job_); }
  TPooledWorker(const TPooledWorker&) = delete;
  TPooledWorker& operator=(const TPooledWorker&) = delete;

  // Hands over the next delivery; the thread is waiting for one.
  void Hand(const std::string& fileName, TQManager& manager,
            std::unique_ptr<mailer::TCustomMailer> sender) {
    fileName_ = fileName;
    manager_ = &manager;
    sender_ = std::move(sender);
    SetEvent(job_);
  }

 protected:
  void Execute() override {
    SetEvent(started_);
    for (;;) {
      WaitForSingleObject(job_, INFINITE);
      TSMTPThread::Deliver(*sender_, fileName_, *manager_);
      sender_.reset();
      DeliveryDone(index_);
    }
  }

 private:
  const int index_;
  const HANDLE started_;
  const HANDLE job_;
  // Written by the dispatcher before it sets job_, read by the thread after its wait.
  std::string fileName_;
  TQManager* manager_ = nullptr;
  std::unique_ptr<mailer::TCustomMailer> sender_;
};

struct TPoolSlot {
  HANDLE thread = nullptr;  // kept beyond the self-freeing object
  TPooledWorker* worker = nullptr;
};

std::array<TPoolSlot, kMaxWorkers + 1>& Pool() {
  static auto* pool = new std::array<TPoolSlot, kMaxWorkers + 1>;
  return *pool;
}

rtl::TCriticalSection& PoolLock() {
  static auto* lock = new rtl::TCriticalSection;
  return *lock;
}

}  // namespace

HANDLE StartPooledWorker(const std::string& fileName, int index, TQManager& manager) {
  std::lock_guard lock(PoolLock());
  TWorkerTable& table = WorkerTable();
  TPoolSlot& slot = Pool()[static_cast<size_t>(index)];
  table.WorkerBusy[static_cast<size_t>(index)] = true;
  bool counted = false;
  try {
    auto sender = std::make_unique<mailer::TCustomMailer>();
    // A thread ended by force is gone (its object freed itself): the index gets a new one.
    if (slot.thread != nullptr && WaitForSingleObject(slot.thread, 0) == WAIT_OBJECT_0) {
      CloseHandle(slot.thread);
      slot = {};
    }
    if (slot.thread == nullptr) {
      TStartedSignal started;
      std::unique_ptr<TPooledWorker> worker(new TPooledWorker(index, started.Handle()));
      HANDLE kept = KeepThreadHandle(*worker);
      worker->FreeOnTerminate = true;
      slot = {kept, worker.release()};
      slot.worker->Resume();
      started.Wait();
    }
    HANDLE handed = DuplicateThreadHandle(slot.thread);
    SetActive(index, true);
    counted = true;
    slot.worker->Hand(fileName, manager, std::move(sender));
    return handed;
  } catch (const std::exception&) {
    GiveBack(index, counted);
    throw;
  }
}

std::vector<HANDLE> EndPooledWorkers() {
  std::lock_guard lock(PoolLock());
  std::vector<HANDLE> ending;
  for (TPoolSlot& slot : Pool()) {
    if (slot.thread == nullptr) continue;
    TerminateThread(slot.thread, 0);
    ending.push_back(slot.thread);
    slot = {};
  }
  return ending;
}

HANDLE TSMTPThread::Start(const std::string& fileName, int index, TQManager& manager) {
  TWorkerTable& table = WorkerTable();
  table.WorkerBusy[static_cast<size_t>(index)] = true;
  bool counted = false;
  std::unique_ptr<TSMTPThread> worker;
  try {
    TStartedSignal started;
    worker.reset(new TSMTPThread(fileName, index, manager, started.Handle()));
    SetActive(index, true);
    counted = true;
    worker->Mailer = std::make_unique<mailer::TCustomMailer>();
    HANDLE kept = KeepThreadHandle(*worker);
    // From here nothing can fail: the worker owns itself once it runs.
    worker->OnTerminate = [](rtl::TThread* thread) {
      auto* self = static_cast<TSMTPThread*>(thread);
      self->Mailer.reset();
      DeliveryDone(self->Index);
    };
    worker->FreeOnTerminate = true;
    worker.release()->Resume();
    started.Wait();
    return kept;
  } catch (const std::exception&) {
    GiveBack(index, counted);
    throw;
  }
}

TSMTPThread::TSMTPThread(const std::string& fileName, int index, TQManager& manager, HANDLE started)
    : rtl::TThread(true), FileName(fileName), Index(index), manager_(manager), started_(started) {}

namespace {

// Writes an outcome line; a log that cannot be written is reported to the event log and changes
// nothing else.
void WriteOutcome(const std::string& text, svchost::EventKind kind) {
  try {
    WriteLog(text, kind);
  } catch (const std::exception& e) {
    ReportUnwritten(text, e.what());
  }
}

bool Erase(const std::string& path) {
  if (DeleteFileA(path.c_str())) return true;
  WriteOutcome("Unable to erase file " + path + " " + rtl::SysErrorMessage(GetLastError()),
               svchost::ekError);
  return false;
}

}  // namespace

void TSMTPThread::Execute() {
  SetEvent(started_);
  Deliver(*Mailer, FileName, manager_);
  Terminate();
}

void TSMTPThread::Deliver(mailer::TCustomMailer& sender, const std::string& fileName,
                          TQManager& manager) {
  // The queue table knows the message by its .ini name; "\" and ":" are ordinary characters in
  // names here, so only the last "/" separates the directory.
  const std::string name = rtl::ExtractFileName(fileName);
  sender.QueueFile = fileName;
  sender.HeloName = settings::Settings().HeloName;
  // The queue manager hears the outcome exactly once; whatever fails after that (a log line, an
  // erase) is reported and changes no state.
  bool reported = false;
  // A relay whose certificate is not checked could be anyone: each line about such a delivery
  // says so.
  auto unchecked = [&sender] {
    return sender.CertificateUnchecked ? std::string(" (TLS certificate not verified)") : "";
  };
  try {
    if (sender.Send()) {
      // A success line that cannot be written still leaves the message delivered: counting it
      // as a failure would send it again at the next attempt.
      WriteOutcome("Success: (" + name + ") " + sender.Summary + unchecked(),
                   svchost::ekInformation);
      // The success line is the same whichever relay took the message; debugging a relay needs
      // to see that the first one was passed over, and why.
      if (settings::Settings().DebugLogging && sender.AcceptedBy != sender.HostAt(0)) {
        WriteOutcome("Second relay (" + name + ") " + sender.AcceptedBy + " took the message; " +
                         "the first relay " + sender.HostAt(0) + " failed: " + sender.LastResp,
                     svchost::ekInformation);
      }
      // Delivered to the others: the ones the relay refused will never get it, which someone
      // has to hear about.
      for (const auto& refused : sender.RefusedRecipients) {
        WriteOutcome(
            "Recipient refused (" + name + ") " + refused.Address + " Reason: " + refused.Reply,
            svchost::ekError);
      }
      const std::string queueDir = std::filesystem::path(fileName).parent_path().string();
      // The mailer read the .ini already: its first attachment names the spool folder.
      const auto& attachments = sender.Attachments;
      const std::string spool = mailer::SpoolNameOfAttachment(
          attachments.Count() > 0 ? attachments[0] : std::string(), queueDir);
      // Windows keeps the name of a file erased while it is open: the body is closed first, so
      // one erased meanwhile by someone else is gone, and the erase below tells so.
      sender.QueuedBody.reset();
      bool iniErased = Erase(fileName);
      Erase(rtl::ChangeFileExt(fileName, ".tmp"));
      // The attachments a producer spooled for the message go with it; while its .ini stays,
      // they are still its attachments.
      if (iniErased && !spool.empty() && !mailer::RemoveSpoolFolder(queueDir, spool)) {
        WriteOutcome("Unable to erase folder " + queueDir + rtl::PathDelim + mailer::kSpoolDirName +
                         rtl::PathDelim + spool,
                     svchost::ekError);
      }
      reported = true;
      // A delivered .ini left behind would be found and delivered again by every later scan.
      if (iniErased) {
        manager.SetState(name, ssSent);
      } else {
        manager.SetSentStillQueued(name);
      }
    } else {
      reported = true;
      manager.SetState(name, ssFailed);
      WriteOutcome("Send Failure (" + name + ")" + " Reason: " + sender.LastResp + unchecked(),
                   svchost::ekError);
    }
  } catch (const std::exception&) {
    if (!reported) {
      manager.SetState(name, ssFailed);
      WriteOutcome("Send Failure (" + name + ")" + " // Reason: " + sender.LastResp,
                   svchost::ekError);
    }
  }
}

}  // namespace service
