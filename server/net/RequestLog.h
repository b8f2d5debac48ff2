// One line per request on a stream (stderr by default):
//
//   2024-05-01 12:00:00.123 TCP 127.0.0.1:53412 ExecSqlService.SynchReadData in=123 out=4567 5ms ok
//
// and one line per notable transport event (a refused connection, a dropped datagram, a reply
// that could not be sent). In the JSON format each line is one JSON object (JSON Lines):
//
//   {"time":"2024-05-01T12:00:00.123Z","transport":"TCP","peer":"127.0.0.1:53412",
//    "request":"ExecSqlService.SynchReadData user=u1","in":123,"out":4567,"ms":5.021,"ok":true}
//   {"time":"...","transport":"UDP","peer":"...","event":"datagram of 3 bytes dropped"}
//
// Every request is also handed to the observer, when one is set (the metrics), whether or not
// lines are written. Thread-safe: lines never interleave.
//
// Order: a request's line is written when its reply is handed to the transport, before any of it
// is sent. A client that has received its reply therefore finds the line in the log already, and
// the lines of one client's consecutive calls appear in the order of the calls. The time is the
// server's time from the request's arrival to its reply being ready.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>

#include "server/net/Dispatcher.h"

namespace qorvin::server {

enum class LogFormat { Text, Json };

// Sees every request the transports answered. Called on I/O threads, concurrently.
class IRequestObserver {
 public:
  virtual ~IRequestObserver() = default;
  // `operation`: DispatchReply::operation (-1: none; then `summary` tells what it was).
  virtual void Request(const char* transport, int operation, const std::string& summary,
                       size_t bytesIn, size_t bytesOut, std::chrono::steady_clock::duration took,
                       bool failed) = 0;
  // A client turned away before a request was read (`reason`: "not-allowed", ...).
  virtual void Refused(const char* /*transport*/, const char* /*reason*/) {}
};

class RequestLog {
 public:
  // `out` null: nothing is logged.
  explicit RequestLog(std::ostream* out, LogFormat format = LogFormat::Text)
      : out_(out), format_(format) {}

  // Before the transports start; `observer` outlives them.
  void SetObserver(IRequestObserver* observer) { observer_ = observer; }
  // Lines go to `out` from now on (null: nowhere); a line being written finishes first, so the
  // caller may close the stream used before once this returns.
  void Redirect(std::ostream* out);

  // One answered request. JSON lines carry time, level ("info", "error" when it failed),
  // transport, peer, operation, user, http_user, request (the text line's summary), in, out,
  // ms, ok, outcome ("ok", "failed") and error.
  void Request(const char* transport, const std::string& peer, const DispatchReply& reply,
               size_t bytesIn, size_t bytesOut, std::chrono::steady_clock::duration took);
  // `level`: "info", "warning" or "error" (JSON lines carry it; text lines do not).
  void Event(const char* transport, const std::string& peer, const std::string& what,
             const char* level = "info");
  // A client turned away: counted by the observer; `what` is logged as an event when `logLine`.
  void Refused(const char* transport, const std::string& peer, const char* reason,
               const std::string& what, bool logLine);

 private:
  void Line(const std::string& text);

  std::atomic<std::ostream*> out_;  // written under mutex_; read without it to skip work
  LogFormat format_;
  IRequestObserver* observer_ = nullptr;
  std::mutex mutex_;
};

}  // namespace qorvin::server
