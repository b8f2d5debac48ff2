// `qorvin probe`: the 5-byte request "PROBE" sent straight over a server's transport, answered
// by a live server with exactly the 8 bytes "PROBEDOK":
//
//   H  an HTTP POST of the bytes to http://HOST:PORT/Bin (libcurl; WinInet on Windows); the answer
//      is the body of a status-200 response
//   T, B  one TCP frame (4-byte big-endian length, then the bytes); the answer is the reply frame
//   U  one UDP datagram: a 38-character request id, then the bytes; the answer is the rest of
//      the datagram that comes back with the same id (others are ignored)
//
// Needs no client library. Every probe ends within its time-out; several run at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorvin::cli {

struct ProbeTarget {
  std::string url;  // as given, for the report
  char letter = 0;  // 'H', 'T', 'B' or 'U'
  std::string host;
  int32_t port = 0;
};

struct ProbeResult {
  ProbeTarget target;
  bool ok = false;    // the answer was exactly "PROBEDOK"
  double ms = 0;      // from the start (name lookup, connection) to the answer or the failure
  std::string error;  // why it failed
};

// Probes every target at once, each bounded by `timeoutMs`; results in the order of `targets`.
std::vector<ProbeResult> ProbeAll(const std::vector<ProbeTarget>& targets, int timeoutMs);

// One line per result ("t://host:8090 PROBEDOK 0.42 ms"; "... failed 5000.1 ms: <why>"),
// or JSON Lines, or CSV with a header, as --format asks ("table", "json", "csv").
std::string RenderProbes(const std::vector<ProbeResult>& results, const std::string& format);

}  // namespace qorvin::cli
