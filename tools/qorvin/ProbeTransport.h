// The network half of `qorvin probe`, one file per platform: a socket bounded by a deadline,
// and one HTTP POST. Every failure is a ProbeFailure whose text says what went wrong.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tools/qorvin/Probe.h"

namespace qorvin::cli {

using ProbeClock = std::chrono::steady_clock;

class ProbeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Milliseconds until `deadline`, 0 when it has passed.
int MsLeft(ProbeClock::time_point deadline);

// Readies the network for probes on several threads (Winsock's start); called once before any
// probe starts.
void ProbeStartUp();

// A socket connected to the first address of the target that accepts (TCP), or bound to it
// (UDP); closed on destruction. Every operation ends by the deadline.
class ProbeSocket {
 public:
  ProbeSocket(const ProbeTarget& target, bool datagram, ProbeClock::time_point deadline);
  ~ProbeSocket();
  ProbeSocket(const ProbeSocket&) = delete;
  ProbeSocket& operator=(const ProbeSocket&) = delete;

  void SendAll(const std::string& bytes);
  // Exactly `count` bytes of the stream.
  std::string ReceiveExactly(size_t count);
  // The next datagram (at most 65536 bytes).
  std::string ReceiveDatagram();

 private:
  intptr_t socket_;
  ProbeClock::time_point deadline_;
};

// POSTs `body` to `url` with no proxy and returns the body of a status-200 answer; a longer
// body than `longest` bytes, another status or no answer by the deadline is a ProbeFailure.
std::string HttpProbePost(const std::string& url, const std::string& body, size_t longest,
                          ProbeClock::time_point deadline);

}  // namespace qorvin::cli
