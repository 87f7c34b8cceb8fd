#include "net/TlsSession.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <future>
#include <vector>

#include "net/SmtpAuth.h"
#include "testing/TempDir.h"

namespace {

// The relay is an OpenSSL server in memory, its bytes carried to and from the session by hand.
class TlsSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new testing_support::TempDir;
    const std::string make = "/usr/bin/python3 " LARKPOST_TLS_FIXTURE " " + certificates_->Path();
    ASSERT_EQ(std::system((make + " >/dev/null").c_str()), 0) << make;
  }
  static void TearDownTestSuite() { delete certificates_; }
  static std::string Path(const std::string& name) { return *certificates_ / name; }

  // The failure of setting up the session and its handshake with a relay showing certificate
  // (empty: a relay that greets in plain text); empty when the handshake is done.
  std::string Connect(const net::TTlsOptions& options, const std::string& certificate,
                      int maxVersion) {
    relay_.reset();
    if (!certificate.empty()) {
      SSL_CTX* context = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate_chain_file(context, Path(certificate + ".pem").c_str());
      SSL_CTX_use_PrivateKey_file(context, Path(certificate + ".key").c_str(), SSL_FILETYPE_PEM);
      SSL_CTX_set_security_level(context, 0);
      if (maxVersion != 0) SSL_CTX_set_max_proto_version(context, maxVersion);
      relay_.reset(SSL_new(context));
      SSL_CTX_free(context);
      BIO *inside = nullptr, *wire = nullptr;
      BIO_new_bio_pair(&inside, 0, &wire, 0);
      wire_.reset(wire);
      SSL_set_bio(relay_.get(), inside, inside);
      SSL_set_accept_state(relay_.get());
    }
    try {
      session_ = std::make_unique<net::TTlsSession>(options);
      if (!relay_) session_->Feed("220 relay ESMTP ready\r\n", 23);
      for (int round = 0; round < 8; ++round) {
        if (session_->Handshake()) return "";
        if (!relay_) break;
        ToRelay();
        if (SSL_do_handshake(relay_.get()) < 0) ERR_clear_error();
        FromRelay();
      }
      return "the handshake does not end";
    } catch (const net::ETlsError& error) {
      return error.Message();
    }
  }
  void ToRelay() {
    const std::string bytes = session_->TakeOutput();
    BIO_write(wire_.get(), bytes.data(), static_cast<int>(bytes.size()));
  }
  void FromRelay() {
    char buffer[16384];
    for (int got; (got = BIO_read(wire_.get(), buffer, sizeof buffer)) > 0;)
      session_->Feed(buffer, got);
  }
  std::string Read() {
    char buffer[64];
    const int got = session_->Read(buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, got) : std::to_string(got);
  }

  static inline testing_support::TempDir* certificates_ = nullptr;
  std::unique_ptr<net::TTlsSession> session_;
  std::unique_ptr<SSL, decltype(&SSL_free)> relay_{nullptr, SSL_free};
  std::unique_ptr<BIO, decltype(&BIO_free)> wire_{nullptr, BIO_free};  // the relay's network
};

