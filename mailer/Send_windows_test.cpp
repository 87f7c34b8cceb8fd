// The Windows build has no TLS: a relay whose settings ask for it is never tried, and the
// attempt goes on to the next relay.
#include <gtest/gtest.h>

#include "mailer/SMTPCust.h"
#include "settings/RegSet.h"
#include "testing/FakeSmtpServer.h"
#include "testing/TempDir.h"

namespace {

TEST(SendWithoutTlsTest, ARelayThatNeedsTlsIsNeverTried) {
  testing_support::MachineRoot root;
  testing_support::FakeSmtpServer first, second;
  auto& relays = settings::Settings().Relays;
  for (auto security : {settings::TRelaySecurity::StartTls, settings::TRelaySecurity::Tls}) {
    relays[first.Address()].Security = security;
    mailer::TCustomMailer m;
    m.RemoteHost = first.Address() + ";" + second.Address();
    m.FromAddress = "shop@example.com";
    m.ToList.AddAddress("ann@example.org", "Ann");
    m.BodyLines.Add("Hello.");
    m.TimeOut = 5;
    ASSERT_TRUE(m.Send()) << m.LastResp;
    EXPECT_EQ(m.LastResp,
              "The relay's settings require TLS, which is not built into this Larkpost; nothing "
              "was sent");
    EXPECT_EQ(first.Connections(), 0);
  }
  EXPECT_EQ(second.Connections(), 2);
  relays.clear();
}

}  // namespace
