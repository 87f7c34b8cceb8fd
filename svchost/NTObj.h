// Kernel objects and the event log for the service framework and the delivery service: an event
// whose handle is made on first use, waits over any mix of kernel objects and threads, the
// event log writer with its event source entry, and the text of the last system error.
#pragma once

#include <concepts>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/Registry.h"
#include "rtl/Thread.h"
#include "winapi/winapi.h"

namespace svchost {

RTL_EXCEPTION_CLASS(EKernelObject, rtl::Exception);

class TKernelObject {
 public:
  TKernelObject() = default;
  virtual ~TKernelObject();
  TKernelObject(const TKernelObject&) = delete;
  TKernelObject& operator=(const TKernelObject&) = delete;

  // Made on first use; raises EKernelObject "Can't create " + the class name when that fails.
  HANDLE Handle();
  virtual const char* ClassName() const { return "TKernelObject"; }

  SECURITY_ATTRIBUTES* SecurityAttributes = nullptr;
  const char* Name = nullptr;

 protected:
  virtual HANDLE CreateHandle() { return nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

class TEvent : public TKernelObject {
 public:
  TEvent() = default;
  const char* ClassName() const override { return "TEvent"; }
  void SetEvent();
  void ResetEvent();

  BOOL ManualReset = TRUE;
  BOOL InitialState = FALSE;

 protected:
  HANDLE CreateHandle() override;
};

// One element of a wait: a kernel object, a thread, or any other object, which stands for
// DefaultEvent (nothing signals it, so such a wait ends only by time-out).
class TWaitable {
 public:
  TWaitable(TKernelObject& object) : kernel_(&object) {}  // NOLINT: implicit by design
  TWaitable(rtl::TThread& thread) : thread_(&thread) {}   // NOLINT
  explicit TWaitable(HANDLE handle) : handle_(handle) {}
  template <class T>
  requires(!std::derived_from<T, TKernelObject> && !std::derived_from<T, rtl::TThread>)
      TWaitable(T&) {}  // NOLINT
  HANDLE Handle() const;

 private:
  TKernelObject* kernel_ = nullptr;
  rtl::TThread* thread_ = nullptr;
  HANDLE handle_ = nullptr;
};

template <class T>
HANDLE HandleOf(T& object) {
  return TWaitable(object).Handle();
}

// The platform's wait result: 0 to count - 1 for the signalled element, WAIT_TIMEOUT. A wait
// that fails raises EKernelObject, so that a failure is never taken for a time-out.
DWORD WaitForObjects(const std::vector<TWaitable>& objects, bool waitAll, DWORD timeout);
DWORD WaitForAny(const std::vector<TWaitable>& objects, DWORD timeout);
DWORD WaitForList(const std::vector<TWaitable>& objects, bool waitAll, DWORD timeout);
DWORD WaitForAll(const std::vector<TWaitable>& objects, DWORD timeout);

enum EventKind { ekSuccess = 0, ekInformation = 1, ekWarning = 2, ekError = 3, ekFailure = 4 };

class TExpandRegistry : public rtl::TRegistry {
 public:
  using rtl::TRegistry::TRegistry;
};

class TEventLog {
 public:
  static constexpr size_t kMaxSourceName = 63;
  static constexpr const char* kSourcesKey =
      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

  explicit TEventLog(const std::string& sourceName) { SetSourceName(sourceName); }
  const std::string& SourceName() const { return sourceName_; }
  void SetSourceName(const std::string& name) { sourceName_ = name.substr(0, kMaxSourceName); }

  // Reports nothing when the source cannot be opened.
  void Write(EventKind kind, const std::string& text) const;
  // Raises ERegistryException "Failed to set data for '%s'" when a value cannot be written.
  bool RegisterSource(const std::string& messageFile) const;
  bool UnregisterSource() const;

  static DWORD EventId(EventKind kind);
  static WORD EventType(EventKind kind);

 private:
  std::string sourceName_;
};

// The system's text for the calling thread's last error, then " ($hex code)".
std::string LastErrorText();

TEvent& DefaultEvent();
DWORD MainThreadId();

}  // namespace svchost
