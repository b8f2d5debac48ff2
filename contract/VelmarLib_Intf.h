// The service contract of the remote-call library "VelmarLib": its three service interfaces and
// the client proxies that turn each operation into one request/response exchange.
//
// Wire types and their C++ forms:
//   String                 std::string (8-bit ANSI text)
//   WideString             std::u16string (16-bit text)
//   Integer                int32_t
//   Boolean                bool
//   TDateTime              double, days since 1899-12-30 (read with paIsDateTime)
//   TROBinaryMemoryStream  in: a borrowed TROBinaryMemoryStream* (null = absent; not freed);
//                          out: std::unique_ptr<TROBinaryMemoryStream>& that the proxy first
//                          resets, then fills — the caller owns what it receives.
// Out texts are cleared before the call. Parameter names are part of the contract and are
// spelled exactly as the server expects them, letter case included.
//
// Proxies borrow the message and channel they were made with (see TROProxy); every operation
// runs the fixed call sequence and ends the call and releases the message body on every path.
// Failures (transport, server exceptions, malformed replies) propagate unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "messaging/uROProxy.h"
#include "platform/rtl/Guid.h"

namespace qorvin {

class TROBinaryMemoryStream;

using TDateTime = double;

inline constexpr const char* kVelmarLibName = "VelmarLib";

class IControlService {
 public:
  static constexpr TGUID IID = {
      0x8AEA3E2D, 0xDF75, 0x4C2A, {0xAC, 0x1F, 0xCD, 0x31, 0x2C, 0xA3, 0x09, 0x8C}};
  virtual ~IControlService() = default;

  virtual TDateTime GetServerTime() = 0;
  virtual int32_t GetClientCount() = 0;
  virtual void ClearServicePool(const std::string& aServiceName) = 0;
  virtual void SetDBConnInfo(const std::string& aDBServer, const std::string& aDBName,
                             const std::string& aDBUser, const std::string& aDBPass,
                             int32_t aTimeOut) = 0;
  virtual void SetServicePoolSize(const std::string& aServiceName, int32_t aPoolSize) = 0;
  virtual int32_t GetServicePoolSize(const std::string& aServiceName) = 0;
  virtual int32_t GetInUseCount(const std::string& aServiceName) = 0;
  virtual void Restart() = 0;
  virtual int32_t GetTotalCount(const std::string& aServiceName) = 0;
  virtual bool Alive() = 0;
  virtual bool IsPortActive(int32_t aPort) = 0;
  virtual int32_t GetPort(const std::string& aProtocol) = 0;
  virtual std::string GetServiceList() = 0;
};

class ITableProcService {
 public:
  static constexpr TGUID IID = {
      0xDA55152D, 0xE1E0, 0x4092, {0xA4, 0x95, 0xEA, 0x3C, 0x97, 0x68, 0x61, 0x5D}};
  virtual ~ITableProcService() = default;

  virtual int32_t ExecProcInsertTable(const std::string& aUserID,
                                      const std::string& aHDHSerialNumber,
                                      TROBinaryMemoryStream* aInData, const std::string& aProcName,
                                      int32_t aSuccessReturnValue,
                                      std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                                      int32_t& aSuccessCount) = 0;
};

class IExecSqlService {
 public:
  static constexpr TGUID IID = {
      0xB971BECB, 0x7B74, 0x409B, {0xAF, 0xAE, 0xDB, 0xCB, 0x01, 0x8E, 0xD1, 0x3A}};
  virtual ~IExecSqlService() = default;

  virtual TDateTime GetDateTime() = 0;
  virtual int32_t SynchExecProc(const std::string& aUserId, const std::string& aHDHSerialNumber,
                                const std::u16string& aSqlCommand) = 0;
  virtual int32_t SynchExecProcOutput(const std::string& aUserId,
                                      const std::string& aHDHSerialNumber,
                                      const std::u16string& aSqlCommand,
                                      std::string& aOutputParam) = 0;
  virtual int32_t SynchExecProcReadTwoData(const std::string& aUserId,
                                           const std::string& aHDHSerialNumber,
                                           const std::u16string& aSqlCommand,
                                           std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                                           const std::u16string& aSqlCommand2,
                                           std::unique_ptr<TROBinaryMemoryStream>& aOutData2) = 0;
  virtual int32_t SynchExecSQL(const std::string& aUserId, const std::string& aHDHSerialNumber,
                               const std::u16string& aSqlCommand) = 0;
  virtual int32_t SynchReadData(const std::string& aUserId, const std::string& aHDHSerialNumber,
                                const std::u16string& aSqlCommand,
                                std::unique_ptr<TROBinaryMemoryStream>& aOutData) = 0;
  virtual int32_t SynchReadTwoData(const std::string& aUserId, const std::string& aHDHSerialNumber,
                                   const std::u16string& aSqlCommand,
                                   std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                                   const std::u16string& aSqlCommand2,
                                   std::unique_ptr<TROBinaryMemoryStream>& aOutData2) = 0;
  virtual int32_t SynchExecProcBatchBuild(const std::string& aUserId,
                                          const std::string& aHDHSerialNumber,
                                          const std::u16string& aSqlCommand,
                                          const std::u16string& aProcName) = 0;
  virtual int32_t SynchExecInsert(const std::string& aUserId, const std::string& aHDHSerialNumber,
                                  TROBinaryMemoryStream* aInData, const std::string& aTableName,
                                  const std::string& aPrimaryKey,
                                  const std::string& aPrimaryValue) = 0;
  virtual int32_t SynchExecSQLInsert(const std::string& aUserId,
                                     const std::string& aHDHSerialNumber,
                                     const std::u16string& aSQLCommand,
                                     TROBinaryMemoryStream* aInData, const std::string& aTableName,
                                     const std::string& aPrimaryKey) = 0;
};

class TControlService_Proxy : public TROProxy, public IControlService {
 public:
  using TROProxy::TROProxy;

