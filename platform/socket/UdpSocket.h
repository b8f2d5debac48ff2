// A thin UDP socket: send one datagram to a host and port, wait a bounded time for one datagram
// and receive it with its sender's address and port.
//
// The socket is created at the first send or receive (IPv4, like the host it first sends to; an
// IPv6-only host makes it IPv6) and is never bound explicitly: the platform picks the local
// port at the first send. A send to a host with no address of the open socket's family closes
// it and opens one of the host's family (and a new local port). Until something was sent, nothing
// can arrive and a receive simply waits out its time.
//
// Failures: EIdSocketError for operating-system errors (and kHostNotFoundCode for names that do
// not resolve), EIdPackageSizeTooBig "Package Size Too Big." for a datagram larger than one UDP
// datagram can carry, EIdNotAllBytesSent "Not all bytes sent." when the platform took fewer
// bytes than offered.
//
// Interruption: with a latch set (SetInterrupt), a triggered latch ends ReceiveFrom at once with
// EIdCancelled "The call was cancelled." (see platform/socket/WaitInterrupt.h); the socket may
// be closed then (the next send or receive makes a new one).
//
// Thread: one socket is used by one thread at a time (callers that share it lock around it);
// only the latch is triggered from another thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/socket/SocketHandle.h"

namespace qorvin {

class TWaitInterrupt;
struct TSocketAddress;

// Largest payload of one UDP datagram over IPv4.
inline constexpr size_t kMaxUdpPayload = 65507;

struct TDatagramInfo {
  size_t size = 0;          // bytes stored in the buffer
  bool truncated = false;   // the datagram was larger than the buffer; the rest is lost
  std::string peerAddress;  // sender's IP address
  int peerPort = 0;         // sender's port
};

class TUdpSocket {
 public:
  TUdpSocket();
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Resolves `host` and sends `data` as one datagram to host:port. A name is resolved at every
  // call; on POSIX a numeric address only when it differs from the last one sent to.
  void SendTo(const std::string& host, int port, const void* data, size_t size);
  // Waits at most `timeoutMs` (kWaitForever: without limit) for one datagram and stores up to
  // `capacity` bytes of it in `buffer`. Returns false when nothing arrived in time.
  bool ReceiveFrom(void* buffer, size_t capacity, int timeoutMs, TDatagramInfo& info);
  // Closes the socket; the next send or receive creates a new one.
  void Close();
  bool Open() const { return fd_ != kNoSocket; }
  // The local port the platform picked; 0 before the first send (on Windows, where the socket is
  // bound when it is made, 0 before the first send or receive).
  int LocalPort() const;
  // The latch that ends this socket's waits (null: none). It must outlive its use here.
  void SetInterrupt(const TWaitInterrupt* interrupt) { interrupt_ = interrupt; }

 private:
  void EnsureSocket(int family);
  bool KeptTarget(const std::string& host, int port) const;
  void KeepTarget(const std::string& host, int port, const TSocketAddress& target);

  TSocketHandle fd_ = kNoSocket;
  int family_ = 0;
  int receiveTimeoutMs_ = -1;  // the socket's own receive time-out (POSIX; -1: none)
  const TWaitInterrupt* interrupt_ = nullptr;
  // The last target, when its host was a numeric address (keptPort_ -1: none); POSIX only.
  std::string keptHost_;
  int keptPort_ = -1;
  std::unique_ptr<TSocketAddress> keptTarget_;
};

}  // namespace qorvin
