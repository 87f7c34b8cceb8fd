#include "net/agsocket.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "maillib/codecs.h"
#include "net/SocketTexts.h"
#include "net/TlsSession.h"
#include "net/agwsock.h"
#include "rtl/SysUtils.h"

namespace net {
namespace {

constexpr size_t kHostBuffer = 128;
constexpr size_t kServiceBuffer = 64;
constexpr size_t kLineBuffer = 1024;
// Large enough that the data phase costs a few hundred sends, not thousands.
constexpr size_t kSendBlock = 64 * 1024;
constexpr size_t kTlsReceiveBlock = 16 * 1024;  // one whole TLS record
// A wait for the relay's bytes ends as soon as their notification, a timer tick of the time-out
// or any other message arrives; the nap only bounds how long a flag set without one goes unseen.
// Short naps cost a busy service three polls each time a reply is a little late.
constexpr DWORD kReadNap = 100;
constexpr DWORD kNap = 3;
constexpr long kAllEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
constexpr int kReplyTimeOuts = 4;
constexpr int kMaxReplyLines = 1000;
// The least time an address that is not the last gets to connect, in ms.
constexpr uint64_t kLeastShare = 2000;

// The time one step is allowed as a whole (a reply, a handshake), counted by its own counter
// while the step lasts, beside the time-out of each wait within it.
class TWholeAllowance {
 public:
  TWholeAllowance(maillib::TTimeCounter& counter, int seconds) : counter_(counter) {
    counter_.TimeOut = seconds;
    counter_.TimedOut = false;
    counter_.Start();
  }
  ~TWholeAllowance() { counter_.Stop(); }
  TWholeAllowance(const TWholeAllowance&) = delete;
  TWholeAllowance& operator=(const TWholeAllowance&) = delete;

 private:
  maillib::TTimeCounter& counter_;
};

std::string HostPart(const std::string& server) {
  std::string host, port;
  SplitServer(server, host, port);
  return host;
}

// IPv4 addresses are written by hand: a test's stand-in module may lack inet_ntop.
std::string AddressText(const SOCKADDR_STORAGE& address) {
  if (address.ss_family == AF_INET) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const SOCKADDR_IN*>(&address)->sin_addr);
    return rtl::Format("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  }
  char text[64] = {};
  const auto* in6 = reinterpret_cast<const SOCKADDR_IN6*>(&address);
  return Winsock().inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) != nullptr ? text : "";
}

// What an overlapped look-up writes into until it ends.
struct TLookUpState {
  OVERLAPPED overlapped{};
  PADDRINFOEXW answers = nullptr;
  bool running = false;  // started and not yet seen to end
  TLookUpState() = default;
  TLookUpState(const TLookUpState&) = delete;
  TLookUpState& operator=(const TLookUpState&) = delete;
  ~TLookUpState() {
    try {
      if (answers != nullptr) Winsock().FreeAddrInfoExW(answers);
    } catch (const std::exception&) {
      // A binding unloaded meanwhile leaves nothing to release.
    }
    if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
  }
};

// Look-ups given up on before they ended: a cancel can come too late, and Wine's cancels none.
// They are kept until they end, so that they write into memory still theirs; never destroyed,
// like the other process-wide records, so no look-up can outlive its list.
struct TGivenUpLookUps {
  std::mutex mutex;
  std::vector<std::unique_ptr<TLookUpState>> states;
};

TGivenUpLookUps& GivenUpLookUps() {
  static auto* lookUps = new TGivenUpLookUps;
  return *lookUps;
}

void GiveUpLookUp(std::unique_ptr<TLookUpState> state) {
  auto& lookUps = GivenUpLookUps();
  std::lock_guard lock(lookUps.mutex);
  lookUps.states.push_back(std::move(state));
}

// The look-ups that ended are freed. The test for it is a wait, so it is made outside the lock,
// and a forced end may not come between taking the list and giving back what still runs.
void ReapLookUps() {
  auto& lookUps = GivenUpLookUps();
  std::vector<std::unique_ptr<TLookUpState>> states;
  {
    std::lock_guard lock(lookUps.mutex);
    states.swap(lookUps.states);
  }
  LarkBeginNoTermination();
  std::erase_if(states, [](const std::unique_ptr<TLookUpState>& state) {
    return WaitForSingleObject(state->overlapped.hEvent, 0) == WAIT_OBJECT_0;
  });
  LarkEndNoTermination();
  std::lock_guard lock(lookUps.mutex);
  for (auto& state : states) lookUps.states.push_back(std::move(state));
}

}  // namespace

