#include "net/agwsock.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/mssmtp.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"

namespace {

std::string Failure(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
}

TEST(WinsockBindingTest, LoadsAndLooksUpByName) {
  net::TagWinsock winsock;
  EXPECT_EQ(Failure([&] { winsock.htons(1); }), "EWinsockDLLError: Winsock is not loaded");
  winsock.Load();
  EXPECT_TRUE(winsock.IsLoaded());
  EXPECT_EQ(winsock.htons(0x1234), 0x3412);
  EXPECT_EQ(winsock.inet_addr("127.0.0.1"), 0x0100007Fu);
  EXPECT_EQ(winsock.inet_addr("not an address"), INADDR_NONE);
  EXPECT_EQ(Failure([&] { winsock.GetProc("WSASomethingElse"); }),
            "EWinsockDLLError: Function WSASomethingElse not found");
  winsock.Unload();
  EXPECT_FALSE(winsock.IsLoaded());

  net::TagWinsock missing("missing32.dll");
  EXPECT_EQ(Failure([&] { missing.Load(); }), "EWinsockDLLError: Winsock not found");
}

TEST(WinsockBindingTest, AModuleWithoutAsyncSelectFailsTheFirstConnection) {
  const LarkModuleExport* exports;
  DWORD count = LarkGetModuleExportsA("wsock32.dll", &exports);
  std::vector<LarkModuleExport> variant;
  for (DWORD i = 0; i < count; ++i) {
    if (std::string_view(exports[i].name) != "WSAAsyncSelect") variant.push_back(exports[i]);
  }
  LarkRegisterModuleA("noselect.dll", variant.data(), static_cast<DWORD>(variant.size()));

  testing_support::MachineRoot root;
  testing_support::FakeSmtpServer server;
  maillib::TmsMessage message;
  message.Sender.Address = "s@example.com";
  message.Recipients.AddAddress("r@example.org", "R");
  net::TmsSMTP client;
  client.Server = server.Address();
  client.SetMailMessage(&message);
  auto& winsock = net::Winsock();
  winsock.Unload();
  winsock.SetLibraryName("noselect.dll");
  winsock.Load();
  std::string result = Failure([&] { client.Transmit(); });
  winsock.Unload();
  winsock.SetLibraryName("wsock32.dll");
  winsock.Load();
  EXPECT_EQ(result, "EWinsockDLLError: Function WSAAsyncSelect not found");

  winsock.Unload();
  EXPECT_EQ(Failure([&] { client.Transmit(); }), "EWinsockDLLError: Winsock is not loaded");
  client.SetWinsockLoaded(true);  // the mailer does this before every delivery
  EXPECT_EQ(Failure([&] { client.Transmit(); }), "ok");
}

}  // namespace
