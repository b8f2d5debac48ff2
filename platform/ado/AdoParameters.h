// Parameters of an ADO-style dataset (query and stored-procedure parameters).
//
// A parameter has a name, a direction, a field type, a size, precision and scale, and a value.
// Assigning a value to a parameter whose type is still ftUnknown gives it the value's natural
// field type (FieldTypeOfVariant); a parameter with a type keeps it. Names compare without regard
// to ASCII case. Not thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/ado/AdoTypes.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

class TParameter {
 public:
  explicit TParameter(std::u16string name = {}) : name_(std::move(name)) {}

  const std::u16string& Name() const { return name_; }
  void SetName(std::u16string name) { name_ = std::move(name); }
  TParameterDirection Direction() const { return direction_; }
  void SetDirection(TParameterDirection direction) { direction_ = direction; }
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType type) { dataType_ = type; }
  int32_t Size() const { return size_; }
  void SetSize(int32_t size) { size_ = size; }
  uint8_t Precision() const { return precision_; }
  void SetPrecision(uint8_t precision) { precision_ = precision; }
  uint8_t NumericScale() const { return numericScale_; }
  void SetNumericScale(uint8_t scale) { numericScale_ = scale; }

  // Null until assigned. By-reference values are stored as what they refer to.
  const Variant& Value() const { return value_; }
  void SetValue(const Variant& value);

 private:
  std::u16string name_;
  TParameterDirection direction_ = pdInput;
  TFieldType dataType_ = ftUnknown;
  int32_t size_ = 0;
  uint8_t precision_ = 0;
  uint8_t numericScale_ = 0;
  Variant value_ = Variant::Null();
};

// An ordered list of parameters. References returned stay valid until Clear() (the list never
// moves its elements).
class TParameters {
 public:
  int Count() const { return int(items_.size()); }
  TParameter& operator[](int index) { return items_.at(size_t(index)); }
  const TParameter& operator[](int index) const { return items_.at(size_t(index)); }
  // Appends a parameter with that name (names need not be unique).
  TParameter& Add(std::u16string name);
  // The first parameter of that name (ASCII case ignored), or null.
  TParameter* FindParam(std::u16string_view name);
  const TParameter* FindParam(std::u16string_view name) const;
  // Like FindParam; EAdoError "Parameter '<name>' not found" when there is none.
  TParameter& ParamByName(std::u16string_view name);
  void Clear() { items_.clear(); }

 private:
  std::deque<TParameter> items_;
};

}  // namespace qorvin
