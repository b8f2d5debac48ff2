#include "client/DataModuleQorvinCommon.h"

#include <algorithm>

#include "client/ClientAdoDataSet.h"
#include "client/DataSetBridge.h"
#include "client/HostAddress.h"
#include "client/HostValues.h"
#include "client/LastErrorText.h"
#include "client/ModuleChannel.h"
#include "client/ModuleCredentials.h"
#include "client/ModuleProgress.h"
#include "client/ModuleProxies.h"
#include "client/ModuleServers.h"
#include "contract/VelmarLib_Intf.h"
#include "messaging/uROBinaryHelpers.h"
#include "messaging/uROExceptions.h"
#include "platform/rtl/OsServices.h"
#include "platform/rtl/Text.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {

namespace {

constexpr IRemoteDataModule::Guid kIID_IRemoteDataModule = {
    0xE4CF5BAA, 0xCF78, 0x4131, {0xAE, 0x75, 0x99, 0xFA, 0x72, 0xA9, 0x13, 0x82}};
constexpr IRemoteDataModule::Guid kIID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IRemoteDataModule::Guid kIID_IQorvinDataSetFactory = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};
constexpr int32_t kS_OK = 0;
constexpr int32_t kE_NOINTERFACE = int32_t(0x80004002u);

bool SameGuid(const IRemoteDataModule::Guid& a, const IRemoteDataModule::Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::equal(a.data4, a.data4 + 8, b.data4);
}

// Hands the host what an answer holds: the data packet of the record set in `blob`, or Null when
// no blob came, it is empty or it holds no record set. The caller's previous packet is released
// first, so it can never pass for the new result; a conversion failure also leaves Null.
void StoreAnswer(QorvinDataPacket* data, TROBinaryMemoryStream* blob, TPacketForm form) {
  StoreVariantPacket(data, Variant::Null());
  if (blob == nullptr || blob->Size() == 0) return;
  BlobToPacket(*blob, data, form);
}

}  // namespace

TDataModuleZent::TDataModuleZent(int32_t hostTag, char connectType)
    : roService_(std::make_unique<TRORemoteService>(nullptr, "ROService")),
      roMessage_(std::make_unique<TROBinMessage>(nullptr, "ROMessage")),
      proxies_(std::make_unique<ModuleProxies>(*roService_)),
      hostTag_(hostTag),
      lastError_(std::make_shared<LastErrorText>()),
      connectType_(connectType) {
  // The stored settings of the module: no envelopes, no compression, the message linked.
  roMessage_->UseCompression = false;
  roService_->SetMessage(roMessage_.get());
}

std::unique_ptr<TDataModuleZent> TDataModuleZent::Create(int32_t hostTag, char connectType,
                                                         const std::string& host, int32_t port) {
  std::unique_ptr<TDataModuleZent> m(new TDataModuleZent(hostTag, connectType));
  // A host text that would change the meaning of the channel's address is refused before the
  // channel is built (an unknown letter keeps its own failure).
  if (ModuleChannel::KnownLetter(connectType)) {
    const std::string problem = HostAddressProblem(host);
    if (!problem.empty()) throw EROException(problem);
  }
  m->channel_ = ModuleChannel::Create(connectType, host, port);
  if (!m->channel_) {
    // No host can have installed a callback yet; the call keeps the order of events.
    m->DoError(kUnknownConnectType);
    throw EROException(kUnknownConnectType);  // `m` is torn down on the way out
  }
  m->channel_->Attach(*m->roService_);
  m->progress_ = std::make_unique<ModuleProgress>(m->channel_->Channel());
  m->servers_ = std::make_unique<ModuleServers>(m->channel_->Channel(), connectType);
  m->credentials_ = std::make_unique<ModuleCredentials>(m->channel_->Channel(), connectType);
  return m;
}

TDataModuleZent::~TDataModuleZent() {
  servers_.reset();  // stops probing before the channel goes
  credentials_.reset();
  progress_.reset();
  if (channel_) {
    channel_->Teardown();
    channel_->Detach(*roService_);
    try {
      channel_.reset();  // a failure while freeing the channel is swallowed
    } catch (...) {
    }
  }
  proxies_.reset();
  roService_.reset();
  roMessage_.reset();
}

