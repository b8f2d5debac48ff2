// TDataModuleZent: the remote data module behind IRemoteDataModule.
//
// One module owns, for its whole life, one remote service component (ROService), one binary
// message (ROMessage, compression off) and one transport channel of the kind given by the
// connection letter: 'B'/'T' TCP, 'H' HTTP, 'U' UDP. Every remote operation runs in the common
// call frame: no failure leaves a method; each is reported through the result and error-text
// arguments, the last error text, OnError (message, empty detail) and OnStatus (0, 0).
//
// Threads: a module serves one call at a time. Every method that uses the shared message or the
// channel (methods 1, 2, 5 and 12 to 23) first claims the module's busy state (ModuleGate)
// before it touches anything shared; a call that finds it claimed by another thread is refused
// with kModuleBusy: it writes only its result (0) and error text, raises OnError and OnStatus
// (0, 0) on its own thread, and leaves every other argument, the last error text and the running
// call alone. A call made from inside one of the module's callbacks on the calling thread runs
// nested (the outer call is past its network exchange by then), unless the outer call's request
// is on the network at that moment (a server switch), when it is refused as busy. While a call
// runs, IQorvinProgress (ModuleProgress) reports its bytes and may cancel it from another
// thread; a cancelled call fails like any other. The last error text and the callbacks are
// guarded by locks of their own, so the other methods may be called from any thread. Lifetime:
// AddRef/Release are inert; a module lives until the process ends (or, in the library's own
// tests, until its owner destroys it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "client/ModuleGate.h"
#include "datastream/uConvertDataSet.h"
#include "include/qorvin/QorvinClient.h"
#include "include/qorvin/QorvinPieces.h"
#include "messaging/uROBinMessage.h"
#include "messaging/uRORemoteService.h"

