// A fault-injecting proxy between a module and a real qorvin-server, for the fault matrix.
//
// It listens on 127.0.0.1 on a port the system picks and relays one transport: TCP frames
// (connection letters 'B' and 'T'), HTTP ('H') or UDP datagrams ('U'). Unarmed it relays every
// exchange unchanged. Arm(fault) makes the next request seen (and only that one) suffer `fault`;
// the proxy is back to relaying when the exchange is over, so the next call of a module meets no
// fault.
//
// TCP and HTTP are relayed store-and-forward: the proxy reads a whole request (frame length or
// Content-Length), forwards it, reads the whole reply and hands it back, each according to the
// fault. Every connection of the client gets a connection of its own to the server, so a kept
// connection stays kept on both sides.
//
// Events: RequestsSeen() counts whole requests read from the client; FaultsApplied() counts
// faults carried out (for Reorder: when the held reply was let go). WaitApplied waits for them.
//
// Every wait is bounded: the loops poll in 20 ms steps and look at the stop flag; TCP connections
// are relayed for at most 60 s after the proxy started. The destructor stops and joins every thread
// and closes every socket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace qorvin::faults {

enum class Fault {
  None,
  Delay,             // the reply waits DelayMs before it is passed on
  DropRequest,       // the request never reaches the server (TCP: its connection stays open)
  CutRequest,        // TCP: half of the request reaches the server, then both connections close
  DropReply,         // the server runs the request; its reply is swallowed
  DuplicateRequest,  // UDP: the request datagram reaches the server twice
  DuplicateReply,    // the reply is passed on twice (TCP: both copies in one write)
  Reorder,           // UDP: the reply is held and sent just before the next reply
  Reset,             // TCP: the server's reply comes; the client's connection is reset instead
  Truncate,          // half of the reply is passed on, then the connection is closed (UDP: the
                     // datagram is cut to its ID and half of the rest)
  TruncateLate,      // all of the reply but its last byte is passed on, then the connection is
                     // closed (UDP: the datagram loses its last byte)
  Stall,             // TCP: half of the reply is passed on, then nothing, the connection open
  Drip,              // TCP: the reply is passed on one byte at a time, kDripMs apart
};

const char* FaultName(Fault fault);

class FaultProxy {
 public:
  static constexpr int kDelayMs = 200;
  static constexpr int kDripMs = 1;

  // Relays to 127.0.0.1:upstreamPort. `letter`: 'B' or 'T' frames, 'H' HTTP, 'U' UDP.
  FaultProxy(char letter, int upstreamPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int Port() const;
  void Arm(Fault fault);
  int RequestsSeen() const;
  int FaultsApplied() const;
  // Waits at most `timeoutMs` until FaultsApplied() >= count.
  bool WaitApplied(int count, int timeoutMs) const;

  class Impl;  // the transport's relay

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qorvin::faults
