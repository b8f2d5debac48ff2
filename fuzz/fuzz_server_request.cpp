// libFuzzer entry for the server's decoding of requests: arbitrary bytes handed to the
// dispatcher of the three services, on an in-memory SQLite database holding the sample schema
// and procedures (no administration, statements bounded to two seconds, inflation to 1 MiB,
// uploads to 64 MiB).
// Every request must be answered (a reply or an exception reply): Dispatch never throws, and its
// reply always has a body. Anything else (a crash, a sanitizer report, an exception) is a
// finding.
//
// The database lives across inputs, as it does in a server: a request may change what the next
// one finds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "server/services/ServiceHost.h"
#include "tests/server/service_client.h"

using namespace qorvin;
using namespace qorvin::server;

namespace {

struct Server {
  Server() {
    ServerConfig config;
    config.proceduresFolder = QORVIN_SAMPLE_PROCEDURES;
    config.poolSize = 1;
    config.poolWait = std::chrono::milliseconds(5000);
    config.maxInflatedRequest = 1 << 20;  // see fuzz_message.cpp
    config.maxUploadMemory = 64 << 20;
    config.databaseOptions.statementTimeoutSeconds = 2;
    state = std::make_unique<ServerState>(config, OpenDatabase(":memory:", config.databaseOptions));
    host = std::make_unique<ServiceHost>(*state);
    RegisterControlService(*host, *state);
    RegisterExecSqlService(*host, *state);
    RegisterTableProcService(*host, *state);
    std::ifstream in(QORVIN_SAMPLE_SCHEMA, std::ios::binary);
    std::ostringstream schema;
    schema << in.rdbuf();
    const DispatchReply made = host->Dispatch(
        testing::Request(kExecSqlService, "SynchExecSQL", testing::UserAndSql(schema.str())),
        RequestInfo{"FUZZ", "-"});
    if (made.failed) std::abort();  // the sample schema must load
  }
  std::unique_ptr<ServerState> state;
  std::unique_ptr<ServiceHost> host;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server server;
  const DispatchReply reply = server.host->Dispatch(
      std::string_view(reinterpret_cast<const char*>(data), size), RequestInfo{"FUZZ", "-"});
  if (reply.body.empty()) std::abort();
  return 0;
}
