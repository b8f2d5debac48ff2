#include "basalt/RemoteSql.h"

namespace qorvin {

// CreateClientRemoteSql, the binding to the client library, is in ClientRemoteSql.cpp.
IRemoteSql::~IRemoteSql() = default;

void IRemoteSql::SetCallBound(std::chrono::milliseconds /*bound*/) {}

}  // namespace qorvin
