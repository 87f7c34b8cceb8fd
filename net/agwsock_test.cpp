#include "net/agwsock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "maillib/codecs.h"
#include "net/mssmtp.h"
#include "rtl/HiddenWindow.h"
#include "testing/ExceptionText.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"
#include "testing/Wine.h"

namespace {

using testing_support::ExceptionText;
using testing_support::RunningUnderWine;

TEST(WinsockBindingTest, LoadsAndLooksUpByName) {
  net::TagWinsock winsock;
  EXPECT_EQ(ExceptionText([&] { winsock.htons(1); }), "EWinsockDLLError: Winsock is not loaded");
  winsock.Load();
  EXPECT_TRUE(winsock.IsLoaded());
  EXPECT_EQ(winsock.htons(0x1234), 0x3412);
  EXPECT_EQ(winsock.inet_addr("127.0.0.1"), 0x0100007Fu);
  EXPECT_EQ(winsock.inet_addr("not an address"), INADDR_NONE);
  EXPECT_EQ(ExceptionText([&] { winsock.GetProc("WSASomethingElse"); }),
            "EWinsockDLLError: Function WSASomethingElse not found");
  winsock.Unload();
  EXPECT_FALSE(winsock.IsLoaded());

  net::TagWinsock missing("missing32.dll");
  EXPECT_EQ(ExceptionText([&] { missing.Load(); }), "EWinsockDLLError: Winsock not found");
}

// What action raises ("ok" when nothing) while the binding serves name, a variant of ws2_32.dll
// with some exports replaced, or left out where the replacement is null.
std::string WithVariant(const char* name, const std::map<std::string_view, FARPROC>& changes,
                        const std::function<void()>& action) {
  const LarkModuleExport* exports;
  const DWORD count = LarkGetModuleExportsA("ws2_32.dll", &exports);
  std::vector<LarkModuleExport> variant;
  for (DWORD i = 0; i < count; ++i) {
    const auto change = changes.find(exports[i].name);
    if (change == changes.end() || change->second != nullptr) {
      variant.push_back(
          {exports[i].name, change == changes.end() ? exports[i].proc : change->second});
    }
  }
  LarkRegisterModuleA(name, variant.data(), static_cast<DWORD>(variant.size()));
  auto& winsock = net::Winsock();
  winsock.Unload();
  winsock.SetLibraryName(name);
  winsock.Load();
  const std::string result = ExceptionText(action);
  winsock.Unload();
  winsock.SetLibraryName("ws2_32.dll");
  winsock.Load();
  return result;
}

TEST(WinsockBindingTest, AModuleWithoutAsyncSelectFailsTheFirstConnection) {
  testing_support::MachineRoot root;
  testing_support::FakeSmtpServer server;
  maillib::TmsMessage message;
  message.Sender.Address = "s@example.com";
  message.Recipients.AddAddress("r@example.org", "R");
  net::TmsSMTP client;
  client.Server = server.Address();
  client.SetMailMessage(&message);
  EXPECT_EQ(WithVariant("noselect.dll", {{"WSAAsyncSelect", nullptr}}, [&] { client.Transmit(); }),
            "EWinsockDLLError: Function WSAAsyncSelect not found");

  auto& winsock = net::Winsock();
  winsock.Unload();
  EXPECT_EQ(ExceptionText([&] { client.Transmit(); }), "EWinsockDLLError: Winsock is not loaded");
  client.SetWinsockLoaded(true);  // the mailer does this before every delivery
  EXPECT_EQ(ExceptionText([&] { client.Transmit(); }), "ok");
}

// A look-up that outlives the wait for it (Wine cancels none) still writes into memory of its own.
OVERLAPPED* lateLookUp = nullptr;
int WINAPI LateGetAddrInfoExW(const WCHAR*, const WCHAR*, DWORD, LPGUID, const ADDRINFOEXW*,
                              PADDRINFOEXW*, TIMEVAL*, LPOVERLAPPED overlapped,
                              LPLOOKUPSERVICE_COMPLETION_ROUTINE, LPHANDLE) {
  (lateLookUp = overlapped)->Internal = WSAEINPROGRESS;
  return WSA_IO_PENDING;
}
int WINAPI LateResult(LPOVERLAPPED overlapped) { return static_cast<int>(overlapped->Internal); }

TEST(WinsockBindingTest, ALookUpGivenUpKeepsWhatItWritesInto) {
  net::TmsSMTP client;
  client.Server = "late.example";
  client.SetTimeOut(1);
  EXPECT_EQ(WithVariant("latelookup.dll",
                        {{"GetAddrInfoExW", LarkAsProc(LateGetAddrInfoExW)},
                         {"GetAddrInfoExOverlappedResult", LarkAsProc(LateResult)}},
                        [&] { client.Open(); }),
            "ETimedOutError: Operation timed out");
  ASSERT_NE(lateLookUp, nullptr);
  lateLookUp->Internal = WSAHOST_NOT_FOUND;
  EXPECT_TRUE(SetEvent(lateLookUp->hEvent));
}

// A connection to the fake server whose notifications are counted on a window of this thread.
class NotifiedSocket {
 public:
  static constexpr UINT kEvent = WM_USER + 7;
  explicit NotifiedSocket(const testing_support::FakeSmtpServer& server) : winsock(net::Winsock()) {
    winsock.Load();
    window_ = rtl::AllocateHWnd([this](rtl::TMessage& message) {
      if (message.Msg == kEvent) {
        events.emplace_back(net::WSAEventOf(message.LParam) & 0xFFFF,
                            net::WSAErrorOf(message.LParam));
      }
    });
    s = winsock.socket(AF_INET, SOCK_STREAM, 0);
    winsock.WSAAsyncSelect(s, window_, kEvent, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_port = winsock.htons(server.Port());
    address.sin_addr.s_addr = winsock.inet_addr("127.0.0.1");
    winsock.connect(s, reinterpret_cast<const SOCKADDR*>(&address), sizeof address);
  }
  ~NotifiedSocket() {
    winsock.closesocket(s);
    rtl::DeallocateHWnd(window_);
  }
  NotifiedSocket(const NotifiedSocket&) = delete;
  NotifiedSocket& operator=(const NotifiedSocket&) = delete;

  int Seen(long event) const {
    int times = 0;
    for (auto [e, error] : events) times += e == event ? 1 : 0;
    return times;
  }
  template <class Condition>
  bool PumpUntil(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      maillib::PumpMessages();
    }
    return condition();
  }

