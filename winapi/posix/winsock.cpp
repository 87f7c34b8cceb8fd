// The built-in Winsock modules ("wsock32.dll", 1.1, and "ws2_32.dll", which adds the address
// look-up and IPv6): real non-blocking BSD sockets behind Winsock handles, WSAAsyncSelect
// notifications produced when the owning thread reads its queue (with Winsock's re-enabling rules),
// and asynchronous look-ups on helper threads that post their reply with the hostent or servent
// written into the caller's buffer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

int WsaFromErrno(int err) {
  switch (err) {
    case EWOULDBLOCK:
    case EINPROGRESS:
      return WSAEWOULDBLOCK;
    case EALREADY:
      return WSAEALREADY;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENOTCONN:
      return WSAENOTCONN;
    case EISCONN:
      return WSAEISCONN;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EBADF:
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EMFILE:
      return WSAEMFILE;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EFAULT:
      return WSAEFAULT;
    case EACCES:
      return WSAEACCES;
    case EINTR:
      return WSAEINTR;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    default:
      return WSAEINVAL;
  }
}

// Errors that end a connection: Winsock reports them again on every later receive and send.
bool EndsConnection(int wsaError) {
  return wsaError == WSAECONNRESET || wsaError == WSAECONNABORTED || wsaError == WSAETIMEDOUT;
}

int SocketFail(int wsaError) {
  SetLastError(static_cast<DWORD>(wsaError));
  return SOCKET_ERROR;
}

// One socket, and, once WSAAsyncSelect registered it, the source of its notifications.
class SocketState : public MessageSource, public std::enable_shared_from_this<SocketState> {
 public:
  explicit SocketState(int fd) : fd_(fd) {}
  ~SocketState() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int Fd() const override { return fd_; }

  short Interest() const override {
    std::lock_guard lock(mutex_);
    if (hwnd_ == nullptr || fd_ < 0) return 0;
    short events = 0;
    if (connectPending_ || writeWanted_) events |= POLLOUT;
    if (readEnabled_ && !closePosted_ && connected_) events |= POLLIN;
    return events;
  }

  void Poll(short revents) override {
    std::lock_guard lock(mutex_);
    if (hwnd_ == nullptr || fd_ < 0) return;
    const bool failed = (revents & (POLLERR | POLLHUP)) != 0;
    if (connectPending_) {
      if ((revents & POLLOUT) == 0 && !failed) return;
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
      connectPending_ = false;
      connected_ = error == 0;
      Notify(FD_CONNECT, error == 0 ? 0 : WsaFromErrno(error));
      if (connected_) writeWanted_ = true;  // FD_WRITE follows a completed connect
    }
    if (!connected_) return;
    if (readEnabled_ && !closePosted_) {
      ssize_t n = static_cast<ssize_t>(filled_ - taken_);
      // The kernel is read only when poll() said something (data, the end, an error) waits.
      const bool readable = (revents & POLLIN) != 0 || failed;
      if (n == 0 && readable) n = Fill();
      if (n > 0) {
        readEnabled_ = false;  // until the next recv
        Notify(FD_READ, 0);
      } else if (n == 0 && readable) {
        closePosted_ = true;  // the peer closed and every byte has been read
        Notify(FD_CLOSE, 0);
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        // The read takes the error from the kernel, whose later receives then read as a quiet
        // end of the connection; the error is kept here so that they still report it.
        int error = WsaFromErrno(errno);
        closePosted_ = true;
        if (EndsConnection(error)) failure_ = error;
        Notify(FD_CLOSE, error);
      }
    }
    if (writeWanted_ && (revents & POLLOUT) != 0) {
      writeWanted_ = false;
      Notify(FD_WRITE, 0);
    }
  }

  int Select(HWND hwnd, UINT msg, long events) {
    auto owner = WindowOwner(hwnd);
    if (events != 0 && !owner) return SocketFail(WSAEINVAL);
    std::shared_ptr<ThreadContext> previous;
    {
      std::lock_guard lock(mutex_);
      previous = owner_.lock();
      int flags = fcntl(fd_, F_GETFL);
      fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
      hwnd_ = events == 0 ? nullptr : hwnd;
      msg_ = msg;
      events_ = events;
      readEnabled_ = true;
      sockaddr_storage peer;
      socklen_t length = sizeof peer;
      connected_ = getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
      writeWanted_ = connected_;  // a writable socket gets FD_WRITE at registration
      owner_ = owner;
    }
    if (previous) previous->RemoveSource(this);
    if (events != 0) owner->AddSource(shared_from_this());
    return 0;
  }

