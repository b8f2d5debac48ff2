#include "client/DataModuleQorvinCommon.h"

#include <sys/time.h>

#include <algorithm>
#include <ctime>

#include "client/ClientAdoDataSet.h"
#include "client/DataSetBridge.h"
#include "client/HostValues.h"
#include "client/ModuleChannel.h"
#include "contract/VelmarLib_Intf.h"
#include "messaging/uROBinaryHelpers.h"
#include "messaging/uROExceptions.h"
#include "platform/rtl/Text.h"

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

// The local clock as a date-time (days since 1899-12-30, fraction = time of day).
double LocalNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  const double localSeconds = double(secs) + double(local.tm_gmtoff) + tv.tv_usec / 1e6;
  return 25569.0 + localSeconds / 86400.0;  // 25569 = days from 1899-12-30 to 1970-01-01
}

}  // namespace

TDataModuleZent::TDataModuleZent(int32_t hostTag, char connectType)
    : roService_(std::make_unique<TRORemoteService>(nullptr, "ROService")),
      roMessage_(std::make_unique<TROBinMessage>(nullptr, "ROMessage")),
      hostTag_(hostTag),
      connectType_(connectType) {
  // The stored settings of the module: no envelopes, no compression, the message linked.
  roMessage_->UseCompression = false;
  roService_->SetMessage(roMessage_.get());
}

std::unique_ptr<TDataModuleZent> TDataModuleZent::Create(int32_t hostTag, char connectType,
                                                         const std::string& host, int32_t port) {
  std::unique_ptr<TDataModuleZent> m(new TDataModuleZent(hostTag, connectType));
  m->channel_ = ModuleChannel::Create(connectType, host, port);
  if (!m->channel_) {
    // No host can have installed a callback yet; the call keeps the order of events.
    m->DoError(kUnknownConnectType);
    throw EROException(kUnknownConnectType);  // `m` is torn down on the way out
  }
  m->channel_->Attach(*m->roService_);
  return m;
}

TDataModuleZent::~TDataModuleZent() {
  // Record sets still in the module's care go with it.
  std::vector<ClientAdoDataSet*> owned;
  owned.swap(owned_);
  for (ClientAdoDataSet* ds : owned) {
    ds->ClearOwner();
    ds->Release();
  }
  if (channel_) {
    channel_->Teardown();
    channel_->Detach(*roService_);
    try {
      channel_.reset();  // a failure while freeing the channel is swallowed
    } catch (...) {
    }
  }
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
  return kE_NOINTERFACE;
}

// ---- connection ------------------------------------------------------------------------------

bool TDataModuleZent::GetConnected() {
  try {
    return channel_->GetConnected();
  } catch (...) {
    return false;
  }
}

void TDataModuleZent::SetConnected(bool value) {
  try {
    channel_->SetConnected(value);
  } catch (...) {
    // The method has no way to report; the next operation reports its own failure.
  }
}

void TDataModuleZent::SetKeepConnection(bool value) {
  try {
    channel_->SetKeepConnection(value);
  } catch (...) {
  }
}

void TDataModuleZent::GetLastErrorText(QorvinText* text) {
  try {
    StoreText(text, lastError_);
  } catch (...) {
  }
}

// ---- reporting -------------------------------------------------------------------------------

void TDataModuleZent::DoStatus(int32_t first, int32_t second) {
  if (onStatus_.code != nullptr) onStatus_.code(onStatus_.object, first, second);
}

void TDataModuleZent::DoError(const std::string& message) {
  if (onError_.code != nullptr) onError_.code(onError_.object, message.c_str(), "");
}

void TDataModuleZent::ReportFailure(const std::string& message, QorvinText* errorText) {
  lastError_ = message;
  try {
    StoreText(errorText, lastError_);
  } catch (...) {
  }
  DoError(lastError_);
  DoStatus(0, 0);
}

template <class Body>
void TDataModuleZent::CallFrame(const char* serviceName, int32_t* result, QorvinText* errorText,
                                bool clearErrorText, Body&& body) {
  lastError_.clear();
  if (result) *result = 0;
  if (clearErrorText && errorText) qorvin_text_free(errorText);
  try {
    roService_->SetServiceName(serviceName);
    body();
  } catch (const std::exception& e) {
    ReportFailure(e.what(), errorText);
  } catch (...) {
    ReportFailure("Unknown failure", errorText);
  }
}

// ---- command operations ----------------------------------------------------------------------

void TDataModuleZent::CommandCall(const char* operation, const char* userId,
                                  const char* hdhSerialNumber, const char* sqlCommand,
                                  const char* procName, int32_t* result, QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    auto svc = IntfCast<IExecSqlService>(*roService_);
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
  // The output parameter is emptied before the call; the proxy writes the server's value.
  if (outputParam) qorvin_text_free(outputParam);
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    auto svc = IntfCast<IExecSqlService>(*roService_);
    std::string output;
    int32_t r = 0;
    try {
      r = svc->SynchExecProcOutput(InText(userId), InText(hdhSerialNumber), sql, output);
    } catch (...) {
      StoreText(outputParam, output);  // whatever the proxy had written
      throw;
    }
    StoreText(outputParam, output);
    if (result) *result = r;
    DoStatus(1, 3);
  });
}

// ---- reading result sets ---------------------------------------------------------------------

