#include "server/app/ServerMetrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cctype>
#include <sstream>
#include <string_view>

namespace qorvin::server {
namespace {

std::string Lower(const char* text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// Upper bounds of the duration buckets, in seconds.
const prometheus::Histogram::BucketBoundaries& DurationBuckets() {
  static const prometheus::Histogram::BucketBoundaries kBuckets = {
      0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
  return kBuckets;
}

// 0, 1, 2 for "HTTP", "TCP", "UDP"; -1 for anything else.
int TransportIndex(const char* transport) {
  const std::string_view t(transport);
  return t == "HTTP" ? 0 : t == "TCP" ? 1 : t == "UDP" ? 2 : -1;
}

const char* const kTransportLabels[3] = {"http", "tcp", "udp"};

// The metric in `slot`, made by `make` the first time. Families hand out the same metric for the
// same labels, so two threads making it at once keep the same one.
template <typename Metric, typename Make>
Metric& Kept(std::atomic<Metric*>& slot, Make make) {
  Metric* metric = slot.load(std::memory_order_acquire);
  if (metric == nullptr) {
    metric = &make();
    slot.store(metric, std::memory_order_release);
  }
  return *metric;
}

}  // namespace

ServerMetrics::ServerMetrics(MetricsSources sources)
    : sources_(std::move(sources)),
      registry_(std::make_shared<prometheus::Registry>()),
      requests_(prometheus::BuildCounter()
                    .Name("qorvin_requests_total")
                    .Help("Requests answered, by operation, transport and outcome.")
                    .Register(*registry_)),
      duration_(prometheus::BuildHistogram()
                    .Name("qorvin_request_duration_seconds")
                    .Help("Time from a complete request to its reply being ready, by operation.")
                    .Register(*registry_)),
      received_(prometheus::BuildCounter()
                    .Name("qorvin_received_bytes_total")
                    .Help("Bytes of requests received, by transport.")
                    .Register(*registry_)),
      sent_(prometheus::BuildCounter()
                .Name("qorvin_sent_bytes_total")
                .Help("Bytes of replies sent, by transport.")
                .Register(*registry_)),
      connections_(prometheus::BuildGauge()
                       .Name("qorvin_open_connections")
                       .Help("TCP and HTTP connections open.")
                       .Register(*registry_)),
      sessions_(prometheus::BuildGauge()
                    .Name("qorvin_db_sessions_in_use")
                    .Help("Database sessions leased to running requests, by service.")
                    .Register(*registry_)),
      refused_(prometheus::BuildCounter()
                   .Name("qorvin_refused_total")
                   .Help("Clients and requests turned away, by transport and reason.")
                   .Register(*registry_)),
      operationSeries_(std::make_unique<OperationSeries[]>(sources_.operations.size())) {}

ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::Refused(const char* transport, const char* reason) {
  std::string t = transport;
  for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
  refused_.Add({{"transport", t}, {"reason", reason}}).Increment();
}

std::string ServerMetrics::OperationLabel(const std::string& summary) const {
  const std::string first = summary.substr(0, summary.find(' '));
  if (first == "probe") return "probe";
  if (summary == "GET /metrics") return "metrics";
  if (summary == "GET /health") return "health";
  if (sources_.knownOperation && sources_.knownOperation(first)) return first;
  return "other";
}

void ServerMetrics::Request(const char* transport, int operation, const std::string& summary,
                            size_t bytesIn, size_t bytesOut,
                            std::chrono::steady_clock::duration took, bool failed) {
  const int ti = TransportIndex(transport);
  if (ti >= 0 && operation >= 0 && size_t(operation) < sources_.operations.size()) {
    const std::string& name = sources_.operations[size_t(operation)];
    OperationSeries& series = operationSeries_[size_t(operation)];
    const char* t = kTransportLabels[ti];
    Kept(series.requests[ti][failed ? 1 : 0], [&]() -> prometheus::Counter& {
      return requests_.Add(
          {{"operation", name}, {"transport", t}, {"outcome", failed ? "error" : "ok"}});
    }).Increment();
    Kept(series.duration, [&]() -> prometheus::Histogram& {
      return duration_.Add({{"operation", name}}, DurationBuckets());
    }).Observe(std::chrono::duration<double>(took).count());
    Kept(receivedSeries_[ti], [&]() -> prometheus::Counter& {
      return received_.Add({{"transport", t}});
    }).Increment(double(bytesIn));
    Kept(sentSeries_[ti], [&]() -> prometheus::Counter& {
      return sent_.Add({{"transport", t}});
    }).Increment(double(bytesOut));
    return;
  }
  // The rest (probes, the metrics page, unknown or malformed requests) by the summary's text.
  const std::string t = Lower(transport);
  const std::string label = OperationLabel(summary);
  requests_.Add({{"operation", label}, {"transport", t}, {"outcome", failed ? "error" : "ok"}})
      .Increment();
  duration_.Add({{"operation", label}}, DurationBuckets())
      .Observe(std::chrono::duration<double>(took).count());
  received_.Add({{"transport", t}}).Increment(double(bytesIn));
  sent_.Add({{"transport", t}}).Increment(double(bytesOut));
}

std::string ServerMetrics::Page() {
  if (sources_.openConnections) connections_.Add({}).Set(sources_.openConnections());
  if (sources_.sessionsInUse)
    for (const auto& [service, inUse] : sources_.sessionsInUse())
      sessions_.Add({{"service", service}}).Set(inUse);
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, registry_->Collect());
  return out.str();
}

}  // namespace qorvin::server
