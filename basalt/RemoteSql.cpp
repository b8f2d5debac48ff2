#include "basalt/RemoteSql.h"

namespace qorvin {

IRemoteSql::~IRemoteSql() = default;

std::unique_ptr<IRemoteSql> CreateClientRemoteSql(const TRemoteSqlConfig& config,
                                                  std::string& error) {
  // The binding to libQorvinClient.so (dlopen, CreateRemoteDataModule, SynchReadData and
  // ExecSQL of its module, data packet to TBasaltDataSet) belongs here. Until it is written the
  // framework refuses honestly instead of pretending to reach the server.
  error = "remote SQL to " + config.Host + ":" + std::to_string(config.Port) +
          " is unavailable: this build of basalt has no binding to libQorvinClient.so";
  return nullptr;
}

}  // namespace qorvin
