// What the transports hand request bytes to. The transports know nothing of the protocol: they
// frame bytes in and out; the dispatcher turns one request into one reply.
#pragma once

#include <string>
#include <string_view>

namespace qorvin::server {

struct RequestInfo {
  const char* transport = "";  // "HTTP", "TCP" or "UDP"
  std::string peer;            // "address:port"
};

struct DispatchReply {
  std::string body;
  // The reply reports a failure (HTTP answers it with status 500 instead of 200).
  bool failed = false;
  // What the request was, for the log line ("ExecSqlService.SynchReadData", "probe", ...).
  std::string summary;
};

class IDispatcher {
 public:
  virtual ~IDispatcher() = default;
  // One request, one reply. Must not throw. Called on worker threads, concurrently.
  virtual DispatchReply Dispatch(std::string_view request, const RequestInfo& info) = 0;
  // The reply for a request that could not be taken in (too large, ...), explaining `reason`.
  // Must not throw.
  virtual DispatchReply Refuse(const std::string& reason, const RequestInfo& info) = 0;
};

}  // namespace qorvin::server