  net::TagWinsock& winsock;
  SOCKET s;
  std::vector<std::pair<long, int>> events;  // (event, error)

 private:
  HWND window_;
};

TEST(WinsockModuleTest, ReceivedBytesComeOutInOrderAndEachReceiveAsksForMore) {
  testing_support::FakeSmtpServer server;
  server.SetGreeting("220 one two");
  NotifiedSocket socket(server);
  auto& winsock = socket.winsock;
  ASSERT_TRUE(socket.PumpUntil([&] { return socket.Seen(FD_READ) == 1; }));
  char buffer[64] = {};
  ASSERT_EQ(winsock.recv(socket.s, buffer, 3, MSG_PEEK), 3);
  EXPECT_EQ(std::string(buffer, 3), "220");
  ASSERT_EQ(winsock.recv(socket.s, buffer, 4, 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "220 ");
  // Bytes are left: the receive asked for the next notification and it comes (the peek asked
  // too, and Winsock may answer both).
  ASSERT_TRUE(socket.PumpUntil([&] { return socket.Seen(FD_READ) >= 2; }));
  int got = winsock.recv(socket.s, buffer, sizeof buffer, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max(got, 0))).substr(0, 7), "one two");
}

// A message wait given no time still looks at the socket: what became due there is reported as
// a message even when nothing else reads the queue.
TEST(WinsockModuleTest, AWaitGivenNoTimeStillSeesTheSocket) {
  testing_support::FakeSmtpServer server;
  NotifiedSocket socket(server);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  DWORD result = WAIT_TIMEOUT;
  while (result == WAIT_TIMEOUT && std::chrono::steady_clock::now() < deadline) {
    result = MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
  }
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_TRUE(socket.PumpUntil([&] { return socket.Seen(FD_CONNECT) == 1; }));
}

