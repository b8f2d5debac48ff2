#include "contract/VelmarLib_Intf.h"

#include "messaging/uROBinaryHelpers.h"
#include "messaging/uROTypes.h"

namespace qorvin {

// Every operation below follows the same order: out binaries reset (out texts cleared), then
// TROProxy::Call with the in parameters in declared order, the dispatch, "Result" and the out
// parameters in declared order. The request therefore carries the in values only and the reply
// "Result" followed by the out values.

// ---- ControlService ----------------------------------------------------------------------------

TDateTime TControlService_Proxy::GetServerTime() {
  TDateTime result = 0;
  Call(kVelmarLibName, "GetServerTime", [&](TROProxyCall& call) {
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_TDateTime(), &result, paIsDateTime);
  });
  return result;
}

int32_t TControlService_Proxy::GetClientCount() {
  int32_t result = 0;
  Call(kVelmarLibName, "GetClientCount", [&](TROProxyCall& call) {
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

void TControlService_Proxy::ClearServicePool(const std::string& aServiceName) {
  Call(kVelmarLibName, "ClearServicePool", [&](TROProxyCall& call) {
    call.WriteIn("aServiceName", TypeInfo_String(), &aServiceName);
    call.Dispatch();
  });
}

void TControlService_Proxy::SetDBConnInfo(const std::string& aDBServer, const std::string& aDBName,
                                          const std::string& aDBUser, const std::string& aDBPass,
                                          int32_t aTimeOut) {
  Call(kVelmarLibName, "SetDBConnInfo", [&](TROProxyCall& call) {
    call.WriteIn("aDBServer", TypeInfo_String(), &aDBServer);
    call.WriteIn("aDBName", TypeInfo_String(), &aDBName);
    call.WriteIn("aDBUser", TypeInfo_String(), &aDBUser);
    call.WriteIn("aDBPass", TypeInfo_String(), &aDBPass);
    call.WriteIn("aTimeOut", TypeInfo_Integer(), &aTimeOut);
    call.Dispatch();
  });
}

void TControlService_Proxy::SetServicePoolSize(const std::string& aServiceName, int32_t aPoolSize) {
  Call(kVelmarLibName, "SetServicePoolSize", [&](TROProxyCall& call) {
    call.WriteIn("aServiceName", TypeInfo_String(), &aServiceName);
    call.WriteIn("aPoolSize", TypeInfo_Integer(), &aPoolSize);
    call.Dispatch();
  });
}

int32_t TControlService_Proxy::GetServicePoolSize(const std::string& aServiceName) {
  int32_t result = 0;
  Call(kVelmarLibName, "GetServicePoolSize", [&](TROProxyCall& call) {
    call.WriteIn("aServiceName", TypeInfo_String(), &aServiceName);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

int32_t TControlService_Proxy::GetInUseCount(const std::string& aServiceName) {
  int32_t result = 0;
  Call(kVelmarLibName, "GetInUseCount", [&](TROProxyCall& call) {
    call.WriteIn("aServiceName", TypeInfo_String(), &aServiceName);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

void TControlService_Proxy::Restart() {
  Call(kVelmarLibName, "Restart", [&](TROProxyCall& call) { call.Dispatch(); });
}

int32_t TControlService_Proxy::GetTotalCount(const std::string& aServiceName) {
  int32_t result = 0;
  Call(kVelmarLibName, "GetTotalCount", [&](TROProxyCall& call) {
    call.WriteIn("aServiceName", TypeInfo_String(), &aServiceName);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

bool TControlService_Proxy::Alive() {
  bool result = false;
  Call(kVelmarLibName, "Alive", [&](TROProxyCall& call) {
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Boolean(), &result);
  });
  return result;
}

bool TControlService_Proxy::IsPortActive(int32_t aPort) {
  bool result = false;
  Call(kVelmarLibName, "IsPortActive", [&](TROProxyCall& call) {
    call.WriteIn("aPort", TypeInfo_Integer(), &aPort);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Boolean(), &result);
  });
  return result;
}

int32_t TControlService_Proxy::GetPort(const std::string& aProtocol) {
  int32_t result = 0;
  Call(kVelmarLibName, "GetPort", [&](TROProxyCall& call) {
    call.WriteIn("aProtocol", TypeInfo_String(), &aProtocol);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

std::string TControlService_Proxy::GetServiceList() {
  std::string result;
  Call(kVelmarLibName, "GetServiceList", [&](TROProxyCall& call) {
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_String(), &result);
  });
  return result;
}

// ---- TableProcService --------------------------------------------------------------------------

int32_t TTableProcService_Proxy::ExecProcInsertTable(
    const std::string& aUserID, const std::string& aHDHSerialNumber, TROBinaryMemoryStream* aInData,
    const std::string& aProcName, int32_t aSuccessReturnValue,
    std::unique_ptr<TROBinaryMemoryStream>& aOutData, int32_t& aSuccessCount) {
  aOutData.reset();
  int32_t result = 0;
  Call(kVelmarLibName, "ExecProcInsertTable", [&](TROProxyCall& call) {
    call.WriteIn("aUserID", TypeInfo_String(), &aUserID);
    call.WriteIn("aHDHSerialNumber", TypeInfo_String(), &aHDHSerialNumber);
    call.WriteInBinary("aInData", aInData);
    call.WriteIn("aProcName", TypeInfo_String(), &aProcName);
    call.WriteIn("aSuccessReturnValue", TypeInfo_Integer(), &aSuccessReturnValue);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
    call.ReadOut("aOutData", TypeInfo_Binary(), &aOutData);
    call.ReadOut("aSuccessCount", TypeInfo_Integer(), &aSuccessCount);
  });
  return result;
}

// ---- ExecSqlService ----------------------------------------------------------------------------

namespace {

// The three leading in parameters that most ExecSqlService operations share.
void WriteUserAndCommand(TROProxyCall& call, const std::string& aUserId,
                         const std::string& aHDHSerialNumber, const std::u16string& aSqlCommand,
                         const char* commandName = "aSqlCommand") {
  call.WriteIn("aUserId", TypeInfo_String(), &aUserId);
  call.WriteIn("aHDHSerialNumber", TypeInfo_String(), &aHDHSerialNumber);
  call.WriteIn(commandName, TypeInfo_WideString(), &aSqlCommand);
}

}  // namespace

TDateTime TExecSqlService_Proxy::GetDateTime() {
  TDateTime result = 0;
  Call(kVelmarLibName, "GetDateTime", [&](TROProxyCall& call) {
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_TDateTime(), &result, paIsDateTime);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchExecProc(const std::string& aUserId,
                                             const std::string& aHDHSerialNumber,
                                             const std::u16string& aSqlCommand) {
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecProc", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchExecProcOutput(const std::string& aUserId,
                                                   const std::string& aHDHSerialNumber,
                                                   const std::u16string& aSqlCommand,
                                                   std::string& aOutputParam) {
  aOutputParam.clear();
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecProcOutput", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
    call.ReadOut("aOutputParam", TypeInfo_String(), &aOutputParam);
  });
  return result;
}

// The two "TwoData" operations interleave in and out parameters in their declared order; the
// request carries the four in values and the reply "Result", "aOutData", "aOutData2".
int32_t TExecSqlService_Proxy::SynchExecProcReadTwoData(
    const std::string& aUserId, const std::string& aHDHSerialNumber,
    const std::u16string& aSqlCommand, std::unique_ptr<TROBinaryMemoryStream>& aOutData,
    const std::u16string& aSqlCommand2, std::unique_ptr<TROBinaryMemoryStream>& aOutData2) {
  aOutData.reset();
  aOutData2.reset();
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecProcReadTwoData", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.WriteIn("aSqlCommand2", TypeInfo_WideString(), &aSqlCommand2);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
    call.ReadOut("aOutData", TypeInfo_Binary(), &aOutData);
    call.ReadOut("aOutData2", TypeInfo_Binary(), &aOutData2);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchExecSQL(const std::string& aUserId,
                                            const std::string& aHDHSerialNumber,
                                            const std::u16string& aSqlCommand) {
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecSQL", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchReadData(const std::string& aUserId,
                                             const std::string& aHDHSerialNumber,
                                             const std::u16string& aSqlCommand,
                                             std::unique_ptr<TROBinaryMemoryStream>& aOutData) {
  aOutData.reset();
  int32_t result = 0;
  Call(kVelmarLibName, "SynchReadData", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
    call.ReadOut("aOutData", TypeInfo_Binary(), &aOutData);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchReadTwoData(const std::string& aUserId,
                                                const std::string& aHDHSerialNumber,
                                                const std::u16string& aSqlCommand,
                                                std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                                                const std::u16string& aSqlCommand2,
                                                std::unique_ptr<TROBinaryMemoryStream>& aOutData2) {
  aOutData.reset();
  aOutData2.reset();
  int32_t result = 0;
  Call(kVelmarLibName, "SynchReadTwoData", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.WriteIn("aSqlCommand2", TypeInfo_WideString(), &aSqlCommand2);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
    call.ReadOut("aOutData", TypeInfo_Binary(), &aOutData);
    call.ReadOut("aOutData2", TypeInfo_Binary(), &aOutData2);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchExecProcBatchBuild(const std::string& aUserId,
                                                       const std::string& aHDHSerialNumber,
                                                       const std::u16string& aSqlCommand,
                                                       const std::u16string& aProcName) {
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecProcBatchBuild", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSqlCommand);
    call.WriteIn("aProcName", TypeInfo_WideString(), &aProcName);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchExecInsert(const std::string& aUserId,
                                               const std::string& aHDHSerialNumber,
                                               TROBinaryMemoryStream* aInData,
                                               const std::string& aTableName,
                                               const std::string& aPrimaryKey,
                                               const std::string& aPrimaryValue) {
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecInsert", [&](TROProxyCall& call) {
    call.WriteIn("aUserId", TypeInfo_String(), &aUserId);
    call.WriteIn("aHDHSerialNumber", TypeInfo_String(), &aHDHSerialNumber);
    call.WriteInBinary("aInData", aInData);
    call.WriteIn("aTableName", TypeInfo_String(), &aTableName);
    call.WriteIn("aPrimaryKey", TypeInfo_String(), &aPrimaryKey);
    call.WriteIn("aPrimaryValue", TypeInfo_String(), &aPrimaryValue);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

int32_t TExecSqlService_Proxy::SynchExecSQLInsert(const std::string& aUserId,
                                                  const std::string& aHDHSerialNumber,
                                                  const std::u16string& aSQLCommand,
                                                  TROBinaryMemoryStream* aInData,
                                                  const std::string& aTableName,
                                                  const std::string& aPrimaryKey) {
  int32_t result = 0;
  Call(kVelmarLibName, "SynchExecSQLInsert", [&](TROProxyCall& call) {
    WriteUserAndCommand(call, aUserId, aHDHSerialNumber, aSQLCommand, "aSQLCommand");
    call.WriteInBinary("aInData", aInData);
    call.WriteIn("aTableName", TypeInfo_String(), &aTableName);
    call.WriteIn("aPrimaryKey", TypeInfo_String(), &aPrimaryKey);
    call.Dispatch();
    call.ReadOut("Result", TypeInfo_Integer(), &result);
  });
  return result;
}

// ---- Registration ------------------------------------------------------------------------------

void RegisterVelmarLibProxies() {
  RegisterProxyClass(IControlService::IID,
                     ProxyClassOf<TControlService_Proxy>("TControlService_Proxy"));
  RegisterProxyClass(ITableProcService::IID,
                     ProxyClassOf<TTableProcService_Proxy>("TTableProcService_Proxy"));
  RegisterProxyClass(IExecSqlService::IID,
                     ProxyClassOf<TExecSqlService_Proxy>("TExecSqlService_Proxy"));
}

void UnregisterVelmarLibProxies() {
  UnregisterProxyClass(IControlService::IID);
  UnregisterProxyClass(ITableProcService::IID);
  UnregisterProxyClass(IExecSqlService::IID);
}

}  // namespace qorvin
