// Field definitions of the in-memory client dataset.
//
// A definition is plain data: name (UTF-8), field type, size, precision and attributes. Which field
// types a client dataset holds, and the one variant kind each type keeps its values in, is
// decided in FieldValue.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rtl/FieldTypes.h"

namespace qorvin {

struct TClientFieldDef {
  std::string name;  // UTF-8
  TFieldType dataType = ftUnknown;
  // Characters for text, bytes for binary, decimal places for ftBCD / ftFMTBcd; 0 when the type
  // has no size, and for ftWideString, ftMemo and binary fields without a maximum. Never
  // negative.
  int32_t size = 0;
  // Digits for ftBCD / ftFMTBcd, 0 otherwise. Never negative.
  int32_t precision = 0;
  TFieldAttributes attributes = 0;
  // The column type of the record set the field was read from (an ADO data type code), kept when
  // the field type alone would map back to another one (a TINYINT column held as ftSmallint, an
  // unsigned 64-bit column held as ftFMTBcd, ...); 0 when the field type decides. A record set
  // made from the dataset gives the column this type again.
  uint16_t columnType = 0;

  bool ReadOnly() const { return (attributes & faReadonly) != 0; }
  bool Required() const { return (attributes & faRequired) != 0; }
  bool AutoIncrement() const { return dataType == ftAutoInc || (attributes & faAutoInc) != 0; }

  bool operator==(const TClientFieldDef&) const = default;
};

using TClientFieldDefs = std::vector<TClientFieldDef>;

// Equality of two field names, ignoring ASCII case.
bool SameClientFieldName(std::string_view a, std::string_view b);

// Index of the first definition with that name (ASCII case ignored), -1 when there is none.
int IndexOfClientField(const TClientFieldDefs& defs, std::string_view name);

// EDatabaseError naming the field when the definition cannot be held by a client dataset: a field
// type outside the supported list (see FieldValue.h), a negative size or precision, or attribute
// bits outside kAllFieldAttributes.
void CheckClientFieldDef(const TClientFieldDef& def);

}  // namespace qorvin
