// A scriptable SMTP server on 127.0.0.1 for tests: it plays a reply per command, records every
// byte the client sent, and misbehaves on cue. A reply is raw text sent as it stands (so it can
// be multi-line, end in a bare LF or stop mid-line); "<close>" closes the connection instead,
// "<reset>" resets it, "<silence>" sends nothing. Text followed by "<close>" or "<reset>" is sent
// first; "<pause>" in between lets the client read that text before the connection ends;
// text followed by "<drip>" is sent again and again, a tenth of a second apart, until the
// client goes away (for at most 20 seconds). The server serves one connection at a time, on its
// own thread.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "winapi/winapi.h"

namespace testing_support {

class FakeSmtpServer {
 public:
  static constexpr const char* kClose = "<close>";
  static constexpr const char* kSilence = "<silence>";
  static constexpr const char* kReset = "<reset>";  // the connection is reset
  static constexpr const char* kPause = "<pause>";
  static constexpr const char* kDrip = "<drip>";

  FakeSmtpServer();
  ~FakeSmtpServer();
  FakeSmtpServer(const FakeSmtpServer&) = delete;
  FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  void SetGreeting(std::string raw);
  // Replies for a command verb (HELO, MAIL, RCPT, DATA, QUIT...): each command takes the next
  // reply; the last one given repeats.
  void Reply(const std::string& verb, std::vector<std::string> raws);
  // The reply to the end of the message data.
  void ReplyAfterData(std::string raw);

  std::string Received() const;
  std::vector<std::string> Commands() const;
  // The text of each message received, as it came between DATA and the final ".".
  std::vector<std::string> Messages() const;
  int Connections() const { return connections_; }

 private:
  void Serve();
  void Converse(SOCKET client);
  // Sends a scripted reply; false when the script closes the connection.
  bool Play(SOCKET client, const std::string& raw);
  std::string NextReply(const std::string& verb);

  template <class F>
  F* Bound(const char* name) const {
    return LarkProcAs<F>(GetProcAddress(module_, name));
  }

  HMODULE module_;
  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<SOCKET> client_{INVALID_SOCKET};
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string greeting_ = "220 fake.example ready\r\n";
  std::map<std::string, std::deque<std::string>> replies_;
  std::string afterData_ = "250 2.0.0 queued\r\n";
  std::string received_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
  std::thread thread_;
};

}  // namespace testing_support