  void Unregister() {
    std::shared_ptr<ThreadContext> owner;
    {
      std::lock_guard lock(mutex_);
      owner = owner_.lock();
      hwnd_ = nullptr;
    }
    if (owner) owner->RemoveSource(this);
  }

  void StartedConnect() {
    std::lock_guard lock(mutex_);
    connectPending_ = true;
  }
  void WantWrite() {
    std::lock_guard lock(mutex_);
    writeWanted_ = true;
  }
  // The error that ended the connection, 0 while it lives.
  int Failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
  }
  // Bytes already taken from the kernel are handed out first; only then is the socket read.
  ssize_t Receive(char* buf, size_t len, int flags) {
    {
      std::lock_guard lock(mutex_);
      readEnabled_ = true;
      if (size_t held = filled_ - taken_; held > 0) {
        size_t n = std::min(len, held);
        std::memcpy(buf, received_.get() + taken_, n);
        if ((flags & MSG_PEEK) == 0) taken_ += n;
        return static_cast<ssize_t>(n);
      }
    }
    // A blocking receive must not hold the lock that closing the socket takes.
    return ::recv(fd_, buf, len, flags);
  }
  // Returns the error, kept when it ends the connection.
  int Keep(int error) {
    std::lock_guard lock(mutex_);
    if (EndsConnection(error) && failure_ == 0) failure_ = error;
    return error;
  }
  bool Blocking() const {
    std::lock_guard lock(mutex_);
    return (fcntl(fd_, F_GETFL) & O_NONBLOCK) == 0;
  }

 private:
  // A reply is read a byte per receive; one read of the kernel's buffer serves them all.
  ssize_t Fill() {
    if (!received_) received_ = std::make_unique_for_overwrite<char[]>(kReceiveBlock);
    taken_ = 0;
    ssize_t n = ::recv(fd_, received_.get(), kReceiveBlock, MSG_DONTWAIT);
    filled_ = n > 0 ? static_cast<size_t>(n) : 0;
    return n;
  }

  void Notify(long event, int error) {
    if (events_ & event)
      PostMessageA(hwnd_, msg_, static_cast<WPARAM>(socket), WSAMAKESELECTREPLY(event, error));
  }

  mutable std::mutex mutex_;
  int fd_;
  HWND hwnd_ = nullptr;
  UINT msg_ = 0;
  long events_ = 0;
  bool connectPending_ = false;
  bool connected_ = false;
  bool readEnabled_ = true;
  bool writeWanted_ = false;
  bool closePosted_ = false;
  int failure_ = 0;
  static constexpr size_t kReceiveBlock = 4096;
  // Read from the kernel, not yet handed out: taken_ up to filled_.
  std::unique_ptr<char[]> received_;
  size_t taken_ = 0;
  size_t filled_ = 0;
  std::weak_ptr<ThreadContext> owner_;

 public:
  SOCKET socket = INVALID_SOCKET;
};

struct SocketTable {
  std::mutex mutex;
  std::map<SOCKET, std::shared_ptr<SocketState>> sockets;
  SOCKET next = 0x100;
  std::atomic<int> startups{0};
};

SocketTable& Sockets() {
  static auto* table = new SocketTable;
  return *table;
}

std::shared_ptr<SocketState> Find(SOCKET s) {
  auto& table = Sockets();
  std::lock_guard lock(table.mutex);
  auto it = table.sockets.find(s);
  return it == table.sockets.end() ? nullptr : it->second;
}

SOCKET Add(int fd) {
  auto state = std::make_shared<SocketState>(fd);
  auto& table = Sockets();
  std::lock_guard lock(table.mutex);
  table.next += 4;
  state->socket = table.next;
  table.sockets.emplace(table.next, state);
  return table.next;
}

// ---- Look-ups --------------------------------------------------------------------------------