TEST(WinsockModuleTest, AResetIsReportedByEveryLaterReceiveAndSend) {
  testing_support::FakeSmtpServer server;
  server.SetGreeting("220 partial<pause><reset>");
  NotifiedSocket socket(server);
  auto& winsock = socket.winsock;
  ASSERT_TRUE(socket.PumpUntil([&] { return socket.Seen(FD_READ) > 0; }));
  std::string partial;
  char byte;
  int got;
  while ((got = winsock.recv(socket.s, &byte, 1, 0)) == 1) partial += byte;
  EXPECT_EQ(partial, "220 partial");
  // The readiness check meets the reset first; the receives and sends after it still see it.
  ASSERT_TRUE(socket.PumpUntil([&] { return socket.Seen(FD_CLOSE) > 0; }));
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Wine's receive after a reset finds an orderly close; only its sends see the reset.
    const int got = winsock.recv(socket.s, &byte, 1, 0);
    EXPECT_EQ(got, RunningUnderWine() ? 0 : SOCKET_ERROR);
    if (got != 0) {
      EXPECT_EQ(winsock.WSAGetLastError(), WSAECONNRESET);
    }
    EXPECT_EQ(winsock.send(socket.s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(winsock.WSAGetLastError(), WSAECONNRESET);
  }
}

// Overlapped look-ups: each ends by setting its event, with its answers as text.
TEST(WinsockModuleTest, LookUpsAnswerEveryAddressOfAName) {
  testing_support::MachineRoot root;
  auto& winsock = net::Winsock();
  WSADATA data;
  ASSERT_EQ(winsock.WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  winsock.WSACleanup();
  struct Case {
    std::string_view name;
    int status;
    const char* answers;  // or, for a name, one answer among them
  } cases[] = {
      {"::1", 0, "::1"},
      {"127.0.0.1", 0, "127.0.0.1"},
      {"localhost", 0, "127.0.0.1"},
      // Wine's fails with 8: the machine root's HKEY_LOCAL_MACHINE lacks the host's name.
      {"no-such-host.invalid",
       static_cast<int>(RunningUnderWine() ? WSA_NOT_ENOUGH_MEMORY : WSAHOST_NOT_FOUND), ""}};
  for (const auto& c : cases) {
    ADDRINFOEXW hints{};
    hints.ai_socktype = SOCK_STREAM;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PADDRINFOEXW answers = nullptr;
    HANDLE request = nullptr;
    const std::basic_string<WCHAR> name(c.name.begin(), c.name.end());
    ASSERT_EQ(winsock.GetAddrInfoExW(name.c_str(), nullptr, NS_ALL, nullptr, &hints, &answers,
                                     nullptr, &overlapped, nullptr, &request),
              WSA_IO_PENDING);
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(winsock.GetAddrInfoExOverlappedResult(&overlapped), c.status);
    std::string texts;
    for (auto* answer = answers; answer != nullptr;
         answer = reinterpret_cast<ADDRINFOEXW*>(answer->ai_next)) {
      char text[64];
      const bool v6 = answer->ai_family == AF_INET6;
      EXPECT_EQ(answer->ai_addrlen, v6 ? sizeof(SOCKADDR_IN6) : sizeof(SOCKADDR_IN));
      const void* bytes = v6 ? static_cast<const void*>(
                                   &reinterpret_cast<SOCKADDR_IN6*>(answer->ai_addr)->sin6_addr)
                             : &reinterpret_cast<SOCKADDR_IN*>(answer->ai_addr)->sin_addr;
      texts += std::string(texts.empty() ? "" : " ") +
               winsock.inet_ntop(answer->ai_family, bytes, text, sizeof text);
    }
    EXPECT_NE((" " + texts + " ").find(std::string(" ") + c.answers + " "), std::string::npos)
        << texts;
    EXPECT_EQ(winsock.GetAddrInfoExCancel(&request), WSA_INVALID_HANDLE);  // it has ended
    winsock.FreeAddrInfoExW(answers);
    CloseHandle(overlapped.hEvent);
  }
  char small[4];
  IN6_ADDR address;
  EXPECT_EQ(winsock.inet_pton(AF_INET6, "2001:db8::25", &address), 1);
  EXPECT_EQ(winsock.inet_ntop(AF_INET6, &address, small, sizeof small), nullptr);
  // Wine sets the NT status STATUS_INVALID_PARAMETER where Windows sets ERROR_INVALID_PARAMETER.
  EXPECT_EQ(static_cast<DWORD>(winsock.WSAGetLastError()),
            static_cast<DWORD>(RunningUnderWine() ? 0xC000000D : ERROR_INVALID_PARAMETER));
  EXPECT_EQ(winsock.inet_pton(99, "1.2.3.4", &address), -1);
  EXPECT_EQ(winsock.WSAGetLastError(), WSAEAFNOSUPPORT);
}

// The memory of a cancelled look-up is freed at once: a late write shows under AddressSanitizer.
TEST(WinsockModuleTest, ACancelledLookUpWritesNothingMore) {
  auto& winsock = net::Winsock();
  const std::basic_string<WCHAR> localhost{'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't'};
  int cancelled = 0;
  for (int i = 0; i < 20; ++i) {
    auto overlapped = std::make_unique<OVERLAPPED>();
    auto answers = std::make_unique<PADDRINFOEXW>(nullptr);
    overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE request = nullptr;
    ASSERT_EQ(winsock.GetAddrInfoExW(localhost.c_str(), nullptr, NS_ALL, nullptr, nullptr,
                                     answers.get(), nullptr, overlapped.get(), nullptr, &request),
              WSA_IO_PENDING);
    if (winsock.GetAddrInfoExCancel(&request) == 0) {
      ++cancelled;
      EXPECT_EQ(winsock.GetAddrInfoExOverlappedResult(overlapped.get()), WSA_E_CANCELLED);
      EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, 0), WAIT_OBJECT_0);
      EXPECT_EQ(*answers, nullptr);
    } else {
      WaitForSingleObject(overlapped->hEvent, 30000);
      winsock.FreeAddrInfoExW(*answers);
    }
    CloseHandle(overlapped->hEvent);
  }
  // Wine's GetAddrInfoExW gives no cancel handle, and its GetAddrInfoExCancel cancels nothing.
  EXPECT_GT(cancelled, RunningUnderWine() ? -1 : 0);
}

}  // namespace
