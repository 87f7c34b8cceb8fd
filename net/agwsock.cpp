#include "net/agwsock.h"

#include "rtl/SysUtils.h"

// The binding hands Winsock's own values to the library; a Linux header seen here would give
// AF_INET6 another.
static_assert(AF_INET6 == 23);

namespace net {

namespace {

// By TagWinsock::Proc.
constexpr const char* kProcNames[] = {
    "WSAStartup",
    "WSACleanup",
    "WSAGetLastError",
    "WSAIsBlocking",
    "WSACancelBlockingCall",
    "socket",
    "closesocket",
    "connect",
    "recv",
    "send",
    "htons",
    "gethostbyname",
    "gethostname",
    "getservbyname",
    "WSAAsyncGetHostByName",
    "WSAAsyncGetServByName",
    "WSACancelAsyncRequest",
    "WSAAsyncSelect",
    "GetAddrInfoExW",
    "GetAddrInfoExOverlappedResult",
    "GetAddrInfoExCancel",
    "FreeAddrInfoExW",
    "inet_pton",
    "inet_ntop",
};

}  // namespace

void TagWinsock::Load() {
  std::lock_guard lock(loading_);
  if (IsLoaded()) return;
  UINT previous = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  HMODULE handle = LoadLibraryA(libraryName_.c_str());
  SetErrorMode(previous);
  Forget();
  if (reinterpret_cast<uintptr_t>(handle) < 32) {
    handle_ = nullptr;
    throw EWinsockDLLError("Winsock not found");
  }
  handle_ = handle;
}

bool TagWinsock::IsLoaded() const { return reinterpret_cast<uintptr_t>(handle_.load()) > 32; }

void TagWinsock::Unload() {
  std::lock_guard lock(loading_);
  if (HMODULE handle = handle_.exchange(nullptr); handle != nullptr) FreeLibrary(handle);
  Forget();
}

void TagWinsock::Forget() {
  for (auto& proc : procs_) proc.store(nullptr, std::memory_order_relaxed);
}

FARPROC TagWinsock::Cached(Proc id) const {
  static_assert(std::size(kProcNames) == static_cast<size_t>(Proc::Count));
  // The handle is tested first, so that a call after Unload still reports it.
  if (!IsLoaded()) throw EWinsockDLLError("Winsock is not loaded");
  auto& slot = procs_[static_cast<size_t>(id)];
  FARPROC proc = slot.load(std::memory_order_acquire);
  if (proc == nullptr) {
    proc = GetProc(kProcNames[static_cast<size_t>(id)]);
    slot.store(proc, std::memory_order_release);
  }
  return proc;
}

FARPROC TagWinsock::GetProc(const char* name) const {
  if (!IsLoaded()) throw EWinsockDLLError("Winsock is not loaded");
  FARPROC proc = GetProcAddress(handle_.load(), name);
  if (proc == nullptr) throw EWinsockDLLError(rtl::Format("Function %s not found", name));
  return proc;
}

int TagWinsock::WSAStartup(WORD version, WSADATA* data) const {
  return Bound<int WINAPI(WORD, WSADATA*)>(Proc::WSAStartup)(version, data);
}
int TagWinsock::WSACleanup() const { return Bound<int WINAPI()>(Proc::WSACleanup)(); }
int TagWinsock::WSAGetLastError() const { return Bound<int WINAPI()>(Proc::WSAGetLastError)(); }
BOOL TagWinsock::WSAIsBlocking() const { return Bound<BOOL WINAPI()>(Proc::WSAIsBlocking)(); }
int TagWinsock::WSACancelBlockingCall() const {
  return Bound<int WINAPI()>(Proc::WSACancelBlockingCall)();
}
SOCKET TagWinsock::socket(int af, int type, int protocol) const {
  return Bound<SOCKET WINAPI(int, int, int)>(Proc::socket)(af, type, protocol);
}
int TagWinsock::closesocket(SOCKET s) const {
  return Bound<int WINAPI(SOCKET)>(Proc::closesocket)(s);
}
int TagWinsock::connect(SOCKET s, const SOCKADDR* name, int length) const {
  return Bound<int WINAPI(SOCKET, const SOCKADDR*, int)>(Proc::connect)(s, name, length);
}
int TagWinsock::recv(SOCKET s, char* buffer, int length, int flags) const {
  return Bound<int WINAPI(SOCKET, char*, int, int)>(Proc::recv)(s, buffer, length, flags);
}
int TagWinsock::send(SOCKET s, const char* buffer, int length, int flags) const {
  return Bound<int WINAPI(SOCKET, const char*, int, int)>(Proc::send)(s, buffer, length, flags);
}
uint16_t TagWinsock::htons(uint16_t value) const {
  return Bound<uint16_t WINAPI(uint16_t)>(Proc::htons)(value);
}
uint32_t TagWinsock::inet_addr(const char* text) const {
  // Looked up without the loaded test, as the library binding always did.
  HMODULE handle = handle_.load();
  FARPROC proc = handle != nullptr ? GetProcAddress(handle, "inet_addr") : nullptr;
  if (proc == nullptr) throw EWinsockDLLError(rtl::Format("Function %s not found", "inet_addr"));
  return LarkProcAs<uint32_t WINAPI(const char*)>(proc)(text);
}
HOSTENT* TagWinsock::gethostbyname(const char* name) const {
  return Bound<HOSTENT * WINAPI(const char*)>(Proc::gethostbyname)(name);
}
int TagWinsock::gethostname(char* name, int length) const {
  return Bound<int WINAPI(char*, int)>(Proc::gethostname)(name, length);
}
SERVENT* TagWinsock::getservbyname(const char* name, const char* proto) const {
  return Bound<SERVENT * WINAPI(const char*, const char*)>(Proc::getservbyname)(name, proto);
}
HANDLE TagWinsock::WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buffer,
                                         int length) const {
  return Bound<HANDLE WINAPI(HWND, UINT, const char*, char*, int)>(Proc::WSAAsyncGetHostByName)(
      hwnd, msg, name, buffer, length);
}
HANDLE TagWinsock::WSAAsyncGetServByName(HWND hwnd, UINT msg, const char* name, const char* proto,
                                         char* buffer, int length) const {
  return Bound<HANDLE WINAPI(HWND, UINT, const char*, const char*, char*, int)>(
      Proc::WSAAsyncGetServByName)(hwnd, msg, name, proto, buffer, length);
}
int TagWinsock::WSACancelAsyncRequest(HANDLE request) const {
  return Bound<int WINAPI(HANDLE)>(Proc::WSACancelAsyncRequest)(request);
}
int TagWinsock::WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) const {
  return Bound<int WINAPI(SOCKET, HWND, UINT, long)>(Proc::WSAAsyncSelect)(s, hwnd, msg, events);
}

