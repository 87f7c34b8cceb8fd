#include "service/LarkqSvc.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "maillib/codecs.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "service/LogFile.h"
#include "service/ThrdSMTP.h"
#include "service/ThreadHandle.h"
#include "settings/RegSet.h"

namespace service {
namespace {

// One lock per queue directory, however its path is spelled.
std::string QueueLockName(const std::string& quePath) {
  std::error_code error;
  std::string path = std::filesystem::weakly_canonical(quePath, error).string();
  if (error) path = quePath;
  unsigned long long hash = 14695981039346656037ULL;  // FNV-1a
  for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ULL;
  char name[40];
  std::snprintf(name, sizeof name, "queue-%016llx", hash);
  return name;
}

}  // namespace

TLarkqService::TLarkqService() : TService(kServiceName, kServiceName) {
  SetEventSink(
      [this](svchost::EventKind kind, const std::string& text) { LogMessage(kind, text); });
}

TLarkqService::~TLarkqService() {
  TerminateAndWaitFor();
  // A start-up that never came to its own end (run by hand, or cut off) leaves the run behind.
  EndRun();
  SetEventSink(nullptr);
  SetLogEcho(nullptr);
}

void TLarkqService::Report(const char* tag, const std::exception& error) {
  std::string text = rtl::Format("%s raised: %s", rtl::ClassNameOf(error), error.what());
  LogMessage(svchost::ekFailure, *tag != '\0' ? std::string(tag) + ": " + text : text);
}

template <class Step>
void TLarkqService::Guarded(const char* tag, Step step) {
  try {
    step();
  } catch (const std::exception& error) {
    Report(tag, error);
  }
}

bool TLarkqService::StopRequested() {
  return WaitForSingleObject(StopEvent.Handle(), 0) == WAIT_OBJECT_0;
}

void TLarkqService::Execute() {
  // In the foreground every outcome is shown as it is logged.
  if (DebugMode) SetLogEcho(svchost::WriteOutput);
  if (!StartUp()) {
    EndRun();
    Shutdown();
    return;
  }
  PollInterval = static_cast<DWORD>(settings::Settings().PollInterval);
  // Woken by each finishing worker, the loop starts deliveries one or two at a time; the pause
  // would then cap the service at a few hundred starts a second.
  WorkerPause = settings::Settings().DispatchOnFinish ? 0 : kWorkerPauseMs;
  try {
    Poll();
  } catch (const std::exception& error) {
    Report("Ex GLO", error);
  }
  EndRun();
  LogMessage(svchost::ekInformation, "Larkpost Service Stopped");
}

bool TLarkqService::StartUp() {
  settings::LoadSettings();
  const settings::TSettings& s = settings::Settings();
  ThreadCount = s.Threads;
  if (s.QuePath.empty()) {
    LogMessage(svchost::ekFailure,
               "Larkpost could not start. QueuePath has not been set. Run Wrenset to configure "
               "Larkpost.");
    return false;
  }
  // Two runs on one queue would deliver most messages twice.
  instanceLock_ = LarkLockFileA(QueueLockName(s.QuePath).c_str());
  if (instanceLock_ == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    LogMessage(svchost::ekFailure,
               code == ERROR_LOCK_VIOLATION
                   ? "Larkpost could not start. Another Larkpost is delivering the queue " +
                         s.QuePath + "."
                   : "Larkpost could not start. Unable to lock the queue " + s.QuePath + ": " +
                         rtl::SysErrorMessage(code));
    return false;
  }
  bool result = true;
  try {
    manager_ = std::make_unique<TQManager>();
    running_ = manager_.get();
    manager_->QuePath = s.QuePath;
    manager_->OnSlotError = [this](const std::exception& error) { Report("UQS", error); };
    manager_->OnReport = [](const std::string& text) { LogEvent(svchost::ekError, text); };
    manager_->OnRepair = [](const std::string& text) { WriteLog(text, svchost::ekWarning); };
    // Armed before the first scan: a pair written between the scan and the watch would
    // otherwise wait for the next change in the directory.
    TFileChangeNotification* watcher = TFileChangeNotification::Create(
        s.QuePath, [this](const std::string&) { manager_->ScanQueue(); },
        FILE_NOTIFY_CHANGE_FILE_NAME,
        [this](const std::exception& error) { Report("FCN", error); });
    watcher_ = KeepThreadHandle(*watcher);
    manager_->RepairQueue();
    manager_->ScanQueue();
  } catch (const std::exception& error) {
    Report("", error);
    result = false;
  }
  LogMessage(svchost::ekInformation, "Larkpost Service Started");
  return result;
}

void TLarkqService::Poll() {
  const bool wakeOnFinish = settings::Settings().DispatchOnFinish;
  std::vector<svchost::TWaitable> events{StopEvent};
  if (wakeOnFinish) events.emplace_back(WorkerFinishedEvent());
  for (;;) {
    if (svchost::WaitForAny(events, PollInterval) == 0) return;
    if (WorkerTable().ActiveWorkers >= ThreadCount) continue;
    Guarded("UQS", [this] {
      // A freed slot may be what a message found earlier was waiting for: one found while the
      // table was full, or one whose name a sent slot still held.
      if (manager_->UpdateQueueStatus()) manager_->ScanQueue();
      manager_->RemoveSettledOrphans();
    });
    Guarded("SM", [this] { SendMessages(); });
  }
}

void TLarkqService::SendMessages() {
  TWorkerTable& table = WorkerTable();
  // With nothing ready the pass would only nap before finding so: an idle poll wakes once.
  if (!manager_->HasReady()) return;
  try {
    for (int i = 1; i <= ThreadCount; ++i) {
      // The pause spaces out the starts of deliveries; an index still delivering starts none.
      if (table.WorkerBusy[static_cast<size_t>(i)]) continue;
      Guarded("SPM", [this] {
        Sleep(WorkerPause);
        maillib::PumpMessages();
      });
      // A stop that came during the pass starts no further delivery.
      if (StopRequested()) return;
      bool passEnds = false;
      Guarded("SMA", [&] {
        if (table.WorkerBusy[static_cast<size_t>(i)]) return;
        Guarded("FDaT2", [&] {
          HANDLE& last = table.Workers[static_cast<size_t>(i)];
          if (last != nullptr) CloseHandle(last);
          last = nullptr;
        });
        std::string name;
        Guarded("GNM", [&] { name = manager_->GetNextMessage(); });
        if (name.empty()) {
          passEnds = true;
          return;
        }
        try {
          const std::string path = manager_->QuePath + rtl::PathDelim + name;
          if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            table.Workers[static_cast<size_t>(i)] = StartWorker(path, i, *manager_);
          } else {
            manager_->SetState(name, ssSent);  // removed by hand: freed at the next pass
          }
        } catch (const std::exception& error) {
          // A worker that could not be made attempted nothing: the message is ready again and
          // no failure is counted.
          manager_->SetState(name, ssReady);
          Report("TSC", error);
        }
      });
      if (passEnds) return;
    }
  } catch (const std::exception& error) {
    Report("SM GLO", error);
  }
}