TEST_F(TlsSessionTest, HandshakesVerifyTheRelayAndCarryDataBothWays) {
  const std::string verifyFailed = "TLS: certificate verify failed: ";
  struct Case {
    std::string certificate;
    const char* host;
    bool verify;
    std::string failure;  // empty: the handshake is done
    std::string caFile = Path("ca.pem");
    int maxVersion = 0;
  } cases[] = {
      {"server", "localhost", true, ""},
      {"server", "127.0.0.1", true, ""},
      {"server", "::1", true, ""},
      {"wrong_host", "localhost", true, verifyFailed + "hostname mismatch (localhost)"},
      {"server", "127.0.0.2", true, verifyFailed + "IP address mismatch (127.0.0.2)"},
      {"self_signed", "localhost", true, verifyFailed + "self-signed certificate (localhost)"},
      {"self_signed", "localhost", false, ""},
      {"wrong_host", "localhost", false, ""},
      {"server", "localhost", true,
       "TLS: tlsv1 alert protocol version: the relay offers no TLS version from 1.2 up (localhost)",
       Path("ca.pem"), TLS1_1_VERSION},
      {"", "localhost", true, "TLS: the relay's reply is not TLS (localhost)"},
      {"server", "localhost", true,
       "TLS: cannot read the trusted authorities in " + Path("none.pem") +
           ": No such file or directory (localhost)",
       Path("none.pem")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.certificate + " as " + c.host);
    ASSERT_EQ(Connect({c.host, c.verify, c.caFile}, c.certificate, c.maxVersion), c.failure);
    EXPECT_EQ(ERR_peek_error(), 0u);  // nothing left to show in another session's failure
    if (!c.failure.empty()) continue;
    EXPECT_STREQ(SSL_get_servername(relay_.get(), TLSEXT_NAMETYPE_host_name),
                 std::string(c.host) == "localhost" ? c.host : nullptr);  // no SNI for addresses
    EXPECT_EQ(session_->Description().rfind("TLSv1.3 TLS_", 0), 0u) << session_->Description();
    session_->Write("EHLO client\r\n", 13);
    ToRelay();
    char buffer[64];
    ASSERT_EQ(SSL_read(relay_.get(), buffer, sizeof buffer), 13);
    EXPECT_EQ(std::string(buffer, 13), "EHLO client\r\n");
    // Two records arrive at once: the second must not wait for more input from the relay.
    SSL_write(relay_.get(), "250-relay\r\n", 11);
    SSL_write(relay_.get(), "250 AUTH PLAIN\r\n", 16);
    SSL_shutdown(relay_.get());
    FromRelay();
    EXPECT_EQ(Read(), "250-relay\r\n");
    EXPECT_TRUE(session_->HasPlaintext());
    EXPECT_EQ(Read(), "250 AUTH PLAIN\r\n");
    EXPECT_TRUE(session_->HasPlaintext());
    EXPECT_EQ(Read(), "-1");  // close_notify
    session_->Close();
    ToRelay();
    EXPECT_EQ(SSL_read(relay_.get(), buffer, sizeof buffer), 0);  // close_notify
  }
}

TEST_F(TlsSessionTest, SessionsOnManyThreadsShareTheirContext) {
  std::vector<std::future<std::string>> clientHellos;
  for (int i = 0; i < 8; ++i) {
    clientHellos.push_back(std::async(std::launch::async, [] {
      net::TTlsSession session({"localhost", true, Path("server.pem")});
      return session.Handshake() ? "" : session.TakeOutput();
    }));
  }
  for (auto& hello : clientHellos) EXPECT_EQ(hello.get()[0], 22);  // a handshake record
}

TEST(SmtpAuthTest, TheRelaysOfferAndTheChoice) {
  struct Case {
    const char* reply;
    std::vector<std::string> offered;
    const char* choice;  // the mechanism, or the failure's text
  } cases[] = {
      {"250-relay\r\n250-auth login Plain\r\n250 SIZE 100\r\n", {"LOGIN", "PLAIN"}, "PLAIN"},
      {"250-AUTH=LOGIN\r\n250-AUTH CRAM-MD5 LOGIN\r\n250 OK", {"LOGIN", "CRAM-MD5"}, "LOGIN"},
      {"250-AUTH GSSAPI CRAM-MD5\n250 HELP", {"GSSAPI", "CRAM-MD5"}, "CRAM-MD5"},
      {"AUTH XOAUTH2",
       {"XOAUTH2"},
       "the relay offers none of the AUTH mechanisms PLAIN, LOGIN and CRAM-MD5 (it offers "
       "XOAUTH2)"},
      {"250-AUTHORITY PLAIN\r\n250 AUTH\r\n", {}, "the relay does not offer AUTH"},
  };
  for (const auto& c : cases) {
    const auto offered = net::OfferedAuthMechanisms(c.reply);
    EXPECT_EQ(offered, c.offered) << c.reply;
    try {
      EXPECT_STREQ(net::AuthMechanismName(net::ChooseAuthMechanism(offered)), c.choice);
    } catch (const net::EServerError& error) {
      EXPECT_STREQ(error.what(), c.choice);
    }
  }
}

TEST(SmtpAuthTest, Responses) {
  EXPECT_EQ(net::AuthPlainResponse("tim", "tanstaaftanstaaf"), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
  EXPECT_EQ(net::AuthCramMD5Response("tim", "tanstaaftanstaaf",
                                     "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
            "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
  // Longer than one Base64 line: nothing is cut.
  EXPECT_EQ(net::AuthLoginResponse(std::string(200, 'u')).substr(264), "dXU=");
}

}  // namespace