int TagWinsock::GetAddrInfoExW(const WCHAR* name, const WCHAR* service, DWORD nameSpace,
                               LPGUID nspId, const ADDRINFOEXW* hints, PADDRINFOEXW* result,
                               TIMEVAL* timeout, LPOVERLAPPED overlapped,
                               LPLOOKUPSERVICE_COMPLETION_ROUTINE routine, LPHANDLE handle) const {
  return Bound<int WINAPI(const WCHAR*, const WCHAR*, DWORD, LPGUID, const ADDRINFOEXW*,
                          PADDRINFOEXW*, TIMEVAL*, LPOVERLAPPED, LPLOOKUPSERVICE_COMPLETION_ROUTINE,
                          LPHANDLE)>(Proc::GetAddrInfoExW)(
      name, service, nameSpace, nspId, hints, result, timeout, overlapped, routine, handle);
}
int TagWinsock::GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped) const {
  return Bound<int WINAPI(LPOVERLAPPED)>(Proc::GetAddrInfoExOverlappedResult)(overlapped);
}
int TagWinsock::GetAddrInfoExCancel(LPHANDLE handle) const {
  return Bound<int WINAPI(LPHANDLE)>(Proc::GetAddrInfoExCancel)(handle);
}
void TagWinsock::FreeAddrInfoExW(PADDRINFOEXW result) const {
  Bound<void WINAPI(PADDRINFOEXW)>(Proc::FreeAddrInfoExW)(result);
}
int TagWinsock::inet_pton(int family, const char* text, void* address) const {
  return Bound<int WINAPI(int, const char*, void*)>(Proc::inet_pton)(family, text, address);
}
const char* TagWinsock::inet_ntop(int family, const void* address, char* buffer,
                                  size_t size) const {
  return Bound<const char * WINAPI(int, const void*, char*, size_t)>(Proc::inet_ntop)(
      family, address, buffer, size);
}

TagWinsock& Winsock() {
  static auto* winsock = [] {
    auto* instance = new TagWinsock;
    instance->Load();
    return instance;
  }();
  return *winsock;
}

}  // namespace net
