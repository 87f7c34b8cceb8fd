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
      SetActive(self->Index, false);
      self->Mailer.reset();
      if (settings::Settings().DispatchOnFinish) SetEvent(WorkerFinishedEvent());
    };
    worker->FreeOnTerminate = true;
    worker.release()->Resume();
    started.Wait();
    return kept;
  } catch (const std::exception&) {
    if (counted) {
      SetActive(index, false);
    } else {
      table.WorkerBusy[static_cast<size_t>(index)] = false;
    }
    throw;
  }
}

TSMTPThread::TSMTPThread(const std::string& fileName, int index, TQManager& manager, HANDLE started)
    : rtl::TThread(true), FileName(fileName), Index(index), manager_(manager), started_(started) {}

void TSMTPThread::WriteOutcome(const std::string& text, svchost::EventKind kind) const {
  try {
    WriteLog(text, kind);
  } catch (const std::exception& e) {
    ReportUnwritten(text, e.what());
  }
}

bool TSMTPThread::Erase(const std::string& path) const {
  if (DeleteFileA(path.c_str())) return true;
  WriteOutcome("Unable to erase file " + path + " " + rtl::SysErrorMessage(GetLastError()),
               svchost::ekError);
  return false;
}

void TSMTPThread::Execute() {
  SetEvent(started_);
  // The queue table knows the message by its .ini name; "\" and ":" are ordinary characters in
  // names here, so only the last "/" separates the directory.
  const std::string name = rtl::ExtractFileName(FileName);
  Mailer->QueueFile = FileName;
  Mailer->HeloName = settings::Settings().HeloName;
  // The queue manager hears the outcome exactly once; whatever fails after that (a log line, an
  // erase) is reported and changes no state.
  bool reported = false;
  // A relay whose certificate is not checked could be anyone: each line about such a delivery
  // says so.
  auto unchecked = [this] {
    return Mailer->CertificateUnchecked ? std::string(" (TLS certificate not verified)") : "";
  };
  try {
    if (Mailer->Send()) {
      // A success line that cannot be written still leaves the message delivered: counting it
      // as a failure would send it again at the next attempt.
      WriteOutcome("Success: (" + name + ") " + Mailer->Summary + unchecked(),
                   svchost::ekInformation);
      // The success line is the same whichever relay took the message; debugging a relay needs
      // to see that the first one was passed over, and why.
      if (settings::Settings().DebugLogging && Mailer->AcceptedBy != Mailer->HostAt(0)) {
        WriteOutcome("Second relay (" + name + ") " + Mailer->AcceptedBy + " took the message; " +
                         "the first relay " + Mailer->HostAt(0) + " failed: " + Mailer->LastResp,
                     svchost::ekInformation);
      }
      // Delivered to the others: the ones the relay refused will never get it, which someone
      // has to hear about.
      for (const auto& refused : Mailer->RefusedRecipients) {
        WriteOutcome(
            "Recipient refused (" + name + ") " + refused.Address + " Reason: " + refused.Reply,
            svchost::ekError);
      }
      const std::string queueDir = std::filesystem::path(FileName).parent_path().string();
      // The mailer read the .ini already: its first attachment names the spool folder.
      const auto& attachments = Mailer->Attachments;
      const std::string spool = mailer::SpoolNameOfAttachment(
          attachments.Count() > 0 ? attachments[0] : std::string(), queueDir);
      bool iniErased = Erase(FileName);
      Erase(rtl::ChangeFileExt(FileName, ".tmp"));
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
        manager_.SetState(name, ssSent);
      } else {
        manager_.SetSentStillQueued(name);
      }
    } else {
      reported = true;
      manager_.SetState(name, ssFailed);
      WriteOutcome("Send Failure (" + name + ")" + " Reason: " + Mailer->LastResp + unchecked(),
                   svchost::ekError);
    }
  } catch (const std::exception&) {
    if (!reported) {
      manager_.SetState(name, ssFailed);
      WriteOutcome("Send Failure (" + name + ")" + " // Reason: " + Mailer->LastResp,
                   svchost::ekError);
    }
  }
  Terminate();
}

}  // namespace service