// Writes a hostent for one IPv4 address into buf; its pointers point into base, where the
// bytes of buf end up (buf itself, or the caller's buffer they are copied to).
int PackHostent(const std::string& name, uint32_t address, char* buf, int size, char* base) {
  auto at = [buf, base](char* p) { return base + (p - buf); };
  size_t needed = sizeof(HOSTENT) + 4 * sizeof(char*) + 4 + name.size() + 1;
  if (static_cast<size_t>(size) < needed) return -static_cast<int>(needed);
  auto* host = reinterpret_cast<HOSTENT*>(buf);
  auto** pointers = reinterpret_cast<char**>(buf + sizeof(HOSTENT));
  char* addressBytes = buf + sizeof(HOSTENT) + 4 * sizeof(char*);
  char* nameText = addressBytes + 4;
  std::memcpy(addressBytes, &address, 4);
  std::memcpy(nameText, name.c_str(), name.size() + 1);
  pointers[0] = nullptr;  // no aliases
  pointers[1] = at(addressBytes);
  pointers[2] = nullptr;
  host->h_name = at(nameText);
  host->h_aliases = reinterpret_cast<char**>(at(reinterpret_cast<char*>(&pointers[0])));
  host->h_addrtype = AF_INET;
  host->h_length = 4;
  host->h_addr_list = reinterpret_cast<char**>(at(reinterpret_cast<char*>(&pointers[1])));
  return static_cast<int>(needed);
}

int PackServent(const std::string& name, const std::string& proto, uint16_t portNetwork, char* buf,
                int size, char* base) {
  auto at = [buf, base](char* p) { return base + (p - buf); };
  size_t needed = sizeof(SERVENT) + sizeof(char*) + name.size() + proto.size() + 2;
  if (static_cast<size_t>(size) < needed) return -static_cast<int>(needed);
  auto* serv = reinterpret_cast<SERVENT*>(buf);
  auto** aliases = reinterpret_cast<char**>(buf + sizeof(SERVENT));
  char* nameText = buf + sizeof(SERVENT) + sizeof(char*);
  char* protoText = nameText + name.size() + 1;
  std::memcpy(nameText, name.c_str(), name.size() + 1);
  std::memcpy(protoText, proto.c_str(), proto.size() + 1);
  aliases[0] = nullptr;
  serv->s_name = at(nameText);
  serv->s_aliases = reinterpret_cast<char**>(at(reinterpret_cast<char*>(aliases)));
  serv->s_port = static_cast<int16_t>(portNetwork);
  serv->s_proto = at(protoText);
  return static_cast<int>(needed);
}

