#include "server/app/ServerMetrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <sstream>

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
                    .Register(*registry_)) {}

ServerMetrics::~ServerMetrics() = default;

std::string ServerMetrics::OperationLabel(const std::string& summary) const {
  const std::string first = summary.substr(0, summary.find(' '));
  if (first == "probe") return "probe";
  if (summary == "GET /metrics") return "metrics";
  if (sources_.knownOperation && sources_.knownOperation(first)) return first;
  return "other";
}

void ServerMetrics::Request(const char* transport, const std::string& summary, size_t bytesIn,
                            size_t bytesOut, std::chrono::steady_clock::duration took,
                            bool failed) {
  const std::string t = Lower(transport);
  const std::string operation = OperationLabel(summary);
  requests_.Add({{"operation", operation}, {"transport", t}, {"outcome", failed ? "error" : "ok"}})
      .Increment();
  duration_.Add({{"operation", operation}}, DurationBuckets())
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