TROTransportChannel* TDataModuleZent::Channel() const {
  return channel_ ? &channel_->Channel() : nullptr;
}

int32_t TDataModuleZent::QueryInterface(const Guid* iid, void** object) {
  if (object == nullptr) return kE_NOINTERFACE;
  *object = nullptr;
  if (iid == nullptr) return kE_NOINTERFACE;
  if (SameGuid(*iid, kIID_IRemoteDataModule) || SameGuid(*iid, kIID_IUnknown)) {
    *object = static_cast<IRemoteDataModule*>(this);
    return kS_OK;
  }
  if (SameGuid(*iid, kIID_IQorvinDataSetFactory)) {
    *object = static_cast<IQorvinDataSetFactory*>(this);
    return kS_OK;
  }
  if (SameGuid(*iid, kQorvinIID_IQorvinPieceReader)) {
    *object = static_cast<IQorvinPieceReader*>(this);
    return kS_OK;
  }
  if (SameGuid(*iid, kQorvinIID_IQorvinProgress) && progress_) {
    *object = static_cast<IQorvinProgress*>(progress_.get());
    return kS_OK;
  }
  if (SameGuid(*iid, kQorvinIID_IQorvinCredentials) && credentials_) {
    *object = static_cast<IQorvinCredentials*>(credentials_.get());
    return kS_OK;
  }
  if (SameGuid(*iid, kQorvinIID_IQorvinServers) && servers_) {
    *object = static_cast<IQorvinServers*>(servers_.get());
    return kS_OK;
  }
  return kE_NOINTERFACE;
}

// ---- connection ------------------------------------------------------------------------------

// The connection methods use the channel, so they claim the busy state too. While another
// thread's call runs, GetConnected answers the state the last claimed method left, and the two
// setters do nothing. SetConnected(true) waits like a call does, so it is bracketed like one:
// Cancel ends its connect.
bool TDataModuleZent::GetConnected() {
  ModuleGate::Claim claim(gate_);
  if (!claim) return connected_.load();
  NoteConnected();
  return connected_.load();
}

void TDataModuleZent::SetConnected(bool value) {
  ModuleGate::Claim claim(gate_);
  if (!claim) return;
  const ModuleCallScope call(*progress_);
  try {
    channel_->SetConnected(value);
  } catch (...) {
    // The method has no way to report; the next operation reports its own failure.
  }
  NoteConnected();
}

void TDataModuleZent::SetKeepConnection(bool value) {
  ModuleGate::Claim claim(gate_);
  if (!claim) return;
  try {
    channel_->SetKeepConnection(value);
  } catch (...) {
  }
  NoteConnected();
}

void TDataModuleZent::NoteConnected() noexcept {
  try {
    connected_.store(channel_->GetConnected());
  } catch (...) {
    connected_.store(false);
  }
}

void TDataModuleZent::GetLastErrorText(QorvinText* text) {
  try {
    StoreText(text, lastError_->Get());
  } catch (...) {
  }
}

void TDataModuleZent::SetOnStatus(QorvinStatusCallback callback) {
  std::lock_guard<std::mutex> lock(callbackMutex_);
  onStatus_ = callback;
}

void TDataModuleZent::SetOnError(QorvinErrorCallback callback) {
  std::lock_guard<std::mutex> lock(callbackMutex_);
  onError_ = callback;
}

// ---- reporting -------------------------------------------------------------------------------

// Callbacks are copied under their lock and run outside it, on the calling thread.
void TDataModuleZent::DoStatus(int32_t first, int32_t second) {
  if (!ModuleGate::MayRaiseCallbacks()) return;
  QorvinStatusCallback callback;
  {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callback = onStatus_;
  }
  if (callback.code == nullptr) return;
  const CallbackScope scope;
  callback.code(callback.object, first, second);
}

void TDataModuleZent::DoError(const std::string& message) {
  if (!ModuleGate::MayRaiseCallbacks()) return;
  QorvinErrorCallback callback;
  {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callback = onError_;
  }
  if (callback.code == nullptr) return;
  const CallbackScope scope;
  callback.code(callback.object, message.c_str(), "");
}

void TDataModuleZent::ReportFailure(const std::string& message, QorvinText* errorText) {
  lastError_->Set(message);
  try {
    StoreText(errorText, message);
  } catch (...) {
  }
  DoError(message);
  DoStatus(0, 0);
}