int ResolveHost(const std::string& name, uint32_t& address) {
  in_addr dotted;
  if (inet_aton(name.c_str(), &dotted) != 0) {
    address = dotted.s_addr;
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int status = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (status != 0) return WsaFromGaiError(status);
  address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return 0;
}

int ResolveService(const std::string& name, const std::string& proto, uint16_t& portNetwork) {
  servent entry;
  servent* found = nullptr;
  char scratch[1024];
  if (getservbyname_r(name.c_str(), proto.c_str(), &entry, scratch, sizeof scratch, &found) != 0 ||
      found == nullptr) {
    return WSANO_DATA;
  }
  portNetwork = static_cast<uint16_t>(found->s_port);
  return 0;
}

// An asynchronous look-up: done on a helper thread; its reply, and the copy into the caller's
// buffer, happen only if the request was not cancelled first.
struct LookupTask {
  std::mutex mutex;
  bool cancelled = false;
  bool done = false;
};

struct LookupTable {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<LookupTask>> tasks;
  uintptr_t next = 0x4000;
};

LookupTable& Lookups() {
  static auto* table = new LookupTable;
  return *table;
}

template <class Work>
HANDLE StartLookup(HWND hwnd, UINT msg, char* buf, int size, Work work) {
  if (!WindowOwner(hwnd)) {
    SetLastError(WSAEINVAL);
    return nullptr;
  }
  auto task = std::make_shared<LookupTask>();
  uintptr_t id;
  {
    auto& table = Lookups();
    std::lock_guard lock(table.mutex);
    table.next += 4;
    id = table.next;
    table.tasks.emplace(id, task);
  }
  try {
    std::thread([task, id, hwnd, msg, buf, size, work] {
      std::vector<uint64_t> words(static_cast<size_t>(std::max(size, 0)) / 8 + 1);
      auto* result = reinterpret_cast<char*>(words.data());
      int length = 0;
      int error = work(result, size, length, buf);
      if (error == 0 && length < 0) {  // the caller's buffer is too small: say what it needs
        error = WSAENOBUFS;
        length = -length;
      }
      {
        std::lock_guard lock(task->mutex);
        if (!task->cancelled) {
          if (error == 0) std::memcpy(buf, result, static_cast<size_t>(length));
          PostMessageA(hwnd, msg, id, WSAMAKESELECTREPLY(error == 0 ? length : -length, error));
        }
        task->done = true;
      }
      auto& table = Lookups();
      std::lock_guard lock(table.mutex);
      table.tasks.erase(id);
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(WSAENOBUFS);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(id);
}

// ---- The module's functions ------------------------------------------------------------------

int WINAPI WsaStartup(WORD version, WSADATA* data) {
  if (data == nullptr) return WSAEFAULT;
  if ((version & 0xFF) < 1) return WSAVERNOTSUPPORTED;
  std::memset(data, 0, sizeof *data);
  data->wVersion = 0x0101;
  data->wHighVersion = 0x0202;
  std::strcpy(data->szDescription, "Larkpost Winsock 1.1 on BSD sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  ++Sockets().startups;
  return 0;
}

// Winsock 2.2 serves every version from 1.0 on, and the highest it has for a later one.
int WINAPI Wsa2Startup(WORD version, WSADATA* data) {
  if (int error = WsaStartup(version, data); error != 0) return error;
  const int major = version & 0xFF, minor = version >> 8;
  data->wVersion = major > 2 || (major == 2 && minor >= 2) ? 0x0202 : version;
  std::strcpy(data->szDescription, "Larkpost Winsock 2.2 on BSD sockets");
  return 0;
}

int WINAPI WsaCleanup() {
  if (Sockets().startups.fetch_sub(1) <= 0) {
    ++Sockets().startups;
    return SocketFail(WSANOTINITIALISED);
  }
  return 0;
}

int WINAPI WsaGetLastError() { return static_cast<int>(GetLastError()); }
BOOL WINAPI WsaIsBlocking() { return FALSE; }
int WINAPI WsaCancelBlockingCall() { return SocketFail(WSAEINVAL); }

SOCKET WINAPI Socket(int af, int type, int protocol) {
  const int family = FamilyToPosix(af);
  if (family != AF_INET && family != AF_INET6) {
    SetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(WsaFromErrno(errno)));
    return INVALID_SOCKET;
  }
  if (family == AF_INET6) {
    // An IPv6 socket of Winsock takes IPv6 only, whatever the system's default.
    int one = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  if (type == SOCK_STREAM) {
    // Short command lines go out at once instead of waiting for a delayed acknowledgement.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return Add(fd);
}

int WINAPI CloseSocket(SOCKET s) {
  std::shared_ptr<SocketState> state;
  {
    auto& table = Sockets();
    std::lock_guard lock(table.mutex);
    auto it = table.sockets.find(s);
    if (it == table.sockets.end()) return SocketFail(WSAENOTSOCK);
    state = it->second;
    table.sockets.erase(it);
  }
  state->Unregister();
  return 0;
}

int WINAPI Connect(SOCKET s, const SOCKADDR* name, int length) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  sockaddr_storage address;
  socklen_t size;
  if (int error = AddressFromWinsock(name, length, &address, &size); error != 0)
    return SocketFail(error);
  if (::connect(state->Fd(), reinterpret_cast<sockaddr*>(&address), size) == 0) {
    state->StartedConnect();  // done at once; the notification still follows
    return 0;
  }
  int error = WsaFromErrno(errno);
  if (error == WSAEWOULDBLOCK) state->StartedConnect();
  return SocketFail(error);
}

int WINAPI Recv(SOCKET s, char* buf, int len, int flags) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  if (int failure = state->Failure(); failure != 0) return SocketFail(failure);
  if (buf == nullptr || len < 0) return SocketFail(WSAEFAULT);
  ssize_t n = state->Receive(buf, static_cast<size_t>(len), flags);
  if (n < 0) return SocketFail(state->Keep(WsaFromErrno(errno)));
  return static_cast<int>(n);
}

int WINAPI Send(SOCKET s, const char* buf, int len, int flags) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  if (int failure = state->Failure(); failure != 0) return SocketFail(failure);
  ssize_t n = ::send(state->Fd(), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
  if (n < 0) {
    int error = WsaFromErrno(errno);
    if (error == WSAEWOULDBLOCK) state->WantWrite();
    return SocketFail(state->Keep(error));
  }
  return static_cast<int>(n);
}

int WINAPI Bind(SOCKET s, const SOCKADDR* name, int length) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  sockaddr_storage address;
  socklen_t size;
  if (int error = AddressFromWinsock(name, length, &address, &size); error != 0)
    return SocketFail(error);
  int one = 1;
  setsockopt(state->Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(state->Fd(), reinterpret_cast<sockaddr*>(&address), size) != 0) {
    return SocketFail(WsaFromErrno(errno));
  }
  return 0;
}

int WINAPI Listen(SOCKET s, int backlog) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  if (::listen(state->Fd(), backlog) != 0) return SocketFail(WsaFromErrno(errno));
  return 0;
}

SOCKET WINAPI Accept(SOCKET s, SOCKADDR* addr, int* length) {
  auto state = Find(s);
  if (!state) {
    SetLastError(WSAENOTSOCK);
    return INVALID_SOCKET;
  }
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  int fd = ::accept4(state->Fd(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(WsaFromErrno(errno)));
    return INVALID_SOCKET;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (addr != nullptr && length != nullptr) {
    int room = *length;
    if (AddressToWinsock(reinterpret_cast<sockaddr*>(&peer), addr, &room) == 0) *length = room;
  }
  return Add(fd);
}

int WINAPI GetSockName(SOCKET s, SOCKADDR* name, int* length) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(state->Fd(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return SocketFail(WsaFromErrno(errno));
  }
  if (name == nullptr || length == nullptr) return SocketFail(WSAEFAULT);
  if (int error = AddressToWinsock(reinterpret_cast<sockaddr*>(&address), name, length); error != 0)
    return SocketFail(error);
  return 0;
}

int WINAPI Shutdown(SOCKET s, int how) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  if (::shutdown(state->Fd(), how) != 0) return SocketFail(WsaFromErrno(errno));
  return 0;
}

// Only the option tests need: SO_LINGER (Winsock's SOL_SOCKET 0xFFFF, SO_LINGER 0x0080, with
// its pair of 16-bit fields), so that a close can reset the connection.
int WINAPI SetSockOpt(SOCKET s, int level, int name, const char* value, int length) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  if (level != 0xFFFF || name != 0x0080 || value == nullptr || length < 4) {
    return SocketFail(WSAENOPROTOOPT);
  }
  uint16_t pair[2];
  std::memcpy(pair, value, sizeof pair);
  linger option{pair[0], pair[1]};
  if (::setsockopt(state->Fd(), SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0) {
    return SocketFail(WsaFromErrno(errno));
  }
  return 0;
}

uint16_t WINAPI Htons(uint16_t value) { return htons(value); }

uint32_t WINAPI InetAddr(const char* text) {
  in_addr address;
  if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) return INADDR_NONE;
  return address.s_addr;
}

HOSTENT* WINAPI GetHostByName(const char* name) {
  alignas(8) static thread_local char buffer[MAXGETHOSTSTRUCT];
  uint32_t address;
  if (int error = ResolveHost(name != nullptr ? name : "", address); error != 0) {
    SetLastError(static_cast<DWORD>(error));
    return nullptr;
  }
  PackHostent(name, address, buffer, sizeof buffer, buffer);
  return reinterpret_cast<HOSTENT*>(buffer);
}

int WINAPI GetHostName(char* name, int length) {
  char host[256];
  if (name == nullptr || ::gethostname(host, sizeof host) != 0) return SocketFail(WSAEFAULT);
  if (std::strlen(host) + 1 > static_cast<size_t>(length)) return SocketFail(WSAEFAULT);
  std::strcpy(name, host);
  return 0;
}

SERVENT* WINAPI GetServByName(const char* name, const char* proto) {
  alignas(8) static thread_local char buffer[MAXGETHOSTSTRUCT];
  uint16_t port;
  std::string protocol = proto != nullptr ? proto : "tcp";
  if (int error = ResolveService(name != nullptr ? name : "", protocol, port); error != 0) {
    SetLastError(static_cast<DWORD>(error));
    return nullptr;
  }
  PackServent(name, protocol, port, buffer, sizeof buffer, buffer);
  return reinterpret_cast<SERVENT*>(buffer);
}

HANDLE WINAPI WsaAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  std::string host = name != nullptr ? name : "";
  return StartLookup(hwnd, msg, buf, buflen, [host](char* out, int size, int& length, char* base) {
    uint32_t address;
    int error = ResolveHost(host, address);
    if (error == 0) length = PackHostent(host, address, out, size, base);
    return error;
  });
}

