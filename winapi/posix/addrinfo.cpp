// The Winsock 2 address pieces of the built-in "ws2_32.dll": GetAddrInfoExW over the system's
// resolver, synchronous or overlapped (on a helper thread, cancellable, with an optional time
// limit), text forms of addresses, and the translation between Winsock's socket addresses
// (AF_INET6 is 23) and Linux's (10) that every socket call of the module goes through.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>

#include "winapi/posix/internal.h"

namespace lark {

int FamilyToPosix(int family) {
  if (family == WS_AF_INET6) return AF_INET6;
  return family == AF_INET || family == AF_UNSPEC ? family : -1;
}

int AddressFromWinsock(const SOCKADDR* name, int length, sockaddr_storage* out,
                       unsigned int* size) {
  if (name == nullptr || length < static_cast<int>(sizeof(uint16_t))) return WSAEFAULT;
  std::memset(out, 0, sizeof *out);
  if (name->sa_family == AF_INET) {
    SOCKADDR_IN in;
    if (length < static_cast<int>(sizeof in)) return WSAEFAULT;
    std::memcpy(&in, name, sizeof in);
    auto* posix = reinterpret_cast<sockaddr_in*>(out);
    posix->sin_family = AF_INET;
    posix->sin_port = in.sin_port;
    posix->sin_addr.s_addr = in.sin_addr.s_addr;
    *size = sizeof *posix;
    return 0;
  }
  if (name->sa_family == WS_AF_INET6) {
    SOCKADDR_IN6 in;
    if (length < static_cast<int>(sizeof in)) return WSAEFAULT;
    std::memcpy(&in, name, sizeof in);
    auto* posix = reinterpret_cast<sockaddr_in6*>(out);
    posix->sin6_family = AF_INET6;
    posix->sin6_port = in.sin6_port;
    posix->sin6_flowinfo = in.sin6_flowinfo;
    std::memcpy(&posix->sin6_addr, &in.sin6_addr, sizeof in.sin6_addr);
    posix->sin6_scope_id = in.sin6_scope_id;
    *size = sizeof *posix;
    return 0;
  }
  return WSAEAFNOSUPPORT;
}

int AddressToWinsock(const sockaddr* address, SOCKADDR* name, int* length) {
  if (address->sa_family == AF_INET) {
    const auto* posix = reinterpret_cast<const sockaddr_in*>(address);
    SOCKADDR_IN out{};
    out.sin_family = AF_INET;
    out.sin_port = posix->sin_port;
    out.sin_addr.s_addr = posix->sin_addr.s_addr;
    if (*length < static_cast<int>(sizeof out)) return WSAEFAULT;
    std::memcpy(name, &out, sizeof out);
    *length = sizeof out;
    return 0;
  }
  if (address->sa_family == AF_INET6) {
    const auto* posix = reinterpret_cast<const sockaddr_in6*>(address);
    SOCKADDR_IN6 out{};
    out.sin6_family = WS_AF_INET6;
    out.sin6_port = posix->sin6_port;
    out.sin6_flowinfo = posix->sin6_flowinfo;
    std::memcpy(&out.sin6_addr, &posix->sin6_addr, sizeof out.sin6_addr);
    out.sin6_scope_id = posix->sin6_scope_id;
    if (*length < static_cast<int>(sizeof out)) return WSAEFAULT;
    std::memcpy(name, &out, sizeof out);
    *length = sizeof out;
    return 0;
  }
  return WSAEAFNOSUPPORT;
}

int WsaFromGaiError(int status) {
  switch (status) {
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
      return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE:
      return WSATYPE_NOT_FOUND;
    case EAI_MEMORY:
      return WSA_NOT_ENOUGH_MEMORY;
    case EAI_BADFLAGS:
      return WSAEINVAL;
    default:
      return WSAHOST_NOT_FOUND;
  }
}

namespace {

// One answer and the address it points to, freed together.
struct Answer {
  ADDRINFOEXW info;
  SOCKADDR_STORAGE address;
};

void FreeAnswers(ADDRINFOEXW* answers) {
  while (answers != nullptr) {
    ADDRINFOEXW* next = answers->ai_next;
    delete[] answers->ai_canonname;
    delete reinterpret_cast<Answer*>(answers);
    answers = next;
  }
}

ADDRINFOEXW* ToAnswers(const addrinfo* list) {
  ADDRINFOEXW* head = nullptr;
  ADDRINFOEXW** tail = &head;
  for (; list != nullptr; list = list->ai_next) {
    auto* answer = new Answer{};
    int length = sizeof answer->address;
    if (AddressToWinsock(list->ai_addr, reinterpret_cast<SOCKADDR*>(&answer->address), &length) !=
        0) {
      delete answer;
      continue;
    }
    ADDRINFOEXW& info = answer->info;
    info.ai_flags = list->ai_flags;
    info.ai_family = answer->address.ss_family;
    info.ai_socktype = list->ai_socktype;
    info.ai_protocol = list->ai_protocol;
    info.ai_addrlen = static_cast<size_t>(length);
    info.ai_addr = reinterpret_cast<SOCKADDR*>(&answer->address);
    if (list->ai_canonname != nullptr) {
      size_t size = std::strlen(list->ai_canonname);
      info.ai_canonname = new WCHAR[size + 1];
      for (size_t i = 0; i <= size; ++i)
        info.ai_canonname[i] = static_cast<unsigned char>(list->ai_canonname[i]);
    }
    *tail = &info;
    tail = &info.ai_next;
  }
  return head;
}

// Host and service names are ASCII; anything else is no name the resolver knows.
bool Narrow(const WCHAR* text, std::string& out) {
  for (; *text != 0; ++text) {
    if (*text > 0x7F) return false;
    out += static_cast<char>(*text);
  }
  return true;
}

struct Query {
  bool hasName = false, hasService = false;
  std::string name, service;
  addrinfo hints{};
};

int Resolve(const Query& query, ADDRINFOEXW** answers) {
  addrinfo* list = nullptr;
  int status = getaddrinfo(query.hasName ? query.name.c_str() : nullptr,
                           query.hasService ? query.service.c_str() : nullptr, &query.hints, &list);
  if (status != 0) return WsaFromGaiError(status);
  *answers = ToAnswers(list);
  freeaddrinfo(list);
  return *answers == nullptr ? WSANO_DATA : 0;
}

// An overlapped look-up. Whichever comes first of its end, its time limit and a cancel finishes
// it; only a finish that is not a cancel writes into the caller's memory.
struct Request {
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;
  LPOVERLAPPED overlapped;
  PADDRINFOEXW* result;
};

struct RequestTable {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<Request>> requests;
  uintptr_t next = 0x8000;
};

RequestTable& Requests() {
  static auto* table = new RequestTable;
  return *table;
}

void Forget(uintptr_t id) {
  auto& table = Requests();
  std::lock_guard lock(table.mutex);
  table.requests.erase(id);
}

void SetStatus(LPOVERLAPPED overlapped, uintptr_t status) {
  std::atomic_ref(overlapped->Internal).store(status, std::memory_order_release);
}

// Requires request.mutex to be held.
void Signal(Request& request, int status) {
  request.finished = true;
  SetStatus(request.overlapped, static_cast<uintptr_t>(status));
  if (request.overlapped->hEvent != nullptr) SetEvent(request.overlapped->hEvent);
  request.ended.notify_all();
}

void Finish(uintptr_t id, Request& request, int status, ADDRINFOEXW* answers) {
  {
    std::lock_guard lock(request.mutex);
    if (!request.finished) {
      *request.result = answers;
      answers = nullptr;
      Signal(request, status);
    }
  }
  FreeAnswers(answers);
  Forget(id);
}

// ---- The module's functions ------------------------------------------------------------------

int WINAPI GetAddrInfoEx(const WCHAR* pName, const WCHAR* pServiceName, DWORD, LPGUID,
                         const ADDRINFOEXW* hints, PADDRINFOEXW* ppResult, TIMEVAL* timeout,
                         LPOVERLAPPED overlapped, LPLOOKUPSERVICE_COMPLETION_ROUTINE routine,
                         LPHANDLE lpHandle) {
  if (ppResult == nullptr || (timeout != nullptr && overlapped == nullptr)) return WSAEINVAL;
  if (routine != nullptr) return WSAEOPNOTSUPP;
  if (pName == nullptr && pServiceName == nullptr) return WSAHOST_NOT_FOUND;
  *ppResult = nullptr;
  Query query;
  query.hasName = pName != nullptr;
  query.hasService = pServiceName != nullptr;
  if (query.hasName && !Narrow(pName, query.name)) return WSAHOST_NOT_FOUND;
  if (query.hasService && !Narrow(pServiceName, query.service)) return WSATYPE_NOT_FOUND;
  if (hints != nullptr) {
    query.hints.ai_family = FamilyToPosix(hints->ai_family);
    if (query.hints.ai_family < 0) return WSAEAFNOSUPPORT;
    query.hints.ai_socktype = hints->ai_socktype;
    query.hints.ai_protocol = hints->ai_protocol;
    // AI_PASSIVE, AI_CANONNAME and AI_NUMERICHOST have the same values on both sides.
    query.hints.ai_flags = hints->ai_flags & (AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST);
  }
  if (overlapped == nullptr) return Resolve(query, ppResult);

  auto request = std::make_shared<Request>();
  request->overlapped = overlapped;
  request->result = ppResult;
  overlapped->InternalHigh = 0;
  SetStatus(overlapped, WSAEINPROGRESS);
  uintptr_t id;
  {
    auto& table = Requests();
    std::lock_guard lock(table.mutex);
    table.next += 4;
    id = table.next;
    table.requests.emplace(id, request);
  }
  auto lookUp = [request, id, query] {
    ADDRINFOEXW* answers = nullptr;
    int status = Resolve(query, &answers);
    Finish(id, *request, status, answers);
  };
  auto limit = timeout == nullptr ? Clock::duration::max()
                                  : std::chrono::seconds(timeout->tv_sec) +
                                        std::chrono::microseconds(timeout->tv_usec);
  try {
    std::thread([request, id, lookUp, limit] {
      if (limit == Clock::duration::max()) return lookUp();
      // The resolver cannot be interrupted: it runs on a thread of its own, and this one ends
      // the request when the time is up.
      try {
        std::thread(lookUp).detach();
      } catch (const std::system_error&) {
        return Finish(id, *request, WSA_NOT_ENOUGH_MEMORY, nullptr);
      }
      std::unique_lock lock(request->mutex);
      if (request->ended.wait_for(lock, limit, [&] { return request->finished; })) return;
      Signal(*request, WSAETIMEDOUT);
      lock.unlock();
      Forget(id);
    }).detach();
  } catch (const std::system_error&) {
    Forget(id);
    return WSA_NOT_ENOUGH_MEMORY;
  }
  if (lpHandle != nullptr) *lpHandle = reinterpret_cast<HANDLE>(id);
  return WSA_IO_PENDING;
}

int WINAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped) {
  if (overlapped == nullptr) return WSAEINVAL;
  return static_cast<int>(std::atomic_ref(overlapped->Internal).load(std::memory_order_acquire));
}

int WINAPI GetAddrInfoExCancel(LPHANDLE lpHandle) {
  if (lpHandle == nullptr) return WSA_INVALID_HANDLE;
  const auto id = reinterpret_cast<uintptr_t>(*lpHandle);
  std::shared_ptr<Request> request;
  {
    auto& table = Requests();
    std::lock_guard lock(table.mutex);
    auto it = table.requests.find(id);
    if (it == table.requests.end()) return WSA_INVALID_HANDLE;
    request = it->second;
  }
  {
    std::lock_guard lock(request->mutex);
    if (request->finished) return WSA_INVALID_HANDLE;
    Signal(*request, WSA_E_CANCELLED);
  }
  Forget(id);
  return 0;
}

void WINAPI FreeAddrInfoEx(PADDRINFOEXW answers) { FreeAnswers(answers); }

int WINAPI InetPton(int family, const char* text, void* address) {
  if (text == nullptr || address == nullptr) {
    SetLastError(WSAEFAULT);
    return -1;
  }
  int posix = FamilyToPosix(family);
  if (posix != AF_INET && posix != AF_INET6) {
    SetLastError(WSAEAFNOSUPPORT);
    return -1;
  }
  return ::inet_pton(posix, text, address) == 1 ? 1 : 0;
}

const char* WINAPI InetNtop(int family, const void* address, char* buffer, size_t size) {
  int posix = FamilyToPosix(family);
  if (posix != AF_INET && posix != AF_INET6) {
    SetLastError(WSAEAFNOSUPPORT);
    return nullptr;
  }
  if (address == nullptr || buffer == nullptr || size == 0 ||
      ::inet_ntop(posix, address, buffer, static_cast<socklen_t>(size)) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return buffer;
}

}  // namespace

DWORD AddrInfoExports(const LarkModuleExport** exports) {
  static const LarkModuleExport table[] = {
      {"FreeAddrInfoExW", ExportOf(FreeAddrInfoEx)},
      {"GetAddrInfoExCancel", ExportOf(GetAddrInfoExCancel)},
      {"GetAddrInfoExOverlappedResult", ExportOf(GetAddrInfoExOverlappedResult)},
      {"GetAddrInfoExW", ExportOf(GetAddrInfoEx)},
      {"inet_ntop", ExportOf(InetNtop)},
      {"inet_pton", ExportOf(InetPton)},
      {"InetNtopA", ExportOf(InetNtop)},
      {"InetPtonA", ExportOf(InetPton)},
  };
  *exports = table;
  return sizeof table / sizeof table[0];
}

}  // namespace lark