void SplitServer(const std::string& server, std::string& host, std::string& port) {
  port.clear();
  host = server;
  if (server.starts_with('[')) {
    const size_t close = server.find(']');
    if (close != std::string::npos && (close + 1 == server.size() || server[close + 1] == ':')) {
      host = server.substr(1, close - 1);
      if (close + 1 < server.size()) port = server.substr(close + 2);
    }
    return;
  }
  const size_t colon = server.find(':');
  if (colon != std::string::npos && server.find(':', colon + 1) == std::string::npos) {
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
  }
}

const std::string& CachedHostName() {
  static const std::string name = [] {
    try {
      auto& winsock = Winsock();
      WSADATA data;
      if (winsock.WSAStartup(0x0101, &data) != 0) return std::string();
      char buffer[512] = {};
      bool ok = winsock.gethostname(buffer, sizeof buffer) == 0;
      winsock.WSACleanup();
      return ok ? std::string(buffer) : std::string();
    } catch (const std::exception&) {
      return std::string();
    }
  }();
  return name;
}

TagSocket::TagSocket() {
  window_ = rtl::AllocateHWnd([this](rtl::TMessage& message) { HandleMessage(message); });
}

TagSocket::~TagSocket() {
  try {
    CancelLookup();
    Close();
    for (; startupCount_ > 0; --startupCount_) Winsock().WSACleanup();
  } catch (const std::exception&) {
    // A binding unloaded meanwhile leaves nothing to release.
  }
  rtl::DeallocateHWnd(window_);
}

void TagSocket::HandleMessage(rtl::TMessage& message) {
  const bool lookup = message.Msg == kServiceLookupMessage;
  if (!lookup && message.Msg != kSocketEventMessage) return;
  // The reply of a look-up given up on, or an event of a socket closed since, can still be on its
  // way; taken for the current one it would hand this attempt another relay's address or error.
  const bool live = lookup ? pendingRequest_ != nullptr : SocketHandle != INVALID_SOCKET;
  const WPARAM current =
      lookup ? reinterpret_cast<WPARAM>(pendingRequest_) : static_cast<WPARAM>(SocketHandle);
  if (!live || message.WParam != current) return;
  errorCode_ = WSAErrorOf(message.LParam);
  notificationError_ = errorCode_ != 0;
  if (message.Msg == kServiceLookupMessage) {
    serviceLookupDone_ = true;
  } else if (errorCode_ == 0) {
    switch (WSAEventOf(message.LParam)) {
      case FD_READ:
        readable_ = true;
        break;
      case FD_WRITE:
        writable_ = true;
        break;
      case FD_CONNECT:
        connected_ = true;
        break;
      case FD_CLOSE:
        closed_ = true;
        break;
      default:
        break;
    }
  }
}

void TagSocket::Nap(DWORD ms) { MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT); }

template <class Done>
void TagSocket::WaitUntil(Done done, DWORD ms) {
  while (!(done() || Stopped())) {
    Nap(ms);
    maillib::PumpMessages();
  }
}

bool TagSocket::WinsockLoaded() const { return Winsock().IsLoaded(); }

void TagSocket::SetWinsockLoaded(bool loaded) {
  if (loaded) {
    Winsock().Load();
  } else {
    Winsock().Unload();
  }
}

void TagSocket::ResetState() {
  canceled_ = false;
  counter_.TimedOut = replyCounter_.TimedOut = false;
  serviceLookupDone_ = connected_ = readable_ = writable_ = closed_ = false;
  notificationError_ = false;
  CancelLookup();
}

