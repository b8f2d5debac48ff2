// What the transports hand request bytes to. The transports know nothing of the protocol: they
// frame bytes in and out; the dispatcher turns one request into one reply.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/net/HttpUsers.h"

namespace qorvin::server {

struct RequestInfo {
  RequestInfo() = default;
  RequestInfo(const char* t, std::string p, std::shared_ptr<const HttpUser> u = nullptr)
      : transport(t), peer(std::move(p)), user(std::move(u)) {}

  const char* transport = "";  // "HTTP", "TCP" or "UDP"
  std::string peer;            // "address:port"
  // The HTTP user whose credentials the request carried (null: none, or not HTTP).
  std::shared_ptr<const HttpUser> user;
};

struct DispatchReply {
  std::string body;
  // The reply reports a failure (HTTP answers it with status 500 instead of 200).
  bool failed = false;
  // What the request was, for the log line ("ExecSqlService.SynchReadData", "probe", ...).
  std::string summary;
  // The operation's number in the dispatcher's own list, when the request named one it knows
  // (what the metrics count it under without reading `summary`); -1 otherwise.
  int operation = -1;
  // For the JSON log's own fields: the operation's name ("ExecSqlService.SynchReadData"; empty
  // when the request named none), the user id the request named, the HTTP user it came as, and
  // the error text of a failed request.
  std::string operationName{};
  std::string user{};
  std::string httpUser{};
  std::string error{};
};

class IDispatcher {
 public:
  virtual ~IDispatcher() = default;
  // One request, one reply. Must not throw. Called on worker threads, concurrently, and on I/O
  // threads for the requests AtOnce accepts.
  virtual DispatchReply Dispatch(std::string_view request, const RequestInfo& info) = 0;
  // Whether `request` may be answered on the I/O thread that received it, without the hand-over
  // to a worker and back: only requests whose answer takes microseconds and never waits (no
  // database, no long lock). Looks at the bytes only; must itself be cheap and must not throw.
  // Anything else (and everything by default) runs on a worker, so a slow request never holds
  // up other connections' sockets.
  virtual bool AtOnce(std::string_view /*request*/) const { return false; }
  // The reply for a request that could not be taken in (too large, ...), explaining `reason`.
  // Must not throw.
  virtual DispatchReply Refuse(const std::string& reason, const RequestInfo& info) = 0;
};

}  // namespace qorvin::server