void TDataModuleZent::RefuseBusy(int32_t* result, QorvinText* errorText) {
  if (result) *result = 0;
  try {
    StoreText(errorText, kModuleBusy);
  } catch (...) {
  }
  DoError(kModuleBusy);
  DoStatus(0, 0);
}

template <class Body>
void TDataModuleZent::CallFrame(const char* serviceName, int32_t* result, QorvinText* errorText,
                                bool clearErrorText, Body&& body) {
  ModuleGate::Claim claim(gate_);
  // A call from a callback raised while this module's request is on the network would reuse the
  // message under it.
  if (!claim || (claim.Nested() && channel_->Busy())) {
    RefuseBusy(result, errorText);
    return;
  }
  // Cancel reaches the call from here until the call's report is done.
  const ModuleCallScope call(*progress_);
  struct NoteOnExit {
    TDataModuleZent& module;
    ~NoteOnExit() { module.NoteConnected(); }
  } noteOnExit{*this};
  lastError_->Clear();
  if (result) *result = 0;
  if (clearErrorText && errorText) qorvin_text_free(errorText);
  try {
    const TInflateBudgetScope budget(inflateBudget_.load());  // bounds every inflation of the call
    roService_->SetServiceName(serviceName);
    body();
  } catch (const std::exception& e) {
    ReportFailure(e.what(), errorText);
  } catch (...) {
    ReportFailure("Unknown failure", errorText);
  }
}

bool TDataModuleZent::SetDataPacketVersion(int32_t version) {
  if (version != 1 && version != 2) return false;
  packetVersion_.store(version);
  return true;
}

int64_t TDataModuleZent::GetInflateBudget() {
  const int64_t budget = inflateBudget_.load();
  return budget > 0 ? budget : kDefaultInflateBudget;
}

// ---- command operations ----------------------------------------------------------------------

void TDataModuleZent::CommandCall(const char* operation, const char* userId,
                                  const char* hdhSerialNumber, const char* sqlCommand,
                                  const char* procName, int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    auto svc = proxies_->ExecSql();
    const std::string op = operation;
    int32_t r = 0;
    if (op == "SynchExecProc") {
      r = svc->SynchExecProc(InText(userId), InText(hdhSerialNumber), sql);
    } else if (op == "SynchExecSQL") {
      r = svc->SynchExecSQL(InText(userId), InText(hdhSerialNumber), sql);
    } else {
      r = svc->SynchExecProcBatchBuild(InText(userId), InText(hdhSerialNumber), sql,
                                       AnsiToUtf16(InText(procName)));
    }
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
  });
}

void TDataModuleZent::SynchExecProc(const char* userId, const char* hdhSerialNumber,
                                    const char* sqlCommand, int32_t* result,
                                    QorvinText* errorText) {
  CommandCall("SynchExecProc", userId, hdhSerialNumber, sqlCommand, nullptr, result, errorText);
}

void TDataModuleZent::SynchExecSQL(const char* userId, const char* hdhSerialNumber,
                                   const char* sqlCommand, int32_t* result, QorvinText* errorText) {
  CommandCall("SynchExecSQL", userId, hdhSerialNumber, sqlCommand, nullptr, result, errorText);
}

void TDataModuleZent::SynchExecProcBatchBuild(const char* userId, const char* hdhSerialNumber,
                                              const char* sqlCommand, const char* procName,
                                              int32_t* result, QorvinText* errorText) {
  CommandCall("SynchExecProcBatchBuild", userId, hdhSerialNumber, sqlCommand, procName, result,
              errorText);
}

void TDataModuleZent::SynchExecProcOutput(const char* userId, const char* hdhSerialNumber,
                                          const char* sqlCommand, QorvinText* outputParam,
                                          int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    // The output parameter is emptied before the call; the proxy writes the server's value.
    if (outputParam) qorvin_text_free(outputParam);
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    auto svc = proxies_->ExecSql();
    std::string output;
    int32_t r = 0;
    try {
      r = svc->SynchExecProcOutput(InText(userId), InText(hdhSerialNumber), sql, output);
    } catch (...) {
      StoreText(outputParam, output);  // whatever the proxy had written
      throw;
    }
    StoreText(outputParam, output);
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
  });
}

// ---- reading result sets ---------------------------------------------------------------------

