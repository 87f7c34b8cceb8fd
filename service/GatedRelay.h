// A relay for the worker tests that holds its acceptance of each message until the test opens
// the gate: by then the worker has loaded the queued files, so a test can change them between
// the delivery and the worker's clean-up. Plays a plain accepting dialogue otherwise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "winapi/winapi.h"

namespace service_test {

class GatedRelay {
 public:
  GatedRelay() : module_(LoadLibraryA("wsock32.dll")) {
    // Windows answers no socket call before WSAStartup.
    WSADATA data;
    Fn<int WINAPI(WORD, WSADATA*)>("WSAStartup")(0x0101, &data);
    listener_ = Fn<SOCKET WINAPI(int, int, int)>("socket")(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = 0x0100007F;
    Fn<int WINAPI(SOCKET, const SOCKADDR*, int)>("bind")(
        listener_, reinterpret_cast<SOCKADDR*>(&address), sizeof address);
    Fn<int WINAPI(SOCKET, int)>("listen")(listener_, 4);
    int length = sizeof address;
    Fn<int WINAPI(SOCKET, SOCKADDR*, int*)>("getsockname")(
        listener_, reinterpret_cast<SOCKADDR*>(&address), &length);
    port_ = Fn<uint16_t WINAPI(uint16_t)>("htons")(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~GatedRelay() {
    Open();
    // Linux wakes a waiting accept() at the shutdown, Windows at the close.
    Fn<int WINAPI(SOCKET, int)>("shutdown")(listener_, SD_BOTH);
    Fn<int WINAPI(SOCKET)>("closesocket")(listener_);
    thread_.join();
    Fn<int WINAPI()>("WSACleanup")();
    FreeLibrary(module_);
  }

  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // True once a message's data has arrived and waits at the gate.
  bool Holding() const { return holding_; }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    gate_.notify_all();
  }

 private:
  template <class F>
  F* Fn(const char* name) const {
    return LarkProcAs<F>(GetProcAddress(module_, name));
  }
  void Say(SOCKET client, const std::string& text) const {
    Fn<int WINAPI(SOCKET, const char*, int, int)>("send")(client, text.data(),
                                                          static_cast<int>(text.size()), 0);
  }
  void Serve() {
    for (;;) {
      SOCKET client =
          Fn<SOCKET WINAPI(SOCKET, SOCKADDR*, int*)>("accept")(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      Converse(client);
      Fn<int WINAPI(SOCKET)>("closesocket")(client);
    }
  }
  void Converse(SOCKET client) {
    Say(client, "220 gated ready\r\n");
    std::string pending;
    bool inData = false;
    char buffer[4096];
    for (;;) {
      int got = Fn<int WINAPI(SOCKET, char*, int, int)>("recv")(client, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      pending.append(buffer, static_cast<size_t>(got));
      for (;;) {
        if (inData) {
          size_t end = pending.find("\r\n.\r\n");
          if (end == std::string::npos) break;
          pending.erase(0, end + 5);
          inData = false;
          holding_ = true;
          std::unique_lock lock(mutex_);
          gate_.wait(lock, [this] { return open_; });
          Say(client, "250 accepted\r\n");
          continue;
        }
        size_t newline = pending.find('\n');
        if (newline == std::string::npos) break;
        std::string verb = pending.substr(0, 4);
        pending.erase(0, newline + 1);
        if (verb == "DATA") {
          inData = true;
          Say(client, "354 go ahead\r\n");
        } else if (verb == "QUIT") {
          Say(client, "221 bye\r\n");
          return;
        } else {
          Say(client, "250 ok\r\n");
        }
      }
    }
  }

  HMODULE module_;
  SOCKET listener_;
  uint16_t port_ = 0;
  std::atomic<bool> holding_{false};
  std::mutex mutex_;
  std::condition_variable gate_;
  bool open_ = false;
  std::thread thread_;
};

}  // namespace service_test