void TDataModuleZent::SynchReadData(const char* userId, const char* hdhSerialNumber,
                                    const char* sqlCommand, QorvinDataPacket* data, int32_t* result,
                                    QorvinText* errorText) {
  CallFrame(kServiceExecSql, result, errorText, false, [&] {
    const std::u16string sql = AnsiToUtf16(InText(sqlCommand));
    auto svc = IntfCast<IExecSqlService>(*roService_);
    std::unique_ptr<TROBinaryMemoryStream> blob;
    const int32_t r = svc->SynchReadData(InText(userId), InText(hdhSerialNumber), sql, blob);
    svc.reset();
    if (result) *result = r;
    DoStatus(1, 3);
    // The result value is not consulted: data is converted whenever a non-empty blob came.
    if (blob && blob->Size() > 0) {
      Variant packet;
      if (BlobToPacket(*blob, packet)) StoreVariantPacket(data, packet);
    }
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
    auto svc = IntfCast<IExecSqlService>(*roService_);
    std::unique_ptr<TROBinaryMemoryStream> blob;
    const int32_t r = svc->SynchReadData(InText(userId), InText(hdhSerialNumber), sql, blob);
    svc.reset();
    if (result) *result = r;
    DoStatus(1, 3);
    if (blob && blob->Size() > 0) {
      if (given == nullptr) {
        // A new record set without an owner: from now on the host's.
        auto fresh = std::make_unique<ClientAdoDataSet>(std::make_unique<TAdoDataSet>());
        BlobToAdoDataSet(*blob, fresh->DataSet());
        if (dataSet != nullptr) *dataSet = fresh.release();
      } else {
        BlobToAdoDataSet(*blob, given->DataSet());
      }
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
    auto svc = IntfCast<IExecSqlService>(*roService_);
    std::unique_ptr<TROBinaryMemoryStream> blob, blob2;
    const bool procedure = std::string(operation) == "SynchExecProcReadTwoData";
    const int32_t r = procedure
                          ? svc->SynchExecProcReadTwoData(InText(userId), InText(hdhSerialNumber),
                                                          sql, blob, sql2, blob2)
                          : svc->SynchReadTwoData(InText(userId), InText(hdhSerialNumber), sql,
                                                  blob, sql2, blob2);
    svc.reset();
    if (result) *result = r;
    DoStatus(1, 3);
    // Only a non-empty first blob lets either data argument change.
    if (blob && blob->Size() > 0) {
      Variant packet;
      if (BlobToPacket(*blob, packet)) StoreVariantPacket(data, packet);
      if (blob2) {
        Variant packet2;
        if (BlobToPacket(*blob2, packet2)) StoreVariantPacket(data2, packet2);
      }
    }
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
  auto svc = IntfCast<ITableProcService>(*roService_);
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
    if (result) *result = r;
    DoStatus(1, 3);
    if (r == 1 && blob) {
      Variant packet;
      if (BlobToPacket(*blob, packet)) StoreVariantPacket(outData, packet);
    }
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
    if (result) *result = r;
    DoStatus(1, 3);
    if (r == 1 && blob) {
      if (target == nullptr) {
        // A new record set in the module's care, handed to the host.
        auto fresh = std::make_unique<ClientAdoDataSet>(std::make_unique<TAdoDataSet>(), this);
        owned_.push_back(fresh.get());
        target = fresh.release();
        if (outDataSet != nullptr) *outDataSet = target;
      }
      BlobToAdoDataSet(*blob, target->DataSet());
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
    auto svc = IntfCast<IExecSqlService>(*roService_);
    const int32_t r = svc->SynchExecSQLInsert(InText(userId), InText(hdhSerialNumber), sql,
                                              &request, InText(tableName), InText(primaryKey));
    if (result) *result = r;
    DoStatus(1, 3);
  });
}

// ---- date and time ---------------------------------------------------------------------------

bool TDataModuleZent::GetDateTime(double* dateTime) {
  try {
    roService_->SetServiceName(kServiceExecSql);
    auto svc = IntfCast<IExecSqlService>(*roService_);
    const double value = svc->GetDateTime();
    if (dateTime) *dateTime = value;
    DoStatus(1, 3);
    return true;
  } catch (const std::exception& e) {
    lastError_ = e.what();
  } catch (...) {
    lastError_ = "Unknown failure";
  }
  if (dateTime) *dateTime = LocalNow();
  DoError(lastError_);
  DoStatus(0, 0);
  return false;
}

// ---- record sets for hosts -------------------------------------------------------------------

QorvinAdoDataSet* TDataModuleZent::CreateAdoDataSet() {
  try {
    return new ClientAdoDataSet(std::make_unique<TAdoDataSet>());
  } catch (...) {
    return nullptr;
  }
}

QorvinAdoDataSet* TDataModuleZent::PacketToAdoDataSet(const QorvinDataPacket* packet) {
  try {
    std::unique_ptr<TAdoDataSet> ds = PacketToAdo(PacketToVariant(packet));
    if (!ds) return nullptr;
    return new ClientAdoDataSet(std::move(ds));
  } catch (...) {
    return nullptr;
  }
}

bool TDataModuleZent::AdoDataSetToPacket(QorvinAdoDataSet* dataSet, QorvinDataPacket* packet) {
  try {
    ClientAdoDataSet* source = ClientAdoDataSet::FromHost(dataSet);
    if (source == nullptr) return false;
    StoreVariantPacket(packet, AdoToPacket(source->DataSet()));
    return true;
  } catch (...) {
    return false;
  }
}

void TDataModuleZent::Disown(ClientAdoDataSet* dataSet) {
  owned_.erase(std::remove(owned_.begin(), owned_.end(), dataSet), owned_.end());
}

}  // namespace qorvin
