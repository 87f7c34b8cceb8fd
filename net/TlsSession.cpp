#include "net/TlsSession.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "net/OpenSsl.h"

namespace net {
namespace {

// The first byte a TLS server ever sends opens a handshake or an alert record; an SMTP
// greeting (a relay that expected STARTTLS, or plain SMTP on the TLS port) opens with a digit.
constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kAlertRecord = 21;

struct TSslFree {
  void operator()(SSL* ssl) const { OpenSsl().SSL_free(ssl); }
  void operator()(SSL_CTX* context) const { OpenSsl().SSL_CTX_free(context); }
  void operator()(ASN1_OCTET_STRING* address) const { OpenSsl().ASN1_OCTET_STRING_free(address); }
};

std::string Failure(const std::string& reason, const std::string& host) {
  return "TLS: " + reason + " (" + host + ")";
}

// The oldest error in the thread's queue is the one that failed the call. The queue is emptied
// so that it never shows in the failure of a later session on this thread.
std::string QueuedReason() {
  const unsigned long code = OpenSsl().ERR_peek_error();
  std::string reason;
  if (const char* text = OpenSsl().ERR_reason_error_string(code); text != nullptr) {
    reason = text;
  } else if (code != 0) {
    char buffer[256];
    OpenSsl().ERR_error_string_n(code, buffer, sizeof buffer);
    reason = buffer;
  } else {
    reason = "no reason given";
  }
  OpenSsl().ERR_clear_error();
  return reason;
}

void LoadAuthorities(SSL_CTX* context, const TTlsOptions& options) {
  if (options.CAFile.empty()) {
    if (OpenSsl().SSL_CTX_set_default_verify_paths(context) != 1) {
      throw ETlsError(
          Failure("cannot load the system's trusted authorities: " + QueuedReason(), options.Host));
    }
    return;
  }
  // OpenSSL's own report of an unreadable file is a chain of library errors; the system's
  // reason is what an administrator can act on.
  std::FILE* file = std::fopen(options.CAFile.c_str(), "r");
  if (file == nullptr) {
    throw ETlsError(Failure(
        "cannot read the trusted authorities in " + options.CAFile + ": " + std::strerror(errno),
        options.Host));
  }
  std::fclose(file);
  if (OpenSsl().SSL_CTX_load_verify_file(context, options.CAFile.c_str()) != 1) {
    throw ETlsError(
        Failure("no trusted authority certificate in " + options.CAFile + ": " + QueuedReason(),
                options.Host));
  }
}

// Loading the trusted authorities costs far more than a handshake, so every session with the
// same verification shares one context, made on first use and kept for the life of the process.
SSL_CTX* SharedContext(const TTlsOptions& options) {
  static auto* lock = new std::mutex;
  static auto* contexts = new std::map<std::pair<bool, std::string>, SSL_CTX*>;
  std::pair<bool, std::string> key{options.Verify, options.Verify ? options.CAFile : ""};
  std::lock_guard guard(*lock);
  if (auto found = contexts->find(key); found != contexts->end()) return found->second;
  OpenSsl().ERR_clear_error();
  std::unique_ptr<SSL_CTX, TSslFree> context(OpenSsl().SSL_CTX_new(OpenSsl().TLS_client_method()));
  if (!context || OpenSsl().SSL_CTX_ctrl(context.get(), SSL_CTRL_SET_MIN_PROTO_VERSION,
                                         TLS1_2_VERSION, nullptr) != 1) {
    throw ETlsError(Failure("cannot set up: " + QueuedReason(), options.Host));
  }
  // A renegotiation would ask for input in the middle of a write, which the socket component
  // never expects.
  OpenSsl().SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
  OpenSsl().SSL_CTX_set_verify(context.get(), options.Verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                               nullptr);
  if (options.Verify) LoadAuthorities(context.get(), options);
  contexts->emplace(std::move(key), context.get());
  return context.release();
}

bool WantsMore(int error) { return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE; }

}  // namespace

struct TTlsSession::TImpl {
  std::string host;
  std::unique_ptr<SSL, TSslFree> ssl;
  BIO* input = nullptr;   // owned by ssl
  BIO* output = nullptr;  // owned by ssl
  bool handshakeDone = false;
  bool anyInput = false;
  bool notTls = false;
  // A failed session stays failed: every later call reports the reason of the first failure.
  std::string failure;

