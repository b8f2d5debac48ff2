#include "server/services/ServerState.h"

#include <algorithm>

#include "messaging/uROExceptions.h"
#include "platform/rtl/Text.h"

namespace qorvin::server {

void ClientTracker::Prune(Clock::time_point now) {
  for (auto it = seen_.begin(); it != seen_.end();) {
    if (now - it->second > window_) {
      it = seen_.erase(it);
    } else {
      ++it;
    }
  }
}

void ClientTracker::Seen(const TGUID& id) {
  auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  seen_[id.ToBytes()] = now;
  if (seen_.size() > kMaxTracked) {
    Prune(now);
    while (seen_.size() > kMaxTracked) {
      auto oldest = std::min_element(seen_.begin(), seen_.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
      });
      seen_.erase(oldest);
    }
  }
}

int ClientTracker::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  Prune(Clock::now());
  return int(seen_.size());
}

void ClientTracker::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  seen_.clear();
}

ServerState::ServerState(ServerConfig config, std::shared_ptr<IDatabase> database)
    : config_(std::move(config)),
      procedures_(config_.proceduresFolder),
      exec_pool_(kExecSqlService, database, config_.poolSize, config_.poolWait),
      table_pool_(kTableProcService, database, config_.poolSize, config_.poolWait),
      clients_(config_.clientWindow),
      upload_memory_(config_.maxUploadMemory) {}

const std::vector<std::string>& ServerState::ServiceNames() {
  static const std::vector<std::string> kNames = {kControlService, kExecSqlService,
                                                  kTableProcService};
  return kNames;
}

std::string ServerState::CanonicalService(const std::string& name) {
  return CanonicalServiceName(name);
}

// Looked up for every request: compared in place, nothing allocated.
const std::string& ServerState::CanonicalServiceName(std::string_view name) {
  for (const std::string& n : ServiceNames())
    if (n == name) return n;  // as clients spell it, mostly
  for (const std::string& n : ServiceNames())
    if (AsciiEqualNoCase(n, name)) return n;
  throw EROException("Unknown service \"" + std::string(name) + "\"");
}

SessionPool* ServerState::Pool(const std::string& service) {
  const std::string& n = CanonicalServiceName(service);
  if (n == kExecSqlService) return &exec_pool_;
  if (n == kTableProcService) return &table_pool_;
  return nullptr;
}

ServiceCounters& ServerState::Counters(const std::string& service) {
  const std::string& n = CanonicalServiceName(service);
  if (n == kExecSqlService) return exec_;
  if (n == kTableProcService) return table_;
  return control_;
}

void ServerState::SetPorts(BoundPorts ports) {
  std::lock_guard<std::mutex> lock(ports_mutex_);
  ports_ = ports;
}

BoundPorts ServerState::Ports() const {
  std::lock_guard<std::mutex> lock(ports_mutex_);
  return ports_;
}

void ServerState::ReplaceDatabase(std::shared_ptr<IDatabase> database) {
  exec_pool_.SetDatabase(database);
  table_pool_.SetDatabase(database);
}

void ServerState::Restart() {
  exec_pool_.Clear();
  table_pool_.Clear();
  for (ServiceCounters* c : {&control_, &table_, &exec_}) c->total = 0;
  clients_.Reset();
}

BatchOptions ServerState::Batch(bool atomic) const {
  BatchOptions o = config_.batch;
  o.atomic = atomic;
  return o;
}

}  // namespace qorvin::server