  TDateTime GetServerTime() override;
  int32_t GetClientCount() override;
  void ClearServicePool(const std::string& aServiceName) override;
  void SetDBConnInfo(const std::string& aDBServer, const std::string& aDBName,
                     const std::string& aDBUser, const std::string& aDBPass,
                     int32_t aTimeOut) override;
  void SetServicePoolSize(const std::string& aServiceName, int32_t aPoolSize) override;
  int32_t GetServicePoolSize(const std::string& aServiceName) override;
  int32_t GetInUseCount(const std::string& aServiceName) override;
  void Restart() override;
  int32_t GetTotalCount(const std::string& aServiceName) override;
  bool Alive() override;
  bool IsPortActive(int32_t aPort) override;
  int32_t GetPort(const std::string& aProtocol) override;
  std::string GetServiceList() override;

 protected:
  std::string GetDefaultInterfaceName() const override { return "ControlService"; }
};

class TTableProcService_Proxy : public TROProxy, public ITableProcService {
 public:
  using TROProxy::TROProxy;

  int32_t ExecProcInsertTable(const std::string& aUserID, const std::string& aHDHSerialNumber,
                              TROBinaryMemoryStream* aInData, const std::string& aProcName,
                              int32_t aSuccessReturnValue,
                              std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                              int32_t& aSuccessCount) override;

 protected:
  std::string GetDefaultInterfaceName() const override { return "TableProcService"; }
};

class TExecSqlService_Proxy : public TROProxy, public IExecSqlService {
 public:
  using TROProxy::TROProxy;

  TDateTime GetDateTime() override;
  int32_t SynchExecProc(const std::string& aUserId, const std::string& aHDHSerialNumber,
                        const std::u16string& aSqlCommand) override;
  int32_t SynchExecProcOutput(const std::string& aUserId, const std::string& aHDHSerialNumber,
                              const std::u16string& aSqlCommand,
                              std::string& aOutputParam) override;
  int32_t SynchExecProcReadTwoData(const std::string& aUserId, const std::string& aHDHSerialNumber,
                                   const std::u16string& aSqlCommand,
                                   std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                                   const std::u16string& aSqlCommand2,
                                   std::unique_ptr<TROBinaryMemoryStream>& aOutData2) override;
  int32_t SynchExecSQL(const std::string& aUserId, const std::string& aHDHSerialNumber,
                       const std::u16string& aSqlCommand) override;
  int32_t SynchReadData(const std::string& aUserId, const std::string& aHDHSerialNumber,
                        const std::u16string& aSqlCommand,
                        std::unique_ptr<TROBinaryMemoryStream>& aOutData) override;
  int32_t SynchReadTwoData(const std::string& aUserId, const std::string& aHDHSerialNumber,
                           const std::u16string& aSqlCommand,
                           std::unique_ptr<TROBinaryMemoryStream>& aOutData,
                           const std::u16string& aSqlCommand2,
                           std::unique_ptr<TROBinaryMemoryStream>& aOutData2) override;
  int32_t SynchExecProcBatchBuild(const std::string& aUserId, const std::string& aHDHSerialNumber,
                                  const std::u16string& aSqlCommand,
                                  const std::u16string& aProcName) override;
  int32_t SynchExecInsert(const std::string& aUserId, const std::string& aHDHSerialNumber,
                          TROBinaryMemoryStream* aInData, const std::string& aTableName,
                          const std::string& aPrimaryKey,
                          const std::string& aPrimaryValue) override;
  int32_t SynchExecSQLInsert(const std::string& aUserId, const std::string& aHDHSerialNumber,
                             const std::u16string& aSQLCommand, TROBinaryMemoryStream* aInData,
                             const std::string& aTableName,
                             const std::string& aPrimaryKey) override;

 protected:
  std::string GetDefaultInterfaceName() const override { return "ExecSqlService"; }
};

// Library start: registers TControlService_Proxy, TTableProcService_Proxy and
// TExecSqlService_Proxy, in this order, under IControlService, ITableProcService and
// IExecSqlService (an identifier already registered keeps its entry).
void RegisterVelmarLibProxies();
// Library end: removes the three identifiers in the same order.
void UnregisterVelmarLibProxies();

}  // namespace qorvin