HANDLE WINAPI WsaAsyncGetServByName(HWND hwnd, UINT msg, const char* name, const char* proto,
                                    char* buf, int buflen) {
  std::string service = name != nullptr ? name : "";
  std::string protocol = proto != nullptr ? proto : "tcp";
  return StartLookup(hwnd, msg, buf, buflen,
                     [service, protocol](char* out, int size, int& length, char* base) {
                       uint16_t port;
                       int error = ResolveService(service, protocol, port);
                       if (error == 0)
                         length = PackServent(service, protocol, port, out, size, base);
                       return error;
                     });
}

int WINAPI WsaCancelAsyncRequest(HANDLE request) {
  std::shared_ptr<LookupTask> task;
  {
    auto& table = Lookups();
    std::lock_guard lock(table.mutex);
    auto it = table.tasks.find(reinterpret_cast<uintptr_t>(request));
    if (it == table.tasks.end()) return SocketFail(WSAEINVAL);
    task = it->second;
  }
  std::lock_guard lock(task->mutex);
  if (task->done) return SocketFail(WSAEALREADY);
  task->cancelled = true;
  return 0;
}

int WINAPI WsaAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  auto state = Find(s);
  if (!state) return SocketFail(WSAENOTSOCK);
  return state->Select(hwnd, msg, events);
}

}  // namespace