std::unique_ptr<TROBinaryMemoryStream> TDataModuleZent::ReadDataBlob(const char* userId,
                                                                     const char* hdhSerialNumber,
                                                                     const char* sqlCommand,
                                                                     int32_t* result,
                                                                     int32_t& value) {
  const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
  auto svc = proxies_->ExecSql();
  std::unique_ptr<TROBinaryMemoryStream> blob;
  value = svc->SynchReadData(InText(userId), InText(hdhSerialNumber), sql, blob);
  svc.reset();
  progress_->AnswerArrived();
  if (result) *result = value;
  DoStatus(1, 3);
  return blob;
}

void TDataModuleZent::SynchReadData(const char* userId, const char* hdhSerialNumber,
                                    const char* sqlCommand, QorvinDataPacket* data, int32_t* result,
                                    QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    int32_t r = 0;
    const std::unique_ptr<TROBinaryMemoryStream> blob =
        ReadDataBlob(userId, hdhSerialNumber, sqlCommand, result, r);
    // The result value is not consulted: the data argument holds what the blob holds.
    StoreAnswer(data, blob.get(), PacketForm());
  });
}

void TDataModuleZent::SynchReadDataPieces(const char* userId, const char* hdhSerialNumber,
                                          const char* sqlCommand, int32_t rowsPerPiece,
                                          QorvinPieceCallback onPiece, int32_t* result,
                                          QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    int32_t r = 0;
    const std::unique_ptr<TROBinaryMemoryStream> blob =
        ReadDataBlob(userId, hdhSerialNumber, sqlCommand, result, r);
    if (!blob || blob->Size() == 0) return;
    const uint32_t perPiece = uint32_t(rowsPerPiece > 0 ? rowsPerPiece : kDefaultRowsPerPiece);
    BlobToAdoPieces(*blob, PacketForm(), perPiece, [&](std::unique_ptr<TAdoDataSet> rows) {
      if (onPiece.code == nullptr) return;
      auto piece = std::make_unique<ClientAdoDataSet>(std::move(rows), lastError_);
      bool more;
      {
        const CallbackScope scope;  // a call made from the callback runs nested
        more = onPiece.code(onPiece.object, r, piece.release());
      }
      if (!more) throw EROException(kReadStopped);
    });
  });
}

void TDataModuleZent::SynchReadDataSet(const char* userId, const char* hdhSerialNumber,
                                       const char* sqlCommand, QorvinAdoDataSet** dataSet,
                                       int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    ClientAdoDataSet* given = nullptr;
    if (dataSet != nullptr && *dataSet != nullptr) {
      given = ClientAdoDataSet::FromHost(*dataSet);
      if (given == nullptr)
        throw EROException("The data set argument is not a record set of this library");
    }
    auto svc = proxies_->ExecSql();
    std::unique_ptr<TROBinaryMemoryStream> blob;
    const int32_t r = svc->SynchReadData(InText(userId), InText(hdhSerialNumber), sql, blob);
    svc.reset();
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
    const bool rows = blob && blob->Size() > 0;
    if (given != nullptr) {
      // The host's record set is closed first: without a record set in the answer it stays
      // closed rather than showing the previous rows.
      given->DataSet().Close();
      if (rows) BlobToAdoDataSet(*blob, given->DataSet());
    } else if (rows) {
      // A new record set without an owner, from now on the host's; none when the answer holds
      // no record set.
      auto fresh = std::make_unique<ClientAdoDataSet>(std::make_unique<TAdoDataSet>(), lastError_);
      BlobToAdoDataSet(*blob, fresh->DataSet());
      if (dataSet != nullptr && fresh->DataSet().Active()) *dataSet = fresh.release();
    }
  });
}

