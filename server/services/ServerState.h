// What the three services share: the configuration, the database with one session pool per
// database service, the procedure folder, per-service counters, the clients seen, and the ports
// the transports listen on.
//
// Thread-safe: requests run on many worker threads at once.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "datastream/uRecordSetBudget.h"
#include "platform/rtl/Guid.h"
#include "server/db/BatchRunner.h"
#include "server/db/Database.h"
#include "server/db/Procedures.h"
#include "server/db/SessionPool.h"
#include "server/net/NetServer.h"

namespace qorvin::server {

inline constexpr char kControlService[] = "ControlService";
inline constexpr char kTableProcService[] = "TableProcService";
inline constexpr char kExecSqlService[] = "ExecSqlService";

struct ServerConfig {
  std::string database = ":memory:";
  std::string proceduresFolder;  // empty: no procedures
  bool admin = false;            // allow the ControlService operations that change the server
  int poolSize = 8;              // sessions per database service
  std::chrono::milliseconds poolWait{30000};
  DatabaseOptions databaseOptions;
  BatchOptions batch;           // limits of every batch (atomic is set per operation)
  bool compressReplies = true;  // replies of 4096 bytes and more go out compressed
  // The zlib level of compressed replies: 1..9, or kReplyLevelAuto: zlib's default level, but
  // level 1 for a reply that is mostly an already-compressed dataset blob (a second pass at the
  // default level gains about 1% over level 1 there, at twice its time).
  static constexpr int kReplyLevelAuto = 0;
  int replyCompressionLevel = kReplyLevelAuto;
  int64_t maxInflatedRequest = int64_t(256) << 20;
  // The most memory the rows of the uploads in progress may hold together (--max-upload-memory).
  int64_t maxUploadMemory = int64_t(1) << 30;
  std::chrono::seconds clientWindow{600};
};

// Calls of one service: how many ran since the start (or the last Restart) and how many run now.
struct ServiceCounters {
  std::atomic<int64_t> total{0};
  std::atomic<int> running{0};
};

// The ClientIDs that made a request within the window. At most kMaxTracked are remembered; when
// more arrive, the least recently seen are forgotten first.
class ClientTracker {
 public:
  explicit ClientTracker(std::chrono::seconds window) : window_(window) {}
  void Seen(const TGUID& id);
  int Count();
  void Reset();
  static constexpr size_t kMaxTracked = 100000;

 private:
  using Clock = std::chrono::steady_clock;
  void Prune(Clock::time_point now);

  std::chrono::seconds window_;
  std::mutex mutex_;
  std::map<std::array<uint8_t, 16>, Clock::time_point> seen_;
};

class ServerState {
 public:
  ServerState(ServerConfig config, std::shared_ptr<IDatabase> database);

  const ServerConfig& Config() const { return config_; }
  const ProcedureCatalog& Procedures() const { return procedures_; }
  // The pool of a database service; null for ControlService. EROException "Unknown service"
  // for any other name (compared without regard to case).
  SessionPool* Pool(const std::string& service);
  ServiceCounters& Counters(const std::string& service);
  ClientTracker& Clients() { return clients_; }
  // The three service names, in the order GetServiceList gives them.
  static const std::vector<std::string>& ServiceNames();
  // The canonical spelling of a service name; EROException "Unknown service \"x\"". The second
  // gives the kept name itself (looked up per request, without allocating).
  static std::string CanonicalService(const std::string& name);
  static const std::string& CanonicalServiceName(std::string_view name);

  void SetPorts(BoundPorts ports);
  BoundPorts Ports() const;

  // Future sessions of every pool come from `database`.
  void ReplaceDatabase(std::shared_ptr<IDatabase> database);
  std::shared_ptr<IDatabase> Database() const { return exec_pool_.Database(); }
  // Closes every pooled session and forgets counters and clients.
  void Restart();
  // Options for one operation's batch runner.
  BatchOptions Batch(bool atomic) const;
  // What the rows of the uploads in progress hold (ServerConfig::maxUploadMemory at most).
  TSharedMemoryBudget& UploadMemory() { return upload_memory_; }

 private:
  ServerConfig config_;
  ProcedureCatalog procedures_;
  SessionPool exec_pool_;
  SessionPool table_pool_;
  ServiceCounters control_, table_, exec_;
  ClientTracker clients_;
  mutable std::mutex ports_mutex_;
  BoundPorts ports_;
  TSharedMemoryBudget upload_memory_;
};

}  // namespace qorvin::server
