#include "testing/FakeSmtpServer.h"

#include <chrono>
#include <stdexcept>

namespace testing_support {
namespace {

using SocketFn = SOCKET WINAPI(int, int, int);
using BindFn = int WINAPI(SOCKET, const SOCKADDR*, int);
using ListenFn = int WINAPI(SOCKET, int);
using AcceptFn = SOCKET WINAPI(SOCKET, SOCKADDR*, int*);
using NameFn = int WINAPI(SOCKET, SOCKADDR*, int*);
using RecvFn = int WINAPI(SOCKET, char*, int, int);
using SendFn = int WINAPI(SOCKET, const char*, int, int);
using CloseFn = int WINAPI(SOCKET);
using ShutdownFn = int WINAPI(SOCKET, int);
using HtonsFn = uint16_t WINAPI(uint16_t);
using StartupFn = int WINAPI(WORD, WSADATA*);
using CleanupFn = int WINAPI();
using SetOptFn = int WINAPI(SOCKET, int, int, const char*, int);

std::string VerbOf(const std::string& line) {
  std::string verb;
  for (char c : line) {
    if (c == ' ' || c == ':' || c == '\r' || c == '\n') break;
    verb += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return verb;
}

}  // namespace

FakeSmtpServer::FakeSmtpServer() : module_(LoadLibraryA("wsock32.dll")) {
  replies_["HELO"] = {"250 fake.example\r\n"};
  replies_["MAIL"] = {"250 2.1.0 ok\r\n"};
  replies_["RCPT"] = {"250 2.1.5 ok\r\n"};
  replies_["DATA"] = {"354 go ahead\r\n"};
  replies_["QUIT"] = {"221 bye\r\n"};
  // Windows answers no socket call before WSAStartup.
  WSADATA data;
  Bound<StartupFn>("WSAStartup")(0x0101, &data);
  listener_ = Bound<SocketFn>("socket")(AF_INET, SOCK_STREAM, 0);
  SOCKADDR_IN address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1 in network order
  if (Bound<BindFn>("bind")(listener_, reinterpret_cast<SOCKADDR*>(&address), sizeof address) !=
          0 ||
      Bound<ListenFn>("listen")(listener_, 16) != 0) {
    throw std::runtime_error("FakeSmtpServer cannot listen on 127.0.0.1");
  }
  int length = sizeof address;
  Bound<NameFn>("getsockname")(listener_, reinterpret_cast<SOCKADDR*>(&address), &length);
  port_ = Bound<HtonsFn>("htons")(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeSmtpServer::~FakeSmtpServer() {
  stopping_ = true;
  // Linux wakes a waiting accept() at the shutdown, Windows at the close.
  Bound<ShutdownFn>("shutdown")(listener_, SD_BOTH);
  Bound<CloseFn>("closesocket")(listener_);
  if (SOCKET client = client_.load(); client != INVALID_SOCKET) {
    Bound<ShutdownFn>("shutdown")(client, SD_BOTH);
  }
  thread_.join();
  Bound<CleanupFn>("WSACleanup")();
  FreeLibrary(module_);
}

void FakeSmtpServer::SetGreeting(std::string raw) {
  std::lock_guard lock(mutex_);
  greeting_ = std::move(raw);
}

void FakeSmtpServer::Reply(const std::string& verb, std::vector<std::string> raws) {
  std::lock_guard lock(mutex_);
  replies_[verb] = std::deque<std::string>(raws.begin(), raws.end());
}

void FakeSmtpServer::ReplyAfterData(std::string raw) {
  std::lock_guard lock(mutex_);
  afterData_ = std::move(raw);
}

std::string FakeSmtpServer::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> FakeSmtpServer::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::string> FakeSmtpServer::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::string FakeSmtpServer::NextReply(const std::string& verb) {
  std::lock_guard lock(mutex_);
  auto it = replies_.find(verb);
  if (it == replies_.end() || it->second.empty()) return "500 unknown command\r\n";
  std::string reply = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return reply;
}

bool FakeSmtpServer::Play(SOCKET client, const std::string& raw) {
  if (raw == kSilence) return true;
  auto sendText = [&](const std::string& text) {
    if (text.empty()) return true;
    int size = static_cast<int>(text.size());
    return Bound<SendFn>("send")(client, text.data(), size, 0) == size;
  };
  size_t at = 0;
  for (;;) {
    size_t token = std::string::npos;
    std::string name;
    for (const char* candidate : {kClose, kReset, kPause, kDrip}) {
      size_t found = raw.find(candidate, at);
      if (found < token) {
        token = found;
        name = candidate;
      }
    }
    const std::string text = raw.substr(at, token == std::string::npos ? token : token - at);
    if (name == kDrip) {
      for (int i = 0; i < 200 && !stopping_ && sendText(text); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return true;
    }
    sendText(text);
    if (token == std::string::npos) return true;
    if (name == kClose) return false;
    if (name == kReset) {
      const uint16_t lingerAtOnce[2] = {1, 0};
      Bound<SetOptFn>("setsockopt")(client, 0xFFFF, 0x0080,
                                    reinterpret_cast<const char*>(lingerAtOnce), 4);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // kPause
    at = token + name.size();
  }
}

void FakeSmtpServer::Serve() {
  while (!stopping_) {
    SOCKET client = Bound<AcceptFn>("accept")(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    ++connections_;
    client_ = client;
    Converse(client);
    client_ = INVALID_SOCKET;
    Bound<CloseFn>("closesocket")(client);
  }
}

void FakeSmtpServer::Converse(SOCKET client) {
  std::string greeting;
  {
    std::lock_guard lock(mutex_);
    greeting = greeting_;
  }
  if (!Play(client, greeting)) return;
  std::string pending;
  size_t dataSearched = 0;
  bool inData = false;
  char buffer[65536];
  for (;;) {
    int got = Bound<RecvFn>("recv")(client, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    {
      std::lock_guard lock(mutex_);
      received_.append(buffer, static_cast<size_t>(got));
    }
    pending.append(buffer, static_cast<size_t>(got));
    for (;;) {
      if (inData) {
        // The data ends with a line holding a single ".".
        size_t textEnd, consumed;
        if (pending.starts_with(".\r\n")) {
          textEnd = 0;
          consumed = 3;
        } else if (size_t end = pending.find("\r\n.\r\n", dataSearched); end != std::string::npos) {
          textEnd = end + 2;
          consumed = end + 5;
          dataSearched = 0;
        } else {
          // Look only at new bytes next time: a large message arrives in many pieces.
          dataSearched = pending.size() < 4 ? 0 : pending.size() - 4;
          break;
        }
        {
          std::lock_guard lock(mutex_);
          messages_.push_back(pending.substr(0, textEnd));
        }
        pending.erase(0, consumed);
        inData = false;
        std::string reply;
        {
          std::lock_guard lock(mutex_);
          reply = afterData_;
        }
        if (!Play(client, reply)) return;
        continue;
      }
      size_t newline = pending.find('\n');
      if (newline == std::string::npos) break;
      std::string line = pending.substr(0, newline + 1);
      pending.erase(0, newline + 1);
      {
        std::lock_guard lock(mutex_);
        commands_.push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
      }
      std::string verb = VerbOf(line);
      std::string reply = NextReply(verb);
      if (!Play(client, reply)) return;
      if (verb == "DATA" && reply.starts_with("354")) inData = true;
      if (verb == "QUIT") return;
    }
  }
}

}  // namespace testing_support