void TDataModuleZent::ReadTwoData(const char* operation, const char* userId,
                                  const char* hdhSerialNumber, const char* sqlCommand,
                                  QorvinDataPacket* data, const char* sqlCommand2,
                                  QorvinDataPacket* data2, int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    const std::u16string sql2 = AnsiToUtf16(InText(sqlCommand2));
    auto svc = proxies_->ExecSql();
    std::unique_ptr<TROBinaryMemoryStream> blob, blob2;
    const bool procedure = std::string(operation) == "SynchExecProcReadTwoData";
    const int32_t r = procedure
                          ? svc->SynchExecProcReadTwoData(InText(userId), InText(hdhSerialNumber),
                                                          sql, blob, sql2, blob2)
                          : svc->SynchReadTwoData(InText(userId), InText(hdhSerialNumber), sql,
                                                  blob, sql2, blob2);
    svc.reset();
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
    // Each data argument holds what its own blob holds (a second set with rows is kept when the
    // first is empty). When the first fails to convert, the second is Null as well.
    StoreVariantPacket(data2, Variant::Null());
    StoreAnswer(data, blob.get(), PacketForm());
    StoreAnswer(data2, blob2.get(), PacketForm());
  });
}

void TDataModuleZent::SynchReadTwoData(const char* userId, const char* hdhSerialNumber,
                                       const char* sqlCommand, QorvinDataPacket* data,
                                       const char* sqlCommand2, QorvinDataPacket* data2,
                                       int32_t* result, QorvinText* errorText) {
  ReadTwoData("SynchReadTwoData", userId, hdhSerialNumber, sqlCommand, data, sqlCommand2, data2,
              result, errorText);
}

void TDataModuleZent::SynchExecProcReadTwoData(const char* userId, const char* hdhSerialNumber,
                                               const char* sqlCommand, QorvinDataPacket* data,
                                               const char* sqlCommand2, QorvinDataPacket* data2,
                                               int32_t* result, QorvinText* errorText) {
  ReadTwoData("SynchExecProcReadTwoData", userId, hdhSerialNumber, sqlCommand, data, sqlCommand2,
              data2, result, errorText);
}

// ---- uploads ---------------------------------------------------------------------------------

int32_t TDataModuleZent::InsertTableCall(const char* userId, const char* hdhSerialNumber,
                                         TROBinaryMemoryStream& request, const char* procName,
                                         int32_t successReturnValue, int32_t* successCount,
                                         std::unique_ptr<TROBinaryMemoryStream>& blob) {
  auto svc = proxies_->TableProc();
  // The proxy writes the count from the response; a call failing before that keeps the caller's.
  int32_t count = successCount ? *successCount : 0;
  int32_t r = 0;
  try {
    r = svc->ExecProcInsertTable(InText(userId), InText(hdhSerialNumber), &request,
                                 InText(procName), successReturnValue, blob, count);
  } catch (...) {
    if (successCount) *successCount = count;
    throw;
  }
  if (successCount) *successCount = count;
  return r;
}

void TDataModuleZent::ExecProcInsertTable(const char* userId, const char* hdhSerialNumber,
                                          const QorvinDataPacket* data, const char* procName,
                                          QorvinDataPacket* outData, int32_t* successCount,
                                          int32_t successReturnValue, int32_t* result,
                                          QorvinText* errorText) {
  CallFrame(kServiceTableProc, result, errorText, true, [&] {
    TROBinaryMemoryStream request;
    PacketToBlob(PacketToVariant(data), request);
    std::unique_ptr<TROBinaryMemoryStream> blob;
    const int32_t r = InsertTableCall(userId, hdhSerialNumber, request, procName,
                                      successReturnValue, successCount, blob);
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
    // Rows come back only with result 1; any other answer leaves the out packet Null.
    StoreAnswer(outData, r == 1 ? blob.get() : nullptr, PacketForm());
  });
}

