#include "net/agsocket.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/SocketTexts.h"
#include "net/agwsock.h"
#include "net/mssmtp.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"

namespace {

class PortProbe : public net::TagSocket {
 public:
  void Resolve() {
    ResetState();
    ResolvePort();
  }
};

TEST(SocketTest, ThePortComesFromTheServerNameOrTheService) {
  PortProbe probe;
  probe.DefaultPort = 25;
  probe.ServiceName = "smtp";
  struct Case {
    const char* server;
    uint16_t port;
  } cases[] = {
      {"relay:2525", 2525},        {"relay:0", 25},        {"relay:abc", 25},   {"relay", 25},
      {"relay:65561", 25},  // the low 16 bits of 65561 are 25
      {"[2001:db8::25]:587", 587}, {"[2001:db8::25]", 25}, {"2001:db8::25", 25}};
  for (const auto& c : cases) {
    probe.Server = c.server;
    probe.Resolve();
    EXPECT_EQ(probe.RemotePort, c.port) << c.server;
  }
  probe.ServiceName = "no-such-service";
  probe.DefaultPort = 587;
  probe.Server = "relay";
  probe.Resolve();
  EXPECT_EQ(probe.RemotePort, 587);  // a service that cannot be found gives the default port
  probe.ServiceName = "";
  EXPECT_THROW(probe.Resolve(), net::ESocketError);
}

TEST(SocketTest, TheServerIsAHostAndAPort) {
  struct Case {
    const char* server;
    const char* host;
    const char* port;
  } cases[] = {{"relay", "relay", ""},
               {"relay:587", "relay", "587"},
               {"192.0.2.7:25", "192.0.2.7", "25"},
               {"[2001:db8::25]", "2001:db8::25", ""},
               {"[2001:db8::25]:587", "2001:db8::25", "587"},
               {"2001:db8::25", "2001:db8::25", ""},
               {"[::1", "[::1", ""},  // no address: the look-up finds no such host
               {"[::1]25", "[::1]25", ""}};
  for (const auto& c : cases) {
    std::string host, port;
    net::SplitServer(c.server, host, port);
    EXPECT_EQ(host + " " + port, std::string(c.host) + " " + c.port) << c.server;
  }
}

TEST(SocketTest, ReplyCodesAndErrorTexts) {
  net::TagSocket socket;
  EXPECT_EQ(socket.ReplyCode("250 ok"), 250);
  EXPECT_EQ(socket.ReplyCode("25"), -1);
  EXPECT_EQ(socket.ReplyCode("abc"), -1);
  EXPECT_EQ(socket.ReplyCode("250"), 250);
  // Exactly three decimal digits: no sign, no blank, no hexadecimal "$" prefix.
  for (const char* notACode : {"$FA not a code", " 25 x", "+25 x", "-25 x", "2x0 x", "0x1 x"}) {
    EXPECT_EQ(socket.ReplyCode(notACode), -1) << notACode;
  }
  EXPECT_EQ(net::SocketErrorText(10101), "Error #10101");
  EXPECT_EQ(net::SocketErrorText(10000), "[0] No Error");
  EXPECT_EQ(net::SocketErrorText(57102), "MailMessage property must be assigned");
  EXPECT_NO_THROW(socket.RaiseSocketError(0));
}

// A Winsock module that hands the component notifications that are not its own: before each
// send, an error event of a socket closed earlier.
namespace stale {

using SelectFn = int WINAPI(SOCKET, HWND, UINT, long);
using SendFn = int WINAPI(SOCKET, const char*, int, int);
SelectFn* realSelect = nullptr;
SendFn* realSend = nullptr;
HWND selectWindow = nullptr;
UINT selectMessage = 0;

int WINAPI Select(SOCKET s, HWND hwnd, UINT msg, long events) {
  selectWindow = hwnd;
  selectMessage = msg;
  return realSelect(s, hwnd, msg, events);
}

int WINAPI Send(SOCKET s, const char* buffer, int length, int flags) {
  PostMessageA(selectWindow, selectMessage, static_cast<WPARAM>(s + 1),
               WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET));
  return realSend(s, buffer, length, flags);
}

void Register() {
  const LarkModuleExport* exports;
  DWORD count = LarkGetModuleExportsA("ws2_32.dll", &exports);
  std::vector<LarkModuleExport> variant(exports, exports + count);
  for (auto& entry : variant) {
    std::string_view name = entry.name;
    if (name == "WSAAsyncSelect") {
      realSelect = LarkProcAs<SelectFn>(entry.proc);
      entry.proc = LarkAsProc(Select);
    } else if (name == "send") {
      realSend = LarkProcAs<SendFn>(entry.proc);
      entry.proc = LarkAsProc(Send);
    }
  }
  LarkRegisterModuleA("stale32.dll", variant.data(), static_cast<DWORD>(variant.size()));
}

}  // namespace stale

