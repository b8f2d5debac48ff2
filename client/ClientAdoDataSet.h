// The record set a host holds: QorvinAdoDataSet over the library's TAdoDataSet.
//
// Every method catches every failure and answers false (or -1 / nothing); no exception crosses
// the host boundary. The reason of a refused value, field, open, append or post is stored as the
// last error text of the module that made the record set (read with GetLastErrorText); a record
// set made by no module keeps no reason. Every record set a host receives is solely the host's:
// it frees it with Release(), and no module keeps a reference to it.
#pragma once

#include <memory>
#include <string>

#include "include/qorvin/QorvinClient.h"
#include "platform/ado/AdoDataSet.h"

namespace qorvin {

class LastErrorText;

class ClientAdoDataSet final : public QorvinAdoDataSet {
 public:
  explicit ClientAdoDataSet(std::unique_ptr<TAdoDataSet> dataSet,
                            std::shared_ptr<LastErrorText> errors = nullptr);
  ~ClientAdoDataSet();

  // The record set behind a host pointer, or null when `host` is not a live record set made by
  // this library (a registry of live objects answers; the host's pointer is never dereferenced
  // before that).
  static ClientAdoDataSet* FromHost(QorvinAdoDataSet* host);
  // How many record sets exist (for the library's own tests).
  static size_t LiveCount();

  TAdoDataSet& DataSet() { return *dataSet_; }
  void ReplaceDataSet(std::unique_ptr<TAdoDataSet> dataSet) { dataSet_ = std::move(dataSet); }

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
  // Stores the reason of a refusal for the host (see above) and answers false.
  bool Refuse(const std::string& reason);
  bool Refuse(const std::exception& failure) { return Refuse(std::string(failure.what())); }

  std::unique_ptr<TAdoDataSet> dataSet_;
  std::shared_ptr<LastErrorText> errors_;
};

// Value text as hosts see it: numbers in the C locale, date-times as "YYYY-MM-DD HH:MM:SS"
// (".fff" when there are milliseconds), booleans "True"/"False", bytes as hexadecimal.
std::string ValueToHostText(const Variant& value, TFieldType type);
// The Variant a text becomes for a field of `type`; EConvertError when it is not a value of the
// type or lies outside the type's range (a number is never wrapped into a smaller type).
Variant HostTextToValue(const std::string& text, TFieldType type);

}  // namespace qorvin
