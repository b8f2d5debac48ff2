// qorvin-server: the reference middleware server. See --help and docs/server.md.
//
// Exit status: 0 after a clean stop, 1 when the server cannot start (database, schema, ports),
// 2 for a wrong command line.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/rtl/Text.h"
#include "server/app/HeapArenas.h"
#include "server/app/Options.h"
#include "server/app/ServerMetrics.h"
#include "server/services/ServiceHost.h"

namespace qorvin::server {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the schema batch as one transaction.
void RunSchema(ServerState& state, const std::string& path) {
  std::string sql = ReadFile(path);
  auto lease = state.Pool(kExecSqlService)->Acquire();
  BatchRunner runner(*lease, &state.Procedures(), state.Batch(true));
  try {
    runner.Run(sql);
    runner.Finish();
  } catch (const Exception& e) {
    throw std::runtime_error(path + ": " + e.Message());
  }
}

std::string PortText(int port) {
  return port < 0 ? "off" : std::to_string(port);
}

int Serve(const CommandLine& c) {
  if (!c.codeSet.empty()) SetAnsiCodeSet(c.codeSet);
  if (!c.config.proceduresFolder.empty() &&
      !std::filesystem::is_directory(c.config.proceduresFolder))
    throw std::runtime_error("The procedures folder " + c.config.proceduresFolder +
                             " does not exist");
  std::shared_ptr<IDatabase> db = OpenDatabase(c.config.database, c.config.databaseOptions);
  ServerState state(c.config, db);
  if (!c.schemaFile.empty()) RunSchema(state, c.schemaFile);
  ServiceHost host(state);
  RegisterControlService(host, state);
  RegisterExecSqlService(host, state);
  RegisterTableProcService(host, state);
  std::ofstream logFile;
  if (!c.quiet && !c.logFile.empty()) {
    logFile.open(c.logFile, std::ios::app);
    if (!logFile) throw std::runtime_error("Cannot open the log file " + c.logFile);
  }
  RequestLog log(c.quiet ? nullptr : c.logFile.empty() ? &std::cerr : &logFile, c.logFormat);
  // The metrics outlive the transports that feed them (declared before, destroyed after).
  const NetServer* transports = nullptr;
  ServerMetrics metrics(MetricsSources{
      [&host](const std::string& operation) { return host.HasOperation(operation); },
      host.Operations(), [&transports] { return transports ? transports->OpenConnections() : 0; },
      [&state] {
        std::vector<std::pair<std::string, int>> inUse;
        for (const char* service : {kExecSqlService, kTableProcService})
          if (SessionPool* pool = state.Pool(service)) inUse.emplace_back(service, pool->InUse());
        return inUse;
      }});
  log.SetObserver(&metrics);
  NetServer net(c.net, host, log);
  transports = &net;
  net.ServeMetrics([&metrics] { return metrics.Page(); });
  net.Start();
  BoundPorts ports = net.Ports();
  state.SetPorts(ports);
  net.StopOnSignals();
  std::cerr << "qorvin-server: " << db->Describe() << ", procedures "
            << (c.config.proceduresFolder.empty() ? "none" : c.config.proceduresFolder)
            << (c.configFile.empty() ? "" : ", configuration " + c.configFile)
            << (c.config.admin ? ", admin operations allowed" : "") << std::endl;
  std::cout << "qorvin-server listening address=" << c.net.bindAddress
            << " http=" << PortText(ports.http) << " tcp=" << PortText(ports.tcp)
            << " udp=" << PortText(ports.udp) << std::endl;
  net.Wait();
  std::cerr << "qorvin-server: stopped" << std::endl;
  return 0;
}

}  // namespace
}  // namespace qorvin::server

int main(int argc, char** argv) {
  using namespace qorvin::server;
  CommandLine c;
  try {
    c = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "qorvin-server: " << e.what() << std::endl;
    return 2;
  }
  if (c.help) {
    std::cout << HelpText();
    return 0;
  }
  LimitHeapArenas();
  try {
    return Serve(c);
  } catch (const std::exception& e) {
    std::cerr << "qorvin-server: " << e.what() << std::endl;
    return 1;
  }
}