// Binds the process's Winsock to another module for the life of the object.
class BoundTo {
 public:
  explicit BoundTo(const char* module) { Rebind(module); }
  ~BoundTo() { Rebind("ws2_32.dll"); }

 private:
  static void Rebind(const char* module) {
    auto& winsock = net::Winsock();
    winsock.Unload();
    winsock.SetLibraryName(module);
    winsock.Load();
  }
};

// One message sent to relay with the binding on module: "ok", or the failure's class and text.
std::string TransmitThrough(const char* module, const std::string& relay) {
  maillib::TmsMessage message;
  message.Sender.Address = "s@example.com";
  message.Recipients.AddAddress("r@example.org", "R");
  net::TmsSMTP client;
  client.SetTimeOut(5);
  client.SetMailMessage(&message);
  client.Server = relay;
  BoundTo bound(module);
  try {
    client.Transmit();
    return "ok";
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
}

// A module whose look-up answers ::1 first and 127.0.0.1 second, whatever the name.
namespace twofold {

using LookUpFn = int WINAPI(const WCHAR*, const WCHAR*, DWORD, LPGUID, const ADDRINFOEXW*,
                            PADDRINFOEXW*, TIMEVAL*, LPOVERLAPPED,
                            LPLOOKUPSERVICE_COMPLETION_ROUTINE, LPHANDLE);
LookUpFn* realLookUp = nullptr;

int WINAPI LookUp(const WCHAR*, const WCHAR*, DWORD space, LPGUID, const ADDRINFOEXW* hints,
                  PADDRINFOEXW* result, TIMEVAL*, LPOVERLAPPED overlapped,
                  LPLOOKUPSERVICE_COMPLETION_ROUTINE, LPHANDLE handle) {
  PADDRINFOEXW second = nullptr;
  const WCHAR loopback6[] = {':', ':', '1', 0};
  const WCHAR loopback4[] = {'1', '2', '7', '.', '0', '.', '0', '.', '1', 0};
  realLookUp(loopback6, nullptr, space, nullptr, hints, result, nullptr, nullptr, nullptr, nullptr);
  realLookUp(loopback4, nullptr, space, nullptr, hints, &second, nullptr, nullptr, nullptr,
             nullptr);
  (*result)->ai_next = reinterpret_cast<decltype((*result)->ai_next)>(second);
  overlapped->Internal = 0;
  SetEvent(overlapped->hEvent);
  *handle = nullptr;
  return WSA_IO_PENDING;
}

void Register() {
  const LarkModuleExport* exports;
  DWORD count = LarkGetModuleExportsA("ws2_32.dll", &exports);
  std::vector<LarkModuleExport> variant(exports, exports + count);
  for (auto& entry : variant) {
    if (std::string_view(entry.name) == "GetAddrInfoExW") {
      realLookUp = LarkProcAs<LookUpFn>(entry.proc);
      entry.proc = LarkAsProc(LookUp);
    }
  }
  LarkRegisterModuleA("twofold.dll", variant.data(), static_cast<DWORD>(variant.size()));
}

}  // namespace twofold

TEST(SocketTest, EachAddressOfANameIsTriedInTurn) {
  twofold::Register();
  testing_support::MachineRoot root;
  testing_support::FakeSmtpServer live;
  uint16_t dead;
  {
    testing_support::FakeSmtpServer gone;
    dead = gone.Port();
  }
  // ::1 refuses either port; the name is delivered to once its second address takes it.
  struct Case {
    uint16_t port;
    const char* result;
  } cases[] = {
      {live.Port(), "ok"},
      {dead, "ESocketError: [10061] Connection refused (127.0.0.1, the last of 2 addresses)"}};
  for (const auto& c : cases) {
    EXPECT_EQ(TransmitThrough("twofold.dll", "relay.example:" + std::to_string(c.port)), c.result)
        << c.port;
  }
  EXPECT_EQ(live.Messages().size(), 1u);
}

TEST(SocketTest, NotificationsForAnotherRequestOrSocketAreIgnored) {
  stale::Register();
  testing_support::MachineRoot root;
  testing_support::FakeSmtpServer server;
  const std::string port = std::to_string(server.Port());
  // A name is looked up; an address is not, and meets only the socket's events.
  for (const std::string& relay : {"localhost:" + port, "127.0.0.1:" + port}) {
    EXPECT_EQ(TransmitThrough("stale32.dll", relay), "ok") << relay;
  }
  EXPECT_EQ(server.Messages().size(), 2u);
}

}  // namespace
