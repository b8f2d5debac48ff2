// The server's metrics, read by "GET /metrics" on the HTTP port in the Prometheus text format
// (prometheus-cpp's registry and serializer):
//
//   qorvin_requests_total{operation,transport,outcome}      counter
//   qorvin_request_duration_seconds{operation}               histogram, 0.5 ms .. 10 s
//   qorvin_received_bytes_total{transport}                   counter, request bytes
//   qorvin_sent_bytes_total{transport}                       counter, reply bytes
//   qorvin_open_connections                                  gauge, TCP and HTTP connections
//   qorvin_db_sessions_in_use{service}                       gauge, leased database sessions
//   qorvin_refused_total{transport,reason}                   counter, clients and requests
//                                                            turned away: reason "not-allowed"
//                                                            (the allow list),
//                                                            "too-many-connections" or
//                                                            "too-many-requests" (per address)
//
// operation is "Service.Operation" for the operations the server knows, "probe", "metrics", or
// "other" (anything else: unknown operations, malformed or refused requests, other HTTP paths),
// so that no request can add a label value of its own choosing. transport is "http", "tcp" or
// "udp"; outcome "ok" or "error" (the reply reports a failure).
//
// Thread-safe: Request is called by the transports' threads, Page by an I/O thread. A request of
// a numbered operation costs a few atomic loads and the metrics' own atomic updates: the series
// it touches are looked up once, on first use, and kept.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/net/RequestLog.h"

namespace prometheus {
class Registry;
template <typename T>
class Family;
class Counter;
class Gauge;
class Histogram;
}  // namespace prometheus

namespace qorvin::server {

struct MetricsSources {
  // Whether "Service.Operation" is an operation the server knows.
  std::function<bool(const std::string&)> knownOperation;
  // "Service.Operation" by the number a request's `operation` gives (ServiceHost::Operations()).
  std::vector<std::string> operations;
  std::function<int()> openConnections;
  // (service, sessions in use) for every pooled service.
  std::function<std::vector<std::pair<std::string, int>>()> sessionsInUse;
};

class ServerMetrics : public IRequestObserver {
 public:
  explicit ServerMetrics(MetricsSources sources);
  ~ServerMetrics() override;

  void Request(const char* transport, int operation, const std::string& summary, size_t bytesIn,
               size_t bytesOut, std::chrono::steady_clock::duration took, bool failed) override;
  void Refused(const char* transport, const char* reason) override;

  // The current values, as the body of "GET /metrics".
  std::string Page();

  // The operation label of a request's log summary (see above).
  std::string OperationLabel(const std::string& summary) const;

 private:
  MetricsSources sources_;
  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Counter>& requests_;
  prometheus::Family<prometheus::Histogram>& duration_;
  prometheus::Family<prometheus::Counter>& received_;
  prometheus::Family<prometheus::Counter>& sent_;
  prometheus::Family<prometheus::Gauge>& connections_;
  prometheus::Family<prometheus::Gauge>& sessions_;
  prometheus::Family<prometheus::Counter>& refused_;

  // The series of one numbered operation (by transport and outcome), kept once looked up.
  struct OperationSeries {
    std::atomic<prometheus::Counter*> requests[3][2] = {};
    std::atomic<prometheus::Histogram*> duration{nullptr};
  };
  std::unique_ptr<OperationSeries[]> operationSeries_;  // one per sources_.operations
  std::atomic<prometheus::Counter*> receivedSeries_[3] = {};
  std::atomic<prometheus::Counter*> sentSeries_[3] = {};
};

}  // namespace qorvin::server
