// A receive that waits in the socket itself (POSIX only). A wait for readability followed by a
// receive costs two system calls per answer; a receive that blocks until the answer is there
// costs one. The latch still ends it at once: the receive asks the latch to shut its socket down
// for reading when triggered (TWaitInterrupt::Watch), which wakes the blocked call.
//
// The wait's bound is the socket's receive time-out (SO_RCVTIMEO), set only when it differs from
// what the socket has; the kernel counts it in clock ticks, so a wait may run a few milliseconds
// past its bound, never short of it. Where the latch cannot watch the socket, the receive falls
// back to waiting for readability first.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace qorvin {

class TWaitInterrupt;

struct TReceived {
  ssize_t size = 0;        // what recvfrom returned, when neither flag is set
  bool timedOut = false;   // nothing arrived within the bound
  bool cancelled = false;  // the latch ended the receive; the socket may no longer receive
};

// Receives once from `fd` (recvfrom with `flags`, `from` and `fromLength` may be null), waiting
// at most `timeoutMs` (kWaitForever: without limit; 0: only what is there). `socketTimeoutMs` is
// the receive time-out the socket has now (kWaitForever for a new socket) and is kept up to date.
// Interrupted calls are repeated; on a datagram socket, `datagram`, the refusal an earlier send
// drew is skipped. Other failures raise EIdSocketError.
TReceived ReceiveWaiting(int fd, void* data, size_t size, int flags, sockaddr* from,
                         socklen_t* fromLength, int timeoutMs, const TWaitInterrupt* interrupt,
                         int& socketTimeoutMs, bool datagram);

}  // namespace qorvin
