// A build without a TLS library (Windows): a relay whose settings ask for TLS is refused before
// anything is sent, so no session is ever made, and a login, which needs TLS, never happens.
#include "net/SmtpAuth.h"
#include "net/TlsSession.h"

namespace net {

namespace {

[[noreturn]] void NotBuiltIn(const std::string& host) {
  throw ETlsError("TLS: TLS is not built into this Larkpost (" + host + ")");
}

}  // namespace

bool TlsAvailable() { return false; }

struct TTlsSession::TImpl {
  std::string host;
};

TTlsSession::TTlsSession(const TTlsOptions& options) { NotBuiltIn(options.Host); }
TTlsSession::~TTlsSession() = default;
bool TTlsSession::Handshake() { NotBuiltIn(impl_->host); }
void TTlsSession::Feed(const char*, size_t) { NotBuiltIn(impl_->host); }
bool TTlsSession::HasOutput() const { return false; }
std::string TTlsSession::TakeOutput() { return ""; }
void TTlsSession::Write(const char*, size_t) { NotBuiltIn(impl_->host); }
int TTlsSession::Read(char*, size_t) { NotBuiltIn(impl_->host); }
bool TTlsSession::HasPlaintext() const { return false; }
void TTlsSession::Close() {}
std::string TTlsSession::Description() const { return ""; }

std::string AuthCramMD5Response(std::string_view, std::string_view, std::string_view) {
  throw ESocketError("CRAM-MD5: a login needs TLS, which is not built into this Larkpost");
}

}  // namespace net