void TDataModuleZent::ExecProcInsertTableDataSet(const char* userId, const char* hdhSerialNumber,
                                                 QorvinAdoDataSet* dataSet, const char* procName,
                                                 QorvinAdoDataSet** outDataSet,
                                                 int32_t* successCount, int32_t successReturnValue,
                                                 int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceTableProc, result, errorText, true, [&] {
    TROBinaryMemoryStream request;
    if (dataSet != nullptr) {
      ClientAdoDataSet* source = ClientAdoDataSet::FromHost(dataSet);
      if (source == nullptr)
        throw EROException("The data set argument is not a record set of this library");
      AdoDataSetToBlob(source->DataSet(), request);
    }
    ClientAdoDataSet* target = nullptr;
    if (outDataSet != nullptr && *outDataSet != nullptr) {
      target = ClientAdoDataSet::FromHost(*outDataSet);
      if (target == nullptr)
        throw EROException("The out data set argument is not a record set of this library");
    }
    std::unique_ptr<TROBinaryMemoryStream> blob;
    const int32_t r = InsertTableCall(userId, hdhSerialNumber, request, procName,
                                      successReturnValue, successCount, blob);
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
    // Rows come back only with result 1. The host's record set is closed first, so that any
    // other answer leaves it closed rather than showing earlier rows.
    const bool rows = r == 1 && blob && blob->Size() > 0;
    if (target != nullptr) {
      target->DataSet().Close();
      if (rows) BlobToAdoDataSet(*blob, target->DataSet());
    } else if (rows && outDataSet != nullptr) {
      // A new record set, from now on solely the host's (it frees it with Release()); none
      // without an out slot or without a record set in the answer.
      auto fresh = std::make_unique<ClientAdoDataSet>(std::make_unique<TAdoDataSet>(), lastError_);
      BlobToAdoDataSet(*blob, fresh->DataSet());
      if (fresh->DataSet().Active()) *outDataSet = fresh.release();
    }
  });
}

void TDataModuleZent::SynchExecSQLInsert(const char* userId, const char* hdhSerialNumber,
                                         const char* sqlCommand, const QorvinDataPacket* data,
                                         const char* tableName, const char* primaryKey,
                                         int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    TROBinaryMemoryStream request;
    PacketToBlob(PacketToVariant(data), request);
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    auto svc = proxies_->ExecSql();
    const int32_t r = svc->SynchExecSQLInsert(InText(userId), InText(hdhSerialNumber), sql,
                                              &request, InText(tableName), InText(primaryKey));
    progress_->AnswerArrived();
    if (result) *result = r;
    DoStatus(1, 3);
  });
}

// ---- date and time ---------------------------------------------------------------------------

// In the same bracket as the other calls (cancel, progress, inflation budget), with its own
// report: a boolean and the local clock on failure.
bool TDataModuleZent::GetDateTime(double* dateTime) {
  ModuleGate::Claim claim(gate_);
  if (!claim || (claim.Nested() && channel_->Busy())) {
    // Refused: the local clock, as for any failure, and the running call's last error kept.
    if (dateTime) *dateTime = LocalDateTimeNow();
    DoError(kModuleBusy);
    DoStatus(0, 0);
    return false;
  }
  const ModuleCallScope call(*progress_);
  std::string failure;
  try {
    const TInflateBudgetScope budget(inflateBudget_.load());
    roService_->SetServiceName(kServiceExecSql);
    auto svc = proxies_->ExecSql();
    const double value = svc->GetDateTime();
    svc.reset();
    progress_->AnswerArrived();
    NoteConnected();
    if (dateTime) *dateTime = value;
    DoStatus(1, 3);
    return true;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "Unknown failure";
  }
  NoteConnected();
  lastError_->Set(failure);
  if (dateTime) *dateTime = LocalDateTimeNow();
  DoError(failure);
  DoStatus(0, 0);
  return false;
}

// ---- record sets for hosts -------------------------------------------------------------------

QorvinAdoDataSet* TDataModuleZent::CreateAdoDataSet() {
  try {
    return new ClientAdoDataSet(std::make_unique<TAdoDataSet>(), lastError_);
  } catch (...) {
    return nullptr;
  }
}

// A packet that does not load leaves its reason as the module's last error text. The module's
// inflation budget applies, as to its calls: what a raised budget let a read bring, loads.
QorvinAdoDataSet* TDataModuleZent::PacketToAdoDataSet(const QorvinDataPacket* packet) {
  std::string failure;
  try {
    const TInflateBudgetScope budget(inflateBudget_.load());
    std::unique_ptr<TAdoDataSet> ds = PacketToAdo(packet, failure);
    if (ds) return new ClientAdoDataSet(std::move(ds), lastError_);
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "Unknown failure";
  }
  if (!failure.empty()) lastError_->Set("The data packet does not load: " + failure);
  return nullptr;
}

bool TDataModuleZent::AdoDataSetToPacket(QorvinAdoDataSet* dataSet, QorvinDataPacket* packet) {
  try {
    ClientAdoDataSet* source = ClientAdoDataSet::FromHost(dataSet);
    if (source == nullptr) return false;
    StoreVariantPacket(packet, AdoToPacket(source->DataSet(), PacketForm()));
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qorvin
