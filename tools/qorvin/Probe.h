// `qorvin probe`: each server probed through the client library, as a host's probing does
// (IQorvinServers::ProbeServer): the request "PROBE" over the server's own transport, with the
// same framing and headers as every call of the library, answered by a live server with exactly
// "PROBEDOK". One module per server (of its letter); several probes run at once, each wait
// bounded by the time-out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorvin::cli {

class ClientLibrary;

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

// Probes every target at once, each wait bounded by `timeoutMs`; results in the order of
// `targets`.
std::vector<ProbeResult> ProbeAll(ClientLibrary& library, const std::vector<ProbeTarget>& targets,
                                  int timeoutMs);

// One line per result ("t://host:8090 PROBEDOK 0.42 ms"; "... failed 5000.1 ms: <why>"),
// or JSON Lines, or CSV with a header, as --format asks ("table", "json", "csv").
std::string RenderProbes(const std::vector<ProbeResult>& results, const std::string& format,
                         char delimiter = ',');

}  // namespace qorvin::cli
