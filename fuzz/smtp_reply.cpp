// The SMTP client's reply reader over a stand-in Winsock module that plays the input as the
// relay's bytes, cut into segments as a network may deliver them. The whole dialogue is checked
// against a model of the documented reply rules: the same commands go out, a message counts as
// accepted exactly when every stage got its class of reply, a failure reports the reply that
// caused it, and how the bytes are cut never matters.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "maillib/Message.h"
#include "net/SocketTexts.h"
#include "net/agwsock.h"
#include "net/mssmtp.h"
#include "rtl/Exception.h"
#include "winapi/winapi.h"

namespace {

constexpr SOCKET kSocket = 0x5a;
constexpr size_t kLineBuffer = 1024;
constexpr int kMaxReplyLines = 1000;

// The relay's side of the one connection of an input.
struct Relay {
  std::string bytes;
  size_t segment = 0;  // bytes that arrive together; 0 for all at once
  bool reset = false;  // the relay resets the connection after its last byte instead of closing
  size_t next = 0;
  size_t arrived = 0;  // bytes the client may read now
  bool closePosted = false;
  HWND window = nullptr;
  UINT message = 0;
  int lastError = 0;
  std::string sent;

  void Post(long event, int error = 0) {
    PostMessageA(window, message, static_cast<WPARAM>(kSocket), WSAMAKESELECTREPLY(event, error));
  }
  void PostEnd() {
    if (closePosted) return;
    closePosted = true;
    Post(FD_CLOSE, reset ? WSAECONNRESET : 0);
  }
  void Arrive() {
    arrived = segment == 0 ? bytes.size() : std::min(bytes.size(), arrived + segment);
  }
};

Relay relay;

int WINAPI FakeGetLastError() { return relay.lastError; }
SOCKET WINAPI FakeSocket(int, int, int) { return kSocket; }
int WINAPI FakeClose(SOCKET) { return 0; }
int WINAPI FakeHostName(char* name, int length) {
  std::string_view host = "fuzzhost";
  if (length <= static_cast<int>(host.size())) return SOCKET_ERROR;
  host.copy(name, host.size());
  name[host.size()] = '\0';
  return 0;
}
int WINAPI FakeSelect(SOCKET, HWND window, UINT message, long) {
  relay.window = window;
  relay.message = message;
  return 0;
}
int WINAPI FakeConnect(SOCKET, const SOCKADDR*, int) {
  relay.Post(FD_CONNECT);
  relay.Post(FD_WRITE);
  relay.Arrive();
  relay.Post(FD_READ);
  return 0;
}
// Winsock's rules: FD_READ again after a receive that leaves data (or when the next segment
// comes), FD_CLOSE once every byte is read, WSAEWOULDBLOCK while the next segment is on its way,
// and a reset reported by every receive after the last byte.
int WINAPI FakeRecv(SOCKET, char* buffer, int length, int) {
  if (relay.next == relay.arrived && relay.arrived < relay.bytes.size()) {
    relay.Arrive();
    relay.Post(FD_READ);
    relay.lastError = WSAEWOULDBLOCK;
    return SOCKET_ERROR;
  }
  if (relay.next == relay.bytes.size() && relay.reset) {
    relay.PostEnd();
    relay.lastError = WSAECONNRESET;
    return SOCKET_ERROR;
  }
  size_t count = std::min(static_cast<size_t>(length), relay.arrived - relay.next);
  relay.bytes.copy(buffer, count, relay.next);
  relay.next += count;
  if (relay.next < relay.bytes.size()) {
    // Data left, or the next segment on its way: either way another FD_READ comes.
    relay.Post(FD_READ);
  } else {
    relay.PostEnd();
  }
  return static_cast<int>(count);
}
int WINAPI FakeSend(SOCKET, const char* buffer, int length, int) {
  relay.sent.append(buffer, static_cast<size_t>(length));
  return length;
}

void UseStandIn() {
  const LarkModuleExport* exports;
  DWORD count = LarkGetModuleExportsA("wsock32.dll", &exports);
  std::vector<LarkModuleExport> module(exports, exports + count);
  auto replace = [&](std::string_view name, FARPROC proc) {
    for (auto& entry : module) {
      if (name == entry.name) entry.proc = proc;
    }
  };
  replace("WSAGetLastError", reinterpret_cast<FARPROC>(FakeGetLastError));
  replace("socket", reinterpret_cast<FARPROC>(FakeSocket));
  replace("closesocket", reinterpret_cast<FARPROC>(FakeClose));
  replace("gethostname", reinterpret_cast<FARPROC>(FakeHostName));
  replace("WSAAsyncSelect", reinterpret_cast<FARPROC>(FakeSelect));
  replace("connect", reinterpret_cast<FARPROC>(FakeConnect));
  replace("recv", reinterpret_cast<FARPROC>(FakeRecv));
  replace("send", reinterpret_cast<FARPROC>(FakeSend));
  LarkRegisterModuleA("fuzzsock.dll", module.data(), static_cast<DWORD>(module.size()));
  auto& winsock = net::Winsock();
  winsock.Unload();
  winsock.SetLibraryName("fuzzsock.dll");
  winsock.Load();
}

int Code(const std::string& line) {
  if (line.size() < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// The dialogue as the documented rules give it.
struct Model {
  std::vector<std::string> lines;  // the complete lines the relay sends, as the reader keeps them
  size_t next = 0;
  bool closed = false;
  bool connected = true;
  std::string lastReply;
  std::vector<std::string> commands;
  bool reset;

  Model(std::string_view bytes, bool reset) : reset(reset) {
    for (size_t end; (end = bytes.find('\n')) != std::string_view::npos;) {
      std::string line(bytes.substr(0, std::min(end, kLineBuffer)));
      while (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      bytes.remove_prefix(end + 1);
    }
  }
  int ReadLine() {
    if (next < lines.size()) {
      lastReply = lines[next++];
      return Code(lastReply);
    }
    if (reset) {
      connected = false;
      throw net::ESocketError(net::SocketErrorText(WSAECONNRESET));
    }
    closed = true;
    lastReply.clear();
    return -1;
  }
  // The reply's code; a reply past 1000 lines ends the connection as a time-out.
  int ReadReply() {
    const int code = ReadLine();
    if (code > 0 && lastReply.find('-') == 3) {
      const std::string bare = lastReply.substr(0, 3);
      for (int count = 1;; ++count) {
        if (count == kMaxReplyLines) {
          connected = false;
          throw net::ETimedOutError("Operation timed out");
        }
        ReadLine();
        if (closed) break;
        if (Code(lastReply) == code && (lastReply.find(' ') == 3 || lastReply == bare)) break;
      }
    }
    return code;
  }
  int Command(const std::string& line) {
    commands.push_back(line);
    return ReadReply() / 100;
  }
  // The reply that failed the step (a command's verb, empty for the greeting), or what the relay
  // did instead of replying.
  std::string Reason(const std::string& step) const {
    if (!lastReply.empty()) return lastReply;
    if (closed) {
      return step.empty() ? "Connection closed by the relay before its greeting"
                          : "Connection closed by the relay after " + step;
    }
    return step.empty() ? "Empty greeting from the relay" : "Empty reply from the relay to " + step;
  }
  void Fail(const std::string& step) { throw net::EServerError(Reason(step)); }

  // The outcome Transmit should have: "accepted", or the class and text of its failure.
  std::string Transmit(int recipients, bool proceed) {
    std::string failure;
    bool accepted = false;
    try {
      if (ReadReply() / 100 != 2) Fail("");
      if (Command("HELO fuzzhost") != 2 && Command("HELO") != 2) Fail("HELO");
      if (Command("MAIL FROM:<s@example.com>") != 2) Fail("MAIL FROM");
      int taken = 0;
      std::string lastRefusal;
      for (int i = 1; i <= recipients; ++i) {
        if (Command("RCPT TO:<r" + std::to_string(i) + "@example.org>") == 2) {
          ++taken;
          continue;
        }
        if (closed || !proceed) Fail("RCPT TO");
        lastRefusal = Reason("RCPT TO");
      }
      // With every recipient refused there is nothing to send: the last refusal is the reason.
      if (taken == 0) throw net::EServerError(lastRefusal);
      if (Command("DATA") != 3) Fail("DATA");
      commands.push_back("<message>");
      if (Command(".") != 2) Fail("DATA");
      accepted = true;
    } catch (const rtl::Exception& e) {
      failure = std::string(e.ClassName()) + ": " + e.Message();
    }
    if (connected) {
      try {
        if (Command("QUIT") != 2) Fail("QUIT");
      } catch (const rtl::Exception& e) {
        if (!accepted && failure.empty()) failure = std::string(e.ClassName()) + ": " + e.Message();
      }
    }
    return failure.empty() ? "accepted" : failure;
  }
};

// The client's lines, with the message between DATA and the lone "." as one placeholder.
std::vector<std::string> SentCommands(const std::string& sent, bool dataAccepted) {
  std::vector<std::string> commands;
  bool inData = false;
  size_t start = 0;
  for (size_t end; (end = sent.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = sent.substr(start, end - start);
    if (inData) {
      if (line != ".") continue;
      inData = false;
      commands.push_back("<message>");
    }
    commands.push_back(line);
    if (line == "DATA" && dataAccepted) inData = true;
  }
  FUZZ_CHECK(start == sent.size(), "the client sent a line without CR LF");
  return commands;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += fuzz::Shown(line) + "\n";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseFreshMachineRoot();
  UseStandIn();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool proceed = (data[0] & 1) != 0;
  const int recipients = 1 + (data[0] >> 1) % 3;
  relay = Relay{};
  relay.segment = data[1];
  relay.reset = (data[0] & 0x80) != 0;
  relay.bytes.assign(reinterpret_cast<const char*>(data + 2), size - 2);

  maillib::TmsMessage message;
  message.Sender.Address = "s@example.com";
  for (int i = 1; i <= recipients; ++i) {
    message.Recipients.AddAddress("r" + std::to_string(i) + "@example.org", "R");
  }
  message.Body.Add("Hello");
  message.Body.Add(".");
  message.Body.Add(".hidden");

  std::string outcome = "accepted";
  {
    net::TmsSMTP client;
    client.Server = "127.0.0.1:25";
    client.SetTimeOut(5);
    client.OnAddressRejected = [proceed](const std::string&, const std::string&, bool& go) {
      go = proceed;
    };
    client.SetMailMessage(&message);
    try {
      client.Transmit();
    } catch (const rtl::Exception& e) {
      outcome = std::string(e.ClassName()) + ": " + e.Message();
    }
  }

  Model model(relay.bytes, relay.reset);
  const std::string expected = model.Transmit(recipients, proceed);
  const bool dataAccepted =
      std::find(model.commands.begin(), model.commands.end(), "<message>") != model.commands.end();
  FUZZ_CHECK(outcome == expected, "Transmit ended with " + fuzz::Shown(outcome) +
                                      " where the replies give " + fuzz::Shown(expected));
  auto commands = SentCommands(relay.sent, dataAccepted);
  FUZZ_CHECK(commands == model.commands, "the client sent\n" + Joined(commands) +
                                             "where the replies call for\n" +
                                             Joined(model.commands));
  return 0;
}