void TLarkqService::EndRun() {
  // Forced ends take effect at each thread's next wait point; until the threads are really
  // gone the manager they use must stay. The busy check and the forced end happen under
  // WorkerLock on handles that outlive the workers, so a worker that has just finished and
  // freed itself is never touched.
  running_ = nullptr;
  std::vector<HANDLE> ending;
  if (watcher_ != nullptr) {
    TerminateThread(watcher_, 0);
    ending.push_back(watcher_);
  }
  TWorkerTable& table = WorkerTable();
  std::vector<int> ended;
  for (int i = 1; i <= kMaxWorkers; ++i) {
    try {
      std::lock_guard lock(WorkerLock());
      HANDLE worker = table.Workers[static_cast<size_t>(i)];
      if (table.WorkerBusy[static_cast<size_t>(i)] && worker != nullptr) {
        TerminateThread(worker, 0);
        ending.push_back(worker);
        ended.push_back(i);
      }
    } catch (const std::exception&) {
      // One index that could not be ended leaves the others to be ended all the same.
    }
  }
  // The kept threads of idle indices wait for work: they end with the run.
  const std::vector<HANDLE> pooled = EndPooledWorkers();
  ending.insert(ending.end(), pooled.begin(), pooled.end());
  bool allEnded =
      ending.empty() || WaitForMultipleObjects(static_cast<DWORD>(ending.size()), ending.data(),
                                               TRUE, kShutdownWaitMs) == WAIT_OBJECT_0;
  if (allEnded) {
    // A worker ended by force skipped its completion: its index is idle all the same.
    for (int i : ended) {
      std::lock_guard lock(WorkerLock());
      if (table.WorkerBusy[static_cast<size_t>(i)]) SetActive(i, false);
    }
    manager_.reset();
  } else {
    // Freeing it under a live thread would be worse than leaving it to the process's end.
    static_cast<void>(manager_.release());
  }
  for (int i = 1; i <= kMaxWorkers; ++i) {
    HANDLE& worker = table.Workers[static_cast<size_t>(i)];
    if (worker != nullptr) CloseHandle(worker);
    worker = nullptr;
  }
  for (HANDLE thread : pooled) CloseHandle(thread);
  if (watcher_ != nullptr) CloseHandle(watcher_);
  watcher_ = nullptr;
  if (instanceLock_ != INVALID_HANDLE_VALUE) CloseHandle(instanceLock_);
  instanceLock_ = INVALID_HANDLE_VALUE;
}

}  // namespace service
