// The record set a host holds: QorvinAdoDataSet over the library's TAdoDataSet.
//
// Every method catches every failure and answers false (or -1 / nothing); no exception crosses
// the host boundary. A record set either has no owner (the host frees it with Release()) or is in
// a module's care (freed with the module; Release() first removes it from that care).
#pragma once

#include <memory>

#include "include/qorvin/QorvinClient.h"
#include "platform/ado/AdoDataSet.h"

namespace qorvin {

class TDataModuleZent;

class ClientAdoDataSet final : public QorvinAdoDataSet {
 public:
  explicit ClientAdoDataSet(std::unique_ptr<TAdoDataSet> dataSet, TDataModuleZent* owner = nullptr);
  ~ClientAdoDataSet();

  // The record set behind a host pointer, or null when `host` is not a live record set made by
  // this library (a registry of live objects answers; the host's pointer is never dereferenced
  // before that).
  static ClientAdoDataSet* FromHost(QorvinAdoDataSet* host);

  TAdoDataSet& DataSet() { return *dataSet_; }
  void ReplaceDataSet(std::unique_ptr<TAdoDataSet> dataSet) { dataSet_ = std::move(dataSet); }
  TDataModuleZent* Owner() const { return owner_; }
  void ClearOwner() { owner_ = nullptr; }

  void Release() override;
  bool Active() override;
  int32_t FieldCount() override;
  bool FieldName(int32_t index, QorvinText* name) override;
  int32_t FieldType(int32_t index) override;
  int32_t FieldSize(int32_t index) override;
  int32_t RecordCount() override;
  void First() override;
  void Next() override;
  bool Eof() override;
  bool GetValueText(int32_t index, QorvinText* value, bool* isNull) override;
  bool AddField(const char* name, int32_t fieldType, int32_t size) override;
  bool Open() override;
  void Close() override;
  bool Append() override;
  bool SetValueText(int32_t index, const char* value) override;
  bool SetNull(int32_t index) override;
  bool Post() override;

 private:
  bool ValidField(int32_t index) const;

  std::unique_ptr<TAdoDataSet> dataSet_;
  TDataModuleZent* owner_;
};

// Value text as hosts see it: numbers in the C locale, date-times as "YYYY-MM-DD HH:MM:SS"
// (".fff" when there are milliseconds), booleans "True"/"False", bytes as hexadecimal.
std::string ValueToHostText(const Variant& value, TFieldType type);
// The Variant a text becomes for a field of `type`; EConvertError when it does not fit.
Variant HostTextToValue(const std::string& text, TFieldType type);

}  // namespace qorvin
