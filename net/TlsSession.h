// TTlsSession: the client side of one TLS connection to a relay, working on memory only. The
// socket component moves the ciphertext between the session and the relay with its own
// non-blocking I/O and message-pump waits, so TLS adds no wait of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "net/agsocket.h"

namespace net {

// Every text starts "TLS: " and ends with the relay's name in parentheses.
RTL_EXCEPTION_CLASS(ETlsError, ESocketError);

// Whether this build has TLS (the Windows build has none: a relay that needs it is not tried).
bool TlsAvailable();

struct TTlsOptions {
  std::string Host;  // the relay's name (or IP literal without brackets): SNI and the name checked
  bool Verify = true;  // chain to the trusted authorities and match Host; false: any certificate
  std::string CAFile;  // trusted authorities instead of the system's (empty: the system's)
};

class TTlsSession {
 public:
  // ETlsError when the session cannot be set up (the trusted authorities cannot be read).
  explicit TTlsSession(const TTlsOptions& options);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // True once the handshake is done; false while it needs more input (Feed) or has output to
  // send (TakeOutput). ETlsError with the reason when it fails.
  bool Handshake();
  // Ciphertext received from the relay.
  void Feed(const char* data, size_t size);
  bool HasOutput() const;
  // The ciphertext to send, handed over to the caller.
  std::string TakeOutput();
  // Plaintext to send; its ciphertext joins the output.
  void Write(const char* data, size_t size);
  // Plaintext received: the number of bytes (>0), 0 when it needs more input, -1 when the relay
  // ended TLS (close_notify).
  int Read(char* buffer, size_t size);
  // Read would return without more input: bytes, the end of TLS or a failure.
  bool HasPlaintext() const;
  // Puts close_notify into the output.
  void Close();
  // The protocol and cipher agreed, for the log ("TLSv1.3 TLS_AES_256_GCM_SHA384"); empty
  // before the handshake is done.
  std::string Description() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace net