int TagSocket::ReplyCode(const std::string& line) const {
  if (line.size() < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

void TagSocket::Open() {
  if (Server.empty()) RaiseSocketError(kServerRequired);
  if (Winsock().WSAStartup(0x0202, &wsaData_) != 0) RaiseSocketError(kInvalidWinsockVersion);
  ++startupCount_;
  FetchLocalHostName();
  ResolveHost();
  ResolvePort();
  CreateSocket();
}

void TagSocket::FetchLocalHostName() {
  LocalHostName = CachedHostName();
  if (!LocalHostName.empty()) return;
  char buffer[512] = {};
  LocalHostName = Winsock().gethostname(buffer, sizeof buffer) == 0 ? buffer : HostPart(Server);
}

// A look-up that did not finish is cancelled, so its reply never writes into this component.
void TagSocket::CancelLookup() {
  if (pendingRequest_ != nullptr) Winsock().WSACancelAsyncRequest(pendingRequest_);
  pendingRequest_ = nullptr;
  if (lookupHandle_ != nullptr) Winsock().GetAddrInfoExCancel(&lookupHandle_);
  lookupHandle_ = nullptr;
}

void TagSocket::ResolveHost() {
  const std::string host = HostPart(Server);
  // A name longer than the look-up takes is refused rather than cut to another name.
  if (host.size() >= kHostBuffer) RaiseSocketError(kResolveError);
  addresses_.clear();
  auto& winsock = Winsock();
  SOCKADDR_STORAGE literal{};
  auto* in = reinterpret_cast<SOCKADDR_IN*>(&literal);
  auto* in6 = reinterpret_cast<SOCKADDR_IN6*>(&literal);
  if (uint32_t address = winsock.inet_addr(host.c_str()); address != INADDR_NONE) {
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = address;
    addresses_.push_back(literal);
  } else if (host.find(':') != std::string::npos &&
             winsock.inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    addresses_.push_back(literal);
  } else {
    LookUp(host);
  }
  RemoteAddress = AddressText(addresses_.front());
}

void TagSocket::LookUp(const std::string& host) {
  auto& winsock = Winsock();
  ReapLookUps();
  const std::basic_string<WCHAR> name(host.begin(), host.end());  // host names are ASCII
  ADDRINFOEXW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  auto state = std::make_unique<TLookUpState>();
  state->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (state->overlapped.hEvent == nullptr) RaiseSocketError(static_cast<int>(GetLastError()));
  // However this ends, the look-up writes nothing into this component once cancelled, nor into
  // freed memory when the cancel came too late or did nothing.
  struct EndLookUp {
    TagSocket& socket;
    std::unique_ptr<TLookUpState>& state;
    ~EndLookUp() {
      try {
        socket.CancelLookup();
      } catch (const std::exception&) {
        // A binding unloaded meanwhile leaves nothing to cancel.
      }
      if (state->running) GiveUpLookUp(std::move(state));
    }
  } end{*this, state};
  const HANDLE event = state->overlapped.hEvent;
  int status =
      winsock.GetAddrInfoExW(name.c_str(), nullptr, NS_ALL, nullptr, &hints, &state->answers,
                             nullptr, &state->overlapped, nullptr, &lookupHandle_);
  if (status == WSA_IO_PENDING) {
    counter_.Start();
    while ((state->running = WaitForSingleObject(event, 0) != WAIT_OBJECT_0) && !Stopped()) {
      MsgWaitForMultipleObjects(1, &event, FALSE, kNap, QS_ALLINPUT);
      maillib::PumpMessages();
    }
    counter_.Stop();
    CancelLookup();
    status = winsock.GetAddrInfoExOverlappedResult(&state->overlapped);
  } else {
    lookupHandle_ = nullptr;
  }
  if (status != 0 && status != WSA_E_CANCELLED && status != WSAEINPROGRESS)
    RaiseSocketError(status);
  if (counter_.TimedOut) RaiseTimedOut();
  if (canceled_) RaiseCanceled();
  maillib::PumpMessages();
  // Cast: mingw-w64 declares ai_next with a struct name that differs from ADDRINFOEXW's by case.
  for (const ADDRINFOEXW* answer = state->answers; answer != nullptr;
       answer = reinterpret_cast<const ADDRINFOEXW*>(answer->ai_next)) {
    if ((answer->ai_family == AF_INET || answer->ai_family == AF_INET6) &&
        answer->ai_addrlen <= sizeof(SOCKADDR_STORAGE)) {
      SOCKADDR_STORAGE address{};
      std::memcpy(&address, answer->ai_addr, answer->ai_addrlen);
      addresses_.push_back(address);
    }
  }
  if (addresses_.empty()) RaiseSocketError(kResolveError);
}

void TagSocket::ResolvePort() {
  std::string host, text;
  SplitServer(Server, host, text);
  if (!text.empty()) {
    int port = rtl::StrToIntDef(text, 0) & 0xFFFF;
    if (port != 0) {
      RemotePort = static_cast<uint16_t>(port);
      return;
    }
  }
  if (ServiceName.empty()) RaiseSocketError(kServiceNameRequired);
  if (canceled_) RaiseCanceled();
  if (ServiceName.size() >= kServiceBuffer) RaiseSocketError(kResolveError);
  auto& winsock = Winsock();
  pendingRequest_ =
      winsock.WSAAsyncGetServByName(window_, kServiceLookupMessage, ServiceName.c_str(), "tcp",
                                    lookupBuffer_, sizeof lookupBuffer_);
  if (pendingRequest_ == nullptr) {
    RemotePort = DefaultPort;
    return;
  }
  counter_.Start();
  WaitUntil([this] { return serviceLookupDone_; }, kNap);
  counter_.Stop();
  if (!serviceLookupDone_) CancelLookup();
  pendingRequest_ = nullptr;
  // A service that cannot be looked up is no failure: the default port serves.
  if (notificationError_ || counter_.TimedOut) {
    RemotePort = DefaultPort;
    notificationError_ = false;
    counter_.TimedOut = false;
    return;
  }
  if (canceled_) RaiseCanceled();
  const auto* entry = reinterpret_cast<const SERVENT*>(lookupBuffer_);
  RemotePort = winsock.htons(static_cast<uint16_t>(entry->s_port));
}

// Winsock posts nothing for a closed socket, but what it posted before stays queued, and the
// next socket may well get the same handle: a close left over from the last connection would be
// taken for the relay hanging up on this one.
SOCKET TagSocket::NewSocket(int family) {
  MSG stale;
  while (PeekMessageA(&stale, window_, kSocketEventMessage, kSocketEventMessage, PM_REMOVE)) {
  }
  return Winsock().socket(family, SOCK_STREAM, 0);
}

void TagSocket::CreateSocket() {
  auto& winsock = Winsock();
  for (;;) {
    SocketHandle = NewSocket(addresses_.empty() ? AF_INET : addresses_.front().ss_family);
    if (SocketHandle != INVALID_SOCKET) return;
    const int error = winsock.WSAGetLastError();
    // A host without IPv6 (or IPv4) still reaches the relay at its other addresses.
    if (addresses_.size() <= 1) RaiseSocketError(error);
    addresses_.erase(addresses_.begin());
  }
}

// Each address is tried in turn within the one time-out. One that refuses, or cannot be reached,
// gives way to the next at once; one that does not answer holds at most its share of the time
// left, so that a dead first address cannot use up the time of a live second one.
void TagSocket::ConnectSocket() {
  if (canceled_) RaiseCanceled();
  if (addresses_.empty()) RaiseSocketError(kNotConnected);
  auto& winsock = Winsock();
  counter_.Start();
  const DWORD started = GetTickCount();
  const uint64_t allowance = static_cast<uint64_t>(std::max(TimeOut(), 0)) * 1000;
  int error = 0;
  for (size_t i = 0; i < addresses_.size(); ++i) {
    const SOCKADDR_STORAGE& candidate = addresses_[i];
    RemoteAddress = AddressText(candidate);
    if (i > 0) {
      Close();
      SocketHandle = NewSocket(candidate.ss_family);
      if (SocketHandle == INVALID_SOCKET) {
        error = winsock.WSAGetLastError();
        continue;
      }
    }
    connected_ = notificationError_ = false;
    if (winsock.WSAAsyncSelect(SocketHandle, window_, kSocketEventMessage, kAllEvents) != 0) {
      RaiseSocketError(winsock.WSAGetLastError());
    }
    SOCKADDR_STORAGE address = candidate;
    int length = sizeof(SOCKADDR_IN);
    if (address.ss_family == AF_INET6) {
      reinterpret_cast<SOCKADDR_IN6*>(&address)->sin6_port = winsock.htons(RemotePort);
      length = sizeof(SOCKADDR_IN6);
    } else {
      reinterpret_cast<SOCKADDR_IN*>(&address)->sin_port = winsock.htons(RemotePort);
    }
    if (winsock.connect(SocketHandle, reinterpret_cast<const SOCKADDR*>(&address), length) != 0) {
      error = winsock.WSAGetLastError();
      if (error != WSAEWOULDBLOCK) continue;
    }
    const bool last = i + 1 == addresses_.size();
    const uint64_t elapsed = GetTickCount() - started;
    const uint64_t left = allowance > elapsed ? allowance - elapsed : 0;
    const uint64_t end = elapsed + std::max(left / (addresses_.size() - i), kLeastShare);
    // A connection that fails ends the wait at once with its reason (a refused connection is
    // "[10061] Connection refused"), instead of waiting out the time-out.
    WaitUntil(
        [&] {
          return connected_ || notificationError_ || (!last && GetTickCount() - started >= end);
        },
        kNap);
    if (canceled_) RaiseCanceled();
    if (counter_.TimedOut) RaiseTimedOut();
    if (connected_) {
      counter_.Stop();
      return;
    }
    error = notificationError_ ? errorCode_ : WSAETIMEDOUT;
  }
  counter_.Stop();
  Close();
  if (addresses_.size() == 1) RaiseSocketError(error);
  throw ESocketError(rtl::Format("%s (%s, the last of %zu addresses)",
                                 SocketErrorText(error).c_str(), RemoteAddress.c_str(),
                                 addresses_.size()));
}

int TagSocket::ReadLine(std::string& line) {
  if (!IsConnected()) RaiseSocketError(kNotConnected);
  counter_.Start();
  // A connection the server has closed has nothing more to wait for: the read below then ends
  // with no line (code -1) instead of waiting out the time-out.
  // Plaintext TLS has already taken from the socket announces itself with no notification.
  WaitUntil([this] { return readable_ || notificationError_ || closed_ || TlsPending(); },
            kReadNap);
  counter_.Stop();
  if (canceled_) RaiseCanceled();
  if (Expired()) RaiseTimedOut();
  if (notificationError_) RaiseSocketError(errorCode_);
  counter_.Start();
  readable_ = false;
  maillib::PumpMessages();

  std::string buffer;
  bool lineFeed = false, lastReadNothing = false;
  // Data is waiting: the notification said so. After a receive finds none, wait for the next.
  bool dataWaiting = true;
  int code = -1;
  do {
    if (!readable_ && !dataWaiting) {
      Nap(kReadNap);
      maillib::PumpMessages();
    }
    char byte;
    int error = 0;
    int got = Receive(&byte, 1, error);
    if (got == SOCKET_ERROR) {
      if (error == WSAEWOULDBLOCK) {
        readable_ = dataWaiting = false;
      } else if (!canceled_) {
        RaiseSocketError(error);
      }
      lastReadNothing = false;
    } else {
      lastReadNothing = got == 0;
      // The server closed: what the last notification announced has been read, and only a wait
      // that reads the messages lets the close notification arrive.
      if (got == 0) readable_ = dataWaiting = false;
      // A line longer than the buffer is read to its end and kept as its first 1024 bytes.
      if (got == 1 && buffer.size() < kLineBuffer) buffer += byte;
      lineFeed = got == 1 && byte == '\n';
    }
  } while (!(lineFeed || Stopped() || (closed_ && lastReadNothing)));
  counter_.Stop();
  if (lineFeed || buffer.find('\n') != std::string::npos) {
    buffer.resize(buffer.find('\n') == std::string::npos ? buffer.size() : buffer.find('\n'));
    while (!buffer.empty() && (buffer.back() == '\r' || buffer.back() == '\n')) buffer.pop_back();
    line = buffer;
    code = ReplyCode(line);
  } else {
    line.clear();
  }
  if (Expired()) RaiseTimedOut();
  if (canceled_) RaiseCanceled();
  return code;
}

// Each line restarts the line time-out, so a relay whose continuation lines keep coming would
// hold the reply, and the worker, for ever: one reply as a whole is allowed four times the
// time-out and 1000 lines, and a relay that goes beyond is treated as one that stopped answering.
int TagSocket::ReadReply() {
  TWholeAllowance allowance(replyCounter_,
                            counter_.TimeOut > std::numeric_limits<int>::max() / kReplyTimeOuts
                                ? std::numeric_limits<int>::max()
                                : counter_.TimeOut * kReplyTimeOuts);
  ReplyLines.clear();
  const int code = ReadLine(LastReply);
  ReplyLines.push_back(LastReply);
  if (code > 0 && LastReply.find('-') == 3) {
    // A continuation reply ends at a line of the same code followed by a blank, or by nothing.
    const std::string bare = LastReply.substr(0, 3);
    for (int lines = 1;; ++lines) {
      if (lines == kMaxReplyLines) {
        replyCounter_.TimedOut = true;
        RaiseTimedOut();
      }
      ReadLine(LastReply);
      if (closed_) break;
      ReplyLines.push_back(LastReply);
      if (ReplyCode(LastReply) == code && (LastReply.find(' ') == 3 || LastReply == bare)) break;
    }
  }
  return code;
}

void TagSocket::SendLine(const std::string& text) {
  if (!IsConnected()) RaiseSocketError(kNotConnected);
  const std::string data = text + "\r\n";
  SendBytes(data.data(), data.size());
}

void TagSocket::SendStream(rtl::TStream& stream, std::string_view tail) {
  constexpr size_t kTailRoom = 16;
  stream.SetPosition(0);
  char block[kSendBlock + kTailRoom];
  bool last;
  do {
    size_t length = stream.Read(block, kSendBlock);
    last = length < kSendBlock;
    // What follows the stream goes in its last send: a small message costs one send, not three.
    if (last && tail.size() <= kTailRoom) {
      length += tail.copy(block + length, tail.size());
      tail = {};
    }
    SendBytes(block, length);
  } while (!last && !Stopped());
  if (!tail.empty() && !Stopped()) SendBytes(tail.data(), tail.size());
}

void TagSocket::SendBytes(const char* data, size_t size) {
  if (!tls_) {
    SendRaw(data, size);
    return;
  }
  tls_->Write(data, size);
  SendTlsOutput();
}

void TagSocket::SendTlsOutput() {
  const std::string output = tls_->TakeOutput();
  SendRaw(output.data(), output.size());
}

void TagSocket::SendRaw(const char* data, size_t size) {
  auto& winsock = Winsock();
  counter_.Start();
  size_t sent = 0;
  while (sent < size && !Stopped()) {
    int n = winsock.send(SocketHandle, data + sent, static_cast<int>(size - sent), 0);
    if (n == SOCKET_ERROR) {
      int error = winsock.WSAGetLastError();
      if (error != WSAEWOULDBLOCK && !canceled_) RaiseSocketError(error);
      Nap(kNap);
    } else if (n > 0) {
      sent += static_cast<size_t>(n);
      counter_.Start();  // the time-out limits the time without progress
    }
    maillib::PumpMessages();
  }
  counter_.Stop();
  if (Expired()) RaiseTimedOut();
  if (canceled_) RaiseCanceled();
}

int TagSocket::Receive(char* buffer, int size, int& error) {
  if (!tls_) return ReceiveRaw(buffer, size, error);
  for (;;) {
    int got = tls_->Read(buffer, static_cast<size_t>(size));
    if (got > 0) return got;
    if (got < 0) {
      closed_ = true;  // the relay ended TLS: nothing more can come, whether or not it hangs up
      return 0;
    }
    char block[kTlsReceiveBlock];
    const int raw = ReceiveRaw(block, sizeof block, error);
    if (raw <= 0) return raw;
    tls_->Feed(block, static_cast<size_t>(raw));
    // What the relay sent may ask for an answer (a key update) before more can be read; the
    // send keeps its own time, and the read's starts again after it.
    if (tls_->HasOutput()) {
      SendTlsOutput();
      counter_.Start();
    }
  }
}

int TagSocket::ReceiveRaw(char* buffer, int size, int& error) {
  auto& winsock = Winsock();
  const int got = winsock.recv(SocketHandle, buffer, size, 0);
  if (got == SOCKET_ERROR) error = winsock.WSAGetLastError();
  return got;
}

bool TagSocket::TlsPending() const { return tls_ != nullptr && tls_->HasPlaintext(); }

std::string TagSocket::TlsDescription() const { return tls_ ? tls_->Description() : ""; }

void TagSocket::StartTls(const TTlsOptions& options) {
  if (!IsConnected()) RaiseSocketError(kNotConnected);
  try {
    tls_ = std::make_unique<TTlsSession>(options);
    TWholeAllowance allowance(replyCounter_, counter_.TimeOut);
    while (!tls_->Handshake()) {
      if (tls_->HasOutput()) SendTlsOutput();
      counter_.Start();
      WaitUntil([this] { return readable_ || notificationError_ || closed_; }, kReadNap);
      counter_.Stop();
      if (canceled_) RaiseCanceled();
      if (Expired()) RaiseTimedOut();
      if (notificationError_) RaiseSocketError(errorCode_);
      readable_ = false;
      char block[kTlsReceiveBlock];
      int error = 0;
      const int raw = ReceiveRaw(block, sizeof block, error);
      if (raw == 0 || (raw == SOCKET_ERROR && closed_)) {
        throw ESocketError("TLS: the relay closed the connection during the handshake (" +
                           options.Host + ")");
      }
      if (raw == SOCKET_ERROR) {
        if (error != WSAEWOULDBLOCK) RaiseSocketError(error);
        continue;
      }
      tls_->Feed(block, static_cast<size_t>(raw));
    }
    if (tls_->HasOutput()) SendTlsOutput();
  } catch (const ETimedOutError&) {
    // Whatever went wrong, nothing may follow in the clear on this connection.
    Close();
    throw ETimedOutError("TLS: the handshake timed out (" + options.Host + ")");
  } catch (const ESocketError& error) {
    Close();
    if (error.Message().starts_with("TLS: ")) throw;
    throw ESocketError("TLS: " + error.Message() + " during the handshake (" + options.Host + ")");
  } catch (const std::exception&) {
    Close();
    throw;
  }
}

void TagSocket::Close() {
  if (SocketHandle == INVALID_SOCKET) return;
  connected_ = false;
  // A relay told that TLS ends knows the connection was not cut short; the goodbye gets one try
  // and is never waited for.
  if (tls_) {
    try {
      tls_->Close();
      const std::string goodbye = tls_->TakeOutput();
      Winsock().send(SocketHandle, goodbye.data(), static_cast<int>(goodbye.size()), 0);
    } catch (const std::exception&) {
      // A session that failed has no goodbye to give.
    }
    tls_.reset();
  }
  SOCKET handle = SocketHandle;
  SocketHandle = INVALID_SOCKET;
  Winsock().closesocket(handle);
}

void TagSocket::Cancel() {
  canceled_ = true;
  CancelLookup();
  Close();
}

void TagSocket::RaiseSocketError(int code) {
  if (code == 0) return;
  counter_.Stop();
  std::string text = SocketErrorText(code);
  if (code == WSAECONNRESET) Close();
  throw ESocketError(text);
}

void TagSocket::RaiseTimedOut() {
  counter_.Stop();
  // A reply that outran its allowance leaves the connection in the middle of that reply: nothing
  // more can be said on it, so it is closed whatever CloseOnTimeOutError says.
  if (CloseOnTimeOutError || replyCounter_.TimedOut) {
    CancelLookup();
    auto& winsock = Winsock();
    if (winsock.WSAIsBlocking()) winsock.WSACancelBlockingCall();
    Close();
  }
  throw ETimedOutError("Operation timed out");
}

void TagSocket::RaiseCanceled() {
  counter_.Stop();
  throw ECanceledError("Operation has been canceled");
}

}  // namespace net