namespace qorvin {

class TROTransportChannel;
class ModuleChannel;
class ModuleServers;
class ModuleCredentials;
class ModuleProgress;
class ModuleProxies;
class ClientAdoDataSet;
class TROBinaryMemoryStream;
class LastErrorText;

inline constexpr char kUnknownConnectType[] = "Unknow Connect Type!";
// The refusal of a call made while another call of the same module runs; the same text as the
// channel's own refusal of a concurrent dispatch.
inline constexpr char kModuleBusy[] = "Channel is busy. Try again later.";
// The failure of a piece read whose host asked for no more pieces.
inline constexpr char kReadStopped[] = "The read was stopped by the host";
inline constexpr char kServiceExecSql[] = "ExecSqlService";
inline constexpr char kServiceTableProc[] = "TableProcService";

class TDataModuleZent final : public IRemoteDataModule,
                              public IQorvinDataSetFactory,
                              public IQorvinPieceReader {
 public:
  // Builds the module and its channel; fails (after raising OnError, which no host can have
  // installed yet) with EROException "Unknow Connect Type!" for any other letter, and with
  // EROException and HostAddressProblem's text for a host text that is not allowed.
  static std::unique_ptr<TDataModuleZent> Create(int32_t hostTag, char connectType,
                                                 const std::string& host, int32_t port);
  ~TDataModuleZent();

  // Sub-objects, for the library's own tests.
  TRORemoteService& ROService() { return *roService_; }
  TROBinMessage& ROMessage() { return *roMessage_; }
  TROTransportChannel* Channel() const;
  int32_t HostTag() const { return hostTag_; }

  // IRemoteDataModule
  int32_t QueryInterface(const Guid* iid, void** object) override;
  int32_t AddRef() override { return -1; }
  int32_t Release() override { return -1; }
  bool GetConnected() override;
  void SetConnected(bool value) override;
  void SetOnStatus(QorvinStatusCallback callback) override;
  void SetOnError(QorvinErrorCallback callback) override;
  void SetKeepConnection(bool value) override;
  char GetConnectType() override { return connectType_; }
  void GetLastErrorText(QorvinText* text) override;
  void Reserved1(void*) override {}
  void Reserved2(void*) override {}
  bool Reserved3() override { return true; }
  void Reserved4(int32_t, int32_t, const char*) override {}
  void ExecProcInsertTable(const char* userId, const char* hdhSerialNumber,
                           const QorvinDataPacket* data, const char* procName,
                           QorvinDataPacket* outData, int32_t* successCount,
                           int32_t successReturnValue, int32_t* result,
                           QorvinText* errorText) override;
  void ExecProcInsertTableDataSet(const char* userId, const char* hdhSerialNumber,
                                  QorvinAdoDataSet* dataSet, const char* procName,
                                  QorvinAdoDataSet** outDataSet, int32_t* successCount,
                                  int32_t successReturnValue, int32_t* result,
                                  QorvinText* errorText) override;
  void SynchExecSQLInsert(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                          const QorvinDataPacket* data, const char* tableName,
                          const char* primaryKey, int32_t* result, QorvinText* errorText) override;
  void SynchExecProc(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                     int32_t* result, QorvinText* errorText) override;
  void SynchExecProcOutput(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                           QorvinText* outputParam, int32_t* result,
                           QorvinText* errorText) override;
  void SynchExecSQL(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                    int32_t* result, QorvinText* errorText) override;
  void SynchReadTwoData(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                        QorvinDataPacket* data, const char* sqlCommand2, QorvinDataPacket* data2,
                        int32_t* result, QorvinText* errorText) override;
  void SynchReadData(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                     QorvinDataPacket* data, int32_t* result, QorvinText* errorText) override;
  void SynchReadDataSet(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                        QorvinAdoDataSet** dataSet, int32_t* result,
                        QorvinText* errorText) override;
  void SynchExecProcReadTwoData(const char* userId, const char* hdhSerialNumber,
                                const char* sqlCommand, QorvinDataPacket* data,
                                const char* sqlCommand2, QorvinDataPacket* data2, int32_t* result,
                                QorvinText* errorText) override;
  void SynchExecProcBatchBuild(const char* userId, const char* hdhSerialNumber,
                               const char* sqlCommand, const char* procName, int32_t* result,
                               QorvinText* errorText) override;
  bool GetDateTime(double* dateTime) override;

  // IQorvinDataSetFactory
  QorvinAdoDataSet* CreateAdoDataSet() override;
  QorvinAdoDataSet* PacketToAdoDataSet(const QorvinDataPacket* packet) override;
  bool AdoDataSetToPacket(QorvinAdoDataSet* dataSet, QorvinDataPacket* packet) override;
  void SetInflateBudget(int64_t bytes) override { inflateBudget_.store(bytes > 0 ? bytes : 0); }
  int64_t GetInflateBudget() override;
  bool SetDataPacketVersion(int32_t version) override;
  int32_t GetDataPacketVersion() override { return packetVersion_.load(); }

  // IQorvinPieceReader
  void SynchReadDataPieces(const char* userId, const char* hdhSerialNumber, const char* sqlCommand,
                           int32_t rowsPerPiece, QorvinPieceCallback onPiece, int32_t* result,
                           QorvinText* errorText) override;

 private:
  TDataModuleZent(int32_t hostTag, char connectType);

  // Runs `body` in the common call frame of the remote operations (see the header comment),
  // after claiming the busy state; a refused call reports kModuleBusy (RefuseBusy).
  template <class Body>
  void CallFrame(const char* serviceName, int32_t* result, QorvinText* errorText,
                 bool clearErrorText, Body&& body);
  void ReportFailure(const std::string& message, QorvinText* errorText);
  // The report of a call refused because another call runs: result 0, error text, OnError and
  // OnStatus (0, 0); nothing else is touched.
  void RefuseBusy(int32_t* result, QorvinText* errorText);
  // Raise the host's callbacks on the calling thread, counted as callbacks (ModuleGate); none
  // once the thread's callbacks nest too deep.
  void DoStatus(int32_t first, int32_t second);
  void DoError(const std::string& message);
  // Remembers the channel's connected state for GetConnected (inside a claim).
  void NoteConnected() noexcept;

  // Calls ExecSqlService.SynchReadData (inside a call frame): the reply's blob and, in `value`
  // and the host's `result` (when not null), its result value; the answer is marked as arrived
  // and OnStatus(1, 3) raised.
  std::unique_ptr<TROBinaryMemoryStream> ReadDataBlob(const char* userId,
                                                      const char* hdhSerialNumber,
                                                      const char* sqlCommand, int32_t* result,
                                                      int32_t& value);
  // Reads two result sets (SynchReadTwoData and SynchExecProcReadTwoData).
  void ReadTwoData(const char* operation, const char* userId, const char* hdhSerialNumber,
                   const char* sqlCommand, QorvinDataPacket* data, const char* sqlCommand2,
                   QorvinDataPacket* data2, int32_t* result, QorvinText* errorText);
  // Calls TableProcService.ExecProcInsertTable with the request blob; keeps the returned blob.
  int32_t InsertTableCall(const char* userId, const char* hdhSerialNumber,
                          TROBinaryMemoryStream& request, const char* procName,
                          int32_t successReturnValue, int32_t* successCount,
                          std::unique_ptr<TROBinaryMemoryStream>& blob);
  // Runs one command operation that returns only its result.
  void CommandCall(const char* operation, const char* userId, const char* hdhSerialNumber,
                   const char* sqlCommand, const char* procName, int32_t* result,
                   QorvinText* errorText);

  std::unique_ptr<TRORemoteService> roService_;
  std::unique_ptr<TROBinMessage> roMessage_;
  // The service's proxies, kept between calls (inside claimed calls only).
  std::unique_ptr<ModuleProxies> proxies_;
  int32_t hostTag_ = 0;
  std::unique_ptr<ModuleChannel> channel_;
  // The IQorvinServers extension, made with the channel (its handlers are in place before any
  // call can run); freed before the channel.
  std::unique_ptr<ModuleServers> servers_;
  // The IQorvinCredentials extension (the HTTP login), made with the channel.
  std::unique_ptr<ModuleCredentials> credentials_;
  // The IQorvinProgress extension, made with the channel; it brackets every remote call.
  std::unique_ptr<ModuleProgress> progress_;
  std::mutex callbackMutex_;  // guards onError_ and onStatus_
  QorvinErrorCallback onError_{};
  // Shared with the record sets the module makes (see LastErrorText).
  std::shared_ptr<LastErrorText> lastError_;
  char connectType_ = 0;
  QorvinStatusCallback onStatus_{};
  ModuleGate gate_;
  // Whether the channel was connected when the last claimed method ended; GetConnected answers
  // it while another thread's call holds the channel.
  std::atomic<bool> connected_{false};
  // Inflation budget of this module's calls (0: the default), set around each call; a host may
  // set it from any thread.
  std::atomic<int64_t> inflateBudget_{0};
  // Version of the packets the module hands out (1 or 2); a host may set it from any thread.
  std::atomic<int32_t> packetVersion_{1};
  TPacketForm PacketForm() const {
    return packetVersion_.load() == 1 ? TPacketForm::Version1 : TPacketForm::ColumnTypes;
  }
};

}  // namespace qorvin
