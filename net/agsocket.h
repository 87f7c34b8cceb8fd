// TagSocket: a TCP client socket for line-oriented protocols. It resolves the server, finds the
// port, connects, sends lines and streams and reads reply lines, each step bounded by a time-out
// in seconds. It never blocks in Winsock: notifications arrive as messages to a hidden window of
// the component, and every wait pumps the calling thread's messages until a flag, the time-out
// or a cancel ends it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "maillib/TimeCounter.h"
#include "rtl/Exception.h"
#include "rtl/HiddenWindow.h"
#include "rtl/Streams.h"
#include "winapi/winapi.h"

namespace net {

class TTlsSession;
struct TTlsOptions;

RTL_EXCEPTION_CLASS(ESocketError, rtl::Exception);
RTL_EXCEPTION_CLASS(EServerError, rtl::Exception);
RTL_EXCEPTION_CLASS(ECanceledError, rtl::Exception);
RTL_EXCEPTION_CLASS(ETimedOutError, rtl::Exception);

inline constexpr UINT kServiceLookupMessage = 1173;
inline constexpr UINT kSocketEventMessage = 1174;

// The local host name, fetched once for the process; empty when it could not be had.
const std::string& CachedHostName();

// The host and the port text of a Server value: host, host:port, [IPv6]:port, [IPv6], or an IPv6
// literal without brackets (more than one colon, no port).
void SplitServer(const std::string& server, std::string& host, std::string& port);

class TagSocket {
 public:
  TagSocket();
  // Cancels a look-up still running and closes a socket still open.
  virtual ~TagSocket();
  TagSocket(const TagSocket&) = delete;
  TagSocket& operator=(const TagSocket&) = delete;

  std::string Server;  // a name or an address, optionally with a port (SplitServer)
  uint16_t DefaultPort = 0;
  std::string ServiceName;
  bool CloseOnTimeOutError = true;
  bool SuppressBody = true;  // stored only
  SOCKET SocketHandle = INVALID_SOCKET;
  std::string RemoteAddress;  // the address connected to, or last tried, as text
  uint16_t RemotePort = 0;    // host order
  std::string LocalHostName;
  std::string LastReply;
  // Every line of the last reply, LastReply the last of them.
  std::vector<std::string> ReplyLines;

  int TimeOut() const { return counter_.TimeOut; }
  void SetTimeOut(int seconds) { counter_.TimeOut = seconds; }
  bool WinsockLoaded() const;
  void SetWinsockLoaded(bool loaded);
  bool IsConnected() const { return SocketHandle != INVALID_SOCKET; }
  // The server has closed its side of the connection.
  bool PeerClosed() const { return closed_; }

  virtual void ResetState();
  // The first three characters as a decimal number; -1 unless they are three decimal digits.
  virtual int ReplyCode(const std::string& line) const;
  virtual void Open();
  virtual void Close();
  virtual void Cancel();

  void ConnectSocket();
  // One reply line without its line end; returns its code (-1 when the server closed).
  int ReadLine(std::string& line);
  // A whole reply, continuation lines included; returns the first line's code, and LastReply
  // holds the last line read. A reply that lasts longer than four times the time-out, or runs
  // past 1000 lines, closes the socket and raises ETimedOutError.
  int ReadReply();
  void SendLine(const std::string& text);
  // Sends the stream from its start, then tail, with the stream's last block when it is short.
  void SendStream(rtl::TStream& stream, std::string_view tail = {});
  // Turns the connection into a TLS one: the handshake, as a whole bounded by the time-out, after
  // which every line and stream goes through TLS until the socket closes. A failed handshake
  // raises ESocketError with TLS's reason and closes the socket, so nothing is sent in the clear.
  void StartTls(const TTlsOptions& options);
  bool TlsActive() const { return tls_ != nullptr; }
  // The protocol and cipher of the TLS connection, empty without one.
  std::string TlsDescription() const;

  // Raises ESocketError with the code's text (nothing for code 0).
  void RaiseSocketError(int code);
  [[noreturn]] void RaiseTimedOut();
  [[noreturn]] void RaiseCanceled();

 protected:
  void FetchLocalHostName();
  void ResolveHost();
  void ResolvePort();
  void CreateSocket();

 private:
  void HandleMessage(rtl::TMessage& message);
  // Pumps the thread's messages until done() holds, or a cancel, or the time-out.
  template <class Done>
  void WaitUntil(Done done, DWORD ms);
  // Waits at most ms, less when a message or the socket's readiness comes first.
  static void Nap(DWORD ms);
  void CancelLookup();
  // Makes a socket for family, first dropping what the last one left queued.
  SOCKET NewSocket(int family);
  // One receive of up to size bytes, through TLS when it is on: the byte count, 0 when the server
  // closed, SOCKET_ERROR with error set (WSAEWOULDBLOCK: nothing yet).
  int Receive(char* buffer, int size, int& error);
  // The same from the socket itself, beneath TLS.
  int ReceiveRaw(char* buffer, int size, int& error);
  // Sends every byte (through TLS when it is on); the time-out limits the time without progress.
  void SendBytes(const char* data, size_t size);
  void SendRaw(const char* data, size_t size);
  void SendTlsOutput();
  bool TlsPending() const;
  void LookUp(const std::string& host);
  bool Expired() const { return counter_.TimedOut || replyCounter_.TimedOut; }
  bool Stopped() const { return canceled_ || Expired(); }

  maillib::TTimeCounter counter_;
  maillib::TTimeCounter replyCounter_;  // the allowance of one reply, or a handshake, as a whole
  HWND window_;
  WSADATA wsaData_{};
  int startupCount_ = 0;
  HANDLE pendingRequest_ = nullptr;
  HANDLE lookupHandle_ = nullptr;
  std::vector<SOCKADDR_STORAGE> addresses_;  // every address of the server, in the order to try
  bool canceled_ = false;
  bool serviceLookupDone_ = false;
  bool connected_ = false;
  bool readable_ = false;
  bool writable_ = false;
  bool closed_ = false;
  bool notificationError_ = false;
  int errorCode_ = 0;
  std::unique_ptr<TTlsSession> tls_;
  alignas(8) char lookupBuffer_[MAXGETHOSTSTRUCT] = {};
};

}  // namespace net
