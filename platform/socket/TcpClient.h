// A thin blocking TCP client: resolve, connect with a bounded wait, send all bytes, receive
// exactly n bytes or some bytes, wait for readability with a bound, close.
//
// It knows nothing of any protocol. Failures are exceptions of platform/socket/SocketErrors.h:
// operating-system errors become EIdSocketError, an orderly close by the peer while bytes are
// still expected EIdConnClosedGracefully, use without a connection EIdNotConnected, and a wait
// that runs out EIdConnectTimeout / EIdReadTimeout. After any failure other than a time-out of
// `WaitReadable`, the connection should be closed by the caller; the client never closes it on
// its own except in `Connect`, which leaves no half-open socket behind.
//
// Time-outs are in milliseconds; kWaitForever (-1) waits without limit. Receive and send
// time-outs bound each single wait for the socket, so a peer that keeps delivering bytes is never
// cut off, while a peer that stalls is noticed after one time-out.
//
// Interruption: with a latch set (SetInterrupt), a triggered latch ends Connect, SendAll,
// ReceiveExactly, ReceiveSome, AwaitSome and WaitReadable at once with EIdCancelled "The call was
// cancelled."; the connection should then be closed like after any other failure.
//
// Thread: one client is used by one thread at a time; only the latch is triggered from another
// thread. SIGPIPE is never raised (sends use
// MSG_NOSIGNAL). The destructor closes the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket/SocketHandle.h"

namespace qorvin {

class TWaitInterrupt;

inline constexpr int kWaitForever = -1;

class TTcpClient {
 public:
  TTcpClient() = default;
  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  // Resolves `host` (name or dotted address) and connects to the first address that accepts,
  // waiting at most `timeoutMs` per address. Closes an open connection first.
  // Fails with EIdSocketError (kHostNotFoundCode when the name cannot be resolved, the last
  // address's error otherwise) or EIdConnectTimeout "Connect timed out after %d ms.".
  void Connect(const std::string& host, int port, int timeoutMs);
  // True while a socket is open; says nothing about whether the peer still listens.
  bool Connected() const { return fd_ != kNoSocket; }
  // Closes the socket; harmless when none is open.
  void Close();

  // Sets TCP_NODELAY (level IPPROTO_TCP, option 1) to 1 or 0. EIdSocketError on failure.
  void SetNoDelay(bool on);
  // Reads TCP_NODELAY back (for tests and diagnostics).
  bool NoDelay() const;

  // Sends every byte; each wait for room in the send buffer lasts at most `timeoutMs`.
  void SendAll(const void* data, size_t size, int timeoutMs);
  // Bytes handed to the platform by SendAll over the client's life (also by a SendAll that then
  // failed): tells whether anything of a message may have left.
  uint64_t BytesSent() const { return bytesSent_; }
  // Receives exactly `size` bytes. EIdConnClosedGracefully when the peer closes first,
  // EIdReadTimeout "Read timed out after %d ms." when one wait runs out.
  void ReceiveExactly(void* data, size_t size, int timeoutMs);
  // Receives between 1 and `size` bytes; 0 when the peer has closed the connection.
  size_t ReceiveSome(void* data, size_t size, int timeoutMs);
  // As ReceiveSome, for bytes that cannot be there yet (an answer to a request just sent): the
  // receive itself waits, where ReceiveSome tries first and then waits beside the latch.
  size_t AwaitSome(void* data, size_t size, int timeoutMs);
  // Waits until bytes (or the peer's close) can be read; false when `timeoutMs` ran out.
  bool WaitReadable(int timeoutMs) const;

  // The latch that ends this client's waits (null: none). It must outlive its use here.
  void SetInterrupt(const TWaitInterrupt* interrupt) { interrupt_ = interrupt; }

  // The peer's IP address in text form; empty when no socket is open.
  std::string PeerAddress() const;
  TSocketHandle Handle() const { return fd_; }

 private:
  void RequireConnected() const;

  TSocketHandle fd_ = kNoSocket;
  int receiveTimeoutMs_ = kWaitForever;  // the socket's own receive time-out (POSIX)
  uint64_t bytesSent_ = 0;
  const TWaitInterrupt* interrupt_ = nullptr;
};

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT). Returns false when `timeoutMs` ran
// out; retries after signals with the remaining time. EIdSocketError when the wait itself fails;
// EIdCancelled when `interrupt` (when not null) is or becomes triggered.
bool WaitForSocket(TSocketHandle fd, short events, int timeoutMs,
                   const TWaitInterrupt* interrupt = nullptr);

}  // namespace qorvin
