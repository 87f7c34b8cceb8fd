// TagWinsock: the Winsock library bound at run time. It loads "ws2_32.dll" by name and looks
// each function up by name on its first call after a load; the one global instance, Winsock, serves
// every socket of the process.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "rtl/Exception.h"
#include "winapi/winapi.h"

namespace net {

RTL_EXCEPTION_CLASS(EWinsockDLLError, rtl::Exception);

class TagWinsock {
 public:
  explicit TagWinsock(std::string libraryName = "ws2_32.dll")
      : libraryName_(std::move(libraryName)) {}
  ~TagWinsock() { Unload(); }
  TagWinsock(const TagWinsock&) = delete;
  TagWinsock& operator=(const TagWinsock&) = delete;

  // Raises EWinsockDLLError "Winsock not found" when the library cannot be loaded.
  void Load();
  bool IsLoaded() const;
  void Unload();
  // Raises "Winsock is not loaded", or "Function %s not found" for a missing function.
  FARPROC GetProc(const char* name) const;
  // The library another load will use (tests use a variant module).
  void SetLibraryName(std::string name) { libraryName_ = std::move(name); }

  int WSAStartup(WORD version, WSADATA* data) const;
  int WSACleanup() const;
  int WSAGetLastError() const;
  BOOL WSAIsBlocking() const;
  int WSACancelBlockingCall() const;
  SOCKET socket(int af, int type, int protocol) const;
  int closesocket(SOCKET s) const;
  int connect(SOCKET s, const SOCKADDR* name, int length) const;
  int recv(SOCKET s, char* buffer, int length, int flags) const;
  int send(SOCKET s, const char* buffer, int length, int flags) const;
  uint16_t htons(uint16_t value) const;
  uint32_t inet_addr(const char* text) const;
  HOSTENT* gethostbyname(const char* name) const;
  int gethostname(char* name, int length) const;
  SERVENT* getservbyname(const char* name, const char* proto) const;
  HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buffer,
                               int length) const;
  HANDLE WSAAsyncGetServByName(HWND hwnd, UINT msg, const char* name, const char* proto,
                               char* buffer, int length) const;
  int WSACancelAsyncRequest(HANDLE request) const;
  int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) const;
  int GetAddrInfoExW(const WCHAR* name, const WCHAR* service, DWORD nameSpace, LPGUID nspId,
                     const ADDRINFOEXW* hints, PADDRINFOEXW* result, TIMEVAL* timeout,
                     LPOVERLAPPED overlapped, LPLOOKUPSERVICE_COMPLETION_ROUTINE routine,
                     LPHANDLE handle) const;
  int GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped) const;
  int GetAddrInfoExCancel(LPHANDLE handle) const;
  void FreeAddrInfoExW(PADDRINFOEXW result) const;
  int inet_pton(int family, const char* text, void* address) const;
  const char* inet_ntop(int family, const void* address, char* buffer, size_t size) const;

 private:
  // The bound functions, each looked up by name on its first call after a load.
  enum class Proc {
    WSAStartup,
    WSACleanup,
    WSAGetLastError,
    WSAIsBlocking,
    WSACancelBlockingCall,
    socket,
    closesocket,
    connect,
    recv,
    send,
    htons,
    gethostbyname,
    gethostname,
    getservbyname,
    WSAAsyncGetHostByName,
    WSAAsyncGetServByName,
    WSACancelAsyncRequest,
    WSAAsyncSelect,
    GetAddrInfoExW,
    GetAddrInfoExOverlappedResult,
    GetAddrInfoExCancel,
    FreeAddrInfoExW,
    inet_pton,
    inet_ntop,
    Count
  };

  template <class F>
  F* Bound(Proc id) const {
    return LarkProcAs<F>(Cached(id));
  }
  FARPROC Cached(Proc id) const;
  void Forget();

  std::string libraryName_;
  std::mutex loading_;
  // Read by every call of every delivery thread; written only by Load and Unload.
  std::atomic<HMODULE> handle_{nullptr};
  mutable std::array<std::atomic<FARPROC>, static_cast<size_t>(Proc::Count)> procs_{};
};

// The process's binding, loaded on first use.
TagWinsock& Winsock();

// A notification's second parameter: the error code is its high word.
inline int WSAErrorOf(LPARAM lParam) { return WSAGETSELECTERROR(lParam); }
inline long WSAEventOf(LPARAM lParam) { return static_cast<long>(lParam); }

}  // namespace net
