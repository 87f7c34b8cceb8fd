#include "svchost/NTObj.h"

#include "rtl/SysUtils.h"

namespace svchost {

TKernelObject::~TKernelObject() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

HANDLE TKernelObject::Handle() {
  if (handle_ == nullptr) handle_ = CreateHandle();
  if (handle_ == nullptr) throw EKernelObject(std::string("Can't create ") + ClassName());
  return handle_;
}

HANDLE TEvent::CreateHandle() {
  return CreateEventA(SecurityAttributes, ManualReset, InitialState, Name);
}

void TEvent::SetEvent() { ::SetEvent(Handle()); }
void TEvent::ResetEvent() { ::ResetEvent(Handle()); }

HANDLE TWaitable::Handle() const {
  if (kernel_ != nullptr) return kernel_->Handle();
  if (thread_ != nullptr) return thread_->Handle();
  if (handle_ != nullptr) return handle_;
  return DefaultEvent().Handle();
}

DWORD WaitForObjects(const std::vector<TWaitable>& objects, bool waitAll, DWORD timeout) {
  std::vector<HANDLE> handles;
  handles.reserve(objects.size());
  for (const auto& object : objects) handles.push_back(object.Handle());
  DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                        waitAll ? TRUE : FALSE, timeout);
  // Taken for a time-out, a failed wait would make every poll loop spin.
  if (result == WAIT_FAILED) throw EKernelObject("Wait failed: " + LastErrorText());
  return result;
}

DWORD WaitForAny(const std::vector<TWaitable>& objects, DWORD timeout) {
  return WaitForObjects(objects, false, timeout);
}

DWORD WaitForList(const std::vector<TWaitable>& objects, bool waitAll, DWORD timeout) {
  return WaitForObjects(objects, waitAll, timeout);
}

DWORD WaitForAll(const std::vector<TWaitable>& objects, DWORD timeout) {
  return WaitForList(objects, true, timeout);
}

std::string LastErrorText() {
  DWORD code = GetLastError();
  char buffer[767] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, sizeof buffer - 1, nullptr);
  std::string text(buffer, length);
  if (text.size() >= 2) text.resize(text.size() - 2);
  return rtl::Format("%s ($%X)", text.c_str(), static_cast<unsigned>(code));
}

TEvent& DefaultEvent() {
  static auto* event = new TEvent;  // never freed: waits may still name it at exit
  return *event;
}

namespace {
// Taken when the program starts, on the thread that runs static initialisation.
const DWORD kMainThreadId = GetCurrentThreadId();
}  // namespace

DWORD MainThreadId() { return kMainThreadId; }

}  // namespace svchost
