#include "net/agsocket.h"

#include <gtest/gtest.h>

#include "net/SocketTexts.h"
#include "testing/FakeSmtpServer.h"

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
  } cases[] = {{"relay:2525", 2525},
               {"relay:0", 25},
               {"relay:abc", 25},
               {"relay", 25},
               {"relay:65561", 25}};  // the low 16 bits of 65561 are 25
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

TEST(SocketTest, ReplyCodesAndErrorTexts) {
  net::TagSocket socket;
  EXPECT_EQ(socket.ReplyCode("250 ok"), 250);
  EXPECT_EQ(socket.ReplyCode("25"), -1);
  EXPECT_EQ(socket.ReplyCode("abc"), -1);
  EXPECT_EQ(net::SocketErrorText(10101), "Error #10101");
  EXPECT_EQ(net::SocketErrorText(10000), "[0] No Error");
  EXPECT_EQ(net::SocketErrorText(57102), "MailMessage property must be assigned");
  EXPECT_NO_THROW(socket.RaiseSocketError(0));
}

}  // namespace