DWORD WinsockExports(const LarkModuleExport** exports) {
  static const LarkModuleExport table[] = {
      {"accept", ExportOf(Accept)},
      {"bind", ExportOf(Bind)},
      {"closesocket", ExportOf(CloseSocket)},
      {"connect", ExportOf(Connect)},
      {"gethostbyname", ExportOf(GetHostByName)},
      {"gethostname", ExportOf(GetHostName)},
      {"getservbyname", ExportOf(GetServByName)},
      {"getsockname", ExportOf(GetSockName)},
      {"htons", ExportOf(Htons)},
      {"inet_addr", ExportOf(InetAddr)},
      {"listen", ExportOf(Listen)},
      {"recv", ExportOf(Recv)},
      {"send", ExportOf(Send)},
      {"setsockopt", ExportOf(SetSockOpt)},
      {"shutdown", ExportOf(Shutdown)},
      {"socket", ExportOf(Socket)},
      {"WSAAsyncGetHostByName", ExportOf(WsaAsyncGetHostByName)},
      {"WSAAsyncGetServByName", ExportOf(WsaAsyncGetServByName)},
      {"WSAAsyncSelect", ExportOf(WsaAsyncSelect)},
      {"WSACancelAsyncRequest", ExportOf(WsaCancelAsyncRequest)},
      {"WSACancelBlockingCall", ExportOf(WsaCancelBlockingCall)},
      {"WSACleanup", ExportOf(WsaCleanup)},
      {"WSAGetLastError", ExportOf(WsaGetLastError)},
      {"WSAIsBlocking", ExportOf(WsaIsBlocking)},
      {"WSAStartup", ExportOf(WsaStartup)},
  };
  *exports = table;
  return sizeof table / sizeof table[0];
}

DWORD Winsock2Exports(const LarkModuleExport** exports) {
  static const auto* table = [] {
    const LarkModuleExport* base;
    DWORD count = WinsockExports(&base);
    auto* all = new std::vector<LarkModuleExport>(base, base + count);
    for (auto& entry : *all) {
      if (std::string_view(entry.name) == "WSAStartup") entry.proc = ExportOf(Wsa2Startup);
    }
    const LarkModuleExport* more;
    count = AddrInfoExports(&more);
    all->insert(all->end(), more, more + count);
    return all;
  }();
  *exports = table->data();
  return static_cast<DWORD>(table->size());
}

}  // namespace lark