  // The reason a call that returned result failed, in the words OpenSSL has for it.
  std::string Reason(int result) const {
    const int error = OpenSsl().SSL_get_error(ssl.get(), result);
    const unsigned long code = OpenSsl().ERR_peek_error();
    if (error != SSL_ERROR_SSL || code == 0) {
      OpenSsl().ERR_clear_error();
      return "the TLS connection failed (OpenSSL error " + std::to_string(error) + ")";
    }
    std::string reason = QueuedReason();
    if (ERR_GET_LIB(code) != ERR_LIB_SSL) return reason;
    switch (ERR_GET_REASON(code)) {
      case SSL_R_CERTIFICATE_VERIFY_FAILED:
        if (const long verify = OpenSsl().SSL_get_verify_result(ssl.get()); verify != X509_V_OK) {
          reason += ": ";
          reason += OpenSsl().X509_verify_cert_error_string(verify);
        }
        break;
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        reason += ": the relay offers no TLS version from 1.2 up";
        break;
    }
    return reason;
  }

  [[noreturn]] void Fail(const std::string& reason) {
    failure = Failure(reason, host);
    throw ETlsError(failure);
  }

  void Check() const {
    if (!failure.empty()) throw ETlsError(failure);
  }
};

bool TlsAvailable() { return true; }

TTlsSession::TTlsSession(const TTlsOptions& options) : impl_(std::make_unique<TImpl>()) {
  TImpl& s = *impl_;
  s.host = options.Host;
  try {
    OpenSsl();
  } catch (const ESocketError& e) {
    s.Fail(e.Message());
  }
  // Without a name to match, any certificate the authorities signed would pass.
  if (options.Verify && options.Host.empty())
    s.Fail("no relay name to check the certificate against");
  SSL_CTX* context = SharedContext(options);
  OpenSsl().ERR_clear_error();
  s.ssl.reset(OpenSsl().SSL_new(context));
  s.input = OpenSsl().BIO_new(OpenSsl().BIO_s_mem());
  s.output = OpenSsl().BIO_new(OpenSsl().BIO_s_mem());
  if (!s.ssl || s.input == nullptr || s.output == nullptr) {
    OpenSsl().BIO_free(s.input);
    OpenSsl().BIO_free(s.output);
    s.Fail("cannot set up: " + QueuedReason());
  }
  // An empty input is "more to come", never the end of the connection: the socket component
  // reports the relay's close itself.
  OpenSsl().BIO_ctrl(s.input, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
  OpenSsl().SSL_set_bio(s.ssl.get(), s.input, s.output);
  OpenSsl().SSL_set_connect_state(s.ssl.get());
  // An IP literal is matched against the certificate's IP addresses and sent without SNI,
  // which carries names only.
  std::unique_ptr<ASN1_OCTET_STRING, TSslFree> address(
      OpenSsl().a2i_IPADDRESS(options.Host.c_str()));
  OpenSsl().ERR_clear_error();
  const bool named = address ? OpenSsl().X509_VERIFY_PARAM_set1_ip(
                                   OpenSsl().SSL_get0_param(s.ssl.get()), address->data,
                                   static_cast<size_t>(address->length)) == 1
                             : OpenSsl().SSL_ctrl(s.ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME,
                                                  TLSEXT_NAMETYPE_host_name,
                                                  const_cast<char*>(options.Host.c_str())) == 1 &&
                                   OpenSsl().SSL_set1_host(s.ssl.get(), options.Host.c_str()) == 1;
  if (!named && options.Verify) s.Fail("cannot use the relay's name: " + QueuedReason());
  OpenSsl().ERR_clear_error();
}

TTlsSession::~TTlsSession() = default;

bool TTlsSession::Handshake() {
  TImpl& s = *impl_;
  s.Check();
  if (s.handshakeDone) return true;
  if (s.notTls) s.Fail("the relay's reply is not TLS");
  OpenSsl().ERR_clear_error();
  const int result = OpenSsl().SSL_do_handshake(s.ssl.get());
  if (result == 1) {
    s.handshakeDone = true;
    return true;
  }
  if (WantsMore(OpenSsl().SSL_get_error(s.ssl.get(), result))) {
    OpenSsl().ERR_clear_error();
    return false;
  }
  s.Fail(s.Reason(result));
}

void TTlsSession::Feed(const char* data, size_t size) {
  TImpl& s = *impl_;
  if (size == 0) return;
  if (!s.anyInput) {
    const auto first = static_cast<unsigned char>(data[0]);
    s.notTls = first != kHandshakeRecord && first != kAlertRecord;
    s.anyInput = true;
  }
  while (size > 0) {
    const int piece = static_cast<int>(std::min<size_t>(size, INT_MAX));
    if (OpenSsl().BIO_write(s.input, data, piece) != piece)
      s.Fail("cannot keep the relay's data: " + QueuedReason());
    data += piece;
    size -= static_cast<size_t>(piece);
  }
}

bool TTlsSession::HasOutput() const { return OpenSsl().BIO_ctrl_pending(impl_->output) > 0; }

std::string TTlsSession::TakeOutput() {
  std::string out(OpenSsl().BIO_ctrl_pending(impl_->output), '\0');
  if (!out.empty()) {
    const int got = OpenSsl().BIO_read(impl_->output, out.data(), static_cast<int>(out.size()));
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  return out;
}

void TTlsSession::Write(const char* data, size_t size) {
  TImpl& s = *impl_;
  s.Check();
  if (!s.handshakeDone) s.Fail("data to send before the handshake is done");
  while (size > 0) {
    OpenSsl().ERR_clear_error();
    size_t written = 0;
    const int result = OpenSsl().SSL_write_ex(s.ssl.get(), data, size, &written);
    if (result != 1) s.Fail(s.Reason(result));
    data += written;
    size -= written;
  }
}

int TTlsSession::Read(char* buffer, size_t size) {
  TImpl& s = *impl_;
  s.Check();
  if (!s.handshakeDone || size == 0) return 0;
  OpenSsl().ERR_clear_error();
  size_t got = 0;
  const int result =
      OpenSsl().SSL_read_ex(s.ssl.get(), buffer, std::min<size_t>(size, INT_MAX), &got);
  if (result == 1) return static_cast<int>(got);
  const int error = OpenSsl().SSL_get_error(s.ssl.get(), result);
  if (!WantsMore(error) && error != SSL_ERROR_ZERO_RETURN) s.Fail(s.Reason(result));
  OpenSsl().ERR_clear_error();
  return error == SSL_ERROR_ZERO_RETURN ? -1 : 0;
}

bool TTlsSession::HasPlaintext() const {
  TImpl& s = *impl_;
  if (!s.failure.empty()) return true;
  if (!s.handshakeDone) return false;
  if (OpenSsl().SSL_pending(s.ssl.get()) > 0) return true;
  // Records still waiting in the input hold plaintext only once decrypted: peeking decrypts
  // the next one without taking its bytes.
  OpenSsl().ERR_clear_error();
  char byte = 0;
  size_t got = 0;
  const int result = OpenSsl().SSL_peek_ex(s.ssl.get(), &byte, 1, &got);
  if (result == 1) return true;
  const int error = OpenSsl().SSL_get_error(s.ssl.get(), result);
  if (!WantsMore(error) && error != SSL_ERROR_ZERO_RETURN) {
    s.failure = Failure(s.Reason(result), s.host);  // for Read to report
  }
  OpenSsl().ERR_clear_error();
  return !WantsMore(error);
}

void TTlsSession::Close() {
  TImpl& s = *impl_;
  if (!s.handshakeDone || !s.failure.empty()) return;
  OpenSsl().ERR_clear_error();
  OpenSsl().SSL_shutdown(s.ssl.get());
  OpenSsl().ERR_clear_error();
}

std::string TTlsSession::Description() const {
  if (!impl_->handshakeDone) return "";
  return std::string(OpenSsl().SSL_get_version(impl_->ssl.get())) + " " +
         OpenSsl().SSL_CIPHER_get_name(OpenSsl().SSL_get_current_cipher(impl_->ssl.get()));
}

}  // namespace net
