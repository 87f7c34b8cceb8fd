// TOpenSsl: the OpenSSL functions the TLS layer and CRAM-MD5 use, bound by name the first time a
// relay needs one of them. Loading the libraries costs a process more than the rest of its start,
// so a process that never speaks TLS (most `larkq` runs, a service whose relays are plain) never
// loads them.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace net {

#define LARKPOST_OPENSSL_FUNCTIONS(X) \
  X(TLS_client_method)                \
  X(SSL_CTX_new)                      \
  X(SSL_CTX_free)                     \
  X(SSL_CTX_ctrl)                     \
  X(SSL_CTX_set_options)              \
  X(SSL_CTX_set_verify)               \
  X(SSL_CTX_set_default_verify_paths) \
  X(SSL_CTX_load_verify_file)         \
  X(SSL_new)                          \
  X(SSL_free)                         \
  X(SSL_ctrl)                         \
  X(SSL_set_bio)                      \
  X(SSL_set_connect_state)            \
  X(SSL_get0_param)                   \
  X(SSL_set1_host)                    \
  X(SSL_do_handshake)                 \
  X(SSL_write_ex)                     \
  X(SSL_read_ex)                      \
  X(SSL_peek_ex)                      \
  X(SSL_pending)                      \
  X(SSL_shutdown)                     \
  X(SSL_get_error)                    \
  X(SSL_get_verify_result)            \
  X(SSL_get_version)                  \
  X(SSL_get_current_cipher)           \
  X(SSL_CIPHER_get_name)              \
  X(ERR_peek_error)                   \
  X(ERR_clear_error)                  \
  X(ERR_reason_error_string)          \
  X(ERR_error_string_n)               \
  X(X509_verify_cert_error_string)    \
  X(X509_VERIFY_PARAM_set1_ip)        \
  X(a2i_IPADDRESS)                    \
  X(ASN1_OCTET_STRING_free)           \
  X(BIO_new)                          \
  X(BIO_s_mem)                        \
  X(BIO_free)                         \
  X(BIO_ctrl)                         \
  X(BIO_ctrl_pending)                 \
  X(BIO_read)                         \
  X(BIO_write)                        \
  X(EVP_md5)                          \
  X(HMAC)

struct TOpenSsl {
#define LARKPOST_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
  LARKPOST_OPENSSL_FUNCTIONS(LARKPOST_OPENSSL_MEMBER)
#undef LARKPOST_OPENSSL_MEMBER
};

// The bound functions, loaded on the first call and kept for the life of the process. Raises
// ESocketError "OpenSSL cannot be loaded: ..." naming the library or function that is missing;
// a later call tries again.
const TOpenSsl& OpenSsl();

}  // namespace net
